# Shared by install_test.sh and deb_test.sh (sourced, not run): the checks
# of an installed qor as a host program's developer meets it. The sourcing
# script sets `work` (a scratch folder), `cmake`, `cc` and `source`.

# The installed tree must stand on its own, not borrow from the build.
unset LD_LIBRARY_PATH LD_PRELOAD PKG_CONFIG_PATH CMAKE_PREFIX_PATH QOR_LIB_DIR PYTHONPATH
for n in $(seq 1 16); do unset "QOR_COMM_PORT$n"; done

failures=0
sim_pid=
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then pass "$what"; else fail "$what"; cat "$work/out" >&2; fi
}
stop_sim() {
    if [[ -n "$sim_pid" ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
}
finish() {
    if ((failures)); then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "$1"
}

# Starts the installed simulator on a fresh pseudo-terminal and runs
# COMMAND... PTY; it is stopped by its process id afterwards.
run_with_sim() {  # run_with_sim SIMULATOR DESCRIPTION COMMAND...
    local sim=$1 what=$2
    shift 2
    local pty=
    coproc SIM { exec "$sim" --pty --steady; }
    sim_pid=$SIM_PID
    # The first line appears once the terminal is ready; the bound only
    # guards against a simulator that never starts.
    if ! read -r -t 20 pty <&"${SIM[0]}" || [[ "$pty" != /dev/* ]]; then
        fail "$what: qor-sim printed no terminal path ('$pty')"
    else
        check "$what" "$@" "$pty"
    fi
    stop_sim
}

# The public headers on their own, as plain C, each alone and both together.
check_headers() {  # check_headers INCLUDE_DIR
    local flags=(-std=c99 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$1")
    local includes src h
    for includes in qor_dll.h qor_comm.h "qor_comm.h qor_dll.h"; do
        src=
        for h in $includes; do src+="#include <$h>"$'\n'; done
        src+=$'int main(void) { return 0; }\n'
        check "headers ($includes) compile as plain C" "$cc" "${flags[@]}" -x c - <<<"$src"
    done
}

# A host built through find_package(qor 1.0 REQUIRED) with CMAKE_PREFIX_PATH;
# it must find the package under PREFIX, and runs without a library path
# (CMake gives it an rpath to the libraries it linked). Leaves the program in
# $work/host-cmake/qor_host.
build_cmake_host() {  # build_cmake_host PREFIX EXPECTED_PACKAGE_DIR
    local log=$work/host-cmake.log
    if "$cmake" -S "$source/tests/packaging/host" -B "$work/host-cmake" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_PREFIX_PATH="$1" -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 &&
        "$cmake" --build "$work/host-cmake" >>"$log" 2>&1; then
        local found
        found=$(sed -n 's/^qor_DIR:PATH=//p' "$work/host-cmake/CMakeCache.txt")
        [[ "$found" == "$2" ]] || fail "find_package found qor in '$found', not in $2"
        pass "host built with find_package(qor)"
        return 0
    fi
    cat "$log" >&2
    fail "host built with find_package(qor)"
    return 1
}

# A host built through pkg-config with PKG_CONFIG_PATH=PC_DIR, once plain
# (it then needs LD_LIBRARY_PATH) and once with an rpath to the .pc file's
# libdir; and a byte-link-only host through qor_comm.pc. PREFIX, when given,
# stands in for the prefix the files were installed for (a tree unpacked or
# moved elsewhere). Leaves the programs in $work/host-pc and
# $work/host-pc-rpath.
build_pc_hosts() {  # build_pc_hosts PC_DIR VERSION [PREFIX]
    if ! command -v pkg-config >/dev/null; then
        fail "pkg-config is not installed (scripts/setup.sh installs pkgconf)"
        return 1
    fi
    local pc_flags libdir
    local pkg_config=(pkg-config)
    [[ -n "${3:-}" ]] && pkg_config+=(--define-variable=prefix="$3")
    export PKG_CONFIG_PATH=$1
    [[ "$(pkg-config --modversion qor)" == "$2" ]] || fail "pkg-config --modversion qor"
    [[ "$(pkg-config --modversion qor_comm)" == "$2" ]] || fail "pkg-config --modversion qor_comm"
    read -r -a pc_flags <<<"$("${pkg_config[@]}" --cflags --libs qor)"
    libdir=$("${pkg_config[@]}" --variable=libdir qor)
    check "host built with pkg-config (${pc_flags[*]})" \
        "$cc" -std=c99 -Wall -Wextra -Werror -o "$work/host-pc" \
        "$source/tests/packaging/host/main.c" "${pc_flags[@]}" -lm
    check "host built with pkg-config and an rpath to its libdir" \
        "$cc" -std=c99 -Wall -Wextra -Werror -o "$work/host-pc-rpath" \
        "$source/tests/packaging/host/main.c" "${pc_flags[@]}" -lm -Wl,-rpath,"$libdir"
    read -r -a pc_flags <<<"$("${pkg_config[@]}" --cflags --libs qor_comm)"
    check "qor_comm.pc compiles and links a byte-link host" "$cc" -std=c99 -x c \
        -o "$work/comm-only" - "${pc_flags[@]}" \
        <<<$'#include <qor_comm.h>\nint main(void) { QOR_ClosePort(1); return 0; }'
    unset PKG_CONFIG_PATH
}

# `man QOR_RD` and every other function's page lead to qor_dll(3).
check_man_links() {  # check_man_links MAN3_DIR FUNCTION...
    local dir=$1 name page missing=()
    shift
    page=$(basename "$(find "$dir" -maxdepth 1 -name 'qor_dll.3*' -print -quit)")
    [[ -n "$page" ]] || { fail "no qor_dll(3) in $dir"; return 1; }
    for name in "$@"; do
        [[ "$(readlink "$dir/$name.3${page#qor_dll.3}")" == "$page" ]] || missing+=("$name")
    done
    if ((${#missing[@]})); then
        fail "no page link to $page for: ${missing[*]}"
    else
        pass "page links to $page for all $# functions"
    fi
}
