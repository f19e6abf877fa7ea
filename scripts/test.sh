#!/usr/bin/env bash
# Builds everything and runs every test: the ordinary build (gcc), the house
# style's clang-tidy checks, the same tests built with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, the libraries built with gcc -m32 and their unit tests
# (scripts/linux32.sh), the Windows builds under Wine, a bounded fuzzing
# run, and the mutation check on a slice of its list (scripts/mutants.sh).
# Every build treats warnings as errors, so the whole tree stays clean under
# both gcc and clang. The closing lines give the time of each stage.
# A machine that cannot run 32-bit programs (a kernel without 32-bit
# emulation, no 32-bit Wine, no gcc multilib) runs everything else; the
# 32-bit tests it could not run are then reported NOT PASSED at the end,
# above the counts, which leave them out.
#   QOR_FUZZ_SECONDS   length of the fuzzing run (default 60)
#   QOR_QUICK=1        the ordinary build only
#   QOR_REQUIRE_WIN32=1  fail when the 32-bit Windows tests cannot run
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
jobs=$(nproc)
started=$SECONDS
stage_started=$SECONDS
stage_name=""
timings=()
# Starts a stage, closing the one before with its time.
stage() {
    end_stage
    stage_name=$*
    stage_started=$SECONDS
    echo
    echo "== $stage_name (at $((SECONDS - started)) s)"
}
end_stage() {
    if [[ -n "$stage_name" ]]; then
        timings+=("$(printf '%5d s  %s' $((SECONDS - stage_started)) "$stage_name")")
    fi
    stage_name=""
}
# Every CTest run goes through here, so that the counts add up at the end.
# A run that finds no test, or runs none, fails the stage: a tree
# configured without its tests must not pass for a tested one.
counts=$(mktemp)
run_ctest() {
    local out
    out=$(mktemp)
    ctest --no-tests=error "$@" 2>&1 | tee "$out"
    cat "$out" >>"$counts"
    local ran
    ran=$(sed -n 's/.*tests passed, [0-9]* tests* failed out of \([0-9]*\).*/\1/p' "$out" | tail -1)
    rm -f "$out"
    if [[ -z "$ran" || "$ran" == 0 ]]; then
        echo "test.sh: this stage ran no test (ctest $*)" >&2
        return 1
    fi
}
print_times() {
    end_stage
    echo
    echo "== stage times"
    printf '%s\n' "${timings[@]}"
    printf '%5d s  all stages\n' $((SECONDS - started))
}
# A failed stage still shows how long each stage took.
on_exit() {
    local rc=$?
    if ((rc != 0)) && [[ -n "$stage_name" ]]; then
        local failed=$stage_name
        print_times
        echo "FAILED in: $failed"
    fi
    rm -f "$counts"
}
trap on_exit EXIT
not_passed=()
summary() {
    print_times
    if ((${#not_passed[@]})); then
        echo
        echo "########################################################################"
        printf '#  NOT PASSED: %s\n' "${not_passed[@]}"
        echo "########################################################################"
    fi
    local total
    total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$counts" |
        awk '{ n += $1 } END { print n + 0 }')
    echo "$total passed, 0 failed"
}

# The packaging tests build Debian packages from this build, which is
# therefore configured for /usr (libraries in the multiarch folder). build/
# is also the folder of scripts/demo.sh and of the README's examples: every
# setting the stage needs is given here, whatever an earlier command cached
# there (the demo configures it without tests).
stage "ordinary build (gcc): unit, integration, end-to-end and packaging tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DQOR_WERROR=ON -DQOR_BUILD_TESTS=ON -DQOR_BUILD_BENCH=ON -DQOR_GATEWAY=ON -DQOR_FUZZ=OFF \
    -DQOR_TEST_WHOLE_PROGRAMS=OFF >/dev/null
cmake --build build -j"$jobs"
run_ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300
# Every pattern of the mutation list still finds its place in the code.
bash scripts/mutants.sh --check
# The layout, the Python lint and the guide's file names.
bash scripts/style.sh

if [[ "${QOR_QUICK:-0}" == 1 ]]; then
    summary
    exit 0
fi

stage "clang-tidy: the house style (CONTRIBUTING.md)"
QOR_TIDY_JOBS="$jobs" bash scripts/tidy.sh

stage "clang, AddressSanitizer + UndefinedBehaviorSanitizer: the whole suite"
# Not "function": hosts call the C interface through pointer types of their
# own (an int for an unsigned char switch), which the tests do on purpose.
# The sanitizer runtime is a shared library, so that the libraries can keep
# linking with --no-undefined; the programs find it through an rpath.
san="-fsanitize=address,undefined -fno-sanitize=function -fno-sanitize-recover=all"
san+=" -fno-omit-frame-pointer"
san_link="-fsanitize=address,undefined -shared-libsan -Wl,-rpath,$(clang --print-runtime-dir)"
CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQOR_WERROR=ON \
    -DQOR_BUILD_TESTS=ON -DQOR_BUILD_BENCH=ON -DQOR_TEST_WHOLE_PROGRAMS=ON \
    -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
    -DCMAKE_EXE_LINKER_FLAGS="$san_link" -DCMAKE_SHARED_LINKER_FLAGS="$san_link" >/dev/null
cmake --build build-asan -j"$jobs"
# Python cannot load instrumented libraries without preloading the runtime,
# the packaging tests repeat the install of the ordinary build, and the
# browser test drives a real Chromium (the ordinary stage runs it), and so
# do the RabbitMQ tests their cluster. The ordinary stage has the long
# soak; here each link soaks for 10 s.
QOR_SOAK_SECONDS=10 \
    ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 300 \
    -LE '^(python|packaging|browser|rabbitmq)$'

stage "ThreadSanitizer (gcc): the tests that call from several threads"
tsan="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQOR_WERROR=ON -DQOR_BUILD_TESTS=ON \
    -DQOR_BUILD_BENCH=OFF -DQOR_GATEWAY=ON \
    -DQOR_TEST_WHOLE_PROGRAMS=OFF \
    -DCMAKE_C_FLAGS="$tsan" -DCMAKE_CXX_FLAGS="$tsan" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build-tsan -j"$jobs" --target engine_tests comm_link_test comm_lookup_test \
    e2e_library_test qor-sim qor-gateway gateway_broker_tests gateway_sparkplug_tests
# Calls from several threads on several ports; the trace callback and its
# removal; host lookups on their helper thread; the gateway's pollers and
# MQTT thread end to end; the broker connection's thread and the Sparkplug
# node's publishers.
TSAN_OPTIONS=halt_on_error=1 run_ctest --test-dir build-tsan --output-on-failure -j"$jobs" \
    --timeout 300 -L '^threads$'

stage "32-bit x86 Linux (gcc -m32): the libraries and their unit tests"
linux32_rc=0
bash scripts/linux32.sh 2>&1 | tee -a "$counts" || linux32_rc=$?
if ((linux32_rc == 2)); then
    not_passed+=("the 32-bit Linux tests, which did not run (see the 32-bit Linux stage)")
    stage_name+=" (NOT RUN)"
elif ((linux32_rc != 0)); then
    exit "$linux32_rc"
fi

stage "Windows: cross builds with mingw-w64, 64- and 32-bit tests under Wine"
windows_rc=0
QOR_NATIVE_SIM=$PWD/build/qor-sim bash scripts/windows.sh 2>&1 | tee -a "$counts" || windows_rc=$?
if ((windows_rc == 2)) && [[ "${QOR_REQUIRE_WIN32:-0}" != 1 ]]; then
    not_passed+=("the 32-bit Windows tests, which this machine cannot run (see the Windows stage)")
    stage_name+=" (32-bit: NOT RUN)"
elif ((windows_rc != 0)); then
    exit "$windows_rc"
fi

stage "libFuzzer: every command export over arbitrary link input, and the gateway's parsers"
bash scripts/fuzz.sh "${QOR_FUZZ_SECONDS:-60}"

# The whole list takes half an hour; every tenth mutant must be killed.
stage "mutation check: a slice of scripts/mutants.list"
bash scripts/mutants.sh --slice 1/10 --min-rate 100

summary
