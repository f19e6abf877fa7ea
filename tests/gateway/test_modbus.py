"""qor-gateway's Modbus TCP server against two independent clients (pymodbus
and mbpoll), with real simulators behind it and a real broker beside it."""

import math
import os
import socket
import struct
import subprocess
import time
import unittest

from pymodbus.client import ModbusTcpClient

from plant import (Broker, Gateway, Sim, Subscriber, folder, free_port, modbus_section, program,
                   wait_listening, wait_until, _BUILD)
from test_gateway import PREFIX, config

# Unit 1 is bus-a: boiler (block 0) and pump (block 1); unit 2 is bus-b.
BOILER = '''rd = 100, rh = 100, re = 100, b3 = { query = "rb", interval_ms = 100, bit = 3 }, out0 = { query = "di", interval_ms = 100, bytes = 2, bit = 0 }'''
BOILER_WRITABLE = ["hi", "lo", "do", "sb", "cb"]


def float_from(registers, order):
    high, low = registers if order == "ABCD" else registers[::-1]
    return struct.unpack(">f", struct.pack(">HH", high, low))[0]


def registers_of(value, order):
    high, low = struct.unpack(">HH", struct.pack(">f", value))
    return [high, low] if order == "ABCD" else [low, high]


class Plant(unittest.TestCase):
    order = "ABCD"
    modbus = {}

    def setUp(self):
        self.dir = folder(self)
        self.broker = Broker(self, self.dir)
        self.sim_a = Sim(self, "--address", "1", "--address", "2")
        self.sim_b = Sim(self)
        self.sub = Subscriber(self, self.broker, PREFIX + "/#")
        self.port = free_port()
        links = [("bus-a", self.sim_a.target, [("1", "boiler", BOILER, BOILER_WRITABLE),
                                               ("2", "pump", "rd = 100, rl = 100", [])]),
                 ("bus-b", self.sim_b.target, [("1", "tank", "rd = 100", [])])]
        keys = {"word_order": '"%s"' % self.order, "writes": "true", "max_age_s": 2,
                "scaled": {"bus-a/pump/rd": "{ scale = 10, signed = true }"}}
        keys.update(self.modbus)
        self.gateway = Gateway(self, self.dir, config(self.broker, links) +
                               modbus_section(self.port, **keys))
        self.assertTrue(wait_listening(self.port), self.gateway.log())
        self.client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=5)
        self.client.connect()
        self.addCleanup(self.client.close)
        # Every module has been polled.
        self.assertTrue(wait_until(lambda: all(self.status(u, a)[0] == 1 for u, a in
                                               ((1, 0), (1, 100), (2, 0))), 10), self.gateway.log())

    def status(self, unit, block):
        r = self.client.read_input_registers(block, 4, slave=unit)
        return r.registers if not r.isError() else [None] * 4

    def input_float(self, unit, address):
        r = self.client.read_input_registers(address, 2, slave=unit)
        return None if r.isError() else float_from(r.registers, self.order)

    def exception(self, response):
        return getattr(response, "exception_code", None) if response.isError() else None

    def qor(self, sim, *args):
        cli = program("QOR_CLI", str(_BUILD / "qor"))
        run = subprocess.run([cli, "--link", sim.target] + list(args), capture_output=True,
                             text=True, timeout=10)
        return run.stdout.split()[0] if run.stdout.split() else ""


class Reads(Plant):
    def test_each_register_reads_the_simulators_value(self):
        c = self.client
        self.assertAlmostEqual(self.input_float(1, 4), 72.1, places=4)          # boiler rd
        self.assertAlmostEqual(self.input_float(1, 8), 100.0, places=4)         # boiler rh
        re = c.read_input_registers(6, 2, slave=1).registers
        count = (re[0] << 16 | re[1]) if self.order == "ABCD" else (re[1] << 16 | re[0])
        self.assertGreater(count, 0)
        self.assertLess(count, 100000)
        self.assertEqual(c.read_input_registers(104, 1, slave=1).registers, [721])  # pump rd x10
        self.assertAlmostEqual(self.input_float(1, 105), -10.0, places=4)       # pump rl
        self.assertAlmostEqual(self.input_float(2, 4), 72.1, places=4)          # tank, unit 2
        self.assertEqual(c.read_discrete_inputs(0, 1, slave=1).bits[0], False)  # out0
        self.assertEqual(c.read_coils(0, 1, slave=1).bits[0], False)            # b3
        availability, status, error, age = self.status(1, 0)
        self.assertEqual((availability, status, error), (1, 0, 0))
        self.assertLessEqual(age, 1)
        # Unmapped addresses, units and functions.
        self.assertEqual(self.exception(c.read_input_registers(20, 1, slave=1)), 2)
        self.assertEqual(self.exception(c.read_input_registers(8, 4, slave=1)), 2)
        self.assertEqual(self.exception(c.read_input_registers(4, 2, slave=7)), 10)
        # An independent client agrees: mbpoll, big-endian words for ABCD.
        mbpoll = ["mbpoll", "-m", "tcp", "-p", str(self.port), "-a", "1", "-1", "-t",
                  "3:float", "-r", "5", "-c", "1"] + (["-B"] if self.order == "ABCD" else [])
        out = subprocess.run(mbpoll + ["127.0.0.1"], capture_output=True, text=True, timeout=10)
        self.assertIn("[5]: \t72.1", out.stdout)

    def test_a_killed_simulator_turns_its_registers_into_the_exception(self):
        self.sim_b.stop()
        self.assertTrue(wait_until(lambda: self.status(2, 0)[0] == 2, 10))
        self.assertEqual(self.exception(self.client.read_input_registers(4, 2, slave=2)), 11)
        self.assertNotEqual(self.status(2, 0)[1], 0)
        # The other link's registers never noticed.
        self.assertAlmostEqual(self.input_float(1, 4), 72.1, places=4)


class ReadsCdab(Reads):
    order = "CDAB"


class ReadsWithMarkers(Plant):
    modbus = {"stale": '"marker"'}

    def test_an_offline_module_reads_the_documented_markers(self):
        self.sim_b.stop()
        self.assertTrue(wait_until(lambda: self.status(2, 0)[0] == 2, 10))
        self.assertTrue(math.isnan(self.input_float(2, 4)))


class Writes(Plant):
    def test_a_holding_register_write_reaches_the_module(self):
        r = self.client.write_registers(0, registers_of(90.5, self.order), slave=1)
        self.assertFalse(r.isError(), r)
        self.assertEqual(self.qor(self.sim_a, "rh"), "90.50")
        r = self.client.read_holding_registers(0, 2, slave=1)
        self.assertAlmostEqual(float_from(r.registers, self.order), 90.5, places=4)
        result = self.sub.wait_for(PREFIX + "/bus-a/boiler/set/hi/result")
        self.assertTrue(result["ok"])
        self.assertRegex(result["origin"], r"^modbus 127\.0\.0\.1:\d+$")
        # A coil runs SB and CB; mbpoll writes too.
        self.assertFalse(self.client.write_coil(0, True, slave=1).isError())
        self.assertEqual(self.qor(self.sim_a, "rb", "3"), "1")
        out = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(self.port), "-a", "1", "-t",
                              "4:float", "-B", "-r", "3", "--", "127.0.0.1", "-5.25"],
                             capture_output=True, text=True, timeout=10)
        self.assertIn("Written 1 references", out.stdout, out.stderr)
        self.assertEqual(self.qor(self.sim_a, "rl"), "-5.25")

    def test_refused_writes_get_their_exception_and_change_nothing(self):
        c = self.client
        cases = [
            ("unmapped", c.write_registers(50, [1, 2], slave=1), 2),
            ("half a float", c.write_register(1, 7, slave=1), 2),
            ("not writable", c.write_registers(100, [1, 2], slave=1), 2),
            ("beyond the value field", c.write_registers(0, registers_of(1e6, self.order), slave=1), 3),
            ("NaN", c.write_registers(0, registers_of(float("nan"), self.order), slave=1), 3),
            ("module refuses", c.write_registers(2, registers_of(-99999.0, self.order), slave=1), None),
            ("coil beyond the map", c.write_coil(5, True, slave=1), 2),
        ]
        for what, response, code in cases:
            if code is not None:
                self.assertEqual(self.exception(response), code, what)
        self.assertEqual(self.qor(self.sim_a, "rh"), "100.00")
        self.assertEqual(self.qor(self.sim_a, "rb", "3"), "0")


class WritesOff(Plant):
    modbus = {"writes": "false"}

    def test_writes_are_refused_unless_turned_on(self):
        r = self.client.write_registers(0, registers_of(90.5, self.order), slave=1)
        self.assertEqual(self.exception(r), 2)
        self.assertEqual(self.qor(self.sim_a, "rh"), "100.00")


class BadInput(Plant):
    modbus = {"max_connections": 8, "idle_timeout_s": 2}

    def raw(self, data, read=True):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=3)
        s.sendall(data)
        try:
            return s.recv(300) if read else s
        except OSError:
            return b""
        finally:
            if read:
                s.close()

    def test_bad_frames_and_floods_leave_the_gateway_polling(self):
        topic = PREFIX + "/bus-a/boiler/rd"
        # Truncated headers, a wrong length, an unknown function, garbage.
        self.raw(b"\x00\x01\x00", read=False).close()
        self.assertEqual(self.raw(b"\x00\x01\x00\x00\x00\x06\x01\x04\x00"), b"")
        self.raw(b"\x00\x01\x00\x00\x00\xff\x01\x04\x00\x04\x00\x02" + b"\xaa" * 40)
        reply = self.raw(b"\x00\x02\x00\x00\x00\x02\x01\x2b")
        self.assertEqual(reply[7:9], b"\xab\x01")
        self.raw(os.urandom(200))
        # Many connections: beyond the bound they are closed at once.
        sockets = []
        for _ in range(1000):
            try:
                sockets.append(socket.create_connection(("127.0.0.1", self.port), timeout=3))
            except OSError:
                break
        self.assertGreater(len(sockets), 8)
        for s in sockets:
            s.close()
        # A client that sends and never reads.
        greedy = socket.create_connection(("127.0.0.1", self.port), timeout=3)
        greedy.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        request = b"\x00\x03\x00\x00\x00\x06\x01\x04\x00\x00\x00\x7d"
        try:
            for _ in range(3000):
                greedy.send(request)
        except OSError:
            pass
        # Meanwhile polling went on, no reading was lost, and a new client is served.
        before = len(self.sub.on(topic))
        self.assertTrue(wait_until(lambda: len(self.sub.on(topic)) > before + 5, 10))
        seqs = [p["seq"] for p in self.sub.on(topic)]
        self.assertEqual(seqs, list(range(1, len(seqs) + 1)))
        greedy.close()
        self.assertIn("(too many connections)", self.gateway.log())
        fresh = ModbusTcpClient("127.0.0.1", port=self.port, timeout=5)
        self.assertTrue(wait_until(lambda: fresh.connect() and not
                                   fresh.read_input_registers(4, 2, slave=1).isError(), 15))
        fresh.close()


if __name__ == "__main__":
    unittest.main()
