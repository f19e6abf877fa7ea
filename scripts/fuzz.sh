#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs them for a bounded time, split
# between them: the library's commands get three quarters, the gateway's
# Modbus TCP framing the rest (it is small, and covered much sooner).
#   scripts/fuzz.sh [SECONDS]      default 60; e.g. 3600 for a long run
# New inputs that grow coverage are kept in build-fuzz/corpus (and
# build-fuzz/modbus-corpus); a crash leaves its input in build-fuzz/
# (crash-*), to be replayed with
#   build-fuzz/command_fuzzer build-fuzz/crash-...
# and then copied into tests/fuzz/corpus/ (tests/gateway/modbus/corpus/) as a
# regression case.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_FUZZ=ON \
    -DQOR_WERROR=ON -DQOR_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all" \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all" \
    >/dev/null
targets=(command_fuzzer)
# The gateway's target exists where the gateway is built (its libraries found).
if grep -q "^QOR_GATEWAY:BOOL=ON" build-fuzz/CMakeCache.txt; then
    targets+=(modbus_frame_fuzzer)
fi
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"
mkdir -p build-fuzz/corpus build-fuzz/modbus-corpus
cd build-fuzz

# fuzz NAME SECONDS LOG CORPUS SEEDS
fuzz() {
    local rc=0
    "./$1" -max_total_time="$2" -print_final_stats=1 -artifact_prefix=./ "$4" "$5" >"$3" 2>&1 ||
        rc=$?
    echo "$1:"
    grep -E "^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)|ERROR|SUMMARY|invariant broken" "$3" || true
    if ((rc != 0)); then
        tail -n 40 "$3"
        echo "fuzz: $1 FAILED (exit $rc); the input is in build-fuzz/ (crash-* or timeout-*)"
        exit "$rc"
    fi
}

# (libFuzzer takes a time of 0 as no limit: a share too short is left out.)
modbus_seconds=0
if [[ " ${targets[*]} " == *" modbus_frame_fuzzer "* ]]; then
    modbus_seconds=$((seconds / 4))
fi
fuzz command_fuzzer $((seconds - modbus_seconds)) fuzz.log corpus ../tests/fuzz/corpus
if ((modbus_seconds > 0)); then
    fuzz modbus_frame_fuzzer "$modbus_seconds" modbus-fuzz.log modbus-corpus \
        ../tests/gateway/modbus/corpus
fi
echo "fuzz: no failure in ${seconds} s"
