#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for its share of a bounded
# time.
#   scripts/fuzz.sh [SECONDS]      default 60 in all; e.g. 3600 for a long run
# New inputs that grow coverage are kept in build-fuzz/corpus-NAME; a crash
# leaves its input in build-fuzz/ (crash-*), to be replayed with
#   build-fuzz/NAME build-fuzz/crash-...
# and then copied into the target's seed folder of tests/fuzz/ as a
# regression case.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
# Each target and its seeds in tests/fuzz/; the seconds are shared out.
targets=(command_fuzzer:corpus config_fuzzer:config_corpus)
share=$((seconds / ${#targets[@]} > 0 ? seconds / ${#targets[@]} : 1))
# The gateway's reader uses the shared libraries, which link with
# --no-undefined: the sanitizer runtime is shared (as in scripts/test.sh),
# and the coverage leaves out the stack depth, whose counter only the
# fuzzer program defines.
san="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all"
san+=" -fno-sanitize-coverage=stack-depth"
san_link="-fsanitize=address,undefined -shared-libsan -Wl,-rpath,$(clang --print-runtime-dir)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_FUZZ=ON \
    -DQOR_WERROR=ON -DQOR_BUILD_BENCH=OFF -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
    -DCMAKE_EXE_LINKER_FLAGS="$san_link" -DCMAKE_SHARED_LINKER_FLAGS="$san_link" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]%%:*}"
cd build-fuzz
export ASAN_OPTIONS=${ASAN_OPTIONS:-verify_asan_link_order=0}
for target in "${targets[@]}"; do
    name=${target%%:*}
    mkdir -p "corpus-$name"
    rc=0
    "./$name" -max_total_time="$share" -print_final_stats=1 -artifact_prefix=./ \
        "corpus-$name" "../tests/fuzz/${target#*:}" >"$name.log" 2>&1 || rc=$?
    grep -E "^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)|ERROR|SUMMARY|invariant broken" "$name.log" |
        sed "s/^/$name: /" || true
    if ((rc != 0)); then
        tail -n 40 "$name.log"
        echo "fuzz: $name FAILED (exit $rc); the input is in build-fuzz/ (crash-* or timeout-*)"
        exit "$rc"
    fi
done
echo "fuzz: no failure in ${seconds} s (${targets[*]%%:*}, $share s each)"
