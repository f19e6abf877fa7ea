"""The status page in a real headless Chromium (driven by Selenium through
chromedriver) from a running gateway: modules and values appear, a module
whose simulator dies turns offline without a reload, the console stays
clean. It saves a screenshot: to $QOR_SCREENSHOT when set, else into the
test's folder (the README's picture is the larger plant's of
tests/gateway/http/test_page.py, scripts/page_screenshot.sh)."""

import os
import shutil
import time
import unittest

from plant import Broker, Gateway, Sim, folder, free_port, wait_until
from test_http import Http, http_config

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:  # pragma: no cover - depends on the machine
    webdriver = None

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 "--disable-dev-shm-usage", "--window-size=900,1000",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(DRIVER), options=options)


@unittest.skipIf(webdriver is None or not os.access(CHROMIUM, os.X_OK) or
                 not os.access(DRIVER, os.X_OK),
                 "chromium, chromium-driver or python3-selenium not installed")
class StatusPage(unittest.TestCase):
    def setUp(self):
        self.dir = folder(self)
        self.broker = Broker(self, self.dir)
        self.sim_a = Sim(self, "--address", "1", "--address", "2")
        self.sim_b = Sim(self)
        self.port = free_port()
        links = [
            ("bus-a", self.sim_a.target, [
                ("1", "boiler", 'temp = { query = "rd", interval_ms = 200, unit = "°C" }', ["hi"]),
                ("2", "pump", 'rd = 300, rl = 500', [])]),
            ("bus-b", self.sim_b.target, [("1", "tank", 'level = { query = "rd", interval_ms = 200, unit = "%" }, re = 500', [])]),
        ]
        self.gateway = Gateway(self, self.dir, http_config(self.broker, links, self.port))
        self.assertTrue(wait_until(lambda: self.up(), 10), self.gateway.log())
        self.driver = browser(os.path.join(self.dir, "chromium-profile"))
        self.addCleanup(self.driver.quit)

    def up(self):
        try:
            return Http(self.port).get("/healthz")[0] == 200
        except OSError:
            return False

    def module_text(self, link, module):
        return self.text("module-%s-%s" % (link, module))

    def text(self, element_id):
        # Read in one script: the page redraws every second, so a found
        # element may be replaced before its text is asked for.
        return self.driver.execute_script(
            "const e = document.getElementById(arguments[0]); return e ? e.innerText : '';",
            element_id)

    def test_page_shows_modules_and_follows_a_dying_simulator_without_reload(self):
        self.driver.get("http://127.0.0.1:%d/" % self.port)
        self.assertEqual(self.driver.title, "qor-gateway")
        self.assertTrue(wait_until(lambda: "online" in self.module_text("bus-b", "tank"), 10))
        self.assertTrue(wait_until(lambda: "72.1 °C" in self.module_text("bus-a", "boiler"), 10))
        self.assertIn("72.1 %", self.module_text("bus-b", "tank"))
        self.assertIn("gw-test", self.text("id"))
        self.assertIn("bus-a", self.text("links"))
        marker = self.driver.execute_script("window.qorMarker = 1; return window.qorMarker;")
        self.sim_b.stop()
        self.assertTrue(wait_until(lambda: "offline" in self.module_text("bus-b", "tank"), 10),
                        self.module_text("bus-b", "tank"))
        # The same document: no reload happened.
        self.assertEqual(self.driver.execute_script("return window.qorMarker;"), marker)
        self.assertIn("tank", self.text("events"))
        time.sleep(1.2)  # one more refresh, so that the picture shows the stale values greyed
        errors = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(errors, [])
        shot = os.environ.get("QOR_SCREENSHOT") or os.path.join(self.dir, "status-page.png")
        self.driver.set_window_size(900, self.driver.execute_script(
            "return document.body.scrollHeight") + 40)
        self.assertTrue(self.driver.save_screenshot(shot))


if __name__ == "__main__":
    unittest.main()
