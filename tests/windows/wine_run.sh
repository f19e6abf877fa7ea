#!/usr/bin/env bash
# Runs a Windows program under Wine, headless and quiet, for CTest (as the
# cross builds' CMAKE_CROSSCOMPILING_EMULATOR) and for scripts/windows.sh.
#   wine_run.sh [--arch=win64|win32] [--prefix=DIR] PROGRAM.exe [ARGS...]
# --arch names the programs' width (default win64): win32 programs run under
# the 32-bit Wine loader in a 32-bit prefix. The Wine prefix is
# $QOR_WINEPREFIX if set, else DIR, else ./wine-prefix; it is created on
# first use, once, even when several tests start together. The exit status
# is the program's.
set -euo pipefail

arch=win64
prefix="${QOR_WINEPREFIX:-}"
while [[ "${1:-}" == --* ]]; do
    case "$1" in
    --arch=win32 | --arch=win64) arch="${1#--arch=}" ;;
    --prefix=*) [[ -n "$prefix" ]] || prefix="${1#--prefix=}" ;;
    *) break ;;
    esac
    shift
done
[[ -n "$prefix" ]] || prefix="$PWD/wine-prefix"
if [[ $# -lt 1 ]]; then
    echo "usage: wine_run.sh [--arch=win64|win32] [--prefix=DIR] PROGRAM.exe [ARGS...]" >&2
    exit 2
fi

wine=""
if [[ "$arch" == win32 ]]; then
    candidates=(/usr/lib/wine/wine /usr/lib32/wine/wine)
    missing="no 32-bit Wine found (Debian: dpkg --add-architecture i386, then apt-get install wine32:i386)"
else
    candidates=(wine64 /usr/lib/wine/wine64 /usr/lib64/wine/wine64 wine)
    missing="no Wine found (Debian: apt-get install wine64)"
fi
for candidate in "${candidates[@]}"; do
    if command -v "$candidate" >/dev/null 2>&1; then
        wine="$(command -v "$candidate")"
        break
    fi
done
if [[ -z "$wine" ]]; then
    echo "wine_run.sh: $missing" >&2
    exit 127
fi
wineserver="$(dirname "$wine")/wineserver"
[[ -x "$wineserver" ]] || wineserver="$(command -v wineserver || echo wineserver)"

export WINEARCH="$arch"
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No window may ever open: without a display a message box fails at once
# instead of waiting for a click nobody can give.
export DISPLAY=""
unset WAYLAND_DISPLAY
# The prefix needs neither .NET nor the HTML engine, whose installers would
# otherwise be offered (and fail) while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

# One lock orders everything below among programs started together: the
# first makes the prefix, and the first to find no wineserver starts one.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
# The prefix counts as made once wineboot has finished and the wineserver
# has written the registry; a prefix left half-made by an interrupted run is
# made again.
ready="$prefix/.qor-prefix-ready"
if [[ ! -f "$ready" ]]; then
    rm -rf "$prefix"
    "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    "$wineserver" -w 9>&- || true
    if [[ ! -f "$prefix/system.reg" ]]; then
        echo "wine_run.sh: could not create the Wine prefix $prefix" >&2
        exit 1
    fi
    touch "$ready"
fi
# Wine's own background processes (services, device host) start with the
# first program of a wineserver and inherit its standard output: a test
# runner reading that output would wait for them to end. So the server is
# started here, kept for a minute after its last program so that a series
# of tests shares it, and those processes are brought up with their output
# going nowhere. Exit status 0 means no server was running.
if "$wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
fi
flock -u 9
exec 9>&-

exec "$wine" "$@"
