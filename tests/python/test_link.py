"""Opening and closing links, the port pool, library loading, debug echo."""

import errno
import gc
import logging
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

from simulator import Sim, lib_dir

import qor

PACKAGE_DIR = str(Path(qor.__file__).resolve().parent.parent)


class OpenClose(unittest.TestCase):
    def test_with_block_closes_the_port(self):
        sim = Sim(self, "--steady")
        with qor.Link(sim.target) as link:
            m = link.module("1")
            self.assertEqual(m.rd(), 72.1)
            self.assertFalse(link.closed)
        self.assertTrue(link.closed)
        self.assertIsNone(link.port)
        # The simulator sees its end hung up: the device was really closed.
        self.assertTrue(sim.wait_for_log("closed"), sim.log_text())
        with self.assertRaises(ValueError):
            m.rd()
        link.close()  # twice is harmless
        self.assertEqual(sim.frames(), ["$1RD"])

    def test_with_block_closes_on_exception(self):
        sim = Sim(self)
        with self.assertRaises(KeyError):
            with qor.Link(sim.target) as link:
                raise KeyError("boom")
        self.assertTrue(link.closed)

    def test_port_numbers(self):
        sim_a = Sim(self, "--steady")
        sim_b = Sim(self, "--steady", "--address", "2")
        a = qor.Link(sim_a.target)
        self.addCleanup(a.close)
        b = qor.Link(sim_b.target)
        self.addCleanup(b.close)
        self.assertGreaterEqual(a.port, qor.FIRST_AUTO_PORT)
        self.assertNotEqual(a.port, b.port)
        # Each link reaches its own simulator.
        self.assertEqual(a.module("1").rd(), 72.1)
        self.assertEqual(b.module("2").rd(), 72.1)
        self.assertEqual(sim_a.frames(), ["$1RD"])
        self.assertEqual(sim_b.frames(), ["$2RD"])
        with self.assertRaises(ValueError):
            qor.Link(sim_b.target, port=a.port)
        freed = a.port
        a.close()
        c = qor.Link(sim_a.target)
        self.addCleanup(c.close)
        self.assertEqual(c.port, freed)
        c.close()  # the device is held for one port at a time
        explicit = qor.Link(sim_a.target, port=4242)
        self.addCleanup(explicit.close)
        self.assertEqual(explicit.port, 4242)

    def test_dropped_link_gives_its_port_back(self):
        sim = Sim(self)
        link = qor.Link(sim.target)
        port = link.port
        del link
        gc.collect()
        again = qor.Link(sim.target, port=port)
        again.close()

    def test_open_failures(self):
        cases = [
            ("/dev/qor-no-such-device", "no such device"),
            ("socket://127.0.0.1:1", "refused"),
            ("socket://no-port-here", "cannot open"),
        ]
        for target, text in cases:
            with self.subTest(target=target):
                with self.assertRaises(OSError) as caught:  # as pyserial's
                    qor.Link(target + "?timeout_ms=50")
                self.assertIsInstance(caught.exception, qor.LinkError)
                self.assertIn(text, str(caught.exception))
                self.assertIsNone(caught.exception.status)
                # The byte link's own reason comes along.
                self.assertIn(caught.exception.reason, str(caught.exception))
        # A malformed target is a bad argument too.
        for target in ("socket://no-port-here", "/dev/null?baud=abc", "/dev/null?speed=1"):
            with self.subTest(target=target):
                with self.assertRaises(qor.TargetError) as caught:
                    qor.Link(target)
                self.assertIsInstance(caught.exception, ValueError)
                self.assertIsInstance(caught.exception, OSError)
                self.assertTrue(caught.exception.reason.startswith("bad target"))
        # The failed attempts hold no port number.
        sim = Sim(self)
        with qor.Link(sim.target) as link:
            self.assertEqual(link.port, qor.FIRST_AUTO_PORT)
        for bad in ("", "/dev/tty\0x"):
            with self.subTest(target=bad):
                self.assertRaises(ValueError, qor.Link, bad)
        self.assertRaises(TypeError, qor.Link, 5)

    def test_tcp_target(self):
        sim = Sim(self, "--steady", listen=True)
        with qor.Link(sim.target) as link:
            m = link.module("1")
            m.hi(42.5, "M")
            self.assertEqual(m.rh(), (42.5, "M"))


HOLD = """
import sys, time
import qor
with qor.Link(sys.argv[1]):
    print("held", flush=True)
    time.sleep(60)
"""


class OnePortOneOwner(unittest.TestCase):
    """A serial device another process holds is refused at once, naming the
    holder; exclusive=0 on both sides shares it."""

    def hold(self, target):
        holder = subprocess.Popen([sys.executable, "-c", HOLD, target], stdout=subprocess.PIPE,
                                  stdin=subprocess.DEVNULL)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual(holder.stdout.readline(), b"held\n")
        return holder.pid

    def test_a_held_device_is_refused_naming_its_holder(self):
        sim = Sim(self)
        pid = self.hold(sim.target)
        name = Path("/proc/%d/comm" % pid).read_text().strip()
        with self.assertRaises(qor.PortBusyError) as caught:
            qor.Link(sim.target)
        self.assertIsInstance(caught.exception, qor.LinkError)
        self.assertEqual(caught.exception.errno, errno.EBUSY)
        self.assertEqual(caught.exception.reason,
                         "port busy: %s is held by %s (PID %d)" % (sim.address, name, pid))

    def test_programs_that_share_a_device_open_it_together(self):
        sim = Sim(self, "--steady")
        self.hold(sim.target + "&exclusive=0")
        with qor.Link(sim.target + "&exclusive=0") as link:
            self.assertEqual(link.module("1").read(), 72.1)


class Keywords(unittest.TestCase):
    """pyserial's keywords become the byte link's options."""

    def test_accepted(self):
        sim = Sim(self, "--steady")
        path = sim.target.split("?")[0]
        cases = [
            ({"baudrate": 9600, "timeout": 0.5}, path, "?baud=9600&timeout_ms=500"),
            ({"timeout": 1, "recovery": 0}, path, "?timeout_ms=1000&recovery_ms=0"),
            ({"timeout": 0.25, "retries": 2}, path + "?baud=19200", "?baud=19200&timeout_ms=250"),
            ({"port": path, "timeout": 0.5}, None, "?timeout_ms=500"),  # pyserial's port=
            ({}, Path(path), ""),
        ]
        for keywords, target, options in cases:
            with self.subTest(keywords=keywords):
                with qor.Link(target, **keywords) as link:
                    self.assertEqual(link.target, path + options)
                    self.assertEqual(link.module("1").read(), 72.1)
                    self.assertEqual(link.retries, keywords.get("retries", 0))
                    self.assertEqual(link.timeout, keywords.get("timeout", 0.2))

    def test_refused(self):
        sim = Sim(self, "--steady")
        cases = [
            (ValueError, {"timeout": 0}),
            (ValueError, {"timeout": 61}),
            (ValueError, {"timeout": math.nan}),
            (ValueError, {"recovery": -1}),
            (TypeError, {"timeout": True}),
            (TypeError, {"timeout": "0.2"}),
            (TypeError, {"baudrate": 9600.0}),
            (ValueError, {"retries": -1}),
            (ValueError, {"timeout": 0.5, "target": sim.target}),  # timeout_ms twice
            (qor.TargetError, {"baudrate": 12345}),
            (qor.TargetError, {"connect_timeout": 1}),  # not a socket:// target
        ]
        for kind, keywords in cases:
            with self.subTest(keywords=keywords):
                target = keywords.pop("target", sim.target.split("?")[0])
                self.assertRaises(kind, qor.Link, target, **keywords)
        self.assertRaises(TypeError, qor.Link)
        # The second positional argument was the port number; pyserial's is
        # the baud rate. Neither is guessed.
        self.assertRaises(TypeError, qor.Link, sim.target, 9600)
        # pyserial's timeout=None waits without end, which the byte link
        # never does: refused, saying what to pass.
        with self.assertRaisesRegex(ValueError, r"timeout=None .* 0\.001\.\.60 .* default 0\.2"):
            qor.Link(sim.target.split("?")[0], timeout=None)
        self.assertEqual(sim.frames(), [])


class Logging(unittest.TestCase):
    def test_frames_go_to_the_qor_logger_escaped(self):
        sim = Sim(self, "--steady", "--garbage=\\x1b[2J")
        short = sim.target.rsplit("=", 1)[0] + "=30"  # timeout_ms=30
        # Two ports on one device: shared (exclusive=0), or the second is refused.
        shared = "&exclusive=0"
        with qor.Link(sim.target + shared) as link, qor.Link(short + shared, port=77) as other:
            with self.assertLogs("qor", logging.DEBUG) as logged:
                self.assertEqual(link.module("1").read(), 72.1)
                with self.assertRaises(qor.NoReplyError):
                    other.module("7").rd()
            port = link.port
        lines = [r.getMessage() for r in logged.records]
        self.assertIn("port %d  >  $1RD" % port, lines)
        self.assertIn("port %d  <  \\x1b[2J*+00072.10" % port, lines)
        self.assertIn("port 77  !  no reply in 30 ms", lines)
        self.assertTrue(all(r.levelno == logging.DEBUG for r in logged.records))


class Discovery(unittest.TestCase):
    def test_scan_finds_the_modules_and_keeps_the_link(self):
        sim = Sim(self, "--steady", "--address", "1", "--address", "A")
        with qor.Link(sim.target) as link:
            # Every address would cost a second on a 2-core machine; a few
            # either side of the modules show the same. Each silent address
            # costs the scan's time-out, which a module on a busy machine
            # must be given time to beat (the default 30 ms is not enough).
            found = link.scan("!012@AB~", timeout=0.3)
            self.assertEqual([m.address for m in found], ["1", "A"])
            self.assertEqual([m.address for m in link.scan(["2", "A", 0x31], timeout=0.3)],
                             ["A", "1"])
            self.assertEqual(link.module("A").read(), 72.1)
            self.assertTrue(sim.target.endswith("?timeout_ms=1000"))
            self.assertEqual(link.timeout, 1.0)

    def test_list_ports(self):
        ports = qor.list_ports()
        self.assertIsInstance(ports, list)
        for port in ports:
            self.assertIsInstance(port, qor.SerialPort)
            self.assertTrue(port.device.startswith("/dev/"), port)
            self.assertTrue(port.vid is None or 0 <= port.vid <= 0xFFFF, port)


class Threads(unittest.TestCase):
    def test_links_on_different_ports_run_side_by_side(self):
        # Each module answers after 300 ms; two threads, each on its own
        # link, start together. Run side by side, each call begins before
        # the other ends.
        sims = [Sim(self, "--steady", "--delay-ms", "300") for _ in range(2)]
        links = [qor.Link(s.target) for s in sims]
        for link in links:
            self.addCleanup(link.close)
        start = threading.Barrier(2)
        spans = []

        def read(link):
            start.wait()
            began = time.monotonic()
            value = link.module("1").read()
            spans.append((began, time.monotonic(), value))

        threads = [threading.Thread(target=read, args=(link,)) for link in links]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=20)
        self.assertEqual([v for _, _, v in spans], [72.1, 72.1])
        self.assertLess(max(b for b, _, _ in spans), min(e for _, e, _ in spans))


class Names(unittest.TestCase):
    def test_descriptive_names_beside_the_letters(self):
        pairs = [
            ("read", "rd"), ("read_new", "nd"), ("read_relative", "rz"),
            ("high_limit", "rh"), ("low_limit", "rl"), ("event_count", "re"),
            ("clear_event_count", "ec"), ("calibrate", "ca"), ("calibrate_second_step", "ce"),
            ("zero", "cz"), ("disable_alarms", "da"), ("enable_alarms", "ea"), ("reset", "rr"),
            ("set_setpoint", "sp"), ("set_span_trim", "ts"), ("set_zero_trim", "tz"),
            ("set_analog_output", "ao"), ("set_digital_outputs", "do"),
            ("digital_input", "di"), ("bit", "rb"), ("set_bit", "sb"), ("clear_bit", "cb"),
        ]
        for name, letters in pairs:
            with self.subTest(name=name):
                self.assertIs(getattr(qor.Module, name), getattr(qor.Module, letters))

    def test_limits_with_latching(self):
        sim = Sim(self, "--steady")
        with qor.Link(sim.target) as link:
            m = link.module("1")
            cases = [
                ("set_high_limit", True, "$1HI+00100.00L", (100.0, "L"), "high_limit"),
                ("set_high_limit", False, "$1HI+00100.00M", (100.0, "M"), "high_limit"),
                ("set_low_limit", None, "$1LO+00100.00", (100.0, "M"), "low_limit"),
            ]
            for setter, latching, frame, read_back, reader in cases:
                with self.subTest(setter=setter, latching=latching):
                    getattr(m, setter)(100, latching=latching)
                    self.assertEqual(sim.frames()[-1], frame)
                    self.assertEqual(getattr(m, reader)(), read_back)

    def test_typed(self):
        self.assertTrue((Path(qor.__file__).parent / "py.typed").is_file())


class DebugEcho(unittest.TestCase):
    def test_frames_and_replies_on_stderr(self):
        sim = Sim(self, "--steady")
        link = qor.Link(sim.target)
        self.addCleanup(link.close)
        with tempfile.TemporaryFile() as capture:
            saved = os.dup(2)
            try:
                os.dup2(capture.fileno(), 2)
                qor.Link.enable_debug()
                try:
                    link.module("1").rd()
                finally:
                    qor.Link.enable_debug(False)
                link.module("1").rd()  # not echoed
            finally:
                os.dup2(saved, 2)
                os.close(saved)
            capture.seek(0)
            echoed = capture.read().decode(errors="replace")
        self.assertIn("$1RD", echoed)
        self.assertIn("*+00072.10", echoed)
        self.assertEqual(echoed.count("$1RD"), 1)


class Loading(unittest.TestCase):
    """Each case runs in a fresh interpreter: libraries load once per process."""

    def run_python(self, code, env_changes):
        env = dict(os.environ)
        env["PYTHONPATH"] = PACKAGE_DIR
        env.pop("QOR_LIB_DIR", None)
        env.update(env_changes)
        return subprocess.run(
            [sys.executable, "-c", code],
            env=env,
            capture_output=True,
            text=True,
            timeout=30,
        )

    def setUp(self):
        self.dir = lib_dir()
        if not os.path.exists(os.path.join(self.dir, "libqor_dll.so")):
            self.skipTest("no libraries in %s" % self.dir)

    def test_sources(self):
        real_dll = os.path.realpath(os.path.join(self.dir, "libqor_dll.so"))
        real_comm = os.path.realpath(os.path.join(self.dir, "libqor_comm.so"))
        show = (
            "import os, qor; c, d = qor.loaded_paths();"
            "print(os.path.realpath(c)); print(os.path.realpath(d))"
        )
        cases = [
            ("explicit folder", "qor.load(%r);" % self.dir, {}),
            ("explicit file", "qor.load(%r);" % os.path.join(self.dir, "libqor_dll.so"), {}),
            ("environment", "qor.load();", {"QOR_LIB_DIR": self.dir}),
        ]
        for name, prefix, env in cases:
            with self.subTest(source=name):
                done = self.run_python("import qor;" + prefix + show, env)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stdout.split(), [real_comm, real_dll])

    def test_bundled_copy_then_system_soname(self):
        # An installed package: a copy bundled in qor/_libs comes first;
        # without one, the system's libraries by soname (found here through
        # LD_LIBRARY_PATH, as the multiarch folder is not ours to fill).
        root = tempfile.TemporaryDirectory()
        self.addCleanup(root.cleanup)
        show = (
            "import qor; qor.load()\n"
            "print(sorted({l.split()[-1] for l in open('/proc/self/maps') if 'libqor_' in l}))"
        )
        bundled = os.path.join(root.name, "bundled")
        libs = os.path.join(bundled, "qor", "_libs")
        shutil.copytree(os.path.join(PACKAGE_DIR, "qor"), os.path.join(bundled, "qor"))
        os.mkdir(libs)
        for name in ("libqor_dll.so", "libqor_comm.so"):
            shutil.copy(os.path.join(self.dir, name), os.path.join(libs, name))
        system = os.path.join(root.name, "system")
        shutil.copytree(os.path.join(PACKAGE_DIR, "qor"), os.path.join(system, "qor"))
        in_libs = [os.path.join(libs, n) for n in ("libqor_comm.so", "libqor_dll.so")]
        in_system = [
            os.path.realpath(os.path.join(self.dir, n))
            for n in ("libqor_comm.so.1", "libqor_dll.so.1")
        ]
        cases = [
            ("bundled", bundled, {}, in_libs),
            ("system", system, {"LD_LIBRARY_PATH": self.dir}, in_system),
        ]
        for name, package, env, expected in cases:
            with self.subTest(source=name):
                env = dict(env, PYTHONPATH=package)
                done = self.run_python(show, env)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stdout.strip(), repr(sorted(expected)))

    def test_failures(self):
        with tempfile.TemporaryDirectory() as empty:
            cases = [
                ("qor.load(%r)" % os.path.join(empty, "missing"), {}, "does not exist"),
                ("qor.load(%r)" % empty, {}, "no libqor_dll.so"),
                ("qor.load()", {"QOR_LIB_DIR": empty}, "QOR_LIB_DIR="),
            ]
            for code, env, text in cases:
                with self.subTest(code=code):
                    done = self.run_python(
                        "import qor\ntry:\n  %s\nexcept qor.LoadError as e:\n  print('LoadError', e)"
                        % code,
                        env,
                    )
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.assertIn("LoadError", done.stdout)
                    self.assertIn(text, done.stdout)

    def test_second_load_elsewhere_refused(self):
        # The loaded libraries cannot be swapped: the same folder again is
        # fine, a copy elsewhere is refused.
        other = tempfile.TemporaryDirectory()
        self.addCleanup(other.cleanup)
        for name in ("libqor_dll.so", "libqor_comm.so"):
            shutil.copy(os.path.join(self.dir, name), os.path.join(other.name, name))
        code = (
            "import qor\nqor.load(%r)\nqor.load(%r)\n"
            "try:\n  qor.load(%r)\nexcept qor.LoadError as e:\n  print('refused:', e)"
            % (self.dir, self.dir, other.name)
        )
        done = self.run_python(code, {})
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("refused: the qor libraries are already loaded", done.stdout)


if __name__ == "__main__":
    unittest.main()
