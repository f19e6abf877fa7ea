"""Exceptions raised for failed transactions and links.

Every command function of the library reports a (status, error) pair:

======  =====  ==========================================================
status  error  meaning
======  =====  ==========================================================
0       0      success
100     1      a frame was written but no complete reply came back
100     2      the reply's checksum did not match
100     other  the module sent an error reply; error is its code
200     1      a frame could not be completely written to the link
200     2      a DI reply held fewer hex digits than requested
200     3      the arguments cannot be put into a frame; nothing was sent
======  =====  ==========================================================

Status 100 becomes ``ModuleError`` (the module did not answer as it should),
status 200 becomes ``LinkError`` (the host side could not do its part).
"""

from typing import Optional

__all__ = [
    "QorError",
    "ModuleError",
    "LinkError",
    "STATUS_MODULE",
    "STATUS_LINK",
    "error_for_status",
]

STATUS_MODULE = 100
STATUS_LINK = 200


class QorError(Exception):
    """Base of the errors of this package.

    Attributes:
        status: the library's status (100 or 200), or None when the error did
            not come from a transaction (for example a port that would not
            open).
        error: the library's error number that goes with ``status``, or None.
        command: the two command letters ("RD", "DO", ...), when known.
        address: the module's address character, when known.
    """

    def __init__(
        self,
        message: str,
        status: Optional[int] = None,
        error: Optional[int] = None,
        command: Optional[str] = None,
        address: Optional[str] = None,
    ):
        super().__init__(message)
        self.status = status
        self.error = error
        self.command = command
        self.address = address


class ModuleError(QorError):
    """The module did not answer properly (status 100).

    ``error`` is 1 for no reply, 2 for a checksum mismatch, otherwise the
    code of the module's error reply (the character at index 3 of "?1 BAD",
    here ord("B") == 66; a signed byte, 0 when the reply had no such
    character).
    """


class LinkError(QorError):
    """The host side failed (status 200), or a port could not be opened.

    ``error`` is 1 when a frame could not be written, 2 when a DI reply held
    fewer hex digits than requested, 3 when the arguments could not be put
    into a frame (nothing was sent). For a port that would not open, status
    and error are None.
    """


def _describe_code(code: int) -> str:
    if code == 0:
        return "no error code"
    byte = code & 0xFF
    if 0x20 < byte < 0x7F:
        return "code %d %r" % (code, chr(byte))
    return "code %d" % code


def error_for_status(status: int, error: int, command: str, address: str) -> Optional[QorError]:
    """Return the exception for a (status, error) pair, or None for success.

    ``command`` and ``address`` only go into the message and attributes.
    """
    if status == 0:
        return None
    who = "module %s" % address
    if status == STATUS_MODULE:
        if error == 1:
            msg = "no reply from %s to %s" % (who, command)
        elif error == 2:
            msg = "reply checksum mismatch in the answer of %s to %s" % (who, command)
        else:
            msg = "%s answered %s with an error reply (%s)" % (who, command, _describe_code(error))
        return ModuleError(msg, status, error, command, address)
    if status == STATUS_LINK:
        if error == 1:
            msg = "frame could not be written (%s to %s)" % (command, who)
        elif error == 2:
            msg = "DI reply held fewer hex digits than requested (%s)" % who
        elif error == 3:
            msg = "arguments cannot be framed (%s to %s); nothing was sent" % (command, who)
        else:
            msg = "link failure %d (%s to %s)" % (error, command, who)
        return LinkError(msg, status, error, command, address)
    return QorError(
        "unexpected status %d, error %d (%s to %s)" % (status, error, command, who),
        status,
        error,
        command,
        address,
    )
