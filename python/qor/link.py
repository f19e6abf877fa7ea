"""Links (open ports of the byte link) and the modules reached through them."""

import ctypes
import errno
import math
import numbers
import operator
import os
import sys
import threading
from typing import Iterable, List, Optional, Set, Tuple, Union

from . import _catalogue, _library, _trace
from .errors import (
    ERROR_NO_REPLY,
    ERROR_NOT_WRITTEN,
    ERROR_REPLY_FIELD,
    STATUS_LINK_FAULT,
    STATUS_OK,
    STATUS_REPLY_FAULT,
    LinkError,
    PortBusyError,
    TargetError,
    error_for_status,
    escape,
)

__all__ = [
    "Link",
    "Module",
    "MAX_VALUE",
    "FIRST_AUTO_PORT",
    "SAFE_TO_REPEAT",
    "MODE_MOMENTARY",
    "MODE_LATCHING",
    "MODE_NO_LETTER",
]

#: Largest magnitude a value field ("+99999.99") can carry. A value is sent
#: rounded to two decimals, so anything that rounds to it (99999.994) is
#: accepted, as by the library, the qor tool and the gateway; from
#: 99999.995 on a value would round to 100000.00 and is refused. Both come
#: from the catalogue the qor tool and the gateway are built with.
MAX_VALUE = _catalogue.MAX_VALUE
_VALUE_LIMIT = _catalogue.VALUE_LIMIT
#: Port numbers handed out automatically start here and count up.
FIRST_AUTO_PORT = 1000
#: The commands ``retries`` may repeat: a second run leaves the module as one
#: run does. Not EC (it clears the counter: a lost reply loses the count),
#: CA and CE (calibrate on the input of the moment), CZ (takes the reading
#: of the moment as zero) and RR (a second reset may hit a restarting
#: module). The catalogue's rows say which and why, for the qor tool's
#: --retries too.
SAFE_TO_REPEAT = frozenset(c.letters for c in _catalogue.COMMANDS if c.repeat_hazard is None)
_ARGS = _catalogue.ARGS

# Port numbers held by open Links of this process. The byte link keys its
# ports by number, so two Links must never share one.
_ports_lock = threading.Lock()
_ports_in_use: Set[int] = set()

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1
_DEFAULT_TIMEOUT_MS = 200  # the byte link's wait for each character
# Every character an address may be, in scan order: the visible ASCII
# characters but "$", which begins every frame.
_PROMPT = 0x24
_SCAN_DEFAULT = [code for code in range(0x21, 0x7F) if code != _PROMPT]


def _claim_port(port: Optional[int]) -> int:
    with _ports_lock:
        if port is None:
            port = FIRST_AUTO_PORT
            while port in _ports_in_use:
                port += 1
        elif port in _ports_in_use:
            raise ValueError("port %d is already used by another open Link" % port)
        _ports_in_use.add(port)
        return port


def _release_port(port: int) -> None:
    with _ports_lock:
        _ports_in_use.discard(port)


def _as_int(value, what: str) -> int:
    # bool is an int to Python, never a byte or a bit number to a module.
    if isinstance(value, bool):
        raise TypeError("%s must be an int, not bool" % what)
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__)) from None


def _check_range(value, low: int, high: int, what: str) -> int:
    n = _as_int(value, what)
    if not low <= n <= high:
        raise ValueError("%s must be %d..%d, got %d" % (what, low, high, n))
    return n


def _check_arg(value, kind: str, what: str) -> int:
    # An integer argument within its catalogue limits.
    return _check_range(value, _ARGS[kind].low, _ARGS[kind].high, what)


def _check_real(value, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a real number, not %s" % (what, type(value).__name__))
    v = float(value)
    if not math.isfinite(v):
        raise ValueError("%s must be finite, got %r" % (what, v))
    return v


def _check_value(value) -> float:
    v = _check_real(value, "value")
    if not abs(v) < _VALUE_LIMIT:
        raise ValueError(
            "value must round to within +-%.2f at two decimals, got %r" % (MAX_VALUE, v))
    return v


#: The mode argument of QOR_HI and QOR_LO, as include/qor_dll.h names it.
MODE_MOMENTARY = 0  # "M"
MODE_LATCHING = 1  # "L"
MODE_NO_LETTER = 2  # no letter: the module keeps its mode

_MODE_CODES = {"L": MODE_LATCHING, "M": MODE_MOMENTARY}
_MODE_NAMES = {MODE_LATCHING: "L", MODE_MOMENTARY: "M"}


def _check_mode(mode) -> int:
    # Either case, as the qor tool takes it.
    if mode is None:
        return MODE_NO_LETTER
    if not isinstance(mode, str):
        raise TypeError('mode must be "L", "M" or None, not %s' % type(mode).__name__)
    try:
        return _MODE_CODES[mode.upper()]
    except KeyError:
        raise ValueError(
            'mode must be "L" (latching), "M" (momentary) or None, got %r' % (mode,)
        ) from None


def _check_latching(latching) -> int:
    if latching is None:
        return MODE_NO_LETTER
    if not isinstance(latching, bool):
        raise TypeError("latching must be True, False or None, not %s" % type(latching).__name__)
    return MODE_LATCHING if latching else MODE_MOMENTARY


def _check_address(address) -> Tuple[int, str]:
    if isinstance(address, str):
        if len(address) != 1:
            raise ValueError("address must be one character, got %r" % address)
        code = ord(address)
    else:
        code = _as_int(address, "address")
    # Visible ASCII only: the address travels as a single frame character,
    # and blanks or control characters cannot be told apart from line noise.
    if not 0x21 <= code <= 0x7E:
        raise ValueError("address must be a printable ASCII character, got %r" % (address,))
    # The library refuses it too (status 200, error 3), with nothing sent.
    if code == _PROMPT:
        raise ValueError('address must not be "$": every frame begins with it, so "$$RD" '
                         'would be a frame for module "R"')
    return code, chr(code)


def _round_value(v: float) -> float:
    # The library hands back a single-precision float of a two-decimal
    # field; rounding gives back the number the module sent (single
    # precision is off by less than 0.004 within +-99999.99).
    return round(v, 2)


def _milliseconds(seconds, what: str, low: int) -> int:
    ms = round(_check_real(seconds, what) * 1000)
    if not low <= ms <= 60000:
        raise ValueError("%s must be %g..60 seconds, got %r" % (what, low / 1000, seconds))
    return ms


def _options(target: str) -> List[str]:
    return target.split("?", 1)[1].split("&") if "?" in target else []


def _with_option(target: str, name: str, value: int, keyword: str) -> str:
    if any(item.split("=", 1)[0] == name for item in _options(target)):
        raise ValueError("%s is given twice: as %s= and in the target %r" % (name, keyword, target))
    joiner = "&" if "?" in target and not target.endswith("?") else ("" if "?" in target else "?")
    return "%s%s%s=%d" % (target, joiner, name, value)


def _with_timeout(target: str, timeout_ms: int) -> str:
    base, _, _ = target.partition("?")
    kept = [item for item in _options(target) if item and item.split("=", 1)[0] != "timeout_ms"]
    return "%s?%s" % (base, "&".join(kept + ["timeout_ms=%d" % timeout_ms]))


def _timeout_of(target: str) -> int:
    for item in _options(target):
        name, _, value = item.partition("=")
        if name == "timeout_ms" and value.isdigit():
            return int(value)
    return _DEFAULT_TIMEOUT_MS


def _target_text(target) -> str:
    if isinstance(target, os.PathLike):
        target = os.fspath(target)
    if isinstance(target, bytes):
        target = os.fsdecode(target)
    if not isinstance(target, str):
        raise TypeError("target must be a path or a string, not %s" % type(target).__name__)
    if not target or "\0" in target:
        raise ValueError("target must be a non-empty text without NUL characters")
    return target


class _Default:
    """The default of a keyword that gives None a meaning of its own."""

    def __repr__(self) -> str:
        return "<default>"


_DEFAULT = _Default()


def _check_timeout(timeout) -> Optional[float]:
    # pyserial's timeout=None blocks until the read is done; the byte link
    # always bounds its wait, so None would silently mean something else.
    if timeout is None:
        raise ValueError(
            "timeout=None would wait without end, which the byte link never does: pass the "
            "seconds to wait for each character, 0.001..60 (60 waits longest), or leave "
            "timeout out for the default 0.2"
        )
    return None if timeout is _DEFAULT else timeout


def _build_target(target, baudrate, timeout, recovery, connect_timeout) -> str:
    """The target with the keyword settings added as its options."""
    text = _target_text(target)
    timeout = _check_timeout(timeout)
    if baudrate is not None:
        text = _with_option(text, "baud", _check_range(baudrate, 1, _INT_MAX, "baudrate"),
                            "baudrate")
    if timeout is not None:
        text = _with_option(text, "timeout_ms", _milliseconds(timeout, "timeout", 1), "timeout")
    if recovery is not None:
        text = _with_option(text, "recovery_ms", _milliseconds(recovery, "recovery", 0),
                            "recovery")
    if connect_timeout is not None:
        text = _with_option(
            text,
            "connect_timeout_ms",
            _milliseconds(connect_timeout, "connect_timeout", 1),
            "connect_timeout",
        )
    return text


def _port_error(comm, port: int) -> str:
    size = 256
    while True:
        buf = ctypes.create_string_buffer(size)
        length = comm.QOR_PortError(port, buf, size)
        if length < size:
            return buf.value.decode("utf-8", "replace")
        size = length + 1


def _last_os_error() -> int:
    return ctypes.get_last_error() if sys.platform == "win32" else ctypes.get_errno()


_EINVAL_CODES = (22, 87)  # EINVAL; ERROR_INVALID_PARAMETER on Windows
# EBUSY; ERROR_SHARING_VIOLATION on Windows: a device another program holds.
_BUSY_CODE = 32 if sys.platform == "win32" else errno.EBUSY


def _open_failure(comm, target: str, port: int, code: int) -> LinkError:
    reason = _port_error(comm, port)
    message = "cannot open %r as port %d: %s" % (target, port, escape(reason) or "failed")
    kind = LinkError
    if code in _EINVAL_CODES and reason.startswith("bad target"):
        kind = TargetError
    elif code == _BUSY_CODE:
        kind = PortBusyError
    return kind(message, reason=reason, errno=code or None)


class Link:
    """One port of the byte link, opened on a serial device or a TCP target.

    ``target`` is a device path ("/dev/ttyUSB0", "COM3") or
    "socket://HOST:PORT", which may carry the byte link's options
    ("?baud=19200&timeout_ms=100"); the keywords, named as pyserial names
    them, set the same options and must not repeat one the target holds:

    - ``baudrate``: serial devices only (default 9600);
    - ``timeout``: seconds to wait for each character of a reply, 0.001..60
      (default 0.2); a module that stays silent for that long raises
      ``NoReplyError``. Every wait is bounded, so ``timeout=None``
      (pyserial's "wait until done") is refused with a ``ValueError``:
      pass 60 for the longest wait;
    - ``recovery``: seconds of quiet the line must keep after a failed
      exchange before the next frame, 0..60 (0 off; default the timeout);
    - ``connect_timeout``: socket:// only, seconds an open may take;
    - ``retries``: after no reply or a frame not written, repeat a command
      up to this many more times, only commands in ``SAFE_TO_REPEAT``;
    - ``port``: the library's port number (an int); by default the lowest
      free number from 1000 up. Given a device name instead, as pyserial's
      ``port=``, it is the target.

    Only the target goes by position: ``Link(target, 9600)`` is a
    ``TypeError``, as 9600 could be meant as pyserial's baud rate or as
    the port number this class took there before.

    Use it as a context manager, or call ``close()``::

        with qor.Link("/dev/ttyUSB0", baudrate=9600, timeout=0.2) as link:
            print(link.module("1").read())

    Raises ``TargetError`` (a ``LinkError`` and a ``ValueError``) for a
    target the byte link refuses as malformed, ``LinkError`` when the port
    cannot be opened (missing device, refused connection; ``reason`` says
    why), and ``ValueError`` for a ``port`` that an open Link already uses.

    Transactions on one Link run one at a time. Links on different ports
    run side by side from different threads: ctypes releases the GIL during
    each call, and the library locks each port on its own.
    """

    def __init__(
        self,
        target: Union[None, str, bytes, "os.PathLike[str]"] = None,
        *positional,
        baudrate: Optional[int] = None,
        timeout: Union[float, _Default] = _DEFAULT,
        recovery: Optional[float] = None,
        connect_timeout: Optional[float] = None,
        retries: int = 0,
        port: Union[None, int, str, "os.PathLike[str]"] = None,
    ):
        self._port: Optional[int] = None
        self._lock = threading.Lock()
        if positional:
            # Link(target, 9600) reads as pyserial's baud rate, but was the
            # port number before: either guess could be silently wrong.
            raise TypeError(
                "Link() takes only the target by position: give baudrate= (pyserial's second "
                "argument) or port= (the library's port number) by keyword"
            )
        if target is None and isinstance(port, (str, bytes, os.PathLike)):
            target, port = port, None
        if target is None:
            raise TypeError("Link() needs a target: a device or socket://HOST:PORT")
        text = _build_target(target, baudrate, timeout, recovery, connect_timeout)
        if port is not None:
            port = _check_range(port, _INT_MIN, _INT_MAX, "port")
        self._retries = _check_range(retries, 0, 1000, "retries")
        self._target = text
        self._libs = _library.load()
        _trace.install(self._libs.comm)
        claimed = _claim_port(port)
        try:
            ok = self._libs.comm.QOR_OpenPort(claimed, os.fsencode(text))
            failure = None if ok else _open_failure(self._libs.comm, text, claimed,
                                                    _last_os_error())
        except BaseException:
            _release_port(claimed)
            raise
        if failure is not None:
            _release_port(claimed)
            raise failure
        self._port = claimed

    @property
    def port(self) -> Optional[int]:
        """The library's port number, or None once closed."""
        return self._port

    @property
    def target(self) -> str:
        """The target the port was opened on, with the keywords' options."""
        return self._target

    @property
    def timeout(self) -> float:
        """Seconds the link waits for each character of a reply."""
        return _timeout_of(self._target) / 1000

    @property
    def retries(self) -> int:
        """How often a command safe to repeat is repeated after no reply."""
        return self._retries

    @property
    def closed(self) -> bool:
        """True once ``close()`` has run."""
        return self._port is None

    def close(self) -> None:
        """Close the port (waits for a running transaction). Closing twice is fine."""
        with self._lock:
            port = self._port
            if port is None:
                return
            self._port = None
            try:
                self._libs.comm.QOR_ClosePort(port)
            finally:
                _release_port(port)

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self):
        # A Link dropped without close() still gives its port back.
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if self._port is None else "port %d" % self._port
        return "<qor.Link %r %s>" % (self._target, state)

    def module(self, address: Union[str, int]) -> "Module":
        """Return the module at ``address`` on this link.

        ``address`` is the module's address character ("1") or its character
        code (49). Nothing is sent until a command method is called.
        """
        return Module(self, address)

    def scan(
        self, addresses: Optional[Iterable[Union[str, int]]] = None, timeout: Optional[float] = 0.03
    ) -> List["Module"]:
        """Ask each address for a reading and return the modules that answered.

        Any reply counts, even an error reply. ``addresses`` defaults to
        every printable one, "!" to "~" but "$". Each silent address costs one
        time-out: ``timeout`` seconds per character during the scan
        (default 0.03, as the qor tool's scan; None keeps the link's own),
        for which the port is reopened, and reopened on its target after.
        """
        chosen = [
            _check_address(a)
            for a in (addresses if addresses is not None else _SCAN_DEFAULT)
        ]
        found = []
        with self._lock:
            port = self._require_open()
            if timeout is not None:
                self._reopen(port, _with_timeout(self._target, _milliseconds(timeout, "timeout", 1)))
            try:
                for code, char in chosen:
                    status, error = ctypes.c_int(-1), ctypes.c_int(0)
                    self._libs.dll.QOR_RD(port, code, ctypes.byref(status), ctypes.byref(error))
                    # A reply without a number still proves a module there.
                    if status.value == STATUS_LINK_FAULT and error.value != ERROR_REPLY_FIELD:
                        raise self._failure(status.value, error.value, "RD", char, port, 1)
                    if status.value == STATUS_OK or error.value != ERROR_NO_REPLY:
                        found.append(char)
            finally:
                if timeout is not None:
                    self._reopen(port, self._target)
        return [Module(self, char) for char in found]

    @staticmethod
    def enable_debug(flag: bool = True) -> None:
        """Echo every frame and reply to standard error (library-wide).

        This is a process-wide switch of the library: it affects every Link
        and every other user of the library in this process, from the next
        frame on. The logger "qor" at DEBUG shows the same exchanges,
        escaped and through logging.
        """
        _library.load().dll.QOR_EnableDebug(1 if flag else 0)

    @staticmethod
    def enable_checksum(flag: bool = True) -> None:
        """Append a checksum to every frame (library-wide).

        This is a process-wide switch of the library: it affects every Link
        and every other user of the library in this process, from the next
        frame on. The modules must be set to expect checksums too.
        """
        _library.load().dll.QOR_EnableCmdChecksum(1 if flag else 0)

    def _require_open(self) -> int:
        if self._port is None:
            raise ValueError("I/O operation on a closed Link")
        return self._port

    def _reopen(self, port: int, target: str) -> None:
        if not self._libs.comm.QOR_OpenPort(port, os.fsencode(target)):
            raise _open_failure(self._libs.comm, target, port, _last_os_error())

    def _failure(self, status, error, command, address, port, attempts, reply=None, di_count=None):
        where = None
        if status == STATUS_REPLY_FAULT and error == ERROR_NO_REPLY:
            where = "port %d, %s, %d ms per character" % (
                port, escape(self._target), _timeout_of(self._target))
        elif status == STATUS_LINK_FAULT and error == ERROR_NOT_WRITTEN:
            where = "%s (port %d)" % (escape(_port_error(self._libs.comm, port)), port)
        if where is not None and attempts > 1:
            where += ", %d tries" % attempts
        return error_for_status(status, error, command, address, reply=reply, where=where,
                                di_count=di_count)

    def _transact(self, module: "Module", command: str, *args, di_count: Optional[int] = None):
        func = getattr(self._libs.dll, "QOR_" + command)
        tries = 1 + (self._retries if command in SAFE_TO_REPEAT else 0)
        for attempt in range(1, tries + 1):
            status = ctypes.c_int(-1)
            error = ctypes.c_int(0)
            with self._lock:
                port = self._require_open()
                _trace.forget_reply(port)
                result = func(port, module.code, *args, ctypes.byref(status), ctypes.byref(error))
                reply = _trace.last_reply(port)
            if (status.value, error.value) not in (
                (STATUS_REPLY_FAULT, ERROR_NO_REPLY),
                (STATUS_LINK_FAULT, ERROR_NOT_WRITTEN),
            ):
                break
        exc = self._failure(status.value, error.value, command, module.address, port, attempt,
                            reply, di_count)
        if exc is not None:
            raise exc
        return result


class Module:
    """An I/O module at one address on a Link.

    Every command has two names: its two protocol letters (``rd()``,
    ``hi()``) and a descriptive one. The descriptive names follow one
    scheme: readings are ``read``, ``read_new`` and ``read_relative``; other
    queries are named after what they return (``high_limit()``,
    ``event_count()``, ``digital_input()``, ``bit()``); each setter is
    ``set_`` and the name of what it sets (``set_high_limit()``,
    ``set_digital_outputs()``); actions are verbs (``calibrate()``,
    ``zero()``, ``reset()``, ``enable_alarms()``, ``clear_bit()``,
    ``clear_event_count()``).

    Every method runs one transaction (a command safe to repeat runs again
    after no reply, as the Link's ``retries`` allows) and raises
    ``ModuleError`` (status 100; ``NoReplyError`` when nothing came) or
    ``LinkError`` (status 200) when it fails. Arguments are checked first:
    a wrong type raises ``TypeError`` (``True`` is not a byte), a value out
    of range ``ValueError``, and nothing is sent. Methods of a closed Link
    raise ``ValueError``.
    """

    def __init__(self, link: Link, address: Union[str, int]):
        self._link = link
        self.code, self.address = _check_address(address)

    @property
    def link(self) -> Link:
        """The Link this module is reached through."""
        return self._link

    def __repr__(self) -> str:
        return "<qor.Module %r on %r>" % (self.address, self._link)

    def _run(self, command: str, *args, di_count: Optional[int] = None):
        return self._link._transact(self, command, *args, di_count=di_count)

    # Value queries ---------------------------------------------------------

    def rd(self) -> float:
        """Read the current reading ("RD"); also ``read()``."""
        return _round_value(self._run("RD"))

    def nd(self) -> float:
        """Read a new reading ("ND"), taken for this request; also ``read_new()``."""
        return _round_value(self._run("ND"))

    def rz(self) -> float:
        """Read the reading relative to the zero taken by ``cz()`` ("RZ");
        also ``read_relative()``."""
        return _round_value(self._run("RZ"))

    def _read_limit(self, command: str) -> Tuple[float, Optional[str]]:
        mode = ctypes.c_int(-1)
        value = self._run(command, ctypes.byref(mode))
        return _round_value(value), _MODE_NAMES.get(mode.value)

    def rh(self) -> Tuple[float, Optional[str]]:
        """Read the high alarm limit ("RH"); also ``high_limit()``.

        Returns (value, mode): mode "L" latching, "M" momentary, None when
        the reply carries no mode letter.
        """
        return self._read_limit("RH")

    def rl(self) -> Tuple[float, Optional[str]]:
        """Read the low alarm limit ("RL"); returns (value, mode) like ``rh()``;
        also ``low_limit()``."""
        return self._read_limit("RL")

    # Event counter ---------------------------------------------------------

    def re(self) -> int:
        """Read the event counter ("RE"); also ``event_count()``."""
        return self._run("RE")

    def ec(self) -> int:
        """Read the event counter and clear it ("EC", sent after "WE"); also
        ``clear_event_count()``. Never repeated by ``retries``."""
        return self._run("EC")

    # Commands without data, sent after "WE" ---------------------------------

    def ca(self) -> None:
        """Calibrate ("CA", sent after "WE"); also ``calibrate()``."""
        self._run("CA")

    def ce(self) -> None:
        """Calibrate, second step ("CE", sent after "WE"); also
        ``calibrate_second_step()``."""
        self._run("CE")

    def cz(self) -> None:
        """Take the current reading as zero for ``rz()`` ("CZ", after "WE");
        also ``zero()``."""
        self._run("CZ")

    def da(self) -> None:
        """Disable the alarms ("DA", sent after "WE"); also ``disable_alarms()``."""
        self._run("DA")

    def ea(self) -> None:
        """Enable the alarms ("EA", sent after "WE"); also ``enable_alarms()``."""
        self._run("EA")

    def rr(self) -> None:
        """Reset the module ("RR", sent after "WE"); also ``reset()``."""
        self._run("RR")

    # Values ----------------------------------------------------------------

    def hi(self, value: float, mode: Optional[str] = None) -> None:
        """Set the high alarm limit ("HI", sent after "WE").

        ``value`` within +-99999.99; ``mode`` "L" latching, "M" momentary
        (either case), or None to send no mode letter (the module keeps its
        mode). See also ``set_high_limit()``.
        """
        mode_code = _check_mode(mode)
        self._run("HI", mode_code, _check_value(value))

    def lo(self, value: float, mode: Optional[str] = None) -> None:
        """Set the low alarm limit ("LO", sent after "WE"); arguments as ``hi()``."""
        mode_code = _check_mode(mode)
        self._run("LO", mode_code, _check_value(value))

    def set_high_limit(self, value: float, latching: Optional[bool] = None) -> None:
        """Set the high alarm limit ("HI"): latching True, False (momentary)
        or None (no mode letter: the module keeps its mode)."""
        mode_code = _check_latching(latching)
        self._run("HI", mode_code, _check_value(value))

    def set_low_limit(self, value: float, latching: Optional[bool] = None) -> None:
        """Set the low alarm limit ("LO"); arguments as ``set_high_limit()``."""
        mode_code = _check_latching(latching)
        self._run("LO", mode_code, _check_value(value))

    def sp(self, value: float) -> None:
        """Set the setpoint ("SP", sent after "WE"), within +-99999.99; also
        ``set_setpoint()``."""
        self._run("SP", _check_value(value))

    def ts(self, value: float) -> None:
        """Set the span trim ("TS", sent after "WE"), within +-99999.99; also
        ``set_span_trim()``."""
        self._run("TS", _check_value(value))

    def tz(self, value: float) -> None:
        """Set the zero trim ("TZ", sent after "WE"), within +-99999.99; also
        ``set_zero_trim()``."""
        self._run("TZ", _check_value(value))

    def ao(self, value: float) -> None:
        """Set the analog output ("AO"), within +-99999.99; also
        ``set_analog_output()``."""
        self._run("AO", _check_value(value))

    # Bytes and bits --------------------------------------------------------

    def do(self, byte_a: int, byte_b: Optional[int] = None) -> None:
        """Set the digital outputs ("DO"); also ``set_digital_outputs()``.

        ``do(b)`` sends the one byte b; ``do(a, b)`` sends a then b (a is
        the high byte of a 16-bit output word). Bytes are ints 0..255.
        """
        a = _check_arg(byte_a, "byte", "byte_a")
        if byte_b is None:
            self._run("DO", a, a, 1)
        else:
            b = _check_arg(byte_b, "opt_byte", "byte_b")
            self._run("DO", a, b, 2)

    def di(self, count: int, index: int, bit: int) -> int:
        """Read one digital input bit ("DI"); returns 0 or 1 (an int, like
        ``rb()``); also ``digital_input()``.

        ``count`` is the number of input bytes the module answers with
        (1..24); give the module's own number, as the bytes are located
        from the end of the reply. ``index`` picks one of them counting from
        the end: 1 is the last byte, ``count`` the first. ``bit`` is 0..7
        within that byte.
        """
        n = _check_arg(count, "di_count", "count")
        i = _check_range(index, _ARGS["di_index"].low, n, "index")
        b = _check_arg(bit, "di_bit", "bit")
        return self._run("DI", n, i, b, di_count=n)

    def rb(self, bit: int) -> int:
        """Read bit number ``bit`` (0..63) ("RB"); returns 0 or 1; also ``bit()``."""
        return self._run("RB", _check_arg(bit, "bit_number", "bit"))

    def sb(self, bit: int) -> None:
        """Set bit number ``bit`` (0..63) ("SB"); also ``set_bit()``."""
        self._run("SB", _check_arg(bit, "bit_number", "bit"))

    def cb(self, bit: int) -> None:
        """Clear bit number ``bit`` (0..63) ("CB"); also ``clear_bit()``."""
        self._run("CB", _check_arg(bit, "bit_number", "bit"))


def _plain_method(row):
    """The method of a row without arguments that no method above words: it
    returns what its result kind says (rd() and re() are examples)."""
    if row.args or row.result == "limit":
        raise TypeError("Module needs a method of its own for %s: it takes arguments or "
                        "returns a mode" % row.letters)

    def method(self):
        result = self._run(row.letters)
        if row.result == "value":
            return _round_value(result)
        return result if row.result in ("count", "bit") else None

    method.__name__ = row.word
    method.__doc__ = "%s (\"%s\"); also ``%s()``." % (
        row.summary[0].upper() + row.summary[1:], row.letters, row.descriptive)
    return method


# Every catalogue row is a method under its letters and under its
# descriptive name (see Module's help for the scheme). A row without
# arguments needs no method above; the descriptive name is an alias unless
# the class words it on its own (set_high_limit takes latching=).
for _row in _catalogue.COMMANDS:
    if not hasattr(Module, _row.word):
        setattr(Module, _row.word, _plain_method(_row))
    if not hasattr(Module, _row.descriptive):
        setattr(Module, _row.descriptive, getattr(Module, _row.word))
del _row
