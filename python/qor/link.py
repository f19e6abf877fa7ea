"""Links (open ports of the byte link) and the modules reached through them."""

import ctypes
import math
import numbers
import operator
import os
import threading
from typing import Optional, Set, Tuple, Union

from . import _library
from .errors import LinkError, error_for_status

__all__ = ["Link", "Module", "MAX_VALUE", "FIRST_AUTO_PORT"]

#: Largest magnitude a value field ("+99999.99") can carry.
MAX_VALUE = 99999.99
#: Port numbers handed out automatically start here and count up.
FIRST_AUTO_PORT = 1000

# Port numbers held by open Links of this process. The byte link keys its
# ports by number, so two Links must never share one.
_ports_lock = threading.Lock()
_ports_in_use: Set[int] = set()

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1


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
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__)) from None


def _check_range(value, low: int, high: int, what: str) -> int:
    n = _as_int(value, what)
    if not low <= n <= high:
        raise ValueError("%s must be %d..%d, got %d" % (what, low, high, n))
    return n


def _check_value(value) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("value must be a real number, not %s" % type(value).__name__)
    v = float(value)
    if not math.isfinite(v):
        raise ValueError("value must be finite, got %r" % v)
    if abs(v) > MAX_VALUE:
        raise ValueError("value must be within +-%.2f, got %r" % (MAX_VALUE, v))
    return v


_MODE_CODES = {"L": 1, "M": 0, None: -1}
_MODE_NAMES = {1: "L", 0: "M"}


def _check_mode(mode) -> int:
    try:
        return _MODE_CODES[mode]
    except (KeyError, TypeError):
        raise ValueError('mode must be "L" (latching), "M" (momentary) or None, got %r' % (mode,))


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
    return code, chr(code)


def _round_value(v: float) -> float:
    # The library hands back a single-precision float of a two-decimal
    # field; rounding gives back the number the module sent (single
    # precision is off by less than 0.004 within +-99999.99).
    return round(v, 2)


class Link:
    """One port of the byte link, opened on a serial device or a TCP target.

    ``target`` is a device path ("/dev/ttyUSB0") or "socket://HOST:PORT",
    either optionally followed by "?baud=N&timeout_ms=M" (baud for serial
    devices only; defaults 9600 baud and 200 ms per character). ``port`` is
    the library's port number for it; by default the lowest free number from
    1000 up is taken.

    Use it as a context manager, or call ``close()``::

        with qor.Link("/dev/ttyUSB0") as link:
            print(link.module("1").rd())

    Raises ``LinkError`` when the port cannot be opened (missing device, bad
    target, refused connection) and ``ValueError`` for a ``port`` that an
    open Link already uses.

    Transactions on one Link run one at a time; the library serialises all
    transactions of the process anyway.
    """

    def __init__(self, target: Union[str, "os.PathLike[str]"], port: Optional[int] = None):
        self._port: Optional[int] = None
        self._lock = threading.Lock()
        if isinstance(target, os.PathLike):
            target = os.fspath(target)
        if isinstance(target, str):
            raw = os.fsencode(target)
        elif isinstance(target, bytes):
            raw = target
            target = os.fsdecode(target)
        else:
            raise TypeError("target must be a path or a string, not %s" % type(target).__name__)
        if not raw or b"\0" in raw:
            raise ValueError("target must be a non-empty text without NUL characters")
        if port is not None:
            port = _check_range(port, _INT_MIN, _INT_MAX, "port")
        self._target = target
        self._libs = _library.load()
        claimed = _claim_port(port)
        try:
            ok = self._libs.comm.QOR_OpenPort(claimed, raw)
        except BaseException:
            _release_port(claimed)
            raise
        if not ok:
            _release_port(claimed)
            raise LinkError(_open_failure_message(target, claimed))
        self._port = claimed

    @property
    def port(self) -> Optional[int]:
        """The library's port number, or None once closed."""
        return self._port

    @property
    def target(self) -> str:
        """The target the port was opened on."""
        return self._target

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

    @staticmethod
    def enable_debug(flag: bool = True) -> None:
        """Echo every frame and reply to standard error (library-wide).

        This is a process-wide switch of the library: it affects every Link
        and every other user of the library in this process, from the next
        frame on.
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

    def _transact(self, module: "Module", command: str, *args):
        status = ctypes.c_int(-1)
        error = ctypes.c_int(0)
        func = getattr(self._libs.dll, "QOR_" + command)
        with self._lock:
            if self._port is None:
                raise ValueError("I/O operation on a closed Link")
            result = func(
                self._port, module.code, *args, ctypes.byref(status), ctypes.byref(error)
            )
        exc = error_for_status(status.value, error.value, command, module.address)
        if exc is not None:
            raise exc
        return result


def _open_failure_message(target: str, port: int) -> str:
    base = "cannot open %r as port %d" % (target, port)
    if target.startswith("socket://"):
        return base + ": bad address, or the connection was refused or timed out"
    device = target.split("?", 1)[0]
    if not os.path.exists(device):
        return base + ": no such device"
    return base + ": the device could not be opened or set up (permissions, or not a serial port)"


class Module:
    """An I/O module at one address on a Link; one method per command.

    Every method runs one transaction and raises ``ModuleError`` (status
    100) or ``LinkError`` (status 200) when it fails. Arguments are checked
    first: a bad one raises ``ValueError`` (or ``TypeError`` for a wrong
    type) and nothing is sent. Methods of a closed Link raise ``ValueError``.
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

    def _run(self, command: str, *args):
        return self._link._transact(self, command, *args)

    # Value queries ---------------------------------------------------------

    def rd(self) -> float:
        """Read the current reading ("RD")."""
        return _round_value(self._run("RD"))

    def nd(self) -> float:
        """Read a new reading ("ND"), taken for this request."""
        return _round_value(self._run("ND"))

    def rz(self) -> float:
        """Read the reading relative to the zero taken by ``cz()`` ("RZ")."""
        return _round_value(self._run("RZ"))

    def _read_limit(self, command: str) -> Tuple[float, Optional[str]]:
        mode = ctypes.c_int(-1)
        value = self._run(command, ctypes.byref(mode))
        return _round_value(value), _MODE_NAMES.get(mode.value)

    def rh(self) -> Tuple[float, Optional[str]]:
        """Read the high alarm limit ("RH").

        Returns (value, mode): mode "L" latching, "M" momentary, None when
        the reply carries no mode letter.
        """
        return self._read_limit("RH")

    def rl(self) -> Tuple[float, Optional[str]]:
        """Read the low alarm limit ("RL"); returns (value, mode) like ``rh()``."""
        return self._read_limit("RL")

    # Event counter ---------------------------------------------------------

    def re(self) -> int:
        """Read the event counter ("RE")."""
        return self._run("RE")

    def ec(self) -> int:
        """Read the event counter and clear it ("EC", sent after "WE")."""
        return self._run("EC")

    # Commands without data, sent after "WE" ---------------------------------

    def ca(self) -> None:
        """Calibrate ("CA", sent after "WE")."""
        self._run("CA")

    def ce(self) -> None:
        """Calibrate ("CE", sent after "WE")."""
        self._run("CE")

    def cz(self) -> None:
        """Take the current reading as zero for ``rz()`` ("CZ", after "WE")."""
        self._run("CZ")

    def da(self) -> None:
        """Disable the alarms ("DA", sent after "WE")."""
        self._run("DA")

    def ea(self) -> None:
        """Enable the alarms ("EA", sent after "WE")."""
        self._run("EA")

    def rr(self) -> None:
        """Reset the module ("RR", sent after "WE")."""
        self._run("RR")

    # Values ----------------------------------------------------------------

    def hi(self, value: float, mode: Optional[str] = None) -> None:
        """Set the high alarm limit ("HI", sent after "WE").

        ``value`` within +-99999.99; ``mode`` "L" latching, "M" momentary, or
        None to send no mode letter (the module keeps its mode).
        """
        mode_code = _check_mode(mode)
        self._run("HI", mode_code, _check_value(value))

    def lo(self, value: float, mode: Optional[str] = None) -> None:
        """Set the low alarm limit ("LO", sent after "WE"); arguments as ``hi()``."""
        mode_code = _check_mode(mode)
        self._run("LO", mode_code, _check_value(value))

    def sp(self, value: float) -> None:
        """Set the setpoint ("SP", sent after "WE"), within +-99999.99."""
        self._run("SP", _check_value(value))

    def ts(self, value: float) -> None:
        """Set the span trim ("TS", sent after "WE"), within +-99999.99."""
        self._run("TS", _check_value(value))

    def tz(self, value: float) -> None:
        """Set the zero trim ("TZ", sent after "WE"), within +-99999.99."""
        self._run("TZ", _check_value(value))

    def ao(self, value: float) -> None:
        """Set the analog output ("AO"), within +-99999.99."""
        self._run("AO", _check_value(value))

    # Bytes and bits --------------------------------------------------------

    def do(self, byte_a: int, byte_b: Optional[int] = None) -> None:
        """Set the digital outputs ("DO").

        ``do(b)`` sends the one byte b; ``do(a, b)`` sends a then b (a is
        the high byte of a 16-bit output word). Bytes are 0..255.
        """
        a = _check_range(byte_a, 0, 255, "byte_a")
        if byte_b is None:
            self._run("DO", a, a, 1)
        else:
            b = _check_range(byte_b, 0, 255, "byte_b")
            self._run("DO", a, b, 2)

    def di(self, count: int, index: int, bit: int) -> int:
        """Read one digital input bit ("DI"); returns 0 or 1 (an int, like ``rb()``).

        ``count`` is the number of input bytes the module answers with
        (1..24); give the module's own number, as the bytes are located
        from the end of the reply. ``index`` picks one of them counting from the end: 1 is the
        last byte, ``count`` the first. ``bit`` is 0..7 within that byte.
        """
        n = _check_range(count, 1, 24, "count")
        i = _check_range(index, 1, n, "index")
        b = _check_range(bit, 0, 7, "bit")
        return self._run("DI", n, i, b)

    def rb(self, bit: int) -> int:
        """Read bit number ``bit`` (0..63) ("RB"); returns 0 or 1."""
        return self._run("RB", _check_range(bit, 0, 63, "bit"))

    def sb(self, bit: int) -> None:
        """Set bit number ``bit`` (0..63) ("SB")."""
        self._run("SB", _check_range(bit, 0, 63, "bit"))

    def cb(self, bit: int) -> None:
        """Clear bit number ``bit`` (0..63) ("CB")."""
        self._run("CB", _check_range(bit, 0, 63, "bit"))
