"""What the page's tests share beside tests/gateway/plant.py: that module
(imported from the folder above), a simulator on a pseudo-terminal paced
like a serial line, large plants of TCP simulators serving many addresses
each, and reading /api/state."""

import json
import os
import select
import shutil
import socket
import subprocess
import sys
import threading
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from plant import _BUILD, program, stop_process  # noqa: E402

# One printable character per module, as qor-sim and the gateway take them.
ADDRESSES = [chr(c) for c in range(0x21, 0x7f) if chr(c) not in "$#*?\\\"'"][:64]


def sim_program():
    return program("QOR_SIM", str(_BUILD / "qor-sim"))


def start_sim(testcase, args):
    """qor-sim with args; its first line (a pty path or an address)."""
    proc = subprocess.Popen([sim_program()] + list(args), stdout=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)

    def stop():
        stop_process(proc)
        proc.stdout.close()
    testcase.addCleanup(stop)
    ready, _, _ = select.select([proc.stdout], [], [], 10)
    first = proc.stdout.readline().decode().strip() if ready else ""
    if not first:
        raise AssertionError("qor-sim printed nothing")
    return proc, first


class PtySim:
    """qor-sim on a pseudo-terminal, each reply paced as on a line of baud."""

    def __init__(self, testcase, baud, addresses):
        args = ["--pty", "--steady", "--baud", str(baud)]
        for a in addresses:
            args += ["--address", a]
        self.proc, self.path = start_sim(testcase, args)


class TcpSims:
    """One qor-sim on TCP per link, each serving its modules' addresses."""

    def __init__(self, testcase, links, modules, extra=()):
        self.procs, self.targets = [], []
        for _ in range(links):
            args = ["--listen", "127.0.0.1:0", "--steady"] + list(extra)
            for a in ADDRESSES[:modules]:
                args += ["--address", a]
            proc, where = start_sim(testcase, args)
            self.procs.append(proc)
            self.targets.append("socket://%s?timeout_ms=400" % where)


def gateway_text(broker_port, links, http_port, gateway="", http=""):
    """A configuration: links is [(name, target, [(address, module, poll
    table text)])]; gateway and http are lines added to those sections. A
    stop does not wait for the broker: no test here is about delivery."""
    text = ('[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "gw-page"\n'
            '[gateway]\ntopic_prefix = "page"\noffline_after = 2\nflush_timeout_s = 0\n%s\n'
            % (broker_port, gateway))
    for name, target, modules in links:
        text += '[[link]]\nname = "%s"\ntarget = "%s"\n' % (name, target)
        for address, module, poll in modules:
            text += ('[[link.module]]\naddress = "%s"\nname = "%s"\npoll = { %s }\n'
                     % (address.replace("\\", "\\\\").replace('"', '\\"'), module, poll))
    return text + '\n[http]\nlisten = "127.0.0.1:%d"\n%s' % (http_port, http)


def get(port, path, headers=None):
    """(status, headers, body bytes)."""
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path),
                                     headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as r:
            return r.status, dict(r.headers), r.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


def state(port, cursor=None):
    path = "/api/state" + ("?since=" + cursor if cursor else "")
    status, _, body = get(port, path)
    if status != 200:
        raise AssertionError("GET %s: %d %s" % (path, status, body[:200]))
    return json.loads(body)


class ErrorServer:
    """A module that answers every frame with an error reply of the given
    text: what a module, or anything on its line, may send."""

    def __init__(self, testcase, text):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.target = "socket://127.0.0.1:%d?timeout_ms=400" % self.sock.getsockname()[1]
        self.text = text
        self.running = True
        threading.Thread(target=self._serve, daemon=True).start()
        testcase.addCleanup(self.stop)

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._answer, args=(conn,), daemon=True).start()

    def _answer(self, conn):
        frame = b""
        with conn:
            while self.running:
                try:
                    data = conn.recv(256)
                except OSError:
                    return
                if not data:
                    return
                frame += data
                while b"\r" in frame:
                    one, frame = frame.split(b"\r", 1)
                    address = one[1:2] if len(one) > 1 else b"1"
                    conn.sendall(b"?" + address + b" " + self.text.encode() + b"\r")

    def stop(self):
        self.running = False
        self.sock.close()


def big_plant(testcase, halls=16, per_hall=64, last_hall=62):
    """halls TCP simulators of per_hall modules (the last of last_hall),
    and one simulator each for a boiler and a tank: 1,024 modules. Returns
    (links for gateway_text, {"boiler": proc/address, "tank": ...})."""
    links, alone = [], {}
    sims = TcpSims(testcase, halls - 1, per_hall)
    last = TcpSims(testcase, 1, last_hall)
    for h, target in enumerate(sims.targets + last.targets):
        count = per_hall if h < halls - 1 else last_hall
        modules = []
        for m in range(count):
            limits = ', rh = 10000, rl = 10000' if h == 0 else ''
            modules.append((ADDRESSES[m], "m%02d" % m,
                            'temp = { query = "rd", interval_ms = 1000, unit = "°C", '
                            'name = "Hall %d zone %d" }%s' % (h + 1, m, limits)))
        links.append(("hall-%02d" % (h + 1), target, modules))
    for name, poll in (("boiler", 'temp = { query = "rd", interval_ms = 500, unit = "°C", '
                                  'name = "Boiler water" }, rh = 2000, rl = 2000'),
                       ("tank", 'level = { query = "rd", interval_ms = 1000, unit = "%", '
                                'name = "Tank level" }')):
        proc, where = start_sim(testcase, ["--listen", "127.0.0.1:0", "--steady"])
        alone[name] = (proc, where)
        links.append((name + "-bus", "socket://%s?timeout_ms=400" % where,
                      [("1", name, poll)]))
    return links, alone


def qor_cli(where, *words):
    """The qor tool on a simulator's TCP port, beside the gateway."""
    cli = program("QOR_CLI", str(_BUILD / "qor"))
    return subprocess.run([cli, "--link", "socket://" + where] + list(words),
                          capture_output=True, text=True, timeout=20)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:  # pragma: no cover - depends on the machine
    webdriver = None

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
NO_BROWSER = (webdriver is None or not os.access(CHROMIUM, os.X_OK) or
              not os.access(DRIVER, os.X_OK))


def browser(profile, zone=None, size=(1280, 1000)):
    """Headless Chromium, offline but for 127.0.0.1; zone: the time zone
    its pages see."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 "--disable-dev-shm-usage", "--window-size=%d,%d" % size,
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    if zone:
        driver.execute_cdp_cmd("Emulation.setTimezoneOverride", {"timezoneId": zone})
    return driver
