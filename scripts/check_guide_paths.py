#!/usr/bin/env python3
"""Every file CONTRIBUTING.md names exists: a path written with a folder
(`engine/command_table.h`, `tests/comm/`) from the top of the tree, a bare
file name (`rfc2217.cpp`) anywhere in it. Generated folders (build...) and
placeholders (`cli/<name>.cpp`) are not files. Exits 1 listing the
missing ones."""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FILE_NAME = re.compile(r"^[\w.+-]+\.(h|c|cpp|py|cmake|sh|md|txt|toml|json|list|1|3)$")


def named_paths(text):
    for token in sorted(set(re.findall(r"`([^`\s]+)`", text))):
        if "<" in token or token.startswith(("build", "-", "/", ".")):
            continue
        pair = re.match(r"^(.*)\.(\w+)/\.(\w+)$", token)  # option_scan.h/.cpp
        if pair:
            yield f"{pair[1]}.{pair[2]}"
            yield f"{pair[1]}.{pair[3]}"
        elif "/" in token or FILE_NAME.match(token):
            yield token


def main():
    files = [p for p in ROOT.rglob("*")
             if not p.relative_to(ROOT).parts[0].startswith(("build", ".git"))]
    names = {p.name for p in files}
    missing = []
    for token in named_paths((ROOT / "CONTRIBUTING.md").read_text(encoding="utf-8")):
        if "/" in token.rstrip("/"):
            found = (ROOT / token).exists()
        elif token.endswith("/"):
            found = (ROOT / token).is_dir()
        else:
            found = token in names
        if not found:
            missing.append(token)
    for token in missing:
        print(f"CONTRIBUTING.md names {token}, which does not exist")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
