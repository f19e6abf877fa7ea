"""qor-gateway's spool and brokers end to end: readings counted by (boot,
seq) at a real subscriber across kill -9, restarts and reloads; the spool's
bound and its drop count; a spool that cannot be used; failover between
brokers. Real mosquitto, qor-sim and paho, on 127.0.0.1, stopped by PID."""

import json
import os
import signal
import sqlite3
import subprocess
import time
import unittest
import urllib.request

from plant import (Broker, Gateway, SilentResolver, SilentServer, Sim, Subscriber, folder,
                   free_port, wait_until)
from test_gateway import ID, PREFIX, config

TOPIC = PREFIX + "/bus/m/rd"
DROPPED = PREFIX + "/gateway/%s/dropped" % ID
STATUS = PREFIX + "/gateway/%s/status" % ID


def readings(sub, topic=TOPIC):
    return [p for p in sub.on(topic) if isinstance(p, dict)]


def by_boot(payloads):
    """{boot: sorted set of seqs}"""
    out = {}
    for p in payloads:
        out.setdefault(p["boot"], set()).add(p["seq"])
    return {boot: sorted(seqs) for boot, seqs in out.items()}


def scrape(port):
    """The gateway's /metrics as {name: value}, for samples without labels."""
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as r:
        text = r.read().decode()
    return {line.split()[0]: float(line.split()[1]) for line in text.splitlines()
            if line and not line.startswith("#") and "{" not in line}


def spool_rows(path):
    """Seqs of the readings still in the spool, and each stream's last seq."""
    db = sqlite3.connect(path)
    try:
        left = [json.loads(p)["seq"] for (p,) in db.execute("SELECT payload FROM messages")]
        last = dict(db.execute("SELECT topic, seq FROM streams"))
        return left, last
    finally:
        db.close()


class Streams(unittest.TestCase):
    """Nothing lost across kill -9 during an outage, a reload and a clean
    restart; each start says its drop count is 0 before any reading; a clean
    stop leaves every module offline."""

    def test_kill_during_an_outage_a_reload_and_a_restart(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self, "--address", "1", "--address", "2")
        sub = Subscriber(self, broker, PREFIX + "/#", session=True)
        links = [("bus", sim.target, [("1", "m", "rd = 50", []), ("2", "n", "rd = 200", [])])]
        text = config(broker, links)
        gateway = Gateway(self, d, text)
        self.assertTrue(wait_until(lambda: len(readings(sub)) >= 5, 10), gateway.log())
        broker.stop()
        time.sleep(1.0)
        gateway.proc.send_signal(signal.SIGKILL)
        gateway.proc.wait()
        gateway = Gateway(self, d, text)  # the broker still away
        time.sleep(1.0)
        broker.start()
        self.assertTrue(wait_until(lambda: len(by_boot(readings(sub))) >= 2, 15), gateway.log())
        gateway.write(config(broker, links, counters_interval_s=2))
        gateway.reload()
        self.assertTrue(wait_until(lambda: "reloaded" in gateway.log(), 10), gateway.log())
        time.sleep(0.5)
        self.assertEqual(gateway.stop(), 0)
        gateway = Gateway(self, d, text)
        self.assertTrue(wait_until(lambda: len(by_boot(readings(sub))) >= 3, 15), gateway.log())
        time.sleep(0.5)
        self.assertEqual(gateway.stop(), 0)
        self.assertTrue(wait_until(lambda: sub.last(STATUS) == "offline", 5))

        boots = by_boot(readings(sub))
        self.assertEqual(len(boots), 3, boots.keys())
        first = min(boots)
        self.assertEqual(sorted(boots), [first, first + 1, first + 2])
        # One stream, contiguous from 1 across the kill, the reload and the
        # restart: nothing lost, nothing started over.
        seqs = [s for boot in sorted(boots) for s in boots[boot]]
        self.assertEqual(sorted(set(seqs)), list(range(1, max(seqs) + 1)), boots)
        for a, b in zip(sorted(boots), sorted(boots)[1:]):
            self.assertLess(max(boots[a]), min(boots[b]))
        # Each start: its drop count, 0, retained before its first reading.
        order = [(m.topic, m.payload) for m in sub.messages]
        for boot in boots:
            marks = [i for i, (t, p) in enumerate(order)
                     if t == DROPPED and json.loads(p)["boot"] == boot]
            first_reading = min(i for i, (t, p) in enumerate(order)
                                if t == TOPIC and json.loads(p)["boot"] == boot)
            self.assertTrue(marks and marks[0] < first_reading, boot)
            self.assertEqual(json.loads(order[marks[0]][1])["dropped"], 0)
        # A clean stop: every module's retained availability says offline.
        for module in ("m", "n"):
            self.assertEqual(sub.last(PREFIX + "/bus/%s/availability" % module), "offline")


class Bounds(unittest.TestCase):
    def test_the_bound_in_bytes_drops_the_oldest_and_counts_each(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        sub = Subscriber(self, broker, PREFIX + "/#", session=True)
        links = [("bus", sim.target, [("1", "m", "rd = 10", [])])]
        gateway = Gateway(self, d, config(broker, links, spool_max_mb=0.02, flush_timeout_s=2))
        self.assertTrue(wait_until(lambda: len(readings(sub)) >= 5, 10), gateway.log())
        broker.stop()
        time.sleep(3)
        broker.start()
        self.assertTrue(wait_until(lambda: (sub.last(DROPPED) or {}).get("dropped", 0) > 0, 10))
        time.sleep(1)
        self.assertEqual(gateway.stop(), 0)
        time.sleep(0.3)
        left, last = spool_rows(os.path.join(d, ID + ".db"))
        got = set(p["seq"] for p in readings(sub))
        dropped = sub.last(DROPPED)["dropped"]
        self.assertGreater(dropped, 10)
        # Every reading taken was delivered, is still in the spool, or was
        # counted as dropped: exactly once.
        self.assertEqual(len(got | set(left)) + dropped, last[TOPIC], (len(got), len(left)))
        self.assertLess(max(got - set(left)), last[TOPIC] + 1)

    def test_a_spool_that_is_no_database_is_moved_aside(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        path = os.path.join(d, ID + ".db")
        with open(path, "wb") as f:
            f.write(b"garbage" * 2000)
        sub = Subscriber(self, broker, PREFIX + "/#")
        gateway = Gateway(self, d, config(broker, [("bus", sim.target, [("1", "m", "rd = 50", [])])]))
        self.assertTrue(wait_until(lambda: len(readings(sub)) >= 3, 10), gateway.log())
        self.assertIsNone(gateway.proc.poll())
        aside = [n for n in os.listdir(d) if n.startswith(ID + ".db.corrupt-")]
        self.assertEqual(len(aside), 1, os.listdir(d))
        self.assertIn("moved aside", gateway.log())
        status = sub.wait_for(DROPPED, lambda p: p.get("spool_resets") == 1)
        self.assertIsNotNone(status, sub.on(DROPPED))
        self.assertTrue(status["spool"])

    def test_a_spool_that_cannot_be_made_leaves_readings_in_ram(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        sub = Subscriber(self, broker, PREFIX + "/#")
        path = "/proc/qor-gateway-test/%s.db" % ID  # no one can create it
        gateway = Gateway(self, d, config(broker, [("bus", sim.target, [("1", "m", "rd = 50", [])])],
                                          spool_path='"%s"' % path))
        self.assertTrue(wait_until(lambda: len(readings(sub)) >= 3, 10), gateway.log())
        self.assertIn("spool %s: cannot be used (" % path, gateway.log())
        self.assertIn("RAM", gateway.log())
        self.assertFalse(sub.last(DROPPED)["spool"])


class DiskFull(unittest.TestCase):
    def small_disk(self, d):
        """A 1 MiB tmpfs mounted in the test's folder, unmounted at the end;
        skips where mounting is not allowed."""
        small = os.path.join(d, "small")
        os.makedirs(small)
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "qor-test", small],
                               capture_output=True)
        if mount.returncode != 0:
            reason = "cannot mount a tmpfs: %s" % mount.stderr.decode(errors="replace").strip()
            print(reason)
            self.skipTest(reason)
        self.addCleanup(subprocess.run, ["umount", "-l", small], check=True)
        return small

    def fill(self, path):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            while True:
                os.write(fd, b"\0" * 65536)
        except OSError:
            pass
        finally:
            os.close(fd)

    def test_a_full_disk_holds_readings_in_ram_counts_each_drop_and_spools_them_again(self):
        d = folder(self)
        small = self.small_disk(d)
        broker = Broker(self, d)
        sim = Sim(self)
        sub = Subscriber(self, broker, PREFIX + "/#", session=True)
        path = os.path.join(small, "spool.db")
        port = free_port()
        text = config(broker, [("bus", sim.target, [("1", "m", "rd = 20", [])])],
                      spool_path='"%s"' % path, queue_size=100)
        text += '\n[http]\nlisten = "127.0.0.1:%d"\n' % port
        gateway = Gateway(self, d, text)
        self.assertTrue(wait_until(lambda: len(readings(sub)) >= 5, 10), gateway.log())
        broker.stop()
        filler = os.path.join(small, "filler")
        self.fill(filler)
        self.assertTrue(wait_until(lambda: "cannot write" in gateway.log(), 20), gateway.log())
        self.assertIn("holding readings in RAM", gateway.log())
        figures = scrape(port)
        self.assertGreater(figures["qor_gateway_spool_write_failures_total"], 0)
        self.assertEqual(figures["qor_gateway_spool_writable"], 0)
        time.sleep(4)  # more readings than queue_size: the oldest held are dropped
        os.remove(filler)
        self.assertTrue(wait_until(lambda: "written again" in gateway.log(), 10), gateway.log())
        self.assertTrue(wait_until(lambda: scrape(port)["qor_gateway_spool_writable"] == 1, 5))
        # What RAM held went back to the spool: a stop with the broker still
        # away loses nothing but what was counted as dropped.
        time.sleep(0.5)
        dropped = scrape(port)["qor_gateway_dropped_total"]
        self.assertEqual(gateway.stop(), 0)
        left, last = spool_rows(path)
        got = set(p["seq"] for p in readings(sub))
        self.assertGreater(dropped, 0)
        self.assertEqual(len(got | set(left)) + dropped, last[TOPIC], (len(got), len(left)))
        # Polling went on throughout, and the next start delivers the spool.
        broker.start()
        self.assertTrue(wait_until(sub.client.is_connected, 5))
        gateway = Gateway(self, d, text)
        self.assertTrue(wait_until(lambda: set(left) <= set(p["seq"] for p in readings(sub)), 15),
                        gateway.log())


class Failover(unittest.TestCase):
    def run_pair(self, first_port, first_host="127.0.0.1"):
        """A second broker with a subscriber, and a configuration that tries
        first_host:first_port first."""
        d = folder(self)
        os.makedirs(os.path.join(d, "second"))
        second = Broker(self, os.path.join(d, "second"))
        sim = Sim(self)
        links = [("bus", sim.target, [("1", "m", "rd = 50", [])])]
        hosts = 'hosts = ["%s:%d", "127.0.0.1:%d"]\nconnect_timeout_s = 1\n' % (
            first_host, first_port, second.port)
        text = config(1, links, broker_lines=hosts).replace('host = "127.0.0.1"\nport = 1\n', "")
        return d, Subscriber(self, second, PREFIX + "/#"), text

    def test_readings_go_on_through_the_second_broker_with_no_gap(self):
        first = Broker(self, folder(self))
        d, sub2, text = self.run_pair(first.port)
        sub1 = Subscriber(self, first, PREFIX + "/#")
        gateway = Gateway(self, d, text)
        self.assertTrue(wait_until(lambda: len(readings(sub1)) >= 5, 10), gateway.log())
        self.assertEqual(readings(sub2), [])
        first.stop()
        self.assertTrue(wait_until(lambda: len(readings(sub2)) >= 10, 15), gateway.log())
        self.assertEqual(gateway.stop(), 0)
        seqs = sorted(set(p["seq"] for p in readings(sub1) + readings(sub2)))
        self.assertEqual(seqs, list(range(1, seqs[-1] + 1)))

    def test_a_first_broker_that_never_answers_is_passed_over(self):
        silent = SilentServer(self)
        d, sub2, text = self.run_pair(silent.port)
        gateway = Gateway(self, d, text)
        self.assertTrue(wait_until(lambda: len(readings(sub2)) >= 3, 10), gateway.log())
        self.assertIn("no CONNACK within 1 s", gateway.log())
        self.assertEqual(readings(sub2)[0]["seq"], 1)

    def test_a_first_broker_whose_name_lookup_hangs_is_passed_over(self):
        d, sub2, text = self.run_pair(1883, first_host="broker.hangs.test")
        resolver = SilentResolver(self, d)
        gateway = Gateway(self, d, text, wrapper=resolver.wrapper)
        # The resolver would keep the lookup for minutes: the second broker
        # is reached within the connect time-out, and again after each
        # round of the backoff.
        self.assertTrue(wait_until(lambda: len(readings(sub2)) >= 3, 10), gateway.log())
        self.assertIn("broker broker.hangs.test:1883: cannot connect (name lookup: no answer "
                      "from the name lookup in time)", gateway.log())
        self.assertEqual(readings(sub2)[0]["seq"], 1)
        self.assertEqual(gateway.stop(), 0)


if __name__ == "__main__":
    unittest.main()
