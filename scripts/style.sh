#!/usr/bin/env bash
# The checks of the house style that need no build, run by scripts/test.sh's
# ordinary stage: clang-format's layout (.clang-format) on every C and C++
# file, the Python lint (scripts/lint_python.py), that every file
# CONTRIBUTING.md names exists (scripts/check_guide_paths.py), and that the
# gateway reaches the library's commands only through catalogue/.
# To apply the layout rather than check it:
#   git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
python3 scripts/lint_python.py
python3 scripts/check_guide_paths.py
if git grep -n '#include "engine/' -- gateway; then
    echo "style: the gateway includes the engine; use catalogue/catalogue.h" >&2
    exit 1
fi
echo "style: clang-format, Python lint, CONTRIBUTING.md paths and the gateway's includes clean"
