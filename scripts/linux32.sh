#!/usr/bin/env bash
# The 32-bit x86 Linux stage: libqor_dll and libqor_comm built with gcc -m32
# in build-m32, with the tests that need nothing but them: the unit tests
# (every value field parsed and framed, at every x87 precision) and the
# host-side checks of the built libraries (loaded with dlopen and with
# LD_PRELOAD, their exports, no heap in a transaction). On 32-bit x86 the
# floating-point unit is the x87 one, whose precision a host may change: the
# 64-bit builds cannot show what goes wrong there.
# Installs gcc-multilib and g++-multilib when run as root (Debian packages).
# Where they cannot be had, or the kernel runs no 32-bit programs, it says
# so loudly and exits with status 2 (what can be built is built first).
# Extra arguments go to the ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-m32
jobs=$(nproc)
((jobs > 2)) && jobs=2
source scripts/can_run_32bit.sh

not_run() {
    cat >&2 <<EOF

########################################################################
#  NOT PASSED: the 32-bit Linux tests did not run.
#  Why: $1
########################################################################
EOF
    exit 2
}

if [[ $(uname -m) != x86_64 ]]; then
    not_run "this is not an x86-64 machine ($(uname -m)), so gcc -m32 does not apply"
fi
# The multilib packages bring the 32-bit C and C++ libraries.
libstdcxx32=/usr/lib/gcc/x86_64-linux-gnu/$(g++ -dumpversion)/32/libstdc++.so
if ! bash scripts/setup.sh build "$libstdcxx32" g++-multilib \
    /usr/src/googletest/CMakeLists.txt googletest; then
    not_run "gcc-multilib and g++-multilib could not be installed (run as root)"
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main() { return 0; }' >"$probe/probe.cpp"
if ! g++ -m32 -o "$probe/probe" "$probe/probe.cpp" 2>"$probe/log"; then
    not_run "g++ -m32 cannot link a program: $(head -n 3 "$probe/log")"
fi
runs=1
can_run_32bit || runs=0

# GoogleTest built for 32 bits, once.
gtest=$build/googletest
if [[ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]]; then
    echo "== GoogleTest for -m32"
    cmake -S /usr/src/googletest -B "$build/googletest-build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
        -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
    cmake --build "$build/googletest-build" -j"$jobs" >/dev/null
    cmake --install "$build/googletest-build" >/dev/null
fi

echo "== 32-bit build (build-m32)"
# One CTest test per program: the cases of engine_tests are listed when the
# tests run, which needs no program to run at build time.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_WERROR=ON \
    -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32 \
    -DCMAKE_SHARED_LINKER_FLAGS=-m32 -DQOR_BUILD_BENCH=OFF -DQOR_GATEWAY=OFF \
    -DQOR_TEST_WHOLE_PROGRAMS=ON -DGTest_DIR="$gtest/lib/cmake/GTest" >/dev/null
cmake --build "$build" -j"$jobs" --target qor_dll qor_comm engine_tests host_dlopen_test \
    host_preload_test recording_link no_heap_test
file -L "$build/libqor_dll.so" | grep -q 'ELF 32-bit' ||
    not_run "build-m32/libqor_dll.so is not a 32-bit library"

if ((!runs)); then
    not_run "$(why_no_32bit); the 32-bit libraries and test programs were built, none ran"
fi
echo "== 32-bit tests"
ctest --test-dir "$build" --output-on-failure --timeout 300 --no-tests=error \
    -R '^(engine_tests|host_dlopen_test|host_preload_test|library_exports|no_heap_in_transactions)$' "$@"
