"""Exceptions raised for failed transactions and links.

Every command function of the library reports a (status, error) pair:

======  =====  ==========================================================
status  error  meaning (the names of include/qor_dll.h, mirrored here)
======  =====  ==========================================================
0       0      STATUS_OK: success
100     1      ERROR_NO_REPLY: a frame was written but no complete reply
               came back
100     2      ERROR_REPLY_CHECKSUM: the reply's checksum did not match
100     3      ERROR_OTHER_ADDRESS: the reply echoes another module's
               address
100     other  the module sent an error reply; error is its code
200     1      ERROR_NOT_WRITTEN: a frame could not be completely written
               to the link
200     2      ERROR_REPLY_FIELD: the reply's field does not hold what the
               command reads: a DI reply without exactly the hex digits
               asked for, or a reading or count whose field holds no digit
               (ERROR_DIGIT_COUNT is its earlier name)
200     3      ERROR_ARGUMENTS_REFUSED: the arguments cannot be put into a
               frame; nothing was sent
======  =====  ==========================================================

Status 100 (STATUS_REPLY_FAULT) becomes ``ModuleError`` (the module did not
answer as it should; no reply at all is its subclass ``NoReplyError``, also
a ``TimeoutError``), status 200 (STATUS_LINK_FAULT) becomes ``LinkError``
(the host side could not do its part; also an ``OSError``, as pyserial's
``SerialException`` is, so ``except OSError:`` catches a lost port).
"""

from typing import Optional

__all__ = [
    "QorError",
    "ModuleError",
    "NoReplyError",
    "LinkError",
    "TargetError",
    "STATUS_OK",
    "STATUS_REPLY_FAULT",
    "STATUS_LINK_FAULT",
    "ERROR_NO_REPLY",
    "ERROR_REPLY_CHECKSUM",
    "ERROR_OTHER_ADDRESS",
    "ERROR_NOT_WRITTEN",
    "ERROR_REPLY_FIELD",
    "ERROR_DIGIT_COUNT",
    "ERROR_ARGUMENTS_REFUSED",
    "STATUS_MODULE",
    "STATUS_LINK",
    "error_for_status",
]

# The library's status and error numbers, as include/qor_dll.h names them.
STATUS_OK = 0
STATUS_REPLY_FAULT = 100
STATUS_LINK_FAULT = 200
ERROR_NO_REPLY = 1  # with STATUS_REPLY_FAULT
ERROR_REPLY_CHECKSUM = 2  # with STATUS_REPLY_FAULT
ERROR_OTHER_ADDRESS = 3  # with STATUS_REPLY_FAULT
ERROR_NOT_WRITTEN = 1  # with STATUS_LINK_FAULT
ERROR_REPLY_FIELD = 2  # with STATUS_LINK_FAULT
ERROR_DIGIT_COUNT = ERROR_REPLY_FIELD  # its earlier name
ERROR_ARGUMENTS_REFUSED = 3  # with STATUS_LINK_FAULT

#: Earlier names of STATUS_REPLY_FAULT and STATUS_LINK_FAULT.
STATUS_MODULE = STATUS_REPLY_FAULT
STATUS_LINK = STATUS_LINK_FAULT


class QorError(Exception):
    """Base of the errors of this package.

    Attributes:
        status: the library's status (100 or 200), or None when the error did
            not come from a transaction (for example a port that would not
            open).
        error: the library's error number that goes with ``status``, or None.
        command: the two command letters ("RD", "DO", ...), when known.
        address: the module's address character, when known.
        reply: the module's last reply as read ("?1 RANGE"), without its CR
            and anything before its "*" or "?"; None when nothing came.
    """

    def __init__(
        self,
        message: str,
        status: Optional[int] = None,
        error: Optional[int] = None,
        command: Optional[str] = None,
        address: Optional[str] = None,
        reply: Optional[str] = None,
    ):
        super().__init__(message)
        self.status = status
        self.error = error
        self.command = command
        self.address = address
        self.reply = reply


class ModuleError(QorError):
    """The module did not answer properly (status 100).

    ``error`` is 1 for no reply (raised as ``NoReplyError``), 2 for a
    checksum mismatch, otherwise the code of the module's error reply (the
    character at index 3 of "?1 BAD", here ord("B") == 66; a signed byte, 0
    when the reply had no such character). ``reply`` holds the module's own
    text, "?1 BAD".
    """


class NoReplyError(ModuleError, TimeoutError):
    """No complete reply came within the link's time-out (status 100, error 1).

    A ``ModuleError`` and also a ``TimeoutError``, as a read that timed out
    is elsewhere. ``reply`` holds what came, if a reply was cut off.
    """

    def __str__(self) -> str:
        # OSError would show its arguments; the message is the one given.
        return self.args[0] if self.args else ""


class LinkError(QorError, OSError):
    """The host side failed (status 200), or a port could not be opened.

    Also an ``OSError``, as pyserial's ``SerialException`` is: code written
    for ``except OSError:`` catches a port that is gone or would not open.

    ``error`` is 1 when a frame could not be written, 2 when a DI reply did
    not hold exactly the hex digits asked for, 3 when the arguments could
    not be put into a frame (nothing was sent). For a port that would not
    open, status and error are None, ``reason`` is the byte link's own
    text and ``errno`` the system's code.
    """

    def __init__(self, *args, reason: Optional[str] = None, errno: Optional[int] = None,
                 **kwargs):
        super().__init__(*args, **kwargs)
        self.reason = reason
        self.errno = errno
        # OSError's own fields: the system's text for the code, when known.
        self.strerror = reason

    def __str__(self) -> str:
        # OSError would show "[Errno n] reason"; the message says more.
        return self.args[0] if self.args else ""


class PortBusyError(LinkError):
    """The serial device is held by another program (a gateway polling it,
    a terminal program): the byte link opens a device for one program at a
    time, and refuses a second at once. ``reason`` names the holder where
    its lock shows it ("port busy: /dev/ttyUSB0 is held by qor-gateway (PID
    812)"); ``errno`` is EBUSY (on Windows ERROR_SHARING_VIOLATION). Reach
    the modules through the program that holds them, or open the device
    with ``exclusive=0`` in the target on both sides to share it."""


class TargetError(LinkError, ValueError):
    """A link target the byte link refuses as malformed (bad syntax, an
    unknown option, a value out of range); nothing was opened. A
    ``LinkError`` (so also an ``OSError``) and a ``ValueError``."""


def _describe_code(code: int) -> str:
    if code == 0:
        return "no error code"
    byte = code & 0xFF
    if 0x20 < byte < 0x7F:
        return "code %d %r" % (code, chr(byte))
    return "code %d" % code


def escape(text: str) -> str:
    """Text from outside (a reply, a target) made safe to print: CR, LF,
    TAB and backslash as \\r \\n \\t \\\\, other characters outside
    printable ASCII as \\xHH (as the qor tool shows them)."""
    out = []
    for ch in text:
        code = ord(ch)
        if ch in "\r\n\t\\":
            out.append({"\r": "\\r", "\n": "\\n", "\t": "\\t", "\\": "\\\\"}[ch])
        elif code < 0x20 or code >= 0x7F:
            out.append("\\x%02x" % (code & 0xFF))
        else:
            out.append(ch)
    return "".join(out)


def error_for_status(
    status: int,
    error: int,
    command: str,
    address: str,
    reply: Optional[str] = None,
    where: Optional[str] = None,
    di_count: Optional[int] = None,
) -> Optional[QorError]:
    """Return the exception for a (status, error) pair, or None for success.

    ``command`` and ``address`` go into the message and attributes, with
    the module's ``reply`` when there was one; ``where`` names the link and
    its time-out for a missing reply ("port 1000, /dev/pts/3, 200 ms per
    character"); ``di_count`` the bytes a DI asked for.
    """
    if status == STATUS_OK:
        return None
    who = "module %s" % address
    quoted = '"%s"' % escape(reply) if reply else None
    details = (command, address, reply)
    if status == STATUS_REPLY_FAULT:
        if error == ERROR_NO_REPLY:
            msg = "no reply from %s to %s" % (who, command)
            if quoted:
                msg = "no complete reply from %s to %s: got %s" % (who, command, quoted)
            if where:
                msg += " (%s)" % where
            return NoReplyError(msg, status, error, *details)
        if error == ERROR_REPLY_CHECKSUM:
            msg = "reply checksum mismatch in the answer of %s to %s" % (who, command)
            if quoted:
                msg += ": %s" % quoted
        elif error == ERROR_OTHER_ADDRESS:
            msg = "the answer to %s for %s came from another address" % (command, who)
            if quoted:
                msg += ": %s" % quoted
        elif quoted:
            msg = "%s answered %s with %s (%s)" % (who, command, quoted, _describe_code(error))
        else:
            msg = "%s answered %s with an error reply (%s)" % (who, command, _describe_code(error))
        return ModuleError(msg, status, error, *details)
    if status == STATUS_LINK_FAULT:
        if error == ERROR_NOT_WRITTEN:
            msg = "frame could not be written (%s to %s)" % (command, who)
            if where:
                msg += ": %s" % where
        elif error == ERROR_REPLY_FIELD and command != "DI":
            msg = "reply of %s to %s held no number" % (who, command)
            if quoted:
                msg += ": %s" % quoted
        elif error == ERROR_REPLY_FIELD:
            asked = "%d hex digits" % (2 * di_count) if di_count else "the hex digits asked for"
            msg = "DI reply did not hold exactly %s (%s)" % (asked, who)
            if quoted:
                msg += ": %s" % quoted
        elif error == ERROR_ARGUMENTS_REFUSED:
            msg = "arguments cannot be framed (%s to %s); nothing was sent" % (command, who)
        else:
            msg = "link failure %d (%s to %s)" % (error, command, who)
        return LinkError(msg, status, error, *details)
    return QorError(
        "unexpected status %d, error %d (%s to %s)" % (status, error, command, who),
        status,
        error,
        *details,
    )
