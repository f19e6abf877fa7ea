#!/usr/bin/env python3
"""qor-gateway's status page at 1,024 modules, for make_report.py.

    page_bench.py --sim QOR-SIM --gateway QOR-GATEWAY --history QOR_BENCH_HISTORY
                  [--mosquitto MOSQUITTO] [--seconds 30] --out FILE

16 links of 64 modules (one TCP qor-sim per link answering all 64
addresses), every module's rd polled once a second, [http] on:
  - bytes: /api/state whole (plain and gzip-compressed), and the answers to
    the page's cursor (?since=) a second apart, with steady values and with
    values that move at every reading (qor-sim without --steady);
  - CPU per open page: the gateway's CPU (all threads, /proc/PID/stat) per
    update the page asks for each second (what changed since its cursor),
    and per request of the whole /api/state (what the page asked for every
    second before the cursor), over many requests, the CPU of the polls
    meanwhile taken out (an idle gateway's CPU varies too much on a shared
    machine to see one page beside it);
  - time to first paint: Chromium's first-contentful-paint and the time
    until the page shows every module, with a fresh profile and again with
    the page's files cached;
  - the history: qor_bench_history's day of minutes for 1,024 polls (its
    file, its RAM, a minute's write, a day's read);
  - the load planned against the load measured: four modules on a
    pseudo-terminal to qor-sim paced at a baud rate, their polls planned at
    about half the line; the second window of 10 s the gateway measures.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gateway_bench import Broker, free_port, stop  # noqa: E402
from http_bench import ADDRESSES, cpu_seconds, wait_http  # noqa: E402

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:  # pragma: no cover - depends on the machine
    webdriver = None


def fetch(port, path, gzip=False):
    """The body's bytes as they came over the wire."""
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path),
                                     headers={"Accept-Encoding": "gzip"} if gzip else {})
    with urllib.request.urlopen(request, timeout=30) as r:
        return r.read()


class Plant:
    """16 simulators of 64 modules, a broker, the gateway with [http]."""

    def __init__(self, args, folder, steady):
        broker = Broker(folder, args.mosquitto)
        self.procs = [broker.proc]
        self.port = free_port()
        text = ('[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "page"\n'
                '[gateway]\nflush_timeout_s = 0\n[http]\nlisten = "127.0.0.1:%d"\n'
                % (broker.port, self.port))
        for link in range(16):
            text += self.link(args, link, steady)
        path = os.path.join(folder, "gateway.toml")
        with open(path, "w") as f:
            f.write(text)
        self.log = open(os.path.join(folder, "gateway.log"), "wb")
        self.gateway = subprocess.Popen([args.gateway, path], stderr=self.log,
                                        stdin=subprocess.DEVNULL)
        self.procs.append(self.gateway)
        wait_http(self.port, self.gateway)
        deadline = time.monotonic() + 60
        while self.online() < 1024 and time.monotonic() < deadline:
            time.sleep(0.5)

    def link(self, args, index, steady):
        command = [args.sim, "--listen", "127.0.0.1:0"] + (["--steady"] if steady else [])
        for a in ADDRESSES:
            command += ["--address", a]
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.procs.append(proc)
        where = proc.stdout.readline().decode().strip()
        text = '[[link]]\nname = "hall-%02d"\ntarget = "socket://%s?timeout_ms=500"\n' % (
            index + 1, where)
        for m, a in enumerate(ADDRESSES):
            text += ('[[link.module]]\naddress = "%s"\nname = "m%02d"\npoll = { temp = { query = '
                     '"rd", interval_ms = 1000, unit = "°C" } }\n' % (a, m))
        return text

    def online(self):
        try:
            s = json.loads(fetch(self.port, "/api/state"))
        except OSError:
            return 0
        return sum(m["availability"] == "online" for l in s["links"] for m in l["modules"])

    def cpu_ms_per_s(self, seconds, during=None):
        """The gateway's CPU over seconds, while during() runs once a second."""
        cpu0 = cpu_seconds(self.gateway.pid)
        t0 = time.monotonic()
        while time.monotonic() - t0 < seconds:
            if during:
                during()
            time.sleep(1)
        return (cpu_seconds(self.gateway.pid) - cpu0) / (time.monotonic() - t0) * 1e3

    def close(self):
        for proc in reversed(self.procs):
            stop(proc)
            if proc.stdout:
                proc.stdout.close()
        self.log.close()


def update_bytes(port, count=10):
    """The whole state's size, and the median size of answers to the cursor."""
    whole = fetch(port, "/api/state")
    packed = fetch(port, "/api/state", gzip=True)
    cursor = json.loads(whole)["cursor"]
    sizes = []
    for _ in range(count):
        time.sleep(1)
        body = fetch(port, "/api/state?since=" + cursor)
        sizes.append(len(body))
        cursor = json.loads(body)["cursor"]
    return {"whole": len(whole), "whole_gzip": len(packed), "changes": statistics.median(sizes)}


def browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--no-first-run", "--window-size=1280,1000",
                 "--user-data-dir=" + os.path.join(folder, "chromium")):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def open_page(driver, port):
    """Loads the page; (first contentful paint, every module shown) in ms."""
    driver.get("http://127.0.0.1:%d/" % port)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        shown = driver.execute_script(
            "const s = document.getElementById('summary');"
            "return s && s.textContent.includes('of 1024 modules') ? performance.now() : null;")
        if shown:
            paint = driver.execute_script(
                "const p = performance.getEntriesByName('first-contentful-paint');"
                "return p.length ? p[0].startTime : null;")
            return paint, shown
        time.sleep(0.02)
    raise SystemExit("the page did not show the plant")


def request_cpu_ms(plant, path, count):
    """The gateway's CPU per request of path (a function giving the next
    one), the CPU it spends meanwhile on its polls taken out."""
    cpu0, t0 = cpu_seconds(plant.gateway.pid), time.monotonic()
    for _ in range(count):
        fetch(plant.port, path(), gzip=True)
    spent, elapsed = cpu_seconds(plant.gateway.pid) - cpu0, time.monotonic() - t0
    idle = plant.cpu_ms_per_s(5) / 1e3
    return max(0.0, spent - idle * elapsed) / count * 1e3


def page_costs(args, folder, plant):
    """What an open page asks of the gateway: one update a second, each
    what changed since the last (the page's own request, its cursor
    following), beside one of the whole state; and the page's first paint."""
    cursor = [json.loads(fetch(plant.port, "/api/state"))["cursor"]]

    def update():
        return "/api/state?since=" + cursor[0]
    out = {"idle_ms_per_s": plant.cpu_ms_per_s(args.seconds / 3),
           "update_ms": request_cpu_ms(plant, update, 200),
           "whole_ms": request_cpu_ms(plant, lambda: "/api/state", 30)}
    if webdriver is None:
        return out
    driver = browser(folder)
    try:
        out["cold"] = open_page(driver, plant.port)
        out["warm"] = open_page(driver, plant.port)
    finally:
        driver.quit()
    return out


def plan_against_measure(args, folder, baud):
    """(planned, measured) load of four rd polls on a line paced at baud."""
    interval = round(4 * 16 * 10 / baud / 0.5 * 1000)
    planned = 4 * 16 * 10 / baud / (interval / 1000)
    sim = subprocess.Popen([args.sim, "--pty", "--steady", "--baud", str(baud)] +
                           sum((["--address", a] for a in ADDRESSES[:4]), []),
                           stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    path = sim.stdout.readline().decode().strip()
    port = free_port()
    text = ('[broker]\nhost = "127.0.0.1"\nport = %d\n[gateway]\nflush_timeout_s = 0\n'
            '[http]\nlisten = "127.0.0.1:%d"\n[[link]]\nname = "bus"\ntarget = "%s"\n'
            % (free_port(), port, path))
    for a in ADDRESSES[:4]:
        text += ('[[link.module]]\naddress = "%s"\nname = "m%d"\npoll = { rd = %d }\n'
                 % (a, ord(a), interval))
    config = os.path.join(folder, "plan-%d.toml" % baud)
    with open(config, "w") as f:
        f.write(text)
    gateway = subprocess.Popen([args.gateway, config], stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL)
    try:
        wait_http(port, gateway)
        windows = []
        while len(windows) < 2:
            recent = json.loads(fetch(port, "/api/state"))["links"][0]["recent"]
            if recent and (not windows or recent != windows[-1]):
                windows.append(recent)
            time.sleep(0.5)
        return planned, windows[1]["load"]
    finally:
        stop(gateway)
        stop(sim)
        sim.stdout.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--history", required=True)
    parser.add_argument("--mosquitto", default="/usr/sbin/mosquitto")
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    result = {"modules": 1024}
    with tempfile.TemporaryDirectory(prefix="qor-page-bench.") as folder:
        plant = Plant(args, folder, steady=True)
        try:
            result["bytes"] = update_bytes(plant.port)
            result["cpu"] = page_costs(args, folder, plant)
        finally:
            plant.close()
        moving = os.path.join(folder, "moving")
        os.mkdir(moving)
        plant = Plant(args, moving, steady=False)
        try:
            result["moving_bytes"] = update_bytes(plant.port)
        finally:
            plant.close()
        history = subprocess.run([args.history, "--file", os.path.join(folder, "history.db")],
                                 capture_output=True, text=True, check=True, timeout=600)
        result["history"] = json.loads(history.stdout)
        result["plan"] = [[baud] + list(plan_against_measure(args, folder, baud))
                          for baud in (9600, 1200)]
    result["load"] = list(os.getloadavg())
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
