#!/usr/bin/env bash
# Configuring tells the truth about the gateway: with its libraries missing
# it is left out with the reason and the command that installs them; once
# they are there, the next configure of the same tree builds it, unless the
# user said otherwise (QOR_GATEWAY=OFF sticks; ON without them stops).
# The libraries are hidden from pkg-config (PKG_CONFIG_LIBDIR), as on a
# machine without them, and are "installed" by showing them again.
#   configure_test.sh SOURCE_DIR CMAKE
set -euo pipefail
src=$1 cmake=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/build
fail() { echo "FAIL: $*" >&2; exit 1; }

# The package database a build watches while the gateway is left out.
packages=$work/dpkg-status
touch "$packages"
configure() {  # configure LOG [CMAKE ARGUMENT]...
    local log=$1
    shift
    "$cmake" -S "$src" -B "$tree" -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF \
        -DQOR_PACKAGE_DATABASE="$packages" "$@" >"$log" 2>&1
}
summary_line() { grep -E '^-- qor:   qor-gateway ' "$1" | sed 's/^-- qor:   qor-gateway *//'; }
has_target() { "$cmake" --build "$tree" --target help | grep ' qor-gateway$' >/dev/null; }

# 1. Without the libraries: left out, saying why and how to install them.
PKG_CONFIG_LIBDIR=$work/none configure "$work/1.log" || fail "configure 1: $(cat "$work/1.log")"
line=$(summary_line "$work/1.log")
echo "without the libraries: $line"
[[ "$line" == "no: not found: "*libmosquitto*"scripts/setup.sh gateway"* ]] ||
    fail "the summary does not say why the gateway is left out: '$line'"
has_target && fail "qor-gateway is a target without its libraries"

# 2. The libraries are installed (the package database changes): the next
#    build of the same tree configures again and builds the gateway.
touch -d '+1 minute' "$packages"
"$cmake" --build "$tree" --target cmake_check_build_system >"$work/2.log" 2>&1 ||
    fail "build 2: $(cat "$work/2.log")"
line=$(summary_line "$work/2.log")
echo "with the libraries, at the next build: $line"
[[ "$line" == yes ]] || fail "the gateway is not built once its libraries are there: '$line'"
has_target || fail "no qor-gateway target once its libraries are there"

# 3. The user's OFF is kept, with the reason.
configure "$work/3.log" -DQOR_GATEWAY=OFF || fail "configure 3: $(cat "$work/3.log")"
configure "$work/4.log" || fail "configure 4: $(cat "$work/4.log")"
line=$(summary_line "$work/4.log")
echo "turned off: $line"
[[ "$line" == "no: QOR_GATEWAY=OFF" ]] || fail "OFF was not kept: '$line'"

# 4. ON without the libraries stops, naming what is missing (in a tree of
#    its own: pkg-config's findings, once made, are kept in a tree's cache).
if PKG_CONFIG_LIBDIR=$work/none tree=$work/insisting configure "$work/5.log" -DQOR_GATEWAY=ON
then
    fail "QOR_GATEWAY=ON without the libraries configured"
fi
grep -q 'QOR_GATEWAY is ON, but .*libmosquitto' "$work/5.log" ||
    fail "ON without the libraries does not say what is missing: $(cat "$work/5.log")"
echo "ON without the libraries stops, naming them"

# 5. A tree configured by the plain ON/OFF option before: its OFF was found,
#    not chosen, and is decided again.
old_help="Build qor-gateway (needs toml++, nlohmann-json, libmosquitto, OpenSSL, SQLite, libmodbus, libmicrohttpd, libcrypt, protobuf-c)"
sed -i -e '/^\/\/Build qor-gateway: AUTO/,/^QOR_GATEWAY:/{/^\/\//d}' \
    -e "s|^QOR_GATEWAY:STRING=.*|//$old_help\nQOR_GATEWAY:BOOL=OFF|" "$tree/CMakeCache.txt"
configure "$work/6.log" || fail "configure 6: $(cat "$work/6.log")"
line=$(summary_line "$work/6.log")
echo "an older tree's OFF: $line"
[[ "$line" == yes ]] || fail "an older tree's found OFF was kept: '$line'"
echo "configure_test: all cases as expected"
