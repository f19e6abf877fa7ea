"""Failed transactions and refused arguments."""

import math
import unittest

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
        self.assertEqual((e.status, e.error, e.command, e.address), (100, 1, "RD", "1"))
        self.assertEqual(str(e), "no reply from module 1 to RD")

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
        self.assertEqual(str(e), "module 1 answered TS with an error reply (code 82 'R')")

    def test_di_reply_too_short(self):
        m = self.open("--di-bytes", "2").module("1")
        with self.assertRaises(qor.LinkError) as caught:
            m.di(3, 1, 0)
        self.assertEqual((caught.exception.status, caught.exception.error), (200, 2))
        self.assertIn("DI reply held fewer hex digits than requested", str(caught.exception))

    def test_module_end_gone(self):
        m = self.open().module("1")
        m.rd()
        self.sim.stop()
        with self.assertRaises(qor.LinkError) as caught:
            m.do(1)
        self.assertEqual((caught.exception.status, caught.exception.error), (200, 1))
        self.assertIn("frame could not be written", str(caught.exception))

    def test_replies_the_simulator_never_gives(self):
        # A scripted module end for error replies with odd codes and a limit
        # without its mode letter.
        peer = ScriptedPeer(self, {})
        link = qor.Link(peer.target + "?timeout_ms=1000")
        self.addCleanup(link.close)
        m = link.module("1")
        cases = [
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
                    self.assertTrue(str(caught.exception).endswith(expected.text))
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
            (ValueError, lambda: m.lo(1.0, "l")),
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
            (TypeError, lambda: m.sp("1.0")),
            (TypeError, lambda: m.rb(1.0)),
            (TypeError, lambda: m.do(None)),
            (TypeError, lambda: link.module(None)),
        ]
        for index, (kind, call) in enumerate(cases):
            with self.subTest(case=index):
                self.assertRaises(kind, call)
        # Only the one good call below reached the module.
        self.assertEqual(m.rd(), 72.1)
        self.assertEqual(sim.frames(), ["$1RD"])

    def test_edges_accepted(self):
        sim = Sim(self, "--steady")
        link = qor.Link(sim.target)
        self.addCleanup(link.close)
        m = link.module("1")
        m.sp(-99999.99)
        m.do(0, 255)
        m.do(255)
        m.cb(63)
        self.assertEqual(m.di(2, 2, 7), 0)
        self.assertEqual(
            sim.frames()[-6:], ["$1WE", "$1SP-99999.99", "$1DO00FF", "$1DOFF", "$1CB3F", "$1DI"]
        )


class StatusMapping(unittest.TestCase):
    def test_table(self):
        cases = [
            (0, 0, None, None),
            (100, 1, qor.ModuleError, "no reply from module 1 to RD"),
            (100, 2, qor.ModuleError, "reply checksum mismatch"),
            (100, 66, qor.ModuleError, "module 1 answered RD with an error reply (code 66 'B')"),
            (100, 0, qor.ModuleError, "(no error code)"),
            (100, -61, qor.ModuleError, "(code -61)"),
            (200, 1, qor.LinkError, "frame could not be written"),
            (200, 2, qor.LinkError, "DI reply held fewer hex digits than requested"),
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


if __name__ == "__main__":
    unittest.main()
