#!/usr/bin/env bash
# The Windows stage: cross builds with MinGW-w64 and their tests under Wine.
#   build-win64       qor_dll.dll, qor_comm.dll, qor.exe and the unit tests
#                     (x86-64); the tests run under Wine, including qor.exe
#                     against the native simulator over TCP and over a COM
#                     port mapped onto a pseudo-terminal
#   build-win32       qor_dll.dll, qor_comm.dll and qor.exe for 32-bit x86,
#                     whose export and import tables are checked (no 32-bit
#                     Wine)
#   build-native-w    qor-sim for the build machine
# Installs what it needs when run as root (Debian packages only). Headless:
# no display is used. Extra arguments go to both ctest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS
step_started=$SECONDS
step() {
    echo "== $* (at $((SECONDS - started)) s; the step before took $((SECONDS - step_started)) s)"
    step_started=$SECONDS
}

# --- packages ----------------------------------------------------------------
bash scripts/setup.sh \
    x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix \
    i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix \
    /usr/lib/wine/wine64 wine64 \
    /usr/src/googletest/CMakeLists.txt googletest \
    flock util-linux

win64=$root/build-win64
win32=$root/build-win32
native=$root/build-native-w
prefix=$win64/wine-prefix
wineserver=/usr/lib/wine/wineserver
[[ -x "$wineserver" ]] || wineserver=$(command -v wineserver || echo true)
# The wineserver of this run's prefix is stopped at the end, with everything
# Wine started under it.
trap 'WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true' EXIT

# --- builds ------------------------------------------------------------------
step "native simulator (build-native-w)"
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$native" -j2 --target qor-sim

# GoogleTest built for the target, once per build directory.
gtest=$win64/googletest
if [[ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]]; then
    step "GoogleTest for x86-64 Windows"
    cmake -S /usr/src/googletest -B "$win64/googletest-build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
        -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
    cmake --build "$win64/googletest-build" -j2 >/dev/null
    cmake --install "$win64/googletest-build" >/dev/null
fi

step "x86-64 cross build (build-win64)"
cmake -S . -B "$win64" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
    -DGTest_DIR="$gtest/lib/cmake/GTest" \
    -DQOR_NATIVE_SIM="$native/qor-sim" >/dev/null
cmake --build "$win64" -j2

step "32-bit x86 cross build (build-win32)"
cmake -S . -B "$win32" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-i686.cmake" \
    -DQOR_BUILD_TESTS=OFF -DQOR_WINDOWS_CHECKS=ON >/dev/null
cmake --build "$win32" -j2

# --- tests -------------------------------------------------------------------
step "Wine prefix"
unset QOR_WINEPREFIX
win/wine-run.sh --prefix="$prefix" wineboot

step "x86-64 tests under Wine"
ctest --test-dir "$win64" --output-on-failure -j2 --timeout 120 "$@"

step "32-bit x86 export and import tables"
ctest --test-dir "$win32" --output-on-failure --timeout 60 "$@"

step "Windows stage passed in $((SECONDS - started)) s"
