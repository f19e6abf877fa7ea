#!/usr/bin/env bash
# The version is written once, in project(VERSION ...); everything that
# states it must agree with it: the library's version text and file name,
# qor --version, qor-sim --version, the pkg-config files, the CMake package version file, the
# manual pages, and the Python package (from the source tree, as installed,
# and as a wheel and source archive). The Debian packages' versions are
# checked by deb_test.sh, the Windows version resources by windows.host.
#
# Usage: version_test.sh SOURCE_DIR BUILD_DIR VERSION LIBQOR_DLL QOR PYTHON QOR_SIM
set -euo pipefail

source=$1 build=$2 version=$3 library=$4 qor=$5 python=$6 sim=$7
work=$(mktemp -d "${TMPDIR:-/tmp}/qor-version-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
agree() {  # agree WHERE STATED
    if [[ "$2" == "$version" ]]; then
        echo "ok: $1 says $2"
    else
        echo "FAIL: $1 says '$2', project() says $version" >&2
        failures=$((failures + 1))
    fi
}

# The library keeps its version text (and no other version) in its data.
agree "libqor_dll's version text" \
    "$(strings -a "$library" | grep -E '^[0-9]+(\.[0-9]+){1,3}$' | sort -u | paste -sd' ')"
agree "libqor_dll's file name" "$(basename "$(readlink -f "$library")" | sed 's/^libqor_dll\.so\.//')"
agree "qor --version" "$("$qor" --version | sed 's/^qor //')"
agree "qor-sim --version" "$("$sim" --version | sed 's/^qor-sim //')"
for pc in qor qor_comm; do
    agree "$pc.pc" "$(sed -n 's/^Version: //p' "$build/pkgconfig/$pc.pc")"
done
agree "qorConfigVersion.cmake" \
    "$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/cmake/qorConfigVersion.cmake")"
for page in "$build"/man-plain/*.[13]; do
    agree "$(basename "$page")" "$(sed -n 's/^\.TH .* "qor \([^"]*\)".*/\1/p' "$page")"
done

# Python: the source tree reads CMakeLists.txt; an install carries the
# version in a module of its own; the build backend writes it into the wheel
# and the source archive (whose own build then reads it from PKG-INFO).
agree "the Python package from the source tree" \
    "$(cd "$work" && PYTHONPATH="$source/python" "$python" -c 'import qor; print(qor.__version__)')"
mkdir -p "$work/installed/qor"
cp "$source"/python/qor/*.py "$build/python/_installed_version.py" "$work/installed/qor/"
agree "the Python package as installed" \
    "$(cd "$work" && PYTHONPATH="$work/installed" "$python" -c 'import qor; print(qor.__version__)')"
made=$(cd "$source/python" && "$python" -c '
import sys
sys.path.insert(0, "build_backend")
import qor_build
# Without the libraries (qor-build-dir=none): only the version matters here.
none = {"qor-build-dir": "none"}
print(qor_build.build_wheel(sys.argv[1], none), qor_build.build_sdist(sys.argv[1]))' "$work")
read -r wheel sdist <<<"$made"
agree "the wheel's name" "$(sed -E 's/^qor-([^-]+)-.*/\1/' <<<"$wheel")"
mkdir "$work/wheel"
(cd "$work/wheel" && "$python" -m zipfile -e "../$wheel" .)
agree "the wheel's metadata" "$(sed -n 's/^Version: //p' "$work"/wheel/qor-*.dist-info/METADATA)"
agree "the Python package from the wheel" \
    "$(cd "$work" && PYTHONPATH="$work/wheel" "$python" -c 'import qor; print(qor.__version__)')"
tar -xzf "$work/$sdist" -C "$work"
unpacked=$work/${sdist%.tar.gz}
agree "the source archive's package" \
    "$(cd "$work" && PYTHONPATH="$unpacked" "$python" -c 'import qor; print(qor.__version__)')"
mkdir "$work/rebuilt"
agree "a wheel built from the source archive" "$(cd "$unpacked" && "$python" -c '
import sys
sys.path.insert(0, "build_backend")
import qor_build
print(qor_build.build_wheel(sys.argv[1], {"qor-build-dir": "none"}))' "$work/rebuilt" |
    sed -E 's/^qor-([^-]+)-.*/\1/')"

if ((failures)); then
    echo "$failures place(s) disagree with project(VERSION $version)" >&2
    exit 1
fi
echo "every place agrees on $version"
