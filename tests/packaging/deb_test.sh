#!/usr/bin/env bash
# Builds the Debian package with CPack into a temporary folder, checks its
# control data and contents, unpacks it (no system-wide install) and runs the
# unpacked qor.
#
# Usage: deb_test.sh BUILD_DIR CPACK VERSION
set -euo pipefail

build=$1 cpack=$2 version=$3
unset LD_LIBRARY_PATH LD_PRELOAD

work=$(mktemp -d "${TMPDIR:-/tmp}/qor-deb-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for tool in dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed" >&2; exit 1; }
done

(cd "$build" && "$cpack" -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; echo "FAIL: cpack -G DEB" >&2; exit 1; }
shopt -s nullglob
debs=("$work"/out/qor_*.deb)
if ((${#debs[@]} != 1)); then
    cat "$work/cpack.log" >&2
    echo "FAIL: expected one qor_*.deb, found: ${debs[*]:-none}" >&2
    exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

# --- control data
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == qor ]] || fail "Package is '$(field Package)'"
[[ "$(field Version)" == "$version" ]] || fail "Version is '$(field Version)', expected $version"
[[ "$(field Architecture)" == "$(dpkg --print-architecture)" ]] ||
    fail "Architecture is '$(field Architecture)'"
[[ "$(field Maintainer)" == "qor maintainers" ]] || fail "Maintainer is '$(field Maintainer)'"
[[ "$(field Depends)" == *libc6* ]] || fail "Depends '$(field Depends)' does not name libc6"
[[ -n "$(field Description)" ]] || fail "no Description"
dpkg-deb -I "$deb" >"$work/info" || fail "dpkg-deb -I"
grep -q "^ Version: $version$" "$work/info" || fail "dpkg-deb -I shows no version $version"
dpkg-deb -e "$deb" "$work/control"
grep -q "^libqor_dll 1 qor" "$work/control/shlibs" || fail "shlibs lacks libqor_dll 1"
grep -q "^libqor_comm 1 qor" "$work/control/shlibs" || fail "shlibs lacks libqor_comm 1"
grep -q ldconfig "$work/control/postinst" || fail "postinst does not run ldconfig"

# --- contents: every path the package must carry, under /usr
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
for pattern in \
    '\./usr/bin/qor$' '\./usr/bin/qor-sim$' \
    "\./usr/lib/.*libqor_dll\.so\.$version\$" "\./usr/lib/.*libqor_comm\.so\.$version\$" \
    '\./usr/lib/.*libqor_dll\.so\.1 -> ' '\./usr/lib/.*libqor_dll\.so -> ' \
    '\./usr/lib/.*libqor_comm\.so\.1 -> ' '\./usr/lib/.*libqor_comm\.so -> ' \
    '\./usr/include/qor/qor_dll\.h$' '\./usr/include/qor/qor_comm\.h$' \
    '\./usr/lib/.*cmake/qor/qorConfig\.cmake$' '\./usr/lib/.*cmake/qor/qorConfigVersion\.cmake$' \
    '\./usr/lib/.*pkgconfig/qor\.pc$' '\./usr/lib/.*pkgconfig/qor_comm\.pc$' \
    '\./usr/share/man/man1/qor\.1' '\./usr/share/man/man1/qor-sim\.1' \
    '\./usr/share/man/man3/qor_dll\.3'; do
    grep -Eq "$pattern" "$work/contents" || fail "package lacks $pattern"
done
if [[ -x "$build/qor-gateway" ]]; then
    for pattern in '\./usr/bin/qor-gateway$' '\./usr/share/man/man1/qor-gateway\.1' \
        '\./usr/share/doc/qor/gateway\.toml\.example$' \
        '\./usr/lib/systemd/system/qor-gateway\.service$'; do
        grep -Eq "$pattern" "$work/contents" || fail "package lacks $pattern"
    done
fi
# Nothing from the build or test trees, nothing outside /usr.
if grep -Ev ' \./usr(/|$)| \./$' "$work/contents" | grep -q .; then
    fail "package has files outside /usr:"
    grep -Ev ' \./usr(/|$)| \./$' "$work/contents" >&2
fi
if grep -Eq 'test|gtest|/build' "$work/contents"; then
    fail "package carries test or build files:"
    grep -E 'test|gtest|/build' "$work/contents" >&2
fi

# --- unpacked, the programs run
dpkg-deb -x "$deb" "$work/root"
libdir=$(dirname "$(find "$work/root/usr/lib" -name "libqor_dll.so.$version" -print -quit)")
if ! out=$(LD_LIBRARY_PATH=$libdir "$work/root/usr/bin/qor" --help 2>&1); then
    fail "unpacked qor --help exited non-zero"
fi
[[ "$out" == *Usage* || "$out" == *usage* ]] || fail "unpacked qor --help printed: $out"
out=$(LD_LIBRARY_PATH=$libdir "$work/root/usr/bin/qor" --version 2>&1) || true
[[ "$out" == *"$version"* ]] || fail "unpacked qor --version printed: $out"
LD_LIBRARY_PATH=$libdir "$work/root/usr/bin/qor-sim" --help >/dev/null ||
    fail "unpacked qor-sim --help exited non-zero"
if [[ -x "$build/qor-gateway" ]]; then
    grep -qx 'ExecStart=/usr/bin/qor-gateway /etc/qor/gateway.toml' \
        "$work/root/usr/lib/systemd/system/qor-gateway.service" ||
        fail "the packaged unit does not start /usr/bin/qor-gateway"
    LD_LIBRARY_PATH=$libdir "$work/root/usr/bin/qor-gateway" \
        --check "$work/root/usr/share/doc/qor/gateway.toml.example" >/dev/null ||
        fail "unpacked qor-gateway refuses the example configuration"
fi

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "deb package checks passed"
