"""Failed transactions and refused arguments."""

import math
import os
import re
import subprocess
import time
import unittest
from pathlib import Path

from simulator import ScriptedPeer, Sim

import qor
from qor.errors import error_for_status


class ModuleFailures(unittest.TestCase):
    def open(self, *sim_args, timeout_ms=1000):
        self.sim = Sim(self, *sim_args, timeout_ms=timeout_ms)
        link = qor.Link(self.sim.target)
        self.addCleanup(link.close)
        return link

    def test_silent_module(self):
        m = self.open("--silent", timeout_ms=50).module("1")
        with self.assertRaises(qor.ModuleError) as caught:
            m.rd()
        e = caught.exception
        self.assertIsInstance(e, qor.QorError)
        # A time-out as Python code expects one, naming link and time-out.
        self.assertIsInstance(e, qor.NoReplyError)
        self.assertIsInstance(e, TimeoutError)
        self.assertEqual((e.status, e.error, e.command, e.address), (100, 1, "RD", "1"))
        self.assertEqual(
            str(e),
            "no reply from module 1 to RD (port %d, %s, 50 ms per character)"
            % (m.link.port, self.sim.target),
        )
        self.assertIsNone(e.reply)

    def test_unknown_address(self):
        link = self.open()
        with self.assertRaises(qor.ModuleError) as caught:
            link.module("7").rh()
        self.assertEqual((caught.exception.status, caught.exception.error), (100, 1))
        self.assertIn("module 7", str(caught.exception))
        # The module that exists still answers on the same link.
        self.assertIsInstance(link.module("1").rd(), float)

    def test_error_reply(self):
        # A span trim of -100 % is refused by the module with "?1 RANGE".
        m = self.open().module("1")
        with self.assertRaises(qor.ModuleError) as caught:
            m.ts(-100)
        e = caught.exception
        self.assertEqual((e.status, e.error, e.command), (100, ord("R"), "TS"))
        self.assertNotIsInstance(e, qor.NoReplyError)
        self.assertEqual(e.reply, "?1 RANGE")
        self.assertEqual(str(e), 'module 1 answered TS with "?1 RANGE" (code 82 \'R\')')

    def test_di_reply_too_short(self):
        m = self.open("--di-bytes", "2").module("1")
        with self.assertRaises(qor.LinkError) as caught:
            m.di(3, 1, 0)
        self.assertEqual((caught.exception.status, caught.exception.error), (200, 2))
        self.assertIn("DI reply did not hold exactly 6 hex digits", str(caught.exception))
        self.assertRegex(str(caught.exception), r': "\*[0-9A-F]{4}"$')

    def test_di_reply_too_long(self):
        m = self.open("--di-bytes", "3").module("1")
        with self.assertRaises(qor.LinkError) as caught:
            m.di(2, 1, 0)
        self.assertIn("DI reply did not hold exactly 4 hex digits", str(caught.exception))

    def test_reply_without_number(self):
        # "*" alone is no reading of 0; a scan still counts the module. (The
        # scan waits as long as the link does: its own 30 ms per character
        # is overrun by a simulator on a busy machine.)
        link = self.open("--no-number")
        with self.assertRaises(qor.LinkError) as caught:
            link.module("1").rd()
        e = caught.exception
        self.assertEqual((e.status, e.error), (200, qor.ERROR_REPLY_FIELD))
        self.assertEqual(str(e), 'reply of module 1 to RD held no number: "*"')
        self.assertEqual([m.address for m in link.scan(addresses="1", timeout=1.0)], ["1"])

    def test_module_end_gone(self):
        m = self.open().module("1")
        m.rd()
        self.sim.stop()
        with self.assertRaises(qor.LinkError) as caught:
            m.do(1)
        self.assertEqual((caught.exception.status, caught.exception.error), (200, 1))
        self.assertIn("frame could not be written", str(caught.exception))
        # The byte link's own reason follows.
        self.assertRegex(str(caught.exception), r"frame could not be written \(DO to module 1\): .+")

    def test_replies_the_simulator_never_gives(self):
        # A scripted module end for error replies with odd codes and a limit
        # without its mode letter.
        peer = ScriptedPeer(self, {})
        link = qor.Link(peer.target + "?timeout_ms=1000")
        self.addCleanup(link.close)
        m = link.module("1")
        cases = [
            (b"\x1b[2J?1 R\r", ModuleErrorCase(ord("R"), 'with "?1 R" (code 82 \'R\')')),
            (b"?1 R\x1b]0;x\x07\r", ModuleErrorCase(ord("R"), '"?1 R\\x1b]0;x\\x07"')),
            (b"?1\r", ModuleErrorCase(0, "(no error code)")),
            (b"?1 \xe9\r", ModuleErrorCase(0xE9 - 256, "(code -23)")),
            (b"?1 B\r", ModuleErrorCase(66, "(code 66 'B')")),
            (b"*+00100.00\r", (100.0, None)),
            (b"*-00003.46M\r", (-3.46, "M")),
        ]
        for reply, expected in cases:
            with self.subTest(reply=reply):
                peer.replies["$1RH"] = reply
                if isinstance(expected, ModuleErrorCase):
                    with self.assertRaises(qor.ModuleError) as caught:
                        m.rh()
                    self.assertEqual(caught.exception.error, expected.error)
                    self.assertIn(expected.text, str(caught.exception))
                    self.assertNotIn("\x1b", str(caught.exception))
                else:
                    self.assertEqual(m.rh(), expected)


class ModuleErrorCase:
    def __init__(self, error, text):
        self.error = error
        self.text = text


class BadArguments(unittest.TestCase):
    def test_refused_before_sending(self):
        sim = Sim(self, "--steady")
        link = qor.Link(sim.target)
        self.addCleanup(link.close)
        m = link.module("1")
        cases = [
            (ValueError, lambda: m.sp(100000.0)),
            (ValueError, lambda: m.ao(-99999.995)),
            (ValueError, lambda: m.tz(math.nan)),
            (ValueError, lambda: m.ts(math.inf)),
            (ValueError, lambda: m.hi(1.0, "X")),
            (ValueError, lambda: m.lo(1.0, "latching")),
            (ValueError, lambda: m.hi(1e6, "L")),
            (ValueError, lambda: m.do(256)),
            (ValueError, lambda: m.do(1, -1)),
            (ValueError, lambda: m.rb(64)),
            (ValueError, lambda: m.sb(-1)),
            (ValueError, lambda: m.cb(99)),
            (ValueError, lambda: m.di(0, 1, 0)),
            (ValueError, lambda: m.di(25, 1, 0)),
            (ValueError, lambda: m.di(2, 3, 0)),
            (ValueError, lambda: m.di(2, 0, 0)),
            (ValueError, lambda: m.di(2, 1, 8)),
            (ValueError, lambda: link.module("")),
            (ValueError, lambda: link.module("12")),
            (ValueError, lambda: link.module(" ")),
            (ValueError, lambda: link.module("\x7f")),
            (ValueError, lambda: link.module("\u00e9")),
            (ValueError, lambda: link.module(0)),
            (ValueError, lambda: link.module(128 + ord("1"))),
            (ValueError, lambda: link.module("$")),
            (ValueError, lambda: link.module(0x24)),
            (ValueError, lambda: link.scan("1$")),
            (TypeError, lambda: m.sp("1.0")),
            (TypeError, lambda: m.rb(1.0)),
            (TypeError, lambda: m.do(None)),
            (TypeError, lambda: link.module(None)),
            # Strict types: a bool is not a byte, a bit, a count or a mode.
            (TypeError, lambda: m.do(True)),
            (TypeError, lambda: m.do(1, False)),
            (TypeError, lambda: m.rb(True)),
            (TypeError, lambda: m.di(2, True, 0)),
            (TypeError, lambda: m.sp(True)),
            (TypeError, lambda: m.hi(1.0, True)),
            (TypeError, lambda: m.set_high_limit(1.0, latching="L")),
            (TypeError, lambda: m.set_low_limit(1.0, latching=1)),
            (TypeError, lambda: link.module(True)),
        ]
        for index, (kind, call) in enumerate(cases):
            with self.subTest(case=index):
                self.assertRaises(kind, call)
        with self.assertRaises(ValueError) as caught:
            link.module("$")
        self.assertIn('"$$RD" would be a frame for module "R"', str(caught.exception))
        # A scan asks every other printable address.
        self.assertEqual(len(qor.link._SCAN_DEFAULT), 93)
        self.assertNotIn(ord("$"), qor.link._SCAN_DEFAULT)
        # Only the one good call below reached the module.
        self.assertEqual(m.rd(), 72.1)
        self.assertEqual(sim.frames(), ["$1RD"])

    def test_edges_accepted(self):
        sim = Sim(self, "--steady")
        link = qor.Link(sim.target)
        self.addCleanup(link.close)
        m = link.module("1")
        m.sp(-99999.99)
        # What rounds to the largest field at two decimals, as the qor tool
        # and the gateway take it.
        m.ao(99999.994)
        m.do(0, 255)
        m.do(255)
        m.cb(63)
        self.assertEqual(m.di(2, 2, 7), 0)
        self.assertEqual(
            sim.frames()[-7:],
            ["$1WE", "$1SP-99999.99", "$1AO+99999.99", "$1DO00FF", "$1DOFF", "$1CB3F", "$1DI"],
        )
        # The mode letter in either case, as the qor tool takes it.
        m.hi(100, "l")
        m.lo(-5, "m")
        self.assertEqual(sim.frames()[-3:], ["$1HI+00100.00L", "$1WE", "$1LO-00005.00M"])


class Retries(unittest.TestCase):
    """retries= repeats after no reply, and only commands safe to repeat."""

    def test_only_safe_commands_are_repeated(self):
        sim = Sim(self, "--silent", timeout_ms=20)
        link = qor.Link(sim.target, retries=2)
        self.addCleanup(link.close)
        m = link.module("1")
        # (call, frames the module receives)
        cases = [
            (m.rd, ["$1RD"] * 3),
            (m.read, ["$1RD"] * 3),
            (lambda: m.do(1), ["$1DO01"] * 3),
            (m.ec, ["$1WE"]),  # clears: never repeated
            (m.rr, ["$1WE"]),
        ]
        for call, frames in cases:
            with self.subTest(frames=frames):
                before = len(sim.frames())
                with self.assertRaises(qor.NoReplyError) as caught:
                    call()
                # The simulator logs on its own time: wait for the frames
                # expected, then make sure no others came.
                deadline = time.monotonic() + 2.0
                while len(sim.frames()) < before + len(frames) and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertEqual(sim.frames()[before:], frames)
                self.assertEqual(", 3 tries)" in str(caught.exception), len(frames) == 3)

    def test_the_list_is_the_qor_tools(self):
        # qor's help says of each command whether --retries may repeat it.
        cli = os.environ.get("QOR_CLI")
        if not cli:
            self.skipTest("QOR_CLI not set")
        names = "rd nd rz rh rl re ec ca ce cz da ea rr hi lo sp ts tz ao do di rb sb cb"
        for name in names.split():
            with self.subTest(command=name):
                help_text = subprocess.run([cli, "help", name], capture_output=True, text=True)
                safe = "it is safe to repeat" in help_text.stdout
                self.assertEqual(safe, name.upper() in qor.SAFE_TO_REPEAT, help_text.stdout)


class StatusMapping(unittest.TestCase):
    def test_names_mirror_the_header(self):
        header = Path(__file__).resolve().parents[2] / "include" / "qor_dll.h"
        defined = dict(
            re.findall(r"#define QOR_((?:STATUS|ERROR|MODE)_\w+) (\d+)", header.read_text()))
        self.assertEqual(len(defined), 12)
        for name, value in defined.items():
            self.assertEqual(getattr(qor, name), int(value), name)

    def test_table(self):
        cases = [
            (0, 0, None, None),
            (100, 1, qor.NoReplyError, "no reply from module 1 to RD"),
            (100, 2, qor.ModuleError, "reply checksum mismatch"),
            (100, 3, qor.ModuleError, "came from another address"),
            (100, 66, qor.ModuleError, "module 1 answered RD with an error reply (code 66 'B')"),
            (100, 0, qor.ModuleError, "(no error code)"),
            (100, -61, qor.ModuleError, "(code -61)"),
            (200, 1, qor.LinkError, "frame could not be written"),
            (200, 2, qor.LinkError, "reply of module 1 to RD held no number"),
            (200, 3, qor.LinkError, "arguments cannot be framed"),
            (7, 7, qor.QorError, "unexpected status 7"),
        ]
        for status, error, kind, text in cases:
            with self.subTest(status=status, error=error):
                exc = error_for_status(status, error, "RD", "1")
                if kind is None:
                    self.assertIsNone(exc)
                    continue
                self.assertIs(type(exc), kind)
                self.assertEqual((exc.status, exc.error), (status, error))
                self.assertIn(text, str(exc))
                # As pyserial's SerialException: "except OSError" catches a
                # failed link (and a time-out); a module's refusal is no
                # system error.
                self.assertEqual(isinstance(exc, OSError), kind in (qor.LinkError, qor.NoReplyError))


if __name__ == "__main__":
    unittest.main()
