"""A stop and a reload of qor-gateway with Modbus writes queued on a slow
module (qor-sim answering each frame in 900 ms): each ends within the
documented bound, runs none of the queued writes, and leaves no client
unanswered: a write that cannot run gets exception 0x06 (busy). Raw Modbus
TCP clients, a real broker and simulator, on 127.0.0.1."""

import os
import signal
import socket
import struct
import subprocess
import threading
import time
import unittest

from modbus_plant import ClassScope
from plant import (Broker, Gateway, folder, free_port, program, stop_process, wait_listening,
                   wait_until, _BUILD)

FLUSH_TIMEOUT_S = 10
WRITERS = 40  # one runs, 32 wait on the link, the rest are refused at once
CONFIG = '''[broker]
host = "127.0.0.1"
port = %d
client_id = "gw-stop"

[gateway]
flush_timeout_s = %d

[[link]]
name = "bus"
target = "socket://%s?timeout_ms=3000"
[[link.module]]
address = "1"
name = "m"
poll = { rd = 60000 }
writable = ["hi"]

[modbus]
listen = "127.0.0.1:%d"
writes = true
max_connections = 64
'''


class SlowSim:
    """qor-sim answering every frame after 900 ms, its frames logged to a file."""

    def __init__(self, scope, d):
        self.log = os.path.join(d, "sim.log")
        with open(self.log, "wb") as err:
            self.proc = subprocess.Popen(
                [program("QOR_SIM", str(_BUILD / "qor-sim")), "--listen", "127.0.0.1:0",
                 "--steady", "--log", "--delay-ms", "900"],
                stdout=subprocess.PIPE, stderr=err, stdin=subprocess.DEVNULL)
        scope.addCleanup(self.stop)
        self.address = self.proc.stdout.readline().decode().strip()
        if not self.address:
            raise AssertionError("qor-sim printed no address")

    def frames(self, letters):
        """How many frames of these letters it has been sent."""
        with open(self.log, "rb") as f:
            return f.read().count(b'got "$1' + letters)

    def limits_written(self):
        return self.frames(b"HI")

    def stop(self):
        stop_process(self.proc)
        self.proc.stdout.close()


class Writer(threading.Thread):
    """One client writing hi = value in a connection of its own."""

    def __init__(self, port, value):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.request = struct.pack(">HHHBBHHB", value, 0, 11, 1, 0x10, 0, 2, 4) + struct.pack(
            ">f", value)
        self.answer = None

    def run(self):
        self.sock.sendall(self.request)
        try:
            self.answer = self.sock.recv(64)
        except OSError:
            self.answer = b""
        self.sock.close()

    def outcome(self):
        """"written", "busy", or what else came (b"": closed unanswered)."""
        if self.answer == self.request[:4] + b"\x00\x06" + self.request[6:12]:
            return "written"
        if self.answer == self.request[:4] + b"\x00\x03\x01\x90\x06":
            return "busy"
        return self.answer


class QueuedWrites(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        scope = ClassScope(cls)
        cls.dir = folder(scope)
        cls.broker = Broker(scope, cls.dir)
        cls.sim = SlowSim(scope, cls.dir)

    def queue_writes(self, name):
        """A gateway with WRITERS writes on its link, all but one waiting."""
        d = os.path.join(self.dir, name)
        os.mkdir(d)
        port = free_port()
        gateway = Gateway(self, d, CONFIG % (self.broker.port, FLUSH_TIMEOUT_S, self.sim.address,
                                             port))
        self.assertTrue(wait_listening(port), gateway.log())
        started = self.sim.frames(b"WE")
        writers = [Writer(port, 100 + n) for n in range(WRITERS)]
        for w in writers:
            w.start()
        # Those beyond the link's queue are answered at once: the rest wait,
        # and the first is under way (WE, then HI, 900 ms each: longer than
        # a stop gives a link's transaction).
        self.assertTrue(wait_until(lambda: sum(w.answer is not None for w in writers) >= 7, 30),
                        gateway.log())
        self.assertTrue(wait_until(lambda: self.sim.frames(b"WE") > started, 30), gateway.log())
        return gateway, writers

    def check_answers(self, writers, written_before):
        for w in writers:
            w.join(30)
        outcomes = [w.outcome() for w in writers]
        self.assertEqual(set(outcomes) - {"written", "busy"}, set(), outcomes)
        # The write under way when the signal came may still reach the
        # module; none of those waiting does.
        self.assertLessEqual(self.sim.limits_written() - written_before, 1)
        self.assertLessEqual(outcomes.count("written"), 2)

    def test_a_stop_answers_every_queued_write_busy_within_its_bound(self):
        gateway, writers = self.queue_writes("stop")
        written = self.sim.limits_written()
        start = time.monotonic()
        gateway.proc.send_signal(signal.SIGTERM)
        self.assertEqual(gateway.proc.wait(60), 0)
        # The documented bound: flush_timeout_s plus 2 s.
        self.assertLess(time.monotonic() - start, FLUSH_TIMEOUT_S + 2, gateway.log())
        self.check_answers(writers, written)

    def test_a_reload_answers_every_queued_write_busy_and_goes_on(self):
        gateway, writers = self.queue_writes("reload")
        written = self.sim.limits_written()
        start = time.monotonic()
        gateway.reload()
        self.assertTrue(wait_until(lambda: "info: reloaded" in gateway.log(), 60), gateway.log())
        self.assertLess(time.monotonic() - start, FLUSH_TIMEOUT_S + 2, gateway.log())
        self.check_answers(writers, written)
        # The link runs again: a new write reaches the module.
        port = int(gateway.log().split("modbus: listening on 127.0.0.1:")[1].split()[0])
        again = Writer(port, 7)
        again.start()
        again.join(30)
        self.assertEqual(again.outcome(), "written", gateway.log())


if __name__ == "__main__":
    unittest.main()
