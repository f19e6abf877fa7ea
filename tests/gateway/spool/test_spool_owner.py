"""Whose file a spool is, with the real daemon: a second qor-gateway on a
spool another one holds does not start, and names the holder's PID, while
the first goes on publishing; a spool_path naming another program's SQLite
database stops the start, and the database is left as it was. One broker
and one simulator serve both cases."""

import hashlib
import os
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from plant import Broker, ClassScope, Gateway, Sim, Subscriber, folder, wait_until  # noqa: E402
from test_gateway import config  # noqa: E402

PREFIX = "plant/owner"
START_FAILED = 3



def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class SpoolOwner(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        scope = ClassScope(cls)
        cls.dir = folder(scope)
        cls.broker = Broker(scope, cls.dir)
        cls.sim = Sim(scope)

    def gateway(self, name, spool_path):
        d = os.path.join(self.dir, name)
        os.mkdir(d)
        links = [("bus", self.sim.target, [("1", "m", "rd = 50", [])])]
        text = config(self.broker, links, client_id=name, topic_prefix='"%s"' % PREFIX,
                      spool_path='"%s"' % spool_path)
        return Gateway(self, d, text)

    def test_a_second_gateway_on_a_held_spool_does_not_start_and_names_the_holder(self):
        spool = os.path.join(self.dir, "shared.db")
        sub = Subscriber(self, self.broker, PREFIX + "/#")
        topic = PREFIX + "/bus/m/rd"
        first = self.gateway("gw-first", spool)
        self.assertTrue(wait_until(lambda: len(sub.on(topic)) >= 3, 10), first.log())
        second = self.gateway("gw-second", spool)
        self.assertEqual(second.proc.wait(30), START_FAILED, second.log())
        self.assertRegex(second.log(), r"error: cannot start: \S+/gateway\.toml:\d+: spool %s: in "
                         r"use by another process \(pid %d\); each gateway needs a spool of its "
                         r"own" % (spool, first.proc.pid))
        # The first never noticed: its readings go on, one after the other.
        count = len(sub.on(topic))
        self.assertTrue(wait_until(lambda: len(sub.on(topic)) > count + 5, 10), first.log())
        seqs = [p["seq"] for p in sub.on(topic)]
        self.assertEqual(seqs, list(range(1, len(seqs) + 1)))
        self.assertIsNone(first.proc.poll())

    def test_another_programs_database_stops_the_start_and_is_left_as_it_was(self):
        path = os.path.join(self.dir, "historian.db")
        db = sqlite3.connect(path)
        db.execute("CREATE TABLE samples(at INTEGER, tag TEXT, value REAL)")
        db.execute("INSERT INTO samples VALUES(1, 'boiler', 72.1)")
        db.commit()
        db.close()
        before = digest(path)
        gateway = self.gateway("gw-foreign", path)
        self.assertEqual(gateway.proc.wait(30), START_FAILED, gateway.log())
        self.assertRegex(gateway.log(), r"cannot start: \S+/gateway\.toml:\d+: spool %s: not a "
                         r"spool of qor-gateway \(application id 0, tables samples\); left "
                         r"untouched" % path)
        self.assertEqual(digest(path), before)
        db = sqlite3.connect(path)
        tables = [row[0] for row in db.execute("SELECT name FROM sqlite_master")]
        db.close()
        self.assertEqual(tables, ["samples"])


if __name__ == "__main__":
    unittest.main()
