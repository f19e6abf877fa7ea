"""Finding and loading the two shared libraries, and declaring their functions.

The byte link (libqor_comm) is loaded first and with RTLD_GLOBAL: the
protocol library (libqor_dll) resolves QOR_WriteByte and QOR_ReadByte through
the dynamic linker's global search, so the link that is already global when
libqor_dll arrives is the one it talks through.
"""

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional, Sequence, Tuple, Union

from . import _catalogue

__all__ = ["LoadError", "load", "loaded_paths"]


class LoadError(OSError):
    """The libraries could not be found or loaded.

    The message lists every place that was tried and why it failed.
    """


_c_int_p = ctypes.POINTER(ctypes.c_int)

# name: (restype, argtypes). Every command function takes (port, address)
# first and ends with (status*, error*); what comes between, and what it
# returns, follows its catalogue row's arguments and result.
_P = ctypes.c_int
_F = ctypes.c_float
_BETWEEN = {
    (): [],
    ("value",): [_F],
    ("value", "mode"): [_P, _F],  # the mode goes first
    ("byte", "opt_byte"): [_P, _P, _P],  # byteA, byteB, count
    ("di_count", "di_index", "di_bit"): [_P, _P, _P],
    ("bit_number",): [_P],
}


def _prototype(row) -> Tuple[object, list]:
    if row.result in ("value", "limit"):
        mode = [_c_int_p] if row.result == "limit" else []
        return _F, [_P, _P] + mode + [_c_int_p, _c_int_p]
    return _P, [_P, _P] + _BETWEEN[row.args] + [_c_int_p, _c_int_p]


_PROTOTYPES = {
    "QOR_EnableDebug": (None, [ctypes.c_ubyte]),
    "QOR_EnableCmdChecksum": (None, [ctypes.c_ubyte]),
}
_PROTOTYPES.update((row.export, _prototype(row)) for row in _catalogue.COMMANDS)


class TraceEvent(ctypes.Structure):
    """QOR_TraceEvent of qor_comm.h."""

    _fields_ = [
        ("time_ns", ctypes.c_longlong),
        ("port", ctypes.c_int),
        ("kind", ctypes.c_int),
        ("bytes", ctypes.POINTER(ctypes.c_ubyte)),
        ("count", ctypes.c_int),
        ("milliseconds", ctypes.c_int),
        ("text", ctypes.c_char_p),
    ]


class PortInfo(ctypes.Structure):
    """QOR_PortInfo of qor_comm.h."""

    _fields_ = [
        ("device", ctypes.c_char * 256),
        ("stable_name", ctypes.c_char * 256),
        ("driver", ctypes.c_char * 64),
        ("usb_vendor", ctypes.c_int),
        ("usb_product", ctypes.c_int),
        ("manufacturer", ctypes.c_char * 128),
        ("product", ctypes.c_char * 128),
        ("serial_number", ctypes.c_char * 128),
    ]


class LinkCounts(ctypes.Structure):
    """QOR_LinkCounts of qor_comm.h."""

    _fields_ = [
        ("late_inputs", ctypes.c_longlong),
        ("refused", ctypes.c_longlong),
        ("quiet_raised", ctypes.c_longlong),
        ("quiet_ms", ctypes.c_int),
        ("guard_ms", ctypes.c_int),
    ]


# The byte link's functions use the C calling convention everywhere, also
# on 32-bit Windows, so its callback type is CFUNCTYPE there too.
TRACE_FUNCTION = ctypes.CFUNCTYPE(None, ctypes.POINTER(TraceEvent), ctypes.c_void_p)
TARGET_TEXT_SIZE = 512  # QOR_TARGET_TEXT_SIZE

_COMM_PROTOTYPES = {
    "QOR_WriteByte": (ctypes.c_int, [ctypes.c_int, ctypes.c_int]),
    "QOR_ReadByte": (ctypes.c_int, [ctypes.c_int]),
    "QOR_OpenPort": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p]),
    "QOR_ClosePort": (None, [ctypes.c_int]),
    "QOR_PortError": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]),
    "QOR_PortTarget": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]),
    "QOR_CheckTarget": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "QOR_SetTrace": (None, [TRACE_FUNCTION, ctypes.c_void_p]),
    "QOR_ListPorts": (ctypes.c_int, [ctypes.POINTER(PortInfo), ctypes.c_int]),
    "QOR_PortCounts": (ctypes.c_int, [ctypes.c_int, ctypes.POINTER(LinkCounts)]),
}

if sys.platform == "win32":
    _DLL_NAMES = ("qor_dll.dll",)
    _COMM_NAMES = ("qor_comm.dll",)
elif sys.platform == "darwin":
    _DLL_NAMES = ("libqor_dll.dylib", "libqor_dll.1.dylib")
    _COMM_NAMES = ("libqor_comm.dylib", "libqor_comm.1.dylib")
else:
    _DLL_NAMES = ("libqor_dll.so", "libqor_dll.so.1")
    _COMM_NAMES = ("libqor_comm.so", "libqor_comm.so.1")


class Libraries:
    """The two loaded libraries with every function declared.

    ``comm`` and ``dll`` are the ctypes library objects; ``comm_path`` and
    ``dll_path`` tell where they came from.
    """

    def __init__(self, comm, dll, comm_path: str, dll_path: str):
        self.comm = comm
        self.dll = dll
        self.comm_path = comm_path
        self.dll_path = dll_path


_lock = threading.Lock()
_loaded: Optional[Libraries] = None

# A copy of the libraries shipped inside the package itself (a wheel that
# bundles them); used before any other.
_BUNDLED_DIR = Path(__file__).resolve().parent / "_libs"
# The package's own build tree: python/qor -> python -> project root.
_BUILD_DIR = Path(__file__).resolve().parent.parent.parent / "build"


def _installed_dir() -> Optional[Path]:
    """The folder the libraries were installed in together with the package
    (cmake --install --prefix P: P/lib), as the install wrote it down."""
    try:
        from ._installed_version import LIBDIR
    except ImportError:  # the source tree, or a wheel (which bundles them)
        return None
    return (Path(__file__).resolve().parent / LIBDIR).resolve()


def _declare(lib, prototypes, path: str) -> None:
    for name, (restype, argtypes) in prototypes.items():
        try:
            func = getattr(lib, name)
        except AttributeError:
            raise LoadError("%s has no function %s: not a matching library" % (path, name))
        func.restype = restype
        func.argtypes = argtypes


def _open(path: str, is_comm: bool):
    if sys.platform == "win32":
        # The protocol library's functions are stdcall on Windows; the byte
        # link's are plain C calls, and QOR_OpenPort's reason is in the
        # thread's last error.
        return ctypes.CDLL(path, use_last_error=True) if is_comm else ctypes.WinDLL(path)
    # The byte link goes into the global scope so that the protocol library,
    # loaded after it, binds its QOR_WriteByte/QOR_ReadByte to it; its
    # QOR_OpenPort sets errno.
    if is_comm:
        return ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL, use_errno=True)
    return ctypes.CDLL(path, mode=ctypes.DEFAULT_MODE)


def _first_existing(directory: Path, names: Sequence[str]) -> Optional[str]:
    for name in names:
        candidate = directory / name
        if candidate.is_file():
            return str(candidate)
    return None


def _candidates_in_dir(directory: Path) -> Tuple[Optional[str], Optional[str]]:
    return _first_existing(directory, _COMM_NAMES), _first_existing(directory, _DLL_NAMES)


def _installed_candidates() -> Tuple[str, str]:
    # The soname, which the dynamic linker looks up itself (the multiarch
    # library folder, ld.so.cache, LD_LIBRARY_PATH): it names the interface
    # version this package speaks, where a search for "qor_dll" could find
    # another. Elsewhere find_library gives the name the system knows.
    if sys.platform.startswith("linux"):
        return _COMM_NAMES[-1], _DLL_NAMES[-1]
    comm = ctypes.util.find_library("qor_comm") or _COMM_NAMES[-1]
    dll = ctypes.util.find_library("qor_dll") or _DLL_NAMES[-1]
    return comm, dll


def _load_pair(comm_path: Optional[str], dll_path: str) -> Libraries:
    comm = None
    if comm_path is not None:
        comm = _open(comm_path, is_comm=True)
    dll = _open(dll_path, is_comm=False)
    if comm is None:
        # No byte link was found next to the protocol library: use the one it
        # pulled in itself (its own dependency), which the dynamic linker has
        # loaded by now, so this finds it without a search.
        comm_path = _COMM_NAMES[-1]
        comm = _open(comm_path, is_comm=True)
    _declare(comm, _COMM_PROTOTYPES, comm_path)
    _declare(dll, _PROTOTYPES, dll_path)
    return Libraries(comm, dll, comm_path, dll_path)


def _resolve_explicit(path: Union[str, "os.PathLike[str]"]) -> Tuple[Optional[str], str]:
    p = Path(os.fspath(path))
    if p.is_dir():
        comm, dll = _candidates_in_dir(p)
        if dll is None:
            raise LoadError("no %s in %s" % (" or ".join(_DLL_NAMES), p))
        return comm, dll
    if p.is_file():
        # A file is the protocol library itself; its byte link is expected
        # beside it.
        return _first_existing(p.parent, _COMM_NAMES), str(p)
    raise LoadError("%s does not exist" % p)


def _search() -> Libraries:
    tried: List[str] = []
    env_dir = os.environ.get("QOR_LIB_DIR")
    if env_dir:
        try:
            comm, dll = _resolve_explicit(env_dir)
            return _load_pair(comm, dll)
        except OSError as exc:
            # An explicit setting that does not work is an error, not a hint
            # to quietly use some other copy.
            raise LoadError("QOR_LIB_DIR=%s: %s" % (env_dir, exc)) from None
    places = [("bundled", _BUNDLED_DIR), ("build tree", _BUILD_DIR)]
    installed = _installed_dir()
    if installed is not None:
        places.append(("installed with the package", installed))
    for what, directory in places:
        comm, dll = _candidates_in_dir(directory)
        if dll is not None:
            try:
                return _load_pair(comm, dll)
            except OSError as exc:
                tried.append("%s %s: %s" % (what, directory, exc))
        else:
            tried.append("%s %s: no library there" % (what, directory))
    comm, dll = _installed_candidates()
    try:
        return _load_pair(comm, dll)
    except OSError as exc:
        tried.append("installed %s: %s" % (dll, exc))
    raise LoadError(
        "cannot load the qor libraries; tried:\n  "
        + "\n  ".join(tried)
        + "\nCall qor.load(DIRECTORY) or set QOR_LIB_DIR to the folder holding them."
    )


def load(path: Union[None, str, "os.PathLike[str]"] = None) -> Libraries:
    """Load libqor_comm and libqor_dll and return them.

    ``path`` is a folder holding both libraries, or the path of libqor_dll
    itself (its libqor_comm is then taken from the same folder). Without a
    path the libraries are searched for in this order: the folder named by
    the environment variable ``QOR_LIB_DIR``; a copy bundled with the package
    (``qor/_libs/``); the project's build tree (``build/`` next to the
    ``python/`` folder of this package); the library folder of the prefix
    the package was installed into with them (``cmake --install --prefix
    P`` puts both in ``P/lib``); the system's libraries by soname
    (``libqor_comm.so.1`` and ``libqor_dll.so.1``, as the Debian package
    libqor1 installs them; elsewhere ``ctypes.util.find_library``).

    The libraries stay loaded for the life of the process. Calling this again
    without a path, or with the path already loaded, returns what is loaded;
    a different path raises ``LoadError``. Links load the libraries on first
    use, so calling this is only needed to choose them.
    """
    global _loaded
    with _lock:
        if path is not None:
            comm, dll = _resolve_explicit(path)
            if _loaded is not None:
                if os.path.realpath(dll) != os.path.realpath(_loaded.dll_path):
                    raise LoadError(
                        "the qor libraries are already loaded from %s; they cannot be "
                        "replaced within one process" % _loaded.dll_path
                    )
                return _loaded
            try:
                _loaded = _load_pair(comm, dll)
            except LoadError:
                raise
            except OSError as exc:
                raise LoadError("cannot load %s: %s" % (dll, exc)) from None
            return _loaded
        if _loaded is None:
            _loaded = _search()
        return _loaded


def loaded_paths() -> Optional[Tuple[str, str]]:
    """Return (libqor_comm path, libqor_dll path) once loaded, else None."""
    with _lock:
        if _loaded is None:
            return None
        return _loaded.comm_path, _loaded.dll_path
