"""Drive addressable I/O modules through the qor libraries (ctypes, no dependencies).

A Link is one open port of the byte link (a serial device or a raw TCP
target); a Module is one address on it, with one method per command under
its protocol letters and under a descriptive name::

    import qor

    with qor.Link("/dev/ttyUSB0", baudrate=9600, timeout=0.2) as link:
        m = link.module("1")
        print(m.read())                       # 72.1        (m.rd())
        m.set_high_limit(100.0, latching=True)  #           (m.hi(100.0, "L"))
        m.set_digital_outputs(0x01)           #             (m.do(0x01))

Failures raise ModuleError (the module did not answer properly, status 100;
NoReplyError, also a TimeoutError, when it did not answer at all) or
LinkError (the host side failed, status 200); both are QorError and carry
``status``, ``error`` and the module's ``reply``. Bad arguments raise
TypeError or ValueError before anything is sent. Every frame and reply is
logged to the logger "qor" at DEBUG.

The libraries (libqor_comm, then libqor_dll) are loaded on first use; see
``qor.load`` for where they are looked for.
"""

from ._library import LoadError, load, loaded_paths
from ._version import __version__  # noqa: F401  (the package's version)
from .errors import (
    ERROR_ARGUMENTS_REFUSED,
    ERROR_DIGIT_COUNT,
    ERROR_NO_REPLY,
    ERROR_NOT_WRITTEN,
    ERROR_OTHER_ADDRESS,
    ERROR_REPLY_CHECKSUM,
    ERROR_REPLY_FIELD,
    STATUS_LINK_FAULT,
    STATUS_OK,
    STATUS_REPLY_FAULT,
    LinkError,
    ModuleError,
    NoReplyError,
    PortBusyError,
    QorError,
    TargetError,
)
from .link import (
    FIRST_AUTO_PORT,
    MAX_VALUE,
    MODE_LATCHING,
    MODE_MOMENTARY,
    MODE_NO_LETTER,
    SAFE_TO_REPEAT,
    Link,
    Module,
)
from .ports import SerialPort, list_ports

__all__ = [
    "ERROR_ARGUMENTS_REFUSED",
    "ERROR_DIGIT_COUNT",
    "ERROR_NOT_WRITTEN",
    "ERROR_NO_REPLY",
    "ERROR_OTHER_ADDRESS",
    "ERROR_REPLY_CHECKSUM",
    "ERROR_REPLY_FIELD",
    "FIRST_AUTO_PORT",
    "LinkError",
    "Link",
    "LoadError",
    "MAX_VALUE",
    "MODE_LATCHING",
    "MODE_MOMENTARY",
    "MODE_NO_LETTER",
    "Module",
    "ModuleError",
    "NoReplyError",
    "PortBusyError",
    "QorError",
    "SAFE_TO_REPEAT",
    "STATUS_LINK_FAULT",
    "STATUS_OK",
    "STATUS_REPLY_FAULT",
    "SerialPort",
    "TargetError",
    "enable_checksum",
    "enable_debug",
    "list_ports",
    "load",
    "loaded_paths",
]

#: Same as ``Link.enable_debug`` (a process-wide switch of the library).
enable_debug = Link.enable_debug
#: Same as ``Link.enable_checksum`` (a process-wide switch of the library).
enable_checksum = Link.enable_checksum
