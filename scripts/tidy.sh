#!/usr/bin/env bash
# Checks the house style with clang-tidy (the checks are in .clang-tidy; see
# CONTRIBUTING.md): every C++ source of the Linux build, in parallel, with
# the compile commands of a clang configuration in build-tidy/. Fails on any
# finding and lists each finding once, even when a header shows it in many
# sources.
#   scripts/tidy.sh [FOLDER...]   only findings in these folders (default: all)
#   QOR_TIDY_JOBS=N               parallel clang-tidy runs (default: nproc)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh
jobs=${QOR_TIDY_JOBS:-$(nproc)}
started=$SECONDS

# Configuring is enough: clang-tidy needs the compile commands, not a build.
cmake -S . -B build-tidy -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
# ...and the sources the build generates (the gateway's Sparkplug B schema).
if grep -q '^QOR_GATEWAY_BUILT:INTERNAL=ON' build-tidy/CMakeCache.txt; then
    cmake --build build-tidy --target qor_sparkplug_proto_sources >/dev/null
fi

folders=("$@")
if ((${#folders[@]} == 0)); then
    folders=(engine commands comm sim cli common catalogue gateway tests bench)
fi
for folder in "${folders[@]}"; do
    [[ -d "$folder" ]] || { echo "tidy: no folder '$folder'" >&2; exit 2; }
done
pattern="^$root/($(IFS='|'; echo "${folders[*]%/}"))/"

# The sources of the named folders; their headers are checked through the
# sources that include them.
sources=$(python3 -c 'import json, re, sys
files = {e["file"] for e in json.load(open(sys.argv[1]))}
print("\n".join(sorted(f for f in files if re.match(sys.argv[2], f))))' \
    build-tidy/compile_commands.json "$pattern")

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "$sources" | nl -nln -w1 -s' ' |
    xargs -P "$jobs" -L 1 sh -c 'clang-tidy -p build-tidy --quiet "$2" >"$0/$1.log" 2>&1 || true' \
        "$out"
# One line per finding: "file:line:col: message [check]". A source that
# clang cannot compile counts as a finding too, wherever the error points.
findings=$(
    for log in "$out"/*.log; do
        source=$(echo "$sources" | sed -n "$(basename "$log" .log)p")
        if grep -q 'clang-diagnostic-error' "$log"; then
            echo "$source:1:1: does not compile with clang [clang-diagnostic-error]"
        fi
        sed -n 's/^\(\/[^:]*:[0-9]*:[0-9]*: \)\(warning\|error\): \(.*\)$/\1\3/p' "$log"
    done | grep -E "$pattern" | sed "s|^$root/||" | sort -u -t: -k1,1 -k2,2n -k3,3n || true)
seconds=$((SECONDS - started))
if [[ -n "$findings" ]]; then
    echo "$findings"
    echo "tidy: $(echo "$findings" | wc -l) findings in ${folders[*]} ($seconds s)" >&2
    exit 1
fi
echo "tidy: no findings in ${folders[*]} ($seconds s)"
