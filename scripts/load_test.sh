#!/usr/bin/env bash
# Runs the ordinary stage's tests (scripts/test.sh's first stage: every CTest
# test of build/) N times in a row while another process keeps every core
# busy (stress-ng), to find the tests that pass only on an idle machine. A
# test that fails here waits for something by a clock where it should wait
# for the event itself. Not part of CI (one run takes two to three times the
# stage's time); CONTRIBUTING.md says when to run it.
#   scripts/load_test.sh [N]   N runs (default 3)
#   QOR_LOAD_BUILD             the build folder (default build)
# The closing lines list each run's failed tests; the exit status is 1 when
# any run failed a test.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
build=${QOR_LOAD_BUILD:-build}
bash scripts/setup.sh test stress-ng stress-ng
jobs=$(nproc)

# Configured and built as the ordinary stage of scripts/test.sh does.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DQOR_WERROR=ON -DQOR_BUILD_TESTS=ON -DQOR_BUILD_BENCH=ON -DQOR_GATEWAY=ON -DQOR_FUZZ=OFF \
    -DQOR_TEST_WHOLE_PROGRAMS=OFF >/dev/null
cmake --build "$build" -j"$jobs"

logs=$build/load-test
mkdir -p "$logs"
# One CPU hog per core, at the tests' own priority, for as long as the runs
# take; stopped by its pid.
stress-ng --cpu "$jobs" --cpu-method matrixprod --quiet &
stress_pid=$!
trap 'kill "$stress_pid" 2>/dev/null || true; wait "$stress_pid" 2>/dev/null || true' EXIT
sleep 1
kill -0 "$stress_pid" || { echo "load_test: stress-ng did not start" >&2; exit 2; }

failed_runs=0
summary=()
for ((run = 1; run <= runs; run++)); do
    log=$logs/run-$run.log
    started=$SECONDS
    echo "== run $run of $runs under load (log: $log)"
    rc=0
    ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300 --no-tests=error \
        >"$log" 2>&1 || rc=$?
    took=$((SECONDS - started))
    result=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$log" | tail -1 || true)
    echo "   $result ($took s)"
    failed=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\|.*\))$/\1 (\2)/p' "$log")
    if ((rc != 0)); then
        failed_runs=$((failed_runs + 1))
        summary+=("run $run: ${result:-ctest failed ($rc)}, in $took s; failed: $(echo $failed)")
    else
        summary+=("run $run: $result, in $took s")
    fi
done

echo
echo "== load test: $runs runs with $jobs cores kept busy"
printf '%s\n' "${summary[@]}"
((failed_runs == 0))
