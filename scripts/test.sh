#!/usr/bin/env bash
# Builds everything and runs every test: the ordinary build, the house
# style's clang-tidy checks, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, the
# Windows build under Wine, and a bounded fuzzing run.
#   QOR_FUZZ_SECONDS   length of the fuzzing run (default 60)
#   QOR_QUICK=1        the ordinary build only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
started=$SECONDS
stage() { echo; echo "== $* ($((SECONDS - started)) s)"; }
# Every CTest run goes through here, so that the counts add up at the end.
counts=$(mktemp)
trap 'rm -f "$counts"' EXIT
run_ctest() { ctest "$@" 2>&1 | tee -a "$counts"; }

stage "ordinary build: unit, integration and end-to-end tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
run_ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300

if [[ "${QOR_QUICK:-0}" == 1 ]]; then
    exit 0
fi

stage "clang-tidy: the house style (CONTRIBUTING.md)"
QOR_TIDY_JOBS="$jobs" bash scripts/tidy.sh

stage "AddressSanitizer + UndefinedBehaviorSanitizer: the whole suite"
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-asan -j"$jobs"
# Python cannot load instrumented libraries without preloading the runtime,
# and the packaging tests repeat the install of the ordinary build.
ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 300 \
    -E '^(python|packaging)'

stage "ThreadSanitizer: the tests that call from several threads"
tsan="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS="$tsan" -DCMAKE_CXX_FLAGS="$tsan" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build-tsan -j"$jobs" --target engine_tests comm_link_test e2e_library_test qor-sim
TSAN_OPTIONS=halt_on_error=1 run_ctest --test-dir build-tsan --output-on-failure --timeout 300 \
    -R '(Concurrency|SideBySide|Racing)'

stage "Windows: cross builds with mingw-w64, tests under Wine"
bash scripts/windows.sh 2>&1 | tee -a "$counts"

stage "libFuzzer: every command export over arbitrary link input"
bash scripts/fuzz.sh "${QOR_FUZZ_SECONDS:-60}"

stage "all stages passed in $((SECONDS - started)) s"
total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$counts" |
    awk '{ n += $1 } END { print n + 0 }')
echo "$total passed, 0 failed"
