#!/usr/bin/env python3
"""The Python lint: pyflakes (unused names, undefined names, shadowing),
except on lines marked "# noqa", and a size rule: no function body longer
than MAX_BODY lines, its docstring not counted.

    python3 scripts/lint_python.py [FILE...]

Without files it checks every Python file of python/, tests/, scripts/ and
bench/. Exits 1 with one line per finding."""

import ast
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("python", "tests", "scripts", "bench")
MAX_BODY = 60


def python_files():
    return sorted(
        path for folder in FOLDERS for path in (ROOT / folder).rglob("*.py")
        if "__pycache__" not in path.parts)


def pyflakes_findings(files):
    run = subprocess.run(["pyflakes3", *map(str, files)], capture_output=True, text=True)
    findings = []
    for line in (run.stdout + run.stderr).splitlines():
        name, _, rest = line.partition(":")
        number = rest.split(":", 1)[0]
        if number.isdigit():
            source = Path(name).read_text(encoding="utf-8").splitlines()
            if "# noqa" in source[int(number) - 1]:
                continue
        findings.append(line)
    return findings


def body_lines(function):
    body = function.body
    if (body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant)
            and isinstance(body[0].value.value, str)):
        body = body[1:]
    if not body:
        return 0
    return body[-1].end_lineno - body[0].lineno + 1


def size_findings(files):
    findings = []
    for path in files:
        tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                lines = body_lines(node)
                if lines > MAX_BODY:
                    findings.append(f"{path}:{node.lineno}: {node.name} has a body of "
                                    f"{lines} lines (at most {MAX_BODY})")
    return findings


def main(argv):
    files = [Path(a) for a in argv[1:]] or python_files()
    findings = pyflakes_findings(files) + size_findings(files)
    for finding in findings:
        print(finding)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
