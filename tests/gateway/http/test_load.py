"""Each link's load, planned and measured, against the real qor-gateway:
--check refuses a plan its line cannot carry and warns of a tight one, and
on a simulator paced like a serial line the load the gateway measures is
the load it planned."""

import os
import subprocess
import unittest

from page_plant import ADDRESSES, PtySim, gateway_text, state
from plant import Gateway, folder, free_port, program, wait_until, _BUILD


def check(testcase, text):
    path = os.path.join(folder(testcase), "plan.toml")
    with open(path, "w") as f:
        f.write(text)
    gateway = program("QOR_GATEWAY", str(_BUILD / "qor-gateway"))
    return subprocess.run([gateway, "--check", path], capture_output=True, text=True,
                          timeout=10)


def rd_modules(count, polls, interval_ms):
    """count modules with polls rd polls each, every interval_ms."""
    table = ", ".join('p%d = { query = "rd", interval_ms = %d }' % (i, interval_ms)
                      for i in range(polls))
    return [(ADDRESSES[i], "m%d" % i, table) for i in range(count)]


class LoadPlan(unittest.TestCase):
    def test_check_refuses_a_plan_above_its_line_and_warns_of_one_above_70(self):
        # At 4800 baud an rd takes 16 characters of 2.08 ms: 3.33 % of a second.
        cases = [
            (39, 1, "needs 130 % of a 4800 baud line; polls will fall behind"),
            (24, 0, "warning: link hall1-bus1 needs 80 % of a 4800 baud line"),
            (12, 0, "link hall1-bus1: 12 polls need 40 % of a 4800 baud line"),
        ]
        for polls, code, message in cases:
            links = [("hall1-bus1", "/dev/ttyS7?baud=4800", rd_modules(3, polls // 3, 1000)),
                     ("hall1-tcp", "socket://127.0.0.1:1", rd_modules(64, 4, 10))]
            run = check(self, gateway_text(free_port(), links, free_port()))
            self.assertEqual(run.returncode, code, run.stdout + run.stderr)
            self.assertIn(message, run.stdout + run.stderr)
            if code == 0:
                self.assertIn("link hall1-tcp: 256 polls; socket:// carries no line rate",
                              run.stdout)

    def test_the_load_measured_on_a_paced_line_is_the_load_planned(self):
        # 600 baud: an rd takes 16 characters of 16.7 ms; four modules each
        # polled every 2 s ask for 53 % of the line. A slow line, so that a
        # busy machine's late wake-ups weigh little beside the wire time.
        modules = rd_modules(4, 1, 2000)
        planned = check(self, gateway_text(free_port(), [("bus", "/dev/ttyS7?baud=600", modules)],
                                           free_port()))
        self.assertIn("4 polls need 53 % of a 600 baud line", planned.stdout, planned.stderr)
        sim = PtySim(self, 600, ADDRESSES[:4])
        port = free_port()
        gateway = Gateway(self, folder(self), gateway_text(
            free_port(), [("bus", sim.path + "?timeout_ms=1000", modules)], port))
        windows = []

        def two_windows():
            try:
                recent = state(port)["links"][0]["recent"]
            except (OSError, AssertionError):
                return False
            if recent and (not windows or recent != windows[-1]):
                windows.append(recent)
            return len(windows) >= 2
        # The first window holds the start; the second is all polling.
        self.assertTrue(wait_until(two_windows, 40, step=0.5), gateway.log())
        measured = windows[1]["load"]
        self.assertAlmostEqual(measured / (4 * 16 * 10 / 600 / 2), 1, delta=0.1,
                               msg="measured %.3f" % measured)
        self.assertEqual(windows[1]["skipped"], 0)


if __name__ == "__main__":
    unittest.main()
