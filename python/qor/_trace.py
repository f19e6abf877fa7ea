"""The byte link's trace hook, as the package uses it.

One callback serves the whole process (the byte link has one hook): it keeps
each port's last reply, so that a ModuleError can carry the module's own
text ("?1 RANGE"), and it logs every event to the logger "qor" at DEBUG.

The callback runs on the thread of the call that caused the event, while
the byte link holds that port's lock; ctypes takes the GIL for it. It
therefore only touches a dictionary and the logging module. A logging
handler must not use a qor Link itself: that call would wait for the port.
"""

import atexit
import ctypes
import logging
import re
import threading
from typing import Dict, Optional

from . import _catalogue, _library
from .errors import escape

__all__ = ["install", "last_reply", "forget_reply", "LOGGER"]

#: The logger frames and replies go to, at DEBUG.
LOGGER = logging.getLogger("qor")
LOGGER.addHandler(logging.NullHandler())

# Event kinds of qor_comm.h (QOR_TRACE_...).
(OPEN, OPEN_FAILED, CLOSE, REOPEN, WRITE, READ, TIMEOUT, DISCARD, RECOVERY, LINK_LOST, REFUSED,
 QUIET_PERIOD) = range(1, 13)

_install_lock = threading.Lock()
_callback = None  # the ctypes callback object; alive while installed
_comm = None
# Per port: the reply read since its last frame, and whether one came.
_replies: Dict[int, bytes] = {}


def _reply_text(data: bytes) -> bytes:
    # From the first "*" or "?", as the library reads a reply: what comes
    # before is noise or an echo.
    starts = [i for i in (data.find(b"*"), data.find(b"?")) if i >= 0]
    if starts:
        data = data[min(starts):]
    return data[:-1] if data.endswith(b"\r") else data


def _shown(data: bytes) -> str:
    if data.endswith(b"\r"):
        data = data[:-1]
    return escape(data.decode("latin-1"))


def words(kind: int, data: bytes, milliseconds: int, text: str, port_had_reply: bool) -> str:
    """One event in the words qor --trace and qor-gateway --verbose use (the
    catalogue's TRACE_FORMS, from common/trace_words.h)."""
    form, after_reply = _catalogue.TRACE_FORMS.get(kind, (_catalogue.UNKNOWN_TRACE_FORM, None))
    if port_had_reply and after_reply is not None:
        form = after_reply
    fields = {
        "{bytes}": lambda: _shown(data),
        "{raw}": lambda: escape(data.decode("latin-1")),
        "{count}": lambda: str(len(data)),
        "{ms}": lambda: str(milliseconds),
        "{text}": lambda: escape(text),
        "{kind}": lambda: str(kind),
    }
    return re.sub(r"\{[a-z]+\}", lambda m: fields[m.group(0)]() if m.group(0) in fields else "",
                  form)


def _words(event, port_had_reply: bool) -> str:
    text = event.text.decode("utf-8", "replace") if event.text else ""
    data = ctypes.string_at(event.bytes, event.count) if event.bytes and event.count > 0 else b""
    return words(event.kind, data, event.milliseconds, text, port_had_reply)


def _on_event(event_p, _user) -> None:
    # An exception must not reach the C caller: ctypes would only print it.
    try:
        event = event_p.contents
        port = event.port
        had_reply = port in _replies
        if event.kind == WRITE:
            _replies.pop(port, None)
        elif event.kind == READ and event.count > 0:
            _replies[port] = _reply_text(ctypes.string_at(event.bytes, event.count))
        if LOGGER.isEnabledFor(logging.DEBUG):
            LOGGER.debug("port %d  %s", port, _words(event, had_reply))
    except Exception:  # noqa: BLE001 - nothing may escape into the library
        pass


def _uninstall() -> None:
    global _callback
    with _install_lock:
        if _callback is not None:
            # Returns once no callback runs any more; only then may the
            # callback object go.
            _comm.QOR_SetTrace(_library.TRACE_FUNCTION(), None)
            _callback = None


def install(comm) -> None:
    """Register the package's trace callback with the byte link (once)."""
    global _callback, _comm
    with _install_lock:
        if _callback is not None:
            return
        _comm = comm
        _callback = _library.TRACE_FUNCTION(_on_event)
        comm.QOR_SetTrace(_callback, None)
        atexit.register(_uninstall)


def forget_reply(port: int) -> None:
    """Drop the port's last reply before a new transaction."""
    _replies.pop(port, None)


def last_reply(port: int) -> Optional[str]:
    """The reply read on the port since its last frame, or None."""
    data = _replies.get(port)
    return None if data is None else data.decode("latin-1")
