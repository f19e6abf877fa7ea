#!/usr/bin/env bash
# Builds the libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs it for a bounded time.
#   scripts/fuzz.sh [SECONDS]      default 60; e.g. 3600 for a long run
# New inputs that grow coverage are kept in build-fuzz/corpus; a crash leaves
# its input in build-fuzz/ (crash-*), to be replayed with
#   build-fuzz/command_fuzzer build-fuzz/crash-...
# and then copied into tests/fuzz/corpus/ as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_FUZZ=ON \
    -DQOR_WERROR=ON -DQOR_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all" \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all" \
    >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target command_fuzzer
mkdir -p build-fuzz/corpus
cd build-fuzz
rc=0
./command_fuzzer -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=./ \
    corpus ../tests/fuzz/corpus >fuzz.log 2>&1 || rc=$?
grep -E "^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)|ERROR|SUMMARY|invariant broken" fuzz.log || true
if ((rc != 0)); then
    tail -n 40 fuzz.log
    echo "fuzz: FAILED (exit $rc); the input is in build-fuzz/ (crash-* or timeout-*)"
    exit "$rc"
fi
echo "fuzz: no failure in ${seconds} s"
