"""qor-gateway's Modbus TCP framing against raw sockets and pymodbus: a
function it does not serve is answered 0x01 whole, so the next answer keeps
its transaction id; device identification names the gateway; a header whose
protocol id or length cannot be followed ends the connection unanswered.
One gateway, one simulator and one broker serve every case."""

import subprocess
import struct
import unittest

from pymodbus.client import ModbusTcpClient
from pymodbus.mei_message import ReadDeviceInformationRequest

from modbus_plant import ClassScope, connect, read_input, receive, request
from plant import (Broker, Gateway, Sim, folder, free_port, modbus_section, program,
                   wait_listening, wait_until, _BUILD)

CONFIG = '''[broker]
host = "127.0.0.1"
port = %d
client_id = "gw-framing"

[[link]]
name = "bus"
target = "%s"
[[link.module]]
address = "1"
name = "boiler"
poll = { rd = 100 }
'''


def version():
    out = subprocess.run([program("QOR_GATEWAY", str(_BUILD / "qor-gateway")), "--version"],
                         capture_output=True, text=True, check=True).stdout
    return out.split()[1]


class Framing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        scope = ClassScope(cls)
        d = folder(scope)
        broker = Broker(scope, d)
        sim = Sim(scope)
        cls.port = free_port()
        cls.gateway = Gateway(scope, d, CONFIG % (broker.port, sim.target) +
                              modbus_section(cls.port))
        if not wait_listening(cls.port):
            raise AssertionError(cls.gateway.log())

        def polled():
            with connect(cls.port) as s:
                s.sendall(read_input(1, 0, 1))
                answer = receive(s)
                return answer is not None and answer[2] == b"\x04\x02\x00\x01"
        if not wait_until(polled, 10):
            raise AssertionError(cls.gateway.log())

    def assertReadFollows(self, sock, transaction):
        """The next answer is the read of transaction, boiler's availability."""
        self.assertEqual(receive(sock), (transaction, 1, b"\x04\x02\x00\x01"))

    def test_functions_it_does_not_serve_are_answered_whole_and_in_step(self):
        cases = [
            ("diagnostics", b"\x08\x00\x00\x12\x34", b"\x88\x01"),
            ("report server id", b"\x11", b"\x91\x01"),
            ("another MEI type", b"\x2b\x0d\x00\x00", b"\xab\x01"),
            ("a function no one defined", b"\x64" + bytes(40), b"\xe4\x01"),
            ("device identification, a code it has not", b"\x2b\x0e\x05\x00", b"\xab\x03"),
        ]
        with connect(self.port) as s:
            for n, (what, pdu, answer) in enumerate(cases):
                # Both at once: the second must not be read as the first's tail.
                s.sendall(request(100 + 2 * n, pdu) + read_input(101 + 2 * n, 0, 1))
                self.assertEqual(receive(s), (100 + 2 * n, 1, answer), what)
                self.assertReadFollows(s, 101 + 2 * n)

    def test_device_identification_names_the_gateway(self):
        with connect(self.port) as s:
            s.sendall(request(7, b"\x2b\x0e\x01\x00", unit=255) + read_input(8, 0, 1))
            transaction, unit, pdu = receive(s)
            self.assertEqual((transaction, unit), (7, 255))
            self.assertEqual(pdu[:7], b"\x2b\x0e\x01\x81\x00\x00\x03")
            self.assertReadFollows(s, 8)
        client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=5)
        self.addCleanup(client.close)
        self.assertTrue(client.connect())
        info = client.execute(ReadDeviceInformationRequest(read_code=1, object_id=0, slave=1))
        self.assertFalse(info.isError(), info)
        self.assertEqual(info.information, {0: b"qor", 1: b"qor-gateway",
                                            2: version().encode()})
        one = client.execute(ReadDeviceInformationRequest(read_code=4, object_id=1, slave=1))
        self.assertEqual(one.information, {1: b"qor-gateway"})
        # Then reads go on, in step, on the same connection.
        self.assertEqual(client.read_input_registers(0, 1, slave=1).registers, [1])

    def test_a_header_that_cannot_be_followed_ends_the_connection_unanswered(self):
        read = struct.pack(">BHH", 4, 0, 1)
        cases = [
            ("protocol id 1", request(1, read, protocol=1)),
            ("protocol id 0xFFFF", request(1, read, protocol=0xFFFF)),
            ("length 0", request(1, read, length=0)),
            ("length 1", request(1, read, length=1)),
            ("length 300", request(1, read + bytes(294), length=300)),
            ("length 0xFFFF", request(1, read + bytes(300), length=0xFFFF)),
            ("a length one byte short", request(1, read, length=5)),
            ("a length one byte long", request(1, read + b"\x00", length=7)),
            ("a byte count beyond the values", request(1, b"\x10\x00\x00\x00\x01\x04\x00\x01")),
            ("function 0x84", request(1, b"\x84\x00\x00\x00\x01")),
        ]
        for what, frame in cases:
            with connect(self.port) as s:
                # A good read after it would be answered if the bad one were
                # skipped or taken short.
                s.sendall(frame + read_input(2, 0, 1))
                self.assertIsNone(receive(s), what)
        self.assertIn("modbus: 127.0.0.1:", self.gateway.log())
        self.assertIn("a protocol id other than 0; connection closed", self.gateway.log())
        # A client that frames its requests is served as before.
        with connect(self.port) as s:
            s.sendall(read_input(3, 0, 1))
            self.assertReadFollows(s, 3)


if __name__ == "__main__":
    unittest.main()
