#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs them for a bounded time in all:
# the library's commands over arbitrary link input half of it, the
# gateway's parsers (its configuration file, command topics and payloads,
# Sparkplug B's NCMD, DCMD and STATE, the Modbus TCP framing) the rest, in
# equal shares.
#   scripts/fuzz.sh [SECONDS]      default 60 in all; e.g. 3600 for a long run
# New inputs that grow coverage are kept in build-fuzz/corpus-TARGET; a crash
# leaves its input in build-fuzz/ (TARGET-crash-*), to be replayed with
#   build-fuzz/TARGET build-fuzz/TARGET-crash-...
# and then copied into the target's seed corpus (tests/fuzz/corpus/,
# tests/fuzz/config_corpus/, tests/gateway/mqtt/corpus/,
# tests/gateway/sparkplug/corpus/, tests/gateway/modbus/corpus/) as a
# regression case.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
# The gateway's parts use the shared libraries, which link with
# --no-undefined: the sanitizer runtime is shared (as in scripts/test.sh),
# and the coverage leaves out the stack depth, whose counter only the
# fuzzer program defines.
san="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all"
san+=" -fno-sanitize-coverage=stack-depth"
san_link="-fsanitize=address,undefined -shared-libsan -Wl,-rpath,$(clang --print-runtime-dir)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_FUZZ=ON \
    -DQOR_WERROR=ON -DQOR_BUILD_BENCH=OFF -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
    -DCMAKE_EXE_LINKER_FLAGS="$san_link" -DCMAKE_SHARED_LINKER_FLAGS="$san_link" >/dev/null
# TARGET:SEED_CORPUS: the library's first; the gateway's exist where the
# gateway is built (its libraries found).
# (The list of targets is read whole first: grep -q would stop reading it,
# and under pipefail the build tool's broken pipe would read as "none".)
runs=(command_fuzzer:tests/fuzz/corpus)
known=$(cmake --build build-fuzz --target help)
if grep -q "modbus_frame_fuzzer$" <<<"$known"; then
    runs+=(config_fuzzer:tests/fuzz/config_corpus
        gateway_command_topic_fuzzer:tests/gateway/mqtt/corpus
        gateway_sparkplug_fuzzer:tests/gateway/sparkplug/corpus
        modbus_frame_fuzzer:tests/gateway/modbus/corpus)
fi
targets=("${runs[@]%%:*}")
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"
cd build-fuzz
export ASAN_OPTIONS=${ASAN_OPTIONS:-verify_asan_link_order=0}
gateway_count=$((${#runs[@]} - 1))
for i in "${!runs[@]}"; do
    target=${runs[$i]%%:*}
    seeds=${runs[$i]#*:}
    # Half the time for the library's target, the rest shared; libFuzzer
    # takes 0 as no limit, so each gets a second at least.
    if ((i == 0)); then
        time_for=$((gateway_count > 0 ? seconds / 2 : seconds))
    else
        time_for=$(((seconds - seconds / 2) / gateway_count))
    fi
    ((time_for > 0)) || time_for=1
    mkdir -p "corpus-$target"
    rc=0
    "./$target" -max_total_time="$time_for" -print_final_stats=1 -artifact_prefix="./$target-" \
        "corpus-$target" "../$seeds" >"$target.log" 2>&1 || rc=$?
    echo "fuzz: $target, ${time_for} s"
    grep -E "^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)|ERROR|SUMMARY|invariant broken" "$target.log" || true
    if ((rc != 0)); then
        tail -n 40 "$target.log"
        echo "fuzz: $target FAILED (exit $rc); the input is in build-fuzz/ ($target-crash-* or $target-timeout-*)"
        exit "$rc"
    fi
done
echo "fuzz: no failure in ${seconds} s"
