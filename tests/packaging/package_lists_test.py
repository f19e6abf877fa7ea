"""The Debian package lists the READMEs give are scripts/setup.sh's.

    package_lists_test.py SOURCE_DIR

setup.sh is the one place that says what each part needs (`setup.sh SET
--list`). Every `apt install ...` (or `apt-get install`) a README shows
names only packages setup.sh knows, and one that names several names
exactly the packages of one of its sets, so that a reader who installs
what a README says gets what the build looks for.
"""

import os
import re
import subprocess
import sys

SETS = ("build", "gateway", "test")
READMES = ("README.md", "gateway/README.md", "python/README.md", "sim/README.md")
# Package names, each ending where the name does (not "venv" of "venv/bin").
INSTALL = re.compile(r"\bapt(?:-get)? install((?: [a-z0-9][a-z0-9+.-]*[a-z0-9+](?=[\s`),;:.]|$))+)")


def set_lists(src):
    lists = {}
    for name in SETS:
        out = subprocess.run(["bash", os.path.join(src, "scripts", "setup.sh"), name, "--list"],
                             capture_output=True, text=True, check=True).stdout
        lists[name] = out.split()
    return lists


def main():
    src = sys.argv[1]
    lists = set_lists(src)
    known = {package for packages in lists.values() for package in packages}
    failures, seen = [], 0
    for readme in READMES:
        path = os.path.join(src, readme)
        if not os.path.exists(path):
            continue
        with open(path) as f:
            flat = " ".join(f.read().split())
        for match in INSTALL.finditer(flat):
            seen += 1
            named = match.group(1).split()
            unknown = [p for p in named if p not in known]
            if unknown:
                failures.append("%s: `%s`: setup.sh knows no %s" % (
                    readme, match.group(0), ", ".join(unknown)))
            elif len(named) > 1 and not any(sorted(named) == sorted(v) for v in lists.values()):
                closest = min(lists, key=lambda s: len(set(lists[s]) ^ set(named)))
                failures.append("%s: `%s` is not the list of any set of setup.sh; its %s set "
                                "is: %s" % (readme, match.group(0), closest,
                                            " ".join(lists[closest])))
    if seen == 0:
        sys.exit("no `apt install` in %s: has the wording changed?" % ", ".join(READMES))
    for failure in failures:
        print("FAIL: " + failure, file=sys.stderr)
    if failures:
        sys.exit(1)
    print("%d package lists in the READMEs, all of them setup.sh's" % seen)


if __name__ == "__main__":
    main()
