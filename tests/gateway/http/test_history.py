"""/api/history against the real qor-gateway and qor-sim: a poll's minutes
outlive a restart in the history file beside the spool (its raw readings,
kept in RAM, do not), without a spool the history stays in RAM, a link's
sparklines, and the requests it refuses."""

import json
import os
import time
import unittest

from page_plant import gateway_text, get, qor_cli, start_sim
from plant import Gateway, folder, free_port, wait_until

POLL = "bus/boiler/temp"


class History(unittest.TestCase):
    def setUp(self):
        self.dir = folder(self)
        self.sim, self.where = start_sim(self, ["--listen", "127.0.0.1:0", "--steady"])
        self.port = free_port()
        self.addCleanup(qor_cli, self.where, "tz", "0")

    def start(self, gateway=""):
        modules = [("1", "boiler", 'temp = { query = "rd", interval_ms = 200, unit = "°C" }')]
        text = gateway_text(free_port(), [("bus", "socket://%s?timeout_ms=400" % self.where,
                                           modules)], self.port,
                            gateway=gateway)
        gw = Gateway(self, self.dir, text)
        self.assertTrue(wait_until(lambda: self.history().get("raw"), 20), gw.log())
        return gw

    def history(self, query="poll=" + POLL):
        try:
            status, _, body = get(self.port, "/api/history?" + query)
        except OSError:
            return {}
        return json.loads(body) if status == 200 else {}

    def test_the_minutes_outlive_a_restart_and_the_raw_readings_do_not(self):
        gw = self.start()
        time.sleep(0.6)
        self.assertEqual(gw.stop(), 0)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "gw-page.history.db")))
        self.assertEqual(qor_cli(self.where, "tz", "10").returncode, 0)
        self.start()
        h = self.history()
        self.assertEqual((h["stored"], h["unit"], h["interval_ms"]), ("disk", "°C", 200))
        self.assertEqual({v for _, v in h["raw"]}, {82.1})
        self.assertEqual(min(m[1] for m in h["minutes"]), 72.1, h["minutes"])
        self.assertEqual(max(m[2] for m in h["minutes"]), 82.1, h["minutes"])
        before = sum(m[4] for m in h["minutes"])
        self.assertTrue(wait_until(lambda: sum(m[4] for m in self.history()["minutes"]) >
                                   before + 3, 10))

    def test_without_a_spool_the_history_stays_in_ram(self):
        self.start(gateway="spool = false\n")
        self.assertEqual(self.history()["stored"], "ram")
        self.assertFalse([f for f in os.listdir(self.dir) if f.endswith(".db")])

    def test_a_links_sparklines_and_the_requests_it_refuses(self):
        self.start()
        means = self.history("link=bus&minutes=5")
        self.assertEqual((means["link"], means["step"], len(means["polls"])), ("bus", 60000, 1))
        self.assertEqual(len(means["polls"][0]["means"]), 5)
        self.assertEqual(means["polls"][0]["means"][-1], 72.1)
        self.assertEqual(means["start"] % 60000, 0)
        cases = [("", 400), ("poll=%s&hours=25" % POLL, 400), ("poll=%s&hours=x" % POLL, 400),
                 ("poll=bus/boiler/none", 404), ("link=none", 404),
                 ("link=bus&minutes=61", 400), ("link=bus&poll=%s" % POLL, 400)]
        for query, code in cases:
            status, headers, body = get(self.port, "/api/history?" + query)
            self.assertEqual(status, code, query)
            self.assertIn("error", json.loads(body), query)


if __name__ == "__main__":
    unittest.main()
