#!/usr/bin/env bash
# The checks of the house style that need no build, run by scripts/test.sh's
# ordinary stage: clang-format's layout (.clang-format) on every C and C++
# file, the Python lint (scripts/lint_python.py), and that every file
# CONTRIBUTING.md names exists (scripts/check_guide_paths.py).
# To apply the layout rather than check it:
#   git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
python3 scripts/lint_python.py
python3 scripts/check_guide_paths.py
echo "style: clang-format, Python lint and CONTRIBUTING.md paths clean"
