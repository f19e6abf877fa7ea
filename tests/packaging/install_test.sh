#!/usr/bin/env bash
# Installs the build into a temporary prefix and consumes it the way a host
# program's developer does: headers compiled as plain C, a host built once
# through find_package(qor) and once through pkg-config, each run against a
# real simulator on a pseudo-terminal; then the tree is moved and must still
# work (the programs and .pc files find everything relative to themselves).
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR CMAKE C_COMPILER VERSION
#                        LIBDIR INCLUDEDIR BINDIR MANDIR FUNCTION,...
set -euo pipefail

build=$1 source=$2 cmake=$3 cc=$4 version=$5
libdir=$6 includedir=$7 bindir=$8 mandir=$9
IFS=, read -r -a functions <<<"${10}"

work=$(mktemp -d "${TMPDIR:-/tmp}/qor-install-test.XXXXXX")
# shellcheck source=consumer_lib.sh
. "$source/tests/packaging/consumer_lib.sh"
trap 'stop_sim; rm -rf "$work"' EXIT

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
    "$mandir/man1/qor.1.gz" "$mandir/man1/qor-sim.1.gz" "$mandir/man3/qor_dll.3.gz"; do
    [[ -f "$prefix/$f" ]] || fail "installed file $f missing"
done
# Sonames and development links: name -> soname -> real file.
for lib in qor_dll qor_comm; do
    [[ "$(readlink "$prefix/$libdir/lib$lib.so.1")" == "lib$lib.so.$version" ]] ||
        fail "lib$lib.so.1 does not point at lib$lib.so.$version"
    [[ "$(readlink "$prefix/$libdir/lib$lib.so")" == "lib$lib.so.1" ]] ||
        fail "lib$lib.so does not point at lib$lib.so.1"
done
# The Debian packages' own files (copyright, changelog) stay out of a plain
# install; the gateway's example configuration is documentation of its own.
if [[ -e "$prefix/share/doc" ]] && find "$prefix/share/doc" -name copyright -o -name 'changelog*' |
    grep -q .; then
    fail "a plain install has the packages' files: $(find "$prefix/share/doc" -type f)"
fi
pass "installed files and library links"
check_man_links "$prefix/$mandir/man3" "${functions[@]}"
if command -v man >/dev/null; then
    check "man -M ... QOR_RD shows qor_dll(3)" \
        bash -c "MANWIDTH=80 man -M '$prefix/$mandir' QOR_RD 2>&1 | grep -q 'QOR_RD(int port'"
fi

check_headers "$prefix/$includedir/qor"

# --- the version file: requests for the same major version up to this one
# are met, others are not.
check_version() {  # check_version REQUESTED EXPECTED(TRUE|FALSE)
    local got
    got=$("$cmake" -DPACKAGE_FIND_VERSION="$1" \
        -DFILE="$prefix/$libdir/cmake/qor/qorConfigVersion.cmake" \
        -P "$source/tests/packaging/version_check.cmake" 2>&1 | tail -n 1)
    [[ "$got" == "$2" ]] || fail "find_package(qor $1) compatible is '$got', expected $2"
}
IFS=. read -r major minor patch tweak <<<"$version"
check_version "$major.0" TRUE
check_version "$major" TRUE
check_version "$version" TRUE
check_version "$((major - 1)).9" FALSE
check_version "$((major + 1)).0" FALSE
check_version "$major.$minor.${patch:-0}.$((${tweak:-0} + 1))" FALSE
check_version "$major.$((minor + 1))" FALSE
pass "version compatibility"

# --- hosts built against the prefix, run against the installed simulator
sim=$prefix/$bindir/qor-sim
if build_cmake_host "$prefix" "$prefix/$libdir/cmake/qor"; then
    run_with_sim "$sim" "find_package host against qor-sim" "$work/host-cmake/qor_host"
fi
if build_pc_hosts "$prefix/$libdir/pkgconfig" "$version"; then
    run_with_sim "$sim" "pkg-config host (LD_LIBRARY_PATH) against qor-sim" \
        env LD_LIBRARY_PATH="$prefix/$libdir" "$work/host-pc"
    run_with_sim "$sim" "pkg-config host (rpath) against qor-sim" "$work/host-pc-rpath"
    # The libdir goes into an rpath as it is: the plain folder, no "..".
    pc_libdir=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --variable=libdir qor)
    [[ "$pc_libdir" == "$prefix/$libdir" ]] || fail "qor.pc's libdir is '$pc_libdir', not $prefix/$libdir"
fi

# --- the Python package from the prefix finds the prefix's libraries, with
# nothing set but the module path
use_python() {  # use_python PREFIX PTY
    env PYTHONPATH="$1/lib/python3/dist-packages" python3 -c '
import sys, qor
prefix, pty = sys.argv[1:3]
with qor.Link(pty, timeout=1.0) as link:
    value = link.module("1").read()
assert value == 72.1, value
paths = qor.loaded_paths()
assert all(p.startswith(prefix + "/") for p in paths), paths
print("read", value, "through", paths)' "$1" "$2"
}
run_with_sim "$sim" "the Python package from the prefix against qor-sim" use_python "$prefix"

# --- the gateway, when the build has it: program, manual page, example
# configuration (which the installed program accepts) and a systemd unit
# that runs the installed program
if [[ -x "$build/qor-gateway" ]]; then
    for f in "$bindir/qor-gateway" "$mandir/man1/qor-gateway.1.gz" \
        share/doc/qor-gateway/gateway.toml.example lib/systemd/system/qor-gateway.service; do
        [[ -f "$prefix/$f" ]] || fail "installed file $f missing"
    done
    grep -qx "ExecStart=$prefix/$bindir/qor-gateway /etc/qor/gateway.toml" \
        "$prefix/lib/systemd/system/qor-gateway.service" ||
        fail "qor-gateway.service does not start $prefix/$bindir/qor-gateway"
    check "installed qor-gateway accepts the example configuration" \
        "$prefix/$bindir/qor-gateway" --check "$prefix/share/doc/qor-gateway/gateway.toml.example"
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
    # The .pc files name the prefix installed to; pkg-config's own option
    # points them at the new place.
    moved_libdir=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig \
        pkg-config --define-variable=prefix="$prefix" --variable=libdir qor)
    [[ "$moved_libdir" == "$prefix/$libdir" ]] || fail "moved qor.pc libdir is '$moved_libdir'"
fi
run_with_sim "$prefix/$bindir/qor-sim" "the Python package from a moved prefix against qor-sim" \
    use_python "$prefix"
run_with_sim "$prefix/$bindir/qor-sim" "qor from a moved prefix against qor-sim" \
    "$prefix/$bindir/qor" rd --link
pass "moved prefix"

finish "all packaging checks passed"
