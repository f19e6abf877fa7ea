#!/usr/bin/env bash
# Builds the Debian packages with CPack into a temporary folder and checks
# them as Debian ships libraries: the control data of each (dependencies
# computed and satisfiable here), their contents (multiarch library folder,
# stripped binaries, nothing from the build), lintian without errors. Then
# it unpacks them into a throw-away root (no system-wide install) and, from
# there, builds a host with pkg-config and another with CMake, runs them and
# the Python package against the root's simulator, and runs qor --version.
#
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR CPACK CMAKE C_COMPILER VERSION TRIPLET
#                    FUNCTION,...
set -euo pipefail

build=$1 source=$2 cpack=$3 cmake=$4 cc=$5 version=$6 triplet=$7
IFS=, read -r -a functions <<<"$8"
arch=$(dpkg --print-architecture)
python=/usr/bin/python3

work=$(mktemp -d "${TMPDIR:-/tmp}/qor-deb-test.XXXXXX")
# shellcheck source=consumer_lib.sh
. "$source/tests/packaging/consumer_lib.sh"
trap 'stop_sim; rm -rf "$work"' EXIT

for tool in dpkg-deb lintian file; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed" >&2; exit 1; }
done

(cd "$build" && "$cpack" -G DEB -B "$work/debs") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; echo "FAIL: cpack -G DEB" >&2; exit 1; }

# package -> architecture of its file
declare -A package_arch=([libqor1]=$arch [libqor-dev]=$arch [qor-tools]=$arch [python3-qor]=all)
# The gateway is its own package, where the build has it.
gateway=0
if [[ -x "$build/qor-gateway" ]]; then
    gateway=1
    package_arch[qor-gateway]=$arch
fi
declare -A deb
for package in "${!package_arch[@]}"; do
    deb[$package]=$work/debs/${package}_${version}_${package_arch[$package]}.deb
    [[ -f "${deb[$package]}" ]] || { ls "$work/debs" >&2; fail "no $(basename "${deb[$package]}")"; }
done
((failures == 0)) || exit 1
shopt -s nullglob
all_debs=("$work"/debs/*.deb)
((${#all_debs[@]} == ${#package_arch[@]})) || fail "cpack made ${#all_debs[@]} packages: ${all_debs[*]}"

# --- control data
field() { dpkg-deb -f "${deb[$1]}" "$2"; }
declare -A section=([libqor1]=libs [libqor-dev]=libdevel [qor-tools]=electronics [python3-qor]=python
    [qor-gateway]=net)
for package in "${!deb[@]}"; do
    [[ "$(field "$package" Package)" == "$package" ]] || fail "$package: Package is wrong"
    [[ "$(field "$package" Version)" == "$version" ]] || fail "$package: Version is not $version"
    [[ "$(field "$package" Architecture)" == "${package_arch[$package]}" ]] ||
        fail "$package: Architecture is $(field "$package" Architecture)"
    [[ "$(field "$package" Section)" == "${section[$package]}" ]] || fail "$package: Section"
    [[ "$(field "$package" Maintainer)" == *"<"*"@"*">" ]] || fail "$package: Maintainer"
    [[ "$(field "$package" Description | wc -l)" -ge 3 ]] ||
        fail "$package: no long description"
done
depends() { field "$1" Depends; }
[[ "$(depends libqor1)" == *libc6* && "$(depends libqor1)" == *libstdc++6* ]] ||
    fail "libqor1 Depends '$(depends libqor1)' lacks what dpkg-shlibdeps finds"
[[ "$(depends libqor-dev)" == *"libqor1 (= $version)"* ]] || fail "libqor-dev Depends"
[[ "$(depends qor-tools)" == *"libqor1 (= $version)"* && "$(depends qor-tools)" == *libc6* ]] ||
    fail "qor-tools Depends '$(depends qor-tools)'"
[[ "$(depends python3-qor)" == *python3* && "$(depends python3-qor)" == *"libqor1 (>= $version)"* ]] ||
    fail "python3-qor Depends '$(depends python3-qor)'"
if ((gateway)); then
    # zlib: the status page's files and large answers go out compressed.
    [[ "$(depends qor-gateway)" == *"libqor1 (= $version)"* && "$(depends qor-gateway)" == *libmosquitto* &&
        "$(depends qor-gateway)" == *libmodbus* && "$(depends qor-gateway)" == *zlib1g* ]] ||
        fail "qor-gateway Depends '$(depends qor-gateway)'"
fi
# Every dependency is one of these packages or is met on this system.
satisfied() {  # satisfied "name (op version)"
    local name op want have
    read -r name op want <<<"$(sed -E 's/^ *([^ (]+) *(\(([<>=]+) *([^)]+)\))?.*/\1 \3 \4/' <<<"$1")"
    name=${name%%:*}
    if [[ -n "${deb[$name]:-}" ]]; then have=$version
    else have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null) || return 1; fi
    [[ -z "$op" ]] && return 0
    case "$op" in '=') op=eq ;; '>=') op=ge ;; '<=') op=le ;; '>>') op=gt ;; '<<') op=lt ;; esac
    dpkg --compare-versions "$have" "$op" "$want"
}
for package in "${!deb[@]}"; do
    IFS=, read -r -a items <<<"$(depends "$package")"
    for item in "${items[@]}"; do
        ok=0
        IFS='|' read -r -a alternatives <<<"$item"
        for alternative in "${alternatives[@]}"; do satisfied "$alternative" && ok=1; done
        ((ok)) || fail "$package: dependency '$item' is not met here"
    done
done
dpkg-deb -e "${deb[libqor1]}" "$work/control"
grep -q "^libqor_dll 1 libqor1 (>= $version)" "$work/control/shlibs" || fail "shlibs: libqor_dll"
grep -q "^libqor_comm 1 libqor1 (>= $version)" "$work/control/shlibs" || fail "shlibs: libqor_comm"
grep -qx "activate-noawait ldconfig" "$work/control/triggers" || fail "no ldconfig trigger"
pass "control data"

# --- contents
lib="usr/lib/$triplet"
contents() { dpkg-deb -c "${deb[$1]}" | awk '{ print $6 $7 $8 }' | sed 's|^\./||'; }
# Only the gateway has something outside /usr: the folder of its configuration.
declare -A outside=([qor-gateway]='etc/|etc/qor/')
expect_contents() {  # expect_contents PACKAGE PATTERN...
    local package=$1 pattern
    shift
    contents "$package" >"$work/contents"
    for pattern in "$@" "usr/share/doc/$package/copyright" "usr/share/doc/$package/changelog.gz"; do
        grep -Eq "^$pattern\$" "$work/contents" || fail "$package lacks $pattern"
    done
    if grep -Ev "^(usr/.*|${outside[$package]:-usr/.*}|)\$" "$work/contents" | grep -q .; then
        fail "$package: files outside /usr: $(grep -Ev '^usr/' "$work/contents" | paste -sd' ')"
    fi
    if grep -Eq 'test|gtest|/build' "$work/contents"; then fail "$package: test or build files"; fi
}
expect_contents libqor1 \
    "$lib/libqor_dll\.so\.$version" "$lib/libqor_dll\.so\.1->libqor_dll\.so\.$version" \
    "$lib/libqor_comm\.so\.$version" "$lib/libqor_comm\.so\.1->libqor_comm\.so\.$version"
if contents libqor1 | grep -Eq '\.so->|\.so$|include/'; then fail "libqor1 has development files"; fi
expect_contents libqor-dev \
    'usr/include/qor/qor_dll\.h' 'usr/include/qor/qor_comm\.h' \
    "$lib/libqor_dll\.so->libqor_dll\.so\.1" "$lib/libqor_comm\.so->libqor_comm\.so\.1" \
    "$lib/pkgconfig/qor\.pc" "$lib/pkgconfig/qor_comm\.pc" \
    "$lib/cmake/qor/qorConfig\.cmake" "$lib/cmake/qor/qorConfigVersion\.cmake" \
    "$lib/cmake/qor/qorTargets\.cmake" \
    'usr/share/man/man3/qor_dll\.3\.gz' 'usr/share/man/man3/QOR_RD\.3\.gz->qor_dll\.3\.gz'
expect_contents qor-tools 'usr/bin/qor' 'usr/bin/qor-sim' \
    'usr/share/man/man1/qor\.1\.gz' 'usr/share/man/man1/qor-sim\.1\.gz'
expect_contents python3-qor 'usr/lib/python3/dist-packages/qor/__init__\.py' \
    'usr/lib/python3/dist-packages/qor/py\.typed' \
    'usr/lib/python3/dist-packages/qor/_installed_version\.py'
if ((gateway)); then
    expect_contents qor-gateway 'usr/bin/qor-gateway' 'usr/share/man/man1/qor-gateway\.1\.gz' \
        'usr/share/doc/qor-gateway/gateway\.toml\.example' \
        'usr/lib/systemd/system/qor-gateway\.service' 'etc/qor/'
fi
pass "contents"

# --- lintian: no errors; the warnings it gives are listed in the README
if lintian --fail-on error "${all_debs[@]}" >"$work/lintian" 2>&1
then
    pass "lintian: no errors"
else
    fail "lintian reports errors"
fi
sed 's/^/  lintian: /' "$work/lintian"

# --- unpacked into a throw-away root
root=$work/root
for package in "${!deb[@]}"; do dpkg-deb -x "${deb[$package]}" "$root"; done
elf_files=("$root/$lib"/libqor_*.so."$version" "$root/usr/bin/qor" "$root/usr/bin/qor-sim")
((gateway)) && elf_files+=("$root/usr/bin/qor-gateway")
for f in "${elf_files[@]}"; do
    file -L "$f" | grep -q ', stripped' || fail "$f is not stripped"
done
out=$("$root/usr/bin/qor" --version 2>&1) || fail "qor --version from the root: $out"
[[ "$out" == "qor $version" ]] || fail "qor --version from the root printed '$out'"
pass "qor --version from the root: $out"
sim=$root/usr/bin/qor-sim
if ((gateway)); then
    grep -q "^ExecStart=/usr/bin/qor-gateway " "$root/usr/lib/systemd/system/qor-gateway.service" ||
        fail "the systemd unit does not start /usr/bin/qor-gateway"
    out=$("$root/usr/bin/qor-gateway" --check \
        "$root/usr/share/doc/qor-gateway/gateway.toml.example" 2>&1) ||
        fail "qor-gateway --check of the packaged example: $out"
    pass "qor-gateway from the root checks its example configuration"
fi
check_man_links "$root/usr/share/man/man3" "${functions[@]}"

check_headers "$root/usr/include/qor"
if build_cmake_host "$root/usr" "$root/$lib/cmake/qor"; then
    run_with_sim "$sim" "find_package host from the root against qor-sim" \
        "$work/host-cmake/qor_host"
fi
# The .pc files name /usr, where the packages install; the root stands in.
if build_pc_hosts "$root/$lib/pkgconfig" "$version" "$root/usr"; then
    run_with_sim "$sim" "pkg-config host from the root against qor-sim" \
        env LD_LIBRARY_PATH="$root/$lib" "$work/host-pc"
fi

# The Python package from the root, with Debian's python3, finds libqor1 by
# soname (here through LD_LIBRARY_PATH, as the root is not the system).
cat >"$work/use_python.py" <<'EOF'
import sys
import qor

expected_version, root, pty = sys.argv[1:4]
assert qor.__version__ == expected_version, qor.__version__
assert qor.__file__.startswith(root), qor.__file__
with qor.Link(pty + "?timeout_ms=500") as link:
    value = link.module("1").rd()
assert abs(value - 72.1) < 0.001, value
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libqor_" in line}
assert loaded and all(path.startswith(root) for path in loaded), loaded
print("python3-qor", qor.__version__, "read", value, "through", sorted(loaded))
EOF
run_with_sim "$sim" "python3-qor from the root against qor-sim" \
    env PYTHONPATH="$root/usr/lib/python3/dist-packages" LD_LIBRARY_PATH="$root/$lib" \
    "$python" "$work/use_python.py" "$version" "$root"
cat "$work/out"

finish "deb package checks passed"
