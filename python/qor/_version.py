"""The package's version, which is the project's: project(VERSION ...) in the
top-level CMakeLists.txt is the one place it is written.

An installed copy (by CMake, the Debian package or a wheel) carries it in
``_installed_version.py``, written when it was installed; a copy used from
the source tree reads it from CMakeLists.txt beside the ``python/`` folder.
"""

import re
from pathlib import Path

__all__ = ["__version__"]


def _source_tree_version() -> str:
    cmake_lists = Path(__file__).resolve().parent.parent.parent / "CMakeLists.txt"
    try:
        text = cmake_lists.read_text(encoding="utf-8")
    except OSError:
        return "0+unknown"
    match = re.search(r"\bproject\(\s*qor\s+VERSION\s+([0-9][0-9.]*)", text)
    return match.group(1) if match else "0+unknown"


try:
    from ._installed_version import VERSION as __version__
except ImportError:
    __version__ = _source_tree_version()
