#!/usr/bin/env bash
# Installs the build into a temporary prefix and consumes it the way a host
# program's developer does: headers compiled as plain C, a host built once
# through find_package(qor) and once through pkg-config, each run against a
# real simulator on a pseudo-terminal; then the tree is moved and must still
# work (the programs and .pc files find everything relative to themselves).
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR CMAKE C_COMPILER VERSION
#                        LIBDIR INCLUDEDIR BINDIR MANDIR
set -euo pipefail

build=$1 source=$2 cmake=$3 cc=$4 version=$5
libdir=$6 includedir=$7 bindir=$8 mandir=$9
host_src=$source/tests/packaging/host

# The installed tree must stand on its own, not borrow from the build.
unset LD_LIBRARY_PATH LD_PRELOAD PKG_CONFIG_PATH CMAKE_PREFIX_PATH
for n in $(seq 1 16); do unset "QOR_COMM_PORT$n"; done

work=$(mktemp -d "${TMPDIR:-/tmp}/qor-install-test.XXXXXX")
sim_pid=
cleanup() {
    if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@" >"$work/out" 2>&1; then pass "$what"; else fail "$what"; cat "$work/out" >&2; fi
}

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log" >&2; echo "FAIL: cmake --install" >&2; exit 1; }

# --- the installed files
for f in \
    "$libdir/libqor_dll.so.$version" "$libdir/libqor_comm.so.$version" \
    "$includedir/qor/qor_dll.h" "$includedir/qor/qor_comm.h" \
    "$libdir/cmake/qor/qorConfig.cmake" "$libdir/cmake/qor/qorConfigVersion.cmake" \
    "$libdir/cmake/qor/qorTargets.cmake" \
    "$libdir/pkgconfig/qor.pc" "$libdir/pkgconfig/qor_comm.pc" \
    "$bindir/qor" "$bindir/qor-sim" \
    "$mandir/man1/qor.1" "$mandir/man1/qor-sim.1" "$mandir/man3/qor_dll.3"; do
    [[ -f "$prefix/$f" ]] || fail "installed file $f missing"
done
# Sonames and development links: name -> soname -> real file.
for lib in qor_dll qor_comm; do
    [[ "$(readlink "$prefix/$libdir/lib$lib.so.1")" == "lib$lib.so.$version" ]] ||
        fail "lib$lib.so.1 does not point at lib$lib.so.$version"
    [[ "$(readlink "$prefix/$libdir/lib$lib.so")" == "lib$lib.so.1" ]] ||
        fail "lib$lib.so does not point at lib$lib.so.1"
done
pass "installed files and library links"

# --- the headers on their own, as plain C, each alone and both together
cflags=(-std=c99 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$prefix/$includedir/qor")
for includes in qor_dll.h qor_comm.h "qor_comm.h qor_dll.h"; do
    src=
    for h in $includes; do src+="#include <$h>"$'\n'; done
    src+=$'int main(void) { return 0; }\n'
    check "headers ($includes) compile as plain C" \
        "$cc" "${cflags[@]}" -x c - <<<"$src"
done

# --- the version file: 1.x requests are met, others are not
check_version() {  # check_version REQUESTED EXPECTED(TRUE|FALSE)
    local got
    got=$("$cmake" -DPACKAGE_FIND_VERSION="$1" \
        -DFILE="$prefix/$libdir/cmake/qor/qorConfigVersion.cmake" \
        -P "$source/tests/packaging/version_check.cmake" 2>&1 | tail -n 1)
    [[ "$got" == "$2" ]] || fail "find_package(qor $1) compatible is '$got', expected $2"
}
check_version 1.0 TRUE
check_version 1 TRUE
check_version "$version" TRUE
check_version 0.9 FALSE
check_version 2.0 FALSE
check_version 1.0.0.2 FALSE
check_version 1.1 FALSE
pass "version compatibility"

# --- starts a simulator on a fresh pseudo-terminal and runs COMMAND... PTY
run_with_sim() {
    local what=$1; shift
    local pty=
    coproc SIM { exec "$prefix/$bindir/qor-sim" --pty --steady; }
    sim_pid=$SIM_PID
    # The first line appears once the terminal is ready; the bound only
    # guards against a simulator that never starts.
    if ! read -r -t 20 pty <&"${SIM[0]}" || [[ "$pty" != /dev/* ]]; then
        fail "$what: qor-sim printed no terminal path ('$pty')"
    else
        check "$what" "$@" "$pty"
    fi
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || true
    sim_pid=
}

# --- host built through find_package(qor 1.0 REQUIRED)
if "$cmake" -S "$host_src" -B "$work/host-cmake" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >"$work/host-cmake.log" 2>&1 &&
    "$cmake" --build "$work/host-cmake" >>"$work/host-cmake.log" 2>&1; then
    found=$(sed -n 's/^qor_DIR:PATH=//p' "$work/host-cmake/CMakeCache.txt")
    [[ "$found" == "$prefix/$libdir/cmake/qor" ]] ||
        fail "find_package found qor in '$found', not in the test prefix"
    pass "host built with find_package(qor)"
    run_with_sim "find_package host against qor-sim" "$work/host-cmake/qor_host"
else
    cat "$work/host-cmake.log" >&2
    fail "host built with find_package(qor)"
fi

# --- host built through pkg-config
if ! command -v pkg-config >/dev/null; then
    fail "pkg-config is not installed (scripts/setup.sh installs pkgconf)"
else
    export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
    [[ "$(pkg-config --modversion qor)" == "$version" ]] || fail "pkg-config --modversion qor"
    [[ "$(pkg-config --modversion qor_comm)" == "$version" ]] || fail "pkg-config --modversion qor_comm"
    read -r -a pc_flags <<<"$(pkg-config --cflags --libs qor)"
    if "$cc" -std=c99 -Wall -Wextra -Werror -o "$work/host-pc" "$host_src/main.c" \
        "${pc_flags[@]}" -lm >"$work/host-pc.log" 2>&1; then
        pass "host built with pkg-config (${pc_flags[*]})"
        run_with_sim "pkg-config host against qor-sim" \
            env LD_LIBRARY_PATH="$prefix/$libdir" "$work/host-pc"
    else
        cat "$work/host-pc.log" >&2
        fail "host built with pkg-config"
    fi
    # The host of a library that only talks to the byte link.
    read -r -a pc_flags <<<"$(pkg-config --cflags --libs qor_comm)"
    check "qor_comm.pc compiles and links a byte-link host" "$cc" -std=c99 -x c \
        -o "$work/comm-only" - "${pc_flags[@]}" \
        <<<$'#include <qor_comm.h>\nint main(void) { QOR_ClosePort(1); return 0; }'
    unset PKG_CONFIG_PATH
fi

# --- the gateway, when the build has it: program, manual page, example
# configuration (which the installed program accepts) and a systemd unit
# that runs the installed program
if [[ -x "$build/qor-gateway" ]]; then
    for f in "$bindir/qor-gateway" "$mandir/man1/qor-gateway.1" \
        share/doc/qor/gateway.toml.example lib/systemd/system/qor-gateway.service; do
        [[ -f "$prefix/$f" ]] || fail "installed file $f missing"
    done
    grep -qx "ExecStart=$prefix/$bindir/qor-gateway /etc/qor/gateway.toml" \
        "$prefix/lib/systemd/system/qor-gateway.service" ||
        fail "qor-gateway.service does not start $prefix/$bindir/qor-gateway"
    check "installed qor-gateway accepts the example configuration" \
        "$prefix/$bindir/qor-gateway" --check "$prefix/share/doc/qor/gateway.toml.example"
fi

# --- the CLI from the prefix, with no library path set
out=$("$prefix/$bindir/qor" --version 2>&1) || fail "qor --version exited non-zero: $out"
[[ "$out" == *"$version"* ]] || fail "qor --version printed '$out', expected $version"
pass "qor --version prints $version"

# --- the whole tree moved elsewhere still works
mv "$prefix" "$work/moved"
prefix=$work/moved
out=$("$prefix/$bindir/qor" --version 2>&1) || fail "moved qor --version: $out"
if command -v pkg-config >/dev/null; then
    moved_libdir=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --variable=libdir qor)
    [[ "$(cd "$moved_libdir" && pwd -P)" == "$(cd "$prefix/$libdir" && pwd -P)" ]] ||
        fail "moved qor.pc libdir is '$moved_libdir'"
fi
run_with_sim "qor from a moved prefix against qor-sim" "$prefix/$bindir/qor" rd --link
pass "moved prefix"

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all packaging checks passed"
