"""The status page as an operator watches it, in headless Chromium driven
by Selenium, against the real qor-gateway with 1,024 simulated modules
(qor-sim on TCP, many addresses each) and a real mosquitto: problems first,
an offline module at their top with its last value greyed and its true age,
the filter, a stepped value in its sparkline and its chart, an alarm, local
time in the browser's zone, updates that carry only what changed, and the
page's files compressed and cached. A smaller plant shows Sparkplug B and
Modbus TCP, the one line when all is well, markup shown as text, and the
command switch kept. With $QOR_PAGE_SCREENSHOT the 1,024-module picture
goes there (scripts/page_screenshot.sh makes the README's that way)."""

import datetime
import gzip
import json
import os
import re
import signal
import socket
import struct
import time
import types
import unittest
import zoneinfo

from page_plant import (ADDRESSES, NO_BROWSER, ErrorServer, big_plant, browser, gateway_text, get,
                        qor_cli, state, TcpSims)
from plant import Broker, Gateway, Subscriber, folder, free_port, wait_until

ZONE = "Asia/Kathmandu"  # UTC+05:45: a zone no machine's own clock is likely in


class Page:
    """The browser's view of the page, read in single scripts: the page
    redraws every second, so an element found may be gone a moment later."""

    def __init__(self, driver, port):
        self.driver = driver
        self.port = port

    def open(self):
        self.driver.get("http://127.0.0.1:%d/" % self.port)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def text(self, selector):
        return self.js("const e = document.querySelector(arguments[0]);"
                       "return e ? e.textContent : '';", selector)

    def problems(self):
        return self.js("return [...document.querySelectorAll('#problems li')].map("
                       "(li) => [li.dataset.kind, li.querySelector('.text').textContent,"
                       " li.querySelector('.since').textContent,"
                       " li.querySelector('.since').title]);")

    def row(self, key):
        """The cells' texts and classes of a poll's row, and whether it shows."""
        return self.js(
            "const tr = document.querySelector('tr.poll[data-key=\"' + arguments[0] + '\"]');"
            "if (!tr) return null;"
            "const svg = tr.querySelector('svg.spark');"
            "return {cells: [...tr.cells].map((c) => c.textContent),"
            " classes: [...tr.cells].map((c) => c.className), shown: tr.offsetParent !== null,"
            " spark: svg ? Object.assign({}, svg.dataset) : {}};", key)

    def filter(self, text):
        self.js("const f = document.getElementById('filter'); f.value = arguments[0];"
                "f.dispatchEvent(new Event('input'));", text)

    def shown_rows(self):
        return self.js("return [...document.querySelectorAll('tr.poll')]"
                       ".filter((tr) => tr.offsetParent !== null).map((tr) => tr.dataset.key);")

    def severe(self):
        return [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]


def seconds(age):
    """'4.2 s' or '1.5 min' as seconds."""
    number, unit = age.split()
    return float(number) * {"s": 1, "min": 60, "h": 3600}[unit]


@unittest.skipIf(NO_BROWSER, "chromium, chromium-driver or python3-selenium not installed")
class Plant1024(unittest.TestCase):
    """One gateway polling 1,024 modules on 18 links, one browser."""

    @classmethod
    def setUpClass(cls):
        whole = types.SimpleNamespace(addCleanup=cls.addClassCleanup)  # for the class's life
        cls.dir = folder(whole)
        cls.broker = Broker(whole, cls.dir)
        links, cls.alone = big_plant(whole)
        cls.port = free_port()
        cls.gateway = Gateway(whole, cls.dir, gateway_text(cls.broker.port, links, cls.port))
        if not wait_until(lambda: cls.modules_online() == 1024, 60):
            raise AssertionError("not every module online: " + cls.gateway.log()[-2000:])
        cls.driver = browser(os.path.join(cls.dir, "chromium"), ZONE)
        cls.addClassCleanup(cls.driver.quit)
        cls.page = Page(cls.driver, cls.port)
        cls.page.open()
        if not wait_until(lambda: "of 1024 modules online" in cls.page.text("#summary"), 30):
            raise AssertionError("the page did not load: " + cls.page.text("#note"))

    @classmethod
    def modules_online(cls):
        try:
            s = state(cls.port)
        except (OSError, AssertionError):
            return 0
        return sum(m["availability"] == "online" for l in s["links"] for m in l["modules"])

    def silence(self, name):
        """Silences the simulator behind the module alone until the test
        ends, or until the returned function is called."""
        proc = self.alone[name][0]
        proc.send_signal(signal.SIGUSR1)
        silent = [True]

        def speak():
            if silent[0]:
                proc.send_signal(signal.SIGUSR1)
                silent[0] = False
        self.addCleanup(speak)
        return speak

    def trim(self, value):
        run = qor_cli(self.alone["boiler"][1], "tz", str(value))
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_the_first_screen_lists_the_problems_before_the_plant(self):
        tops = self.page.js("return ['problems-box', 'plant-box', 'links-box'].map("
                            "(id) => document.getElementById(id).getBoundingClientRect().top);")
        self.assertEqual(tops, sorted(tops))
        self.assertLess(tops[0], 200)
        # A large plant opens folded: one line per link, each with its figures.
        heads = self.page.js("return [...document.querySelectorAll('tbody.head')].map("
                             "(b) => b.textContent);")
        self.assertEqual(len(heads), 18)
        self.assertIn("64 of 64 modules online", heads[0])
        self.assertEqual(self.page.shown_rows(), [])

    def test_an_offline_module_tops_the_problems_with_its_last_value_greyed_and_aging(self):
        key = "tank-bus/tank/level"
        self.assertTrue(wait_until(lambda: "fresh" in (self.page.row(key) or {"cells": [""]})
                                   ["cells"][5], 20))
        speak = self.silence("tank")
        # One look at the list per try: it is drawn anew every second.
        top = []

        def tank_on_top():
            problems = self.page.problems()
            top[:] = problems[:1]
            return bool(top) and "module tank" in top[0][1]

        self.assertTrue(wait_until(tank_on_top, 30), self.page.problems())
        shown_at = time.time()
        kind, text, since, utc = top[0]
        self.assertEqual(kind, "module_offline")
        # The page asks every second: what the gateway knows shows within
        # a few (the bound leaves room for a busy machine).
        began = datetime.datetime.fromisoformat(utc.replace("Z", "+00:00")).timestamp()
        self.assertLess(shown_at - began, 10)
        # The browser's own zone, the UTC time in the tooltip.
        local = datetime.datetime.fromisoformat(utc.replace("Z", "+00:00")).astimezone(
            zoneinfo.ZoneInfo(ZONE))
        self.assertIn("since " + local.strftime("%H:%M:%S"), since)
        self.page.filter("tank")
        first = self.page.row(key)
        self.assertTrue(first["shown"])
        self.assertEqual(first["cells"][2], "72.1 %")
        self.assertIn("old", first["classes"][2])
        self.assertIn("offline", first["cells"][1] + first["cells"][4])
        self.assertTrue(wait_until(lambda: seconds(self.page.row(key)["cells"][5]) >=
                                   seconds(first["cells"][5]) + 1.5, 10))
        self.page.filter("")
        speak()
        self.assertTrue(wait_until(lambda: not any("module tank" in p[1]
                                                   for p in self.page.problems()), 30))

    def test_the_filter_narrows_the_table_to_what_matches(self):
        self.addCleanup(self.page.filter, "")
        self.page.filter("hall-07 m1")
        self.assertEqual(self.page.shown_rows(), ["hall-07/m1%d/temp" % m for m in range(10)])
        self.assertEqual(self.page.text("#shown").split()[0], "10")
        self.page.filter("zone 63 hall-1")
        self.assertEqual(sorted(self.page.shown_rows()),
                         ["hall-%02d/m63/temp" % h for h in range(10, 16)])
        self.page.filter("")
        self.assertEqual(self.page.shown_rows(), [])

    def test_a_stepped_value_shows_in_its_sparkline_and_chart_and_past_a_limit_is_an_alarm(self):
        key = "boiler-bus/boiler/temp"
        self.addCleanup(self.trim, 0)
        self.page.filter("boiler water")
        self.assertTrue(wait_until(lambda: self.page.row(key)["cells"][2] == "72.1 °C", 20))
        self.assertEqual(self.page.row(key)["cells"][3], "-10 … 100")
        self.trim(10)
        self.assertTrue(wait_until(lambda: self.page.row(key)["cells"][2] == "82.1 °C", 20))
        spark = self.page.row(key)["spark"]
        self.assertEqual((float(spark["min"]), float(spark["max"]), float(spark["last"])),
                         (72.1, 82.1, 82.1))
        self.page.js("document.querySelector('tr.poll[data-key=\"' + arguments[0] + '\"]')"
                     ".click();", key)

        def chart():
            return self.page.js("const s = document.getElementById('chart');"
                                "return Object.assign({text: s.textContent}, s.dataset);")
        self.assertTrue(wait_until(lambda: float(chart().get("max", 0)) >= 82.1, 30), chart())
        self.assertLessEqual(float(chart()["min"]), 72.1)
        self.assertIn("high limit 100", chart()["text"])
        self.assertEqual(self.page.text("#chart-title"), "Boiler water (boiler-bus/boiler/temp), °C")
        self.page.js("document.querySelector('#chart-spans [data-hours=\"24\"]').click();")
        self.assertTrue(wait_until(lambda: "24" in self.page.js(
            "return document.querySelector('#chart-spans .on').dataset.hours;"), 10))
        self.trim(30)
        self.assertTrue(wait_until(lambda: any(
            p[0] == "alarm" and "102.1 °C is above its high limit 100 °C" in p[1]
            for p in self.page.problems()), 20), self.page.problems())
        self.assertIn("high alarm", self.page.row(key)["cells"][4])
        self.page.js("document.getElementById('chart-close').click();")
        self.page.filter("")

    def test_updates_carry_only_what_changed_since_the_last(self):
        status, _, full = get(self.port, "/api/state")
        cursor = json.loads(full)["cursor"]
        time.sleep(1.1)
        status, _, changes = get(self.port, "/api/state?since=" + cursor)
        self.assertEqual(status, 200)
        self.assertTrue(json.loads(changes)["changes_only"])
        self.assertLess(len(changes), len(full) / 20, (len(changes), len(full)))
        # The page itself asks with its cursor, and gets little.
        sizes = self.page.js("return performance.getEntriesByType('resource').filter("
                             "(e) => e.name.includes('api/state?since=')).map("
                             "(e) => e.encodedBodySize);")
        self.assertGreater(len(sizes), 0)
        self.assertLess(min(sizes), len(full) / 20)

    def test_the_pages_files_go_out_compressed_and_are_cached_for_good(self):
        status, headers, body = get(self.port, "/", {"Accept-Encoding": "gzip"})
        self.assertEqual((status, headers["Content-Encoding"]), (200, "gzip"))
        names = re.findall(r'"(assets/page-[0-9a-f]{8}\.(?:js|css))"', gzip.decompress(body).decode())
        self.assertEqual(len(names), 2)
        for name in names:
            status, headers, body = get(self.port, "/" + name, {"Accept-Encoding": "gzip"})
            self.assertEqual(status, 200)
            self.assertEqual(headers["Content-Encoding"], "gzip")
            self.assertIn("immutable", headers["Cache-Control"])
            plain = get(self.port, "/" + name)[2]
            self.assertEqual(gzip.decompress(body), plain)
            self.assertLess(len(body), len(plain) / 2)
            again = get(self.port, "/" + name, {"If-None-Match": headers["ETag"]})
            self.assertEqual(again[0], 304)
        self.assertEqual(get(self.port, "/assets/page-00000000.js")[0], 404)
        self.assertEqual(self.page.severe(), [])

    def test_picture_of_the_page(self):
        """The README's picture: a boiler in alarm, a tank offline, the
        boiler's chart open and their links unfolded."""
        self.addCleanup(self.trim, 0)
        # Every link's line has had its first window: the picture shows its load.
        self.assertTrue(wait_until(lambda: all(l["recent"] for l in state(self.port)["links"]), 30))
        self.trim(30)
        self.silence("tank")
        self.assertTrue(wait_until(lambda: len(self.page.problems()) >= 2 and any(
            "module tank" in p[1] for p in self.page.problems()), 30))
        self.page.js("for (const link of ['boiler-bus', 'tank-bus'])"
                     " document.querySelector('tbody.head[data-link=\"' + link + '\"]').click();"
                     "document.querySelector('tr.poll[data-key=\"boiler-bus/boiler/temp\"]')"
                     ".click(); window.scrollTo(0, 0);")
        self.assertTrue(wait_until(lambda: self.page.js(
            "return document.getElementById('chart').dataset.max !== undefined;"), 20))
        time.sleep(1.5)  # one more refresh: the ages and the problems' since move on
        shot = os.environ.get("QOR_PAGE_SCREENSHOT") or os.path.join(self.dir, "status-page.png")
        self.driver.set_window_size(1280, 1500)
        self.assertTrue(self.driver.save_screenshot(shot))
        self.driver.set_window_size(1280, 1000)
        self.page.js("document.getElementById('collapse-all').click();"
                     "document.getElementById('chart-close').click();")


def modbus_request(sock, transaction, pdu):
    """One Modbus TCP request to unit 1; the answer's PDU."""
    sock.sendall(struct.pack(">HHHB", transaction, 0, len(pdu) + 1, 1) + pdu)
    header = sock.recv(7)
    _, _, length, _ = struct.unpack(">HHHB", header)
    return sock.recv(length - 1)


@unittest.skipIf(NO_BROWSER, "chromium, chromium-driver or python3-selenium not installed")
class SmallPlant(unittest.TestCase):
    """Two modules, with Sparkplug B waiting for its primary host and a
    Modbus TCP listener, [http] without commands; one browser."""

    @classmethod
    def setUpClass(cls):
        whole = types.SimpleNamespace(addCleanup=cls.addClassCleanup)
        cls.dir = folder(whole)
        cls.broker = Broker(whole, cls.dir)
        cls.sims = TcpSims(whole, 1, 2)
        cls.modbus = free_port()
        cls.port = free_port()
        cls.odd = ErrorServer(whole, "<img src=x onerror=window.qorPwned=2>")
        cls.gateway = Gateway(whole, cls.dir, cls.config(False))
        cls.driver = browser(os.path.join(cls.dir, "chromium"))
        cls.addClassCleanup(cls.driver.quit)
        cls.page = Page(cls.driver, cls.port)
        if not wait_until(lambda: cls.reachable(), 20):
            raise AssertionError(cls.gateway.log())
        cls.page.open()

    @classmethod
    def reachable(cls):
        try:
            return get(cls.port, "/healthz")[0] == 200
        except OSError:
            return False

    @classmethod
    def config(cls, odd):
        modules = [(ADDRESSES[0], "boiler", 'temp = { query = "rd", interval_ms = 500, '
                    'unit = "<b>°C</b>", name = "<img src=x onerror=window.qorPwned=1>Boiler" }'),
                   (ADDRESSES[1], "pump", "rd = 500")]
        links = [("bus", cls.sims.targets[0], modules)]
        if odd:
            links.append(("odd", cls.odd.target, [("1", "odd", "rd = 500")]))
        return gateway_text(
            cls.broker.port, links, cls.port,
            http="\n[modbus]\nlisten = \"127.0.0.1:%d\"\n"
                 "\n[sparkplug]\nenabled = true\ngroup_id = \"plant\"\nprimary_host_id = \"scada\"\n"
                 % cls.modbus)

    def output(self, name):
        return self.page.text("#output-" + name)

    def test_sparkplug_and_modbus_show_their_state_and_figures_then_all_is_well(self):
        self.assertTrue(wait_until(lambda: "waiting for primary host scada" in
                                   self.output("sparkplug"), 20), self.output("sparkplug"))
        self.assertTrue(any(p[0] == "sparkplug" for p in self.page.problems()))
        self.assertIn("clients: 0", self.output("modbus"))
        with socket.create_connection(("127.0.0.1", self.modbus), timeout=10) as sock:
            self.assertEqual(modbus_request(sock, 1, struct.pack(">BHH", 4, 0, 2))[0], 4)
            self.assertEqual(modbus_request(sock, 2, b"\x63")[0], 0xE3)  # no such function
            self.assertTrue(wait_until(lambda: "clients: 1 · requests answered: 1 · refused: 1"
                                       in self.output("modbus"), 10), self.output("modbus"))
        host = Subscriber(self, self.broker, "spBv1.0/STATE/#")
        host.client.publish("spBv1.0/STATE/scada", json.dumps(
            {"online": True, "timestamp": int(time.time() * 1000)}), qos=1,
            retain=True).wait_for_publish(5)
        self.assertTrue(wait_until(lambda: "births: 1" in self.output("sparkplug"), 20),
                        self.output("sparkplug"))
        self.assertTrue(wait_until(lambda: self.page.problems() == [], 20), self.page.problems())
        self.assertEqual(self.page.text("#all-well"),
                         "Nothing needs attention: 2 modules on 1 link.")
        self.assertEqual(self.page.severe(), [], self.page.severe())

    def test_markup_in_names_and_error_texts_shows_as_text_and_commands_stay_off(self):
        key = "bus/boiler/temp"
        self.assertTrue(wait_until(lambda: self.page.row(key) and
                                   self.page.row(key)["cells"][2] == "72.1 <b>°C</b>", 20))
        self.assertEqual(self.page.row(key)["cells"][0],
                         "<img src=x onerror=window.qorPwned=1>Boiler")
        self.gateway.write(self.config(True))
        self.gateway.reload()
        self.addCleanup(self.gateway.reload)
        self.addCleanup(self.gateway.write, self.config(False))
        self.assertTrue(wait_until(lambda: any(
            "(?1 <img src=x onerror=window.qorPwned=2>)" in p[1] for p in self.page.problems()),
            20), self.page.problems())
        self.assertIn("error: ?1 <img", self.page.row("odd/odd/rd")["cells"][4])
        self.assertEqual(self.page.js("return [document.querySelectorAll('img, b').length,"
                                      " window.qorPwned === undefined];"), [0, True])
        # [http] commands is off: no form, and the gateway refuses a command
        # the page's script would send.
        self.assertTrue(self.page.js("return document.getElementById('commands').hidden;"))
        status = self.driver.execute_async_script(
            "const done = arguments[0]; fetch('api/command', {method: 'POST', headers: "
            "{'Content-Type': 'application/json'}, body: JSON.stringify({link: 'bus', module: "
            "'boiler', command: 'hi', payload: {value: 1}})}).then((r) => done(r.status));")
        self.assertEqual(status, 403)
        self.assertEqual([e["message"].split(" - ")[0] for e in self.page.severe()],
                         ["http://127.0.0.1:%d/api/command" % self.port])


if __name__ == "__main__":
    unittest.main()
