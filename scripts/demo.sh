#!/usr/bin/env bash
# Builds what the tour needs (the two libraries, qor and qor-sim) in build/,
# the folder the README's examples use, and runs the tour of the library
# against the simulator. A build/ configured before keeps its settings; a
# new one is configured for the quickest build (Release, no tests).
# Quiet: one line per stage; a stage that fails shows its full log. The
# test command (scripts/test.sh) builds and tests everything else.
#   QOR_DEMO_BUILD   the build folder (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QOR_DEMO_BUILD:-build}
started=$SECONDS
mkdir -p "$build"
log=$build/demo-build.log
: >"$log"

stage() {  # stage NAME COMMAND...
    local name=$1 stage_started=$SECONDS
    shift
    printf 'demo: %-11s' "$name"
    if ! "$@" >>"$log" 2>&1; then
        echo " FAILED; its log ($log):"
        cat "$log"
        exit 1
    fi
    echo " done in $((SECONDS - stage_started)) s"
}

# Release without debug information: the quickest build that runs the tour.
stage packages bash scripts/setup.sh build
settings=()
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    settings=(-DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF)
fi
stage configure cmake -S . -B "$build" "${settings[@]}"
# What configuring left out for want of a library (the gateway, where its
# libraries are missing), with its reason and the command that installs them.
sed -n 's/^-- qor:   \(.*\)  *no: not found: /demo: left out: \1: not found: /p' "$log" |
    sed 's/   *: not found/: not found/'
stage build cmake --build "$build" -j"$(nproc)" --target qor qor-sim
ready=$((SECONDS - started))
echo "demo: ready in $ready s; the tour follows"
echo
rc=0
"$build/qor" demo || rc=$?
echo
echo "demo: the tour started $ready s after this command, and ended after $((SECONDS - started)) s"
exit "$rc"
