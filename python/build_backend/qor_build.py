"""A build backend for the qor package that needs nothing but the standard library.

pip builds a package in an isolated environment and first installs the
backend the project names there. A setuptools backend therefore needs a
package index (or, with --no-build-isolation, setuptools and wheel already
installed), which the machines this project runs on do not have. The qor
package is a handful of pure-Python files, so this backend writes the wheel
(and the source archive) itself, and ``pip install ./python`` works offline.

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
    names = sorted(n for n in os.listdir(root) if n.endswith(".py") and n != _INSTALLED_VERSION)
    return [(os.path.join(root, n), "%s/%s" % (_PACKAGE, n)) for n in names]


_INSTALLED_VERSION = "_installed_version.py"


def _installed_version_entry(version):
    """(arcname, bytes) of the module that tells an installed copy its version."""
    text = "# Written when the package was built: the project's version.\nVERSION = %r\n" % version
    return ("%s/%s" % (_PACKAGE, _INSTALLED_VERSION), text.encode("utf-8"))


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def _write_wheel(wheel_directory, entries):
    """entries: list of (arcname, bytes) for the package part of the wheel."""
    project = _project()
    name = project["name"].replace("-", "_")
    version = project["version"]
    dist_info = "%s-%s.dist-info" % (name, version)
    entries = list(entries) + [
        ("%s/METADATA" % dist_info, _metadata(project).encode("utf-8")),
        (
            "%s/WHEEL" % dist_info,
            b"Wheel-Version: 1.0\nGenerator: qor_build\nRoot-Is-Purelib: true\n"
            b"Tag: py3-none-any\n",
        ),
        ("%s/top_level.txt" % dist_info, (_PACKAGE + "\n").encode()),
    ]
    record_name = "%s/RECORD" % dist_info
    record = "\n".join([_record_line(a, d) for a, d in entries] + [record_name + ",,", ""])
    filename = "%s-%s-py3-none-any.whl" % (name, version)
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in entries:
            z.writestr(arcname, data)
        z.writestr(record_name, record)
    return filename


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """Write the wheel holding the qor package; return its file name."""
    entries = [_installed_version_entry(_project()["version"])]
    for path, arcname in _package_files():
        with open(path, "rb") as f:
            entries.append((arcname, f.read()))
    return _write_wheel(wheel_directory, entries)


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
