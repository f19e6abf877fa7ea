#!/usr/bin/env bash
# The mutation check: applies each mutant of scripts/mutants.list to a
# scratch copy of the tree (build-mutants/N/, two side by side), rebuilds it and runs the fast
# tests of its area, and prints which test killed it, or that it survived,
# then the count per folder and the kill rate. scripts/mutants.py says how;
# README.md when to run it.
#   scripts/mutants.sh [--only REGEX] [--slice K/N] [--check] [--min-rate PCT]
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutants.py "$@"
