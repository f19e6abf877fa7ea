"""Drive addressable I/O modules through the qor libraries (ctypes, no dependencies).

A Link is one open port of the byte link (a serial device or a raw TCP
target); a Module is one address on it, with one method per command::

    import qor

    with qor.Link("/dev/ttyUSB0") as link:
        m = link.module("1")
        print(m.rd())          # 72.1
        m.hi(100.0, "L")       # high alarm limit, latching
        m.do(0x01)             # output byte

Failures raise ModuleError (the module did not answer properly, status 100)
or LinkError (the host side failed, status 200); both are QorError and carry
``status`` and ``error``. Bad arguments raise ValueError before anything is
sent.

The libraries (libqor_comm, then libqor_dll) are loaded on first use; see
``qor.load`` for where they are looked for.
"""

from ._library import LoadError, load, loaded_paths
from ._version import __version__
from .errors import LinkError, ModuleError, QorError
from .link import FIRST_AUTO_PORT, MAX_VALUE, Link, Module

__all__ = [
    "FIRST_AUTO_PORT",
    "LinkError",
    "Link",
    "LoadError",
    "MAX_VALUE",
    "Module",
    "ModuleError",
    "QorError",
    "enable_checksum",
    "enable_debug",
    "load",
    "loaded_paths",
]

#: Same as ``Link.enable_debug`` (a process-wide switch of the library).
enable_debug = Link.enable_debug
#: Same as ``Link.enable_checksum`` (a process-wide switch of the library).
enable_checksum = Link.enable_checksum
