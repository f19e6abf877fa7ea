"""A build backend for the qor package that needs nothing but the standard library.

pip builds a package in an isolated environment and first installs the
backend the project names there. A setuptools backend therefore needs a
package index (or, with --no-build-isolation, setuptools and wheel already
installed), which the machines this project runs on do not have. The qor
package is a handful of pure-Python files, so this backend writes the wheel
(and the source archive) itself, and ``pip install ./python`` works offline.

The wheel bundles the two native libraries, libqor_comm and libqor_dll,
copied from a build directory into qor/_libs/, so that the installed package
works with no environment variable and no build tree left behind. The build
directory is named on pip's command line,

    pip install ./python --config-settings qor-build-dir=/path/to/build

and is otherwise build/ beside this python/ folder (relative paths are taken
from the project's top folder). qor-build-dir=none writes a wheel without
libraries, which uses the system's (the Debian package libqor1). A wheel
with libraries carries the platform's tag (linux_x86_64), not "any".

The metadata comes from the [project] table of pyproject.toml, which keeps
the standard layout: moving to another backend later means changing only the
[build-system] table. The version is the project's, read from
project(VERSION ...) in the CMakeLists.txt above this folder (or, in a source
archive, from its PKG-INFO), and written into the package as
qor/_installed_version.py.
"""

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import zipfile

__all__ = [
    "build_wheel",
    "build_sdist",
    "build_editable",
    "get_requires_for_build_wheel",
    "get_requires_for_build_sdist",
    "get_requires_for_build_editable",
]

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "qor"


def _version():
    """The project's version: project(VERSION ...) in ../CMakeLists.txt, else
    the Version of the PKG-INFO that a source archive carries."""
    cmake_lists = os.path.join(os.path.dirname(_HERE), "CMakeLists.txt")
    pkg_info = os.path.join(_HERE, "PKG-INFO")
    for path, pattern in (
        (cmake_lists, r"\bproject\(\s*qor\s+VERSION\s+([0-9][0-9.]*)"),
        (pkg_info, r"^Version:\s*(\S+)\s*$"),
    ):
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as f:
                match = re.search(pattern, f.read(), re.M)
            if match:
                return match.group(1)
    raise RuntimeError("no version: neither %s nor %s states one" % (cmake_lists, pkg_info))


def _project():
    """The simple key = "value" entries of [project] in pyproject.toml, with
    the version."""
    with open(os.path.join(_HERE, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    table = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    if table is None:
        raise RuntimeError("pyproject.toml has no [project] table")
    values = dict(re.findall(r'^([A-Za-z-]+)\s*=\s*"([^"]*)"\s*$', table.group(1), re.M))
    values["version"] = _version()
    for key in ("name", "version"):
        if key not in values:
            raise RuntimeError("pyproject.toml [project] lacks %s" % key)
    return values


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        "Name: %s" % project["name"],
        "Version: %s" % project["version"],
    ]
    if "description" in project:
        lines.append("Summary: %s" % project["description"])
    if "requires-python" in project:
        lines.append("Requires-Python: %s" % project["requires-python"])
    readme = project.get("readme")
    body = ""
    if readme:
        with open(os.path.join(_HERE, readme), encoding="utf-8") as f:
            body = f.read()
        lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + body


def _package_files():
    root = os.path.join(_HERE, _PACKAGE)
    names = sorted(
        n
        for n in os.listdir(root)
        if (n.endswith(".py") or n == "py.typed") and n != _INSTALLED_VERSION
    )
    return [(os.path.join(root, n), "%s/%s" % (_PACKAGE, n)) for n in names]


# The libraries a wheel bundles, by the names the dynamic linker knows them
# (their sonames), which qor/_library.py looks for in qor/_libs/.
_LIBRARIES = ("libqor_comm.so.1", "libqor_dll.so.1")


def _build_dir(config_settings):
    """The build directory to bundle from, or None for a wheel without
    libraries."""
    chosen = (config_settings or {}).get("qor-build-dir")
    if isinstance(chosen, list):
        chosen = chosen[-1]
    if chosen == "none":
        return None
    if not chosen:
        return os.path.join(os.path.dirname(_HERE), "build")
    return os.path.join(os.path.dirname(_HERE), os.path.expanduser(chosen))


def _library_entries(build_dir):
    """(arcname, bytes) of each library, read through its symlinks."""
    entries = []
    for name in _LIBRARIES:
        path = os.path.join(build_dir, name)
        if not os.path.isfile(path):
            raise RuntimeError(
                "no %s in %s: build the libraries first (cmake -S . -B build && cmake --build "
                "build), or name the build directory with --config-settings "
                "qor-build-dir=DIR (qor-build-dir=none for a wheel that uses the system's "
                "libraries)" % (name, build_dir)
            )
        with open(os.path.realpath(path), "rb") as f:
            entries.append(("%s/_libs/%s" % (_PACKAGE, name), f.read()))
    return entries


def _platform_tag():
    return re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())


_INSTALLED_VERSION = "_installed_version.py"


def _installed_version_entry(version):
    """(arcname, bytes) of the module that tells an installed copy its version."""
    text = "# Written when the package was built: the project's version.\nVERSION = %r\n" % version
    return ("%s/%s" % (_PACKAGE, _INSTALLED_VERSION), text.encode("utf-8"))


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def _write_wheel(wheel_directory, entries, platform="any"):
    """entries: list of (arcname, bytes) for the package part of the wheel;
    platform: "any", or the platform tag of the native libraries it holds."""
    project = _project()
    name = project["name"].replace("-", "_")
    version = project["version"]
    dist_info = "%s-%s.dist-info" % (name, version)
    tag = "py3-none-%s" % platform
    purelib = "true" if platform == "any" else "false"
    entries = list(entries) + [
        ("%s/METADATA" % dist_info, _metadata(project).encode("utf-8")),
        (
            "%s/WHEEL" % dist_info,
            (
                "Wheel-Version: 1.0\nGenerator: qor_build\nRoot-Is-Purelib: %s\nTag: %s\n"
                % (purelib, tag)
            ).encode(),
        ),
        ("%s/top_level.txt" % dist_info, (_PACKAGE + "\n").encode()),
    ]
    record_name = "%s/RECORD" % dist_info
    record = "\n".join([_record_line(a, d) for a, d in entries] + [record_name + ",,", ""])
    filename = "%s-%s-%s.whl" % (name, version, tag)
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in entries:
            z.writestr(arcname, data)
        z.writestr(record_name, record)
    return filename


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """Write the wheel holding the qor package and, unless qor-build-dir=none,
    the libraries of the build directory; return its file name."""
    entries = [_installed_version_entry(_project()["version"])]
    for path, arcname in _package_files():
        with open(path, "rb") as f:
            entries.append((arcname, f.read()))
    build_dir = _build_dir(config_settings)
    if build_dir is None:
        return _write_wheel(wheel_directory, entries)
    entries += _library_entries(build_dir)
    return _write_wheel(wheel_directory, entries, _platform_tag())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """Write a wheel whose .pth file points at this source folder (pip install -e)."""
    pth = ("%s\n" % _HERE).encode("utf-8")
    return _write_wheel(wheel_directory, [("_%s_editable.pth" % _PACKAGE, pth)])


def build_sdist(sdist_directory, config_settings=None):
    """Write the source archive; return its file name."""
    project = _project()
    base = "%s-%s" % (project["name"].replace("-", "_"), project["version"])
    files = [
        (os.path.join(_HERE, "pyproject.toml"), "pyproject.toml"),
        (os.path.abspath(__file__), "build_backend/qor_build.py"),
    ] + _package_files()
    if project.get("readme"):
        files.append((os.path.join(_HERE, project["readme"]), project["readme"]))
    filename = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz", format=tarfile.PAX_FORMAT) as t:
        for path, arcname in files:
            t.add(path, arcname="%s/%s" % (base, arcname))
        arcname, data = _installed_version_entry(project["version"])
        for name, data in (("PKG-INFO", _metadata(project).encode("utf-8")), (arcname, data)):
            member = tarfile.TarInfo("%s/%s" % (base, name))
            member.size = len(data)
            t.addfile(member, io.BytesIO(data))
    return filename


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []
