"""Helpers for the package tests: a real qor-sim process, and a scripted peer.

Under CTest the environment names the libraries (QOR_LIB_DIR) and the
simulator (QOR_SIM). Run by hand, the build tree next to the sources is used.
"""

import os
import re
import select
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

_ROOT = Path(__file__).resolve().parent.parent.parent

try:
    import qor  # noqa: F401  (PYTHONPATH set by CTest)
except ImportError:  # run by hand from a checkout
    sys.path.insert(0, str(_ROOT / "python"))


def sim_path():
    """Path of the qor-sim program, or None when there is none."""
    for candidate in (
        os.environ.get("QOR_SIM"),
        os.path.join(os.environ.get("QOR_LIB_DIR", ""), "qor-sim")
        if os.environ.get("QOR_LIB_DIR")
        else None,
        str(_ROOT / "build" / "qor-sim"),
    ):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def lib_dir():
    """The folder the tests expect the libraries in."""
    return os.environ.get("QOR_LIB_DIR") or str(_ROOT / "build")


class Sim:
    """A running qor-sim; ``target`` is what a Link opens.

    ``timeout_ms`` goes into the target: the library's wait for each reply
    character. It is generous so that a busy machine does not turn a slow
    reply into a missing one; tests that expect silence pass a short one.

    The simulator logs every frame it receives to a file (``frames()``
    returns them), which is how tests see what went over the link.
    """

    def __init__(self, testcase, *args, listen=False, timeout_ms=1000):
        path = sim_path()
        if path is None:
            raise unittest.SkipTest("qor-sim not found (set QOR_SIM)")
        self._log = tempfile.TemporaryFile(mode="w+b")
        testcase.addCleanup(self._log.close)
        mode = ["--listen", "127.0.0.1:0"] if listen else ["--pty"]
        self.proc = subprocess.Popen(
            [path] + mode + ["--log"] + list(args),
            stdout=subprocess.PIPE,
            stderr=self._log,
            stdin=subprocess.DEVNULL,
        )
        testcase.addCleanup(self.stop)
        first = self._first_line(5.0)
        if not first:
            self.stop()
            raise AssertionError("qor-sim printed no address: %r" % self.log_text())
        self.address = first
        self.target = ("socket://" + first if listen else first) + "?timeout_ms=%d" % timeout_ms

    def _first_line(self, timeout):
        out = self.proc.stdout
        ready, _, _ = select.select([out], [], [], timeout)
        if not ready:
            return ""
        return out.readline().decode().strip()

    def stop(self):
        """Terminate by pid and wait (idempotent)."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()

    def log_text(self):
        self._log.flush()
        self._log.seek(0)
        return self._log.read().decode(errors="replace")

    def frames(self):
        """Every frame received so far, without its CR, e.g. ["$1RD"]."""
        return [
            f.replace("\\r", "")
            for f in re.findall(r'got "([^"]*)"', self.log_text())
        ]

    def wait_for_log(self, text, timeout=2.0):
        """True once ``text`` appears in the log (bounded wait)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log_text():
                return True
            time.sleep(0.02)
        return text in self.log_text()


class ScriptedPeer:
    """The module end of a fresh pseudo-terminal, answering from a script.

    ``replies`` maps a frame (without CR) to the raw bytes sent back; frames
    not in it get no answer. Used for replies the simulator never gives,
    such as a wrong checksum.
    """

    def __init__(self, testcase, replies):
        self.replies = dict(replies)
        self.received = []
        self._master, self._slave = os.openpty()
        self.target = os.ttyname(self._slave)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        testcase.addCleanup(self.close)

    def _serve(self):
        buf = b""
        while not self._stop.is_set():
            ready, _, _ = select.select([self._master], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self._master, 256)
            except OSError:
                return
            buf += chunk
            while b"\r" in buf:
                frame, buf = buf.split(b"\r", 1)
                text = frame.decode(errors="replace")
                start = text.find("$")
                text = text[start:] if start >= 0 else text
                self.received.append(text)
                reply = self.replies.get(text)
                if reply is not None:
                    os.write(self._master, reply)

    def close(self):
        self._stop.set()
        self._thread.join(timeout=2)
        for fd in (self._slave, self._master):
            try:
                os.close(fd)
            except OSError:
                pass
