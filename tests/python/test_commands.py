"""Every command method against a real qor-sim over a pseudo-terminal."""

import threading
import unittest

from simulator import Sim

import qor

# The simulator's reading with --steady, and its power-on limits.
STEADY = 72.1
DEFAULT_HIGH = (100.0, "L")
DEFAULT_LOW = (-10.0, "M")


class CommandTest(unittest.TestCase):
    sim_args = ("--steady",)

    def setUp(self):
        self.sim = Sim(self, *self.sim_args)
        self.link = qor.Link(self.sim.target)
        self.addCleanup(self.link.close)
        self.m = self.link.module("1")

    def sent(self):
        return self.sim.frames()


class ValueQueries(CommandTest):
    def test_reading_trims_and_zero(self):
        # (zero trim, span trim in percent) -> RD value.
        cases = [
            (0.0, 0.0, STEADY),
            (1.5, 0.0, 73.6),
            (0.0, 10.0, 79.31),  # gain 1.10
            (-2.25, -10.0, 62.64),  # 72.1 * 0.9 - 2.25
        ]
        for zero, span, expected in cases:
            with self.subTest(zero=zero, span=span):
                self.m.tz(zero)
                self.m.ts(span)
                self.assertEqual(self.m.rd(), expected)
                self.assertEqual(self.m.nd(), expected)

    def test_rz_after_cz(self):
        self.assertEqual(self.m.rz(), STEADY)
        self.m.cz()
        self.assertEqual(self.m.rz(), 0.0)
        self.m.tz(2.5)
        self.assertEqual(self.m.rz(), 2.5)

    def test_values_go_out_as_written(self):
        # The value crosses ctypes as a float and comes back in the frame:
        # wrong argtypes would send garbage here.
        cases = [
            ("sp", -3.46, "$1SP-00003.46"),
            ("sp", 99999.99, "$1SP+99999.99"),
            ("ao", 12345.67, "$1AO+12345.67"),
            ("ao", -0.01, "$1AO-00000.01"),
            ("ao", 7, "$1AO+00007.00"),
        ]
        for method, value, frame in cases:
            with self.subTest(method=method, value=value):
                getattr(self.m, method)(value)
                self.assertEqual(self.sent()[-1], frame)


class Limits(CommandTest):
    def test_power_on_limits(self):
        self.assertEqual(self.m.rh(), DEFAULT_HIGH)
        self.assertEqual(self.m.rl(), DEFAULT_LOW)

    def test_set_and_read_back(self):
        # (setter, reader, value, mode given, expected (value, mode) read)
        cases = [
            ("hi", "rh", 123.45, "M", (123.45, "M")),
            ("hi", "rh", 99999.99, "L", (99999.99, "L")),
            ("hi", "rh", 500.0, None, (500.0, "L")),  # no letter keeps the mode
            ("lo", "rl", -99999.99, "L", (-99999.99, "L")),
            ("lo", "rl", -3.46, None, (-3.46, "L")),
            ("lo", "rl", 12345.67, "M", (12345.67, "M")),
        ]
        for setter, reader, value, mode, expected in cases:
            with self.subTest(setter=setter, value=value, mode=mode):
                getattr(self.m, setter)(value, mode)
                self.assertEqual(getattr(self.m, reader)(), expected)

    def test_mode_letter_in_frame(self):
        self.m.hi(100, "L")
        self.m.lo(-1, "M")
        self.m.hi(2)
        hi_lo = [f for f in self.sent() if f[2:4] in ("HI", "LO")]
        self.assertEqual(hi_lo, ["$1HI+00100.00L", "$1LO-00001.00M", "$1HI+00002.00"])

    def test_rr_restores_power_on_state(self):
        self.m.hi(5, "M")
        self.m.lo(1, "L")
        self.m.rr()
        self.assertEqual(self.m.rh(), DEFAULT_HIGH)
        self.assertEqual(self.m.rl(), DEFAULT_LOW)


class WriteEnabledCommands(CommandTest):
    def test_each_is_preceded_by_we(self):
        # The simulator refuses these without a "WE" just before, so success
        # alone shows the enable went out; the log shows the pairs.
        for name in ("ca", "ce", "cz", "da", "ea", "rr"):
            with self.subTest(command=name):
                self.assertIsNone(getattr(self.m, name)())
                self.assertEqual(self.sent()[-2:], ["$1WE", "$1" + name.upper()])


class EventCounter(CommandTest):
    def test_re_counts_readings_and_ec_clears(self):
        self.assertEqual(self.m.re(), 0)
        for _ in range(3):
            self.m.rd()
        self.assertEqual(self.m.re(), 3)
        self.assertEqual(self.m.ec(), 3)
        self.assertEqual(self.m.re(), 0)


class DigitalOutputsAndInputs(CommandTest):
    sim_args = ("--steady", "--di-bytes", "3")

    def bits(self, index):
        return [self.m.di(3, index, bit) for bit in range(8)]

    @staticmethod
    def expand(byte):
        return [(byte >> bit) & 1 for bit in range(8)]

    def test_do_and_di_table(self):
        # The simulator loops the outputs back: DI byte 1 (last) is the low
        # output byte, byte 2 the high one, byte 3 holds the fixed value 3.
        cases = [
            ((0x0F, 0xA5), "$1DO0FA5", 0x0F, 0xA5),
            ((0x3C,), "$1DO3C", 0x0F, 0x3C),  # one byte: the low one only
            ((0x00, 0x00), "$1DO0000", 0x00, 0x00),
            ((0xFF,), "$1DOFF", 0x00, 0xFF),
            ((0x81, 0x7E), "$1DO817E", 0x81, 0x7E),
        ]
        for args, frame, high, low in cases:
            with self.subTest(args=args):
                self.assertIsNone(self.m.do(*args))
                self.assertEqual(self.sent()[-1], frame)
                self.assertEqual(self.bits(1), self.expand(low))
                self.assertEqual(self.bits(2), self.expand(high))
                self.assertEqual(self.bits(3), self.expand(3))

    def test_di_returns_plain_ints(self):
        self.m.do(0x01)
        self.assertIs(type(self.m.di(3, 1, 0)), int)
        self.assertEqual(self.m.di(3, 1, 0), 1)


class Bits(CommandTest):
    def test_set_clear_read(self):
        for bit in (0, 5, 40, 63):
            with self.subTest(bit=bit):
                self.assertEqual(self.m.rb(bit), 0)
                self.m.sb(bit)
                self.assertEqual(self.m.rb(bit), 1)
                neighbour = bit - 1 if bit else 1
                self.assertEqual(self.m.rb(neighbour), 0)
                self.m.cb(bit)
                self.assertEqual(self.m.rb(bit), 0)
        self.assertIn("$1SB3F", self.sent())
        self.assertIn("$1CB28", self.sent())


class WithChecksums(CommandTest):
    sim_args = ("--steady",)

    def setUp(self):
        super().setUp()
        qor.Link.enable_checksum(True)
        self.addCleanup(qor.Link.enable_checksum, False)

    def test_commands_with_long_replies(self):
        self.m.rd()
        self.assertEqual(self.sent()[-1], "$1RDEB")
        self.assertEqual(self.m.ec(), 1)
        self.m.sb(5)
        self.assertEqual((self.m.rb(5), self.m.rb(6)), (1, 0))
        self.m.do(0x0F, 0xA5)
        self.assertEqual([self.m.di(2, 1, b) for b in range(8)], [1, 0, 1, 0, 0, 1, 0, 1])
        self.m.hi(100, "L")
        self.assertEqual(self.sent()[-1], "$1HI+00100.00LDC")
        self.assertEqual(self.m.rh(), (100.0, "L"))

    def test_switch_off_again(self):
        qor.Link.enable_checksum(False)
        self.m.rd()
        self.assertEqual(self.sent()[-1], "$1RD")


class Addresses(CommandTest):
    sim_args = ("--steady", "--address", "1", "--address", "A")

    def test_character_and_code(self):
        self.assertEqual(self.link.module(ord("A")).rd(), STEADY)
        self.link.module("A").sb(3)
        self.assertEqual(self.link.module(65).rb(3), 1)
        self.assertEqual(self.m.rb(3), 0)  # module 1 is a different module
        self.assertEqual(self.link.module(65).address, "A")

    def test_threads_share_the_link(self):
        # The library serialises transactions; ctypes releases the GIL while
        # one runs. Neither may mix up replies between modules.
        self.link.module("A").tz(10)
        results = {"1": [], "A": []}

        def worker(address):
            module = self.link.module(address)
            for _ in range(15):
                results[address].append(module.rd())

        threads = [threading.Thread(target=worker, args=(a,)) for a in results]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=20)
        self.assertEqual(results["1"], [STEADY] * 15)
        self.assertEqual(results["A"], [82.1] * 15)


if __name__ == "__main__":
    unittest.main()
