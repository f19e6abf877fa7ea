#!/usr/bin/env bash
# The Windows stage: cross builds with MinGW-w64 and their tests under Wine.
#   build-win64       qor_dll.dll, qor_comm.dll, qor.exe and the tests
#                     (x86-64) under the 64-bit Wine, including qor.exe
#                     against the native simulator over TCP and over a COM
#                     port mapped onto a pseudo-terminal
#   build-win32       the same for 32-bit x86 under the 32-bit Wine: the unit
#                     tests, and a host program that calls every export
#                     through __stdcall pointers found by plain name, with
#                     the stack pointer checked around each call
#   build-native-w    qor-sim for the build machine, unless QOR_NATIVE_SIM
#                     names one already built
# Installs what it needs when run as root (Debian packages only; the 32-bit
# Wine needs the i386 architecture, which it adds). Where no 32-bit Wine can
# be had or run, it says so loudly after the rest has run and exits with
# status 2: the 32-bit DLLs are what a 32-bit host loads, and untested they
# do not count as passed.
# Headless: no display is used. Extra arguments go to every ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS
step_started=$SECONDS
step() {
    echo "== $* (at $((SECONDS - started)) s; the step before took $((SECONDS - step_started)) s)"
    step_started=$SECONDS
}
jobs=$(nproc)
((jobs > 2)) && jobs=2

# --- packages ----------------------------------------------------------------
step "packages"
bash scripts/setup.sh build \
    x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix \
    i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix \
    /usr/lib/wine/wine64 wine64 \
    /usr/src/googletest/CMakeLists.txt googletest \
    flock util-linux

# The 32-bit Wine runs 32-bit Linux programs, which some kernels refuse.
source scripts/can_run_32bit.sh
# The 32-bit Wine is an i386 package: the architecture is added first.
wine32=/usr/lib/wine/wine
wine32_problem=""
if ! can_run_32bit; then
    wine32_problem=$(why_no_32bit)
elif [[ ! -x "$wine32" ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        wine32_problem="not installed, and this is not root (as root: dpkg --add-architecture i386; apt-get update; apt-get install wine32:i386)"
    elif ! dpkg --print-foreign-architectures | grep -qx i386 && ! dpkg --add-architecture i386; then
        wine32_problem="dpkg --add-architecture i386 failed"
    else
        # wine32 must match wine64's version exactly.
        version=$(dpkg-query -W -f='${Version}' wine64)
        if ! DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
            ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                -o DPkg::Lock::Timeout=600 "wine32:i386=$version" >/dev/null; then
            wine32_problem="apt-get install wine32:i386 failed"
        elif [[ ! -x "$wine32" ]]; then
            wine32_problem="wine32:i386 is installed but $wine32 is missing"
        fi
    fi
fi

win64=$root/build-win64
win32=$root/build-win32
native=$root/build-native-w
wineservers=(/usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32 /usr/lib/wine/wineserver)
# Each prefix's wineserver is stopped at the end, with everything Wine
# started under it.
stop_wine() {
    for prefix in "$win64/wine-prefix" "$win32/wine-prefix"; do
        for server in "${wineservers[@]}"; do
            [[ -x "$server" ]] && WINEPREFIX="$prefix" "$server" -k 2>/dev/null || true
        done
    done
}
trap stop_wine EXIT
unset QOR_WINEPREFIX

# GoogleTest built for a target, once per build directory.
build_gtest() {  # build_gtest BUILD_DIR TOOLCHAIN
    local gtest=$1/googletest
    if [[ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]]; then
        cmake -S /usr/src/googletest -B "$1/googletest-build" -DCMAKE_TOOLCHAIN_FILE="$2" \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
            -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
        cmake --build "$1/googletest-build" -j"$jobs" >/dev/null
        cmake --install "$1/googletest-build" >/dev/null
    fi
}

# --- builds ------------------------------------------------------------------
# The test script passes the simulator of its own build (QOR_NATIVE_SIM).
native_sim=${QOR_NATIVE_SIM:-}
if [[ -z "$native_sim" ]]; then
    step "native simulator (build-native-w)"
    cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_BUILD_TESTS=OFF \
        -DQOR_BUILD_BENCH=OFF >/dev/null
    cmake --build "$native" -j"$jobs" --target qor-sim
    native_sim=$native/qor-sim
fi

for bits in 64 32; do
    if [[ $bits == 64 ]]; then
        build=$win64 toolchain=$root/cmake/toolchains/mingw-w64-x86_64.cmake
        extra=(-DQOR_NATIVE_SIM="$native_sim")
    else
        build=$win32 toolchain=$root/cmake/toolchains/mingw-w64-i686.cmake
        extra=(-DQOR_BUILD_TESTS=ON -DQOR_WINDOWS_CHECKS=OFF -DQOR_WINDOWS_RUN=ON)
        # Without a 32-bit Wine no test program runs: the DLLs' tables are
        # checked, and the host program is built but not run.
        [[ -n "$wine32_problem" ]] &&
            extra=(-DQOR_BUILD_TESTS=OFF -DQOR_WINDOWS_CHECKS=ON -DQOR_WINDOWS_RUN=OFF)
    fi
    if [[ $bits == 64 || -z "$wine32_problem" ]]; then
        step "GoogleTest for $bits-bit Windows"
        build_gtest "$build" "$toolchain"
    fi
    step "$bits-bit cross build ($(basename "$build"))"
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DGTest_DIR="$build/googletest/lib/cmake/GTest" -DQOR_WERROR=ON "${extra[@]}" >/dev/null
    cmake --build "$build" -j"$jobs"
done

# --- tests -------------------------------------------------------------------
# The prefixes are made first: making one takes longer than the tests allow
# for listing a test program's cases.
step "Wine prefixes"
tests/windows/wine_run.sh --arch=win64 --prefix="$win64/wine-prefix" wineboot
if [[ -z "$wine32_problem" ]]; then
    tests/windows/wine_run.sh --arch=win32 --prefix="$win32/wine-prefix" wineboot
fi

step "x86-64 tests under Wine"
ctest --no-tests=error --test-dir "$win64" --output-on-failure -j"$jobs" --timeout 120 "$@"

if [[ -z "$wine32_problem" ]]; then
    step "32-bit x86 tests under Wine"
    ctest --no-tests=error --test-dir "$win32" --output-on-failure -j"$jobs" --timeout 120 "$@"
else
    step "32-bit x86: the tables only, no 32-bit Wine"
    ctest --no-tests=error --test-dir "$win32" --output-on-failure --timeout 60 "$@"
    cat >&2 <<EOF

########################################################################
#  NOT PASSED: the 32-bit Windows tests did not run.
#  32-bit Wine: $wine32_problem
#  The 32-bit DLLs, qor.exe and the __stdcall host program were built and
#  the DLLs' export and import tables checked, but no 32-bit program ran.
########################################################################
EOF
    step "Windows stage: 64-bit passed, 32-bit NOT RUN ($((SECONDS - started)) s)"
    exit 2
fi

step "Windows stage passed in $((SECONDS - started)) s"
