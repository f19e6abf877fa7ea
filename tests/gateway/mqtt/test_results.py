"""Results that cannot poison the JSON session, end to end: a response topic
the broker could not take is refused up front, and a message already in
the spool that the broker could never take is dropped and counted, never
resent at every connection. Run from tests/gateway: python3 -m unittest
mqtt.test_results"""

import os
import sqlite3
import time
import unittest

from plant import Broker, Gateway, Sim, Subscriber, folder, wait_until
from test_gateway import ID, PREFIX, config


class PoisonedResults(unittest.TestCase):

    def readings(self, sub):
        return [p["seq"] for p in sub.on(PREFIX + "/bus/m/rd")]

    def test_a_result_the_broker_cannot_take_never_stops_the_readings(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        sub = Subscriber(self, broker, PREFIX + "/#")
        text = config(broker, [("bus", sim.target, [("1", "m", "rd = 100", ["hi"])])])
        gateway = Gateway(self, d, text)
        self.assertTrue(wait_until(lambda: len(self.readings(sub)) >= 3, 10), gateway.log())
        # 202 levels below the reply namespace: more than the broker takes.
        deep = PREFIX + "/reply/" + "/".join(["l"] * 202)
        sub.publish(PREFIX + "/bus/m/set/hi", '{"value": 50}', response_topic=deep)
        result = sub.wait_for(PREFIX + "/bus/m/set/hi/result")
        self.assertIsNotNone(result, gateway.log())
        self.assertIs(result["ok"], False)
        self.assertIn("the topic has 205 levels, more than the 200 a broker takes",
                      result["reason"])
        seen = len(self.readings(sub))
        self.assertTrue(wait_until(lambda: len(self.readings(sub)) >= seen + 5, 10), gateway.log())
        self.assertEqual(gateway.stop(), 0)

        # A result on such a topic left in the spool (by an earlier version):
        # dropped and counted at the next start, and the readings go on.
        with sqlite3.connect(os.path.join(d, ID + ".db")) as db:
            db.execute("INSERT INTO messages VALUES((SELECT MAX(id) + 1 FROM messages), ?, ?, "
                       "'', ?, 100)", (deep, b'{"command":"hi","ok":true}',
                                       int(time.time() * 1000)))
        seen = len(self.readings(sub))
        gateway = Gateway(self, d, text)
        self.assertTrue(wait_until(lambda: len(self.readings(sub)) >= seen + 5, 10), gateway.log())
        self.assertIn("more than the 200 a broker takes", gateway.log())
        self.assertNotIn("taken over", gateway.log())
        seqs = self.readings(sub)
        self.assertEqual(seqs, list(range(1, len(seqs) + 1)))


if __name__ == "__main__":
    unittest.main()
