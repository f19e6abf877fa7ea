#!/usr/bin/env python3
"""qor-gateway's HTTP side: what a scrape costs, and whether scraping slows
polling. For make_report.py.

    http_bench.py --sim QOR-SIM --gateway QOR-GATEWAY --mosquitto MOSQUITTO
                  [--scrapes 100] [--seconds 10] [--rounds 3] --out FILE

Scrape: 16 links of 64 modules (1,024 modules, one qor-sim on TCP per link
answering all 64 addresses), each module polling "rd" every 10 s. /metrics
and /api/state are fetched --scrapes times each, one after the other; the
figures are the median wall time of a request and the gateway's CPU time
(all threads, /proc/PID/stat) per request.

Rate: one link of one module polled back to back (interval 1 ms) on a TCP
simulator, counted by qor_gateway_readings_total over --seconds, with one
scrape of /metrics a second against none (the count read only at the start
and the end), in alternating rounds; medians.
"""

import argparse
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gateway_bench import free_port, stop  # noqa: E402

ADDRESSES = [chr(c) for c in range(0x21, 0x7f) if chr(c) not in "$#*?\\\"'"][:64]


def sim(program, addresses):
    args = [program, "--listen", "127.0.0.1:0", "--steady"]
    for a in addresses:
        args += ["--address", a]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    ready, _, _ = select.select([proc.stdout], [], [], 10)
    where = proc.stdout.readline().decode().strip() if ready else ""
    if not where:
        stop(proc)
        raise SystemExit("qor-sim printed no address")
    return proc, "socket://%s?timeout_ms=500" % where


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def fetch(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=30) as r:
        return r.read()


def wait_http(port, proc):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit("qor-gateway exited")
        try:
            fetch(port, "/healthz")
            return
        except OSError:
            time.sleep(0.1)
    raise SystemExit("qor-gateway did not answer HTTP")


class Plant:
    def __init__(self, args, folder, links):
        self.procs = []
        broker_port = free_port()
        conf = os.path.join(folder, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % broker_port)
        self.procs.append(subprocess.Popen([args.mosquitto, "-c", conf],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.port = free_port()
        text = ('[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "bench"\n'
                '[gateway]\ntopic_prefix = "bench"\nqueue_size = 1000\n'
                '[http]\nlisten = "127.0.0.1:%d"\n' % (broker_port, self.port))
        for i, (modules, interval) in enumerate(links):
            proc, target = sim(args.sim, ADDRESSES[:modules])
            self.procs.append(proc)
            text += '[[link]]\nname = "bus%d"\ntarget = "%s"\n' % (i, target)
            for a in ADDRESSES[:modules]:
                text += ('[[link.module]]\naddress = "%s"\nname = "m%d"\npoll = { rd = %d }\n'
                         % (a, ord(a), interval))
        path = os.path.join(folder, "gateway.toml")
        with open(path, "w") as f:
            f.write(text)
        self.log = open(os.path.join(folder, "gateway.log"), "wb")
        self.gateway = subprocess.Popen([args.gateway, path], stderr=self.log,
                                        stdin=subprocess.DEVNULL)
        self.procs.append(self.gateway)
        wait_http(self.port, self.gateway)

    def close(self):
        for proc in reversed(self.procs):
            stop(proc)
            if proc.stdout:
                proc.stdout.close()
        self.log.close()


def scrape_costs(args, folder):
    plant = Plant(args, folder, [(64, 10000)] * 16)
    try:
        time.sleep(3)
        out = {}
        for path in ("/metrics", "/api/state"):
            fetch(plant.port, path)
            times = []
            cpu0 = cpu_seconds(plant.gateway.pid)
            for _ in range(args.scrapes):
                t0 = time.perf_counter()
                size = len(fetch(plant.port, path))
                times.append(time.perf_counter() - t0)
            cpu = cpu_seconds(plant.gateway.pid) - cpu0
            out[path] = {"median_ms": statistics.median(times) * 1e3,
                         "cpu_ms": cpu / args.scrapes * 1e3, "bytes": size}
        # The gateway's CPU without scrapes over the same time, to subtract.
        cpu0 = cpu_seconds(plant.gateway.pid)
        time.sleep(3)
        out["idle_cpu_ms_per_s"] = (cpu_seconds(plant.gateway.pid) - cpu0) / 3 * 1e3
        out["modules"] = 16 * 64
        return out
    finally:
        plant.close()


def readings(port):
    total = 0
    for line in fetch(port, "/metrics").decode().splitlines():
        if line.startswith("qor_gateway_readings_total{") and 'outcome="ok"' in line:
            total += float(line.rsplit(" ", 1)[1])
    return total


def rate_round(port, seconds, scrape):
    start = readings(port)
    t0 = time.monotonic()
    while time.monotonic() - t0 < seconds:
        time.sleep(1 if scrape else seconds)
        if scrape:
            fetch(port, "/metrics")
    return (readings(port) - start) / (time.monotonic() - t0)


def rate_effect(args, folder):
    plant = Plant(args, folder, [(1, 1)])
    try:
        time.sleep(2)
        none, scraped = [], []
        for _ in range(args.rounds):
            none.append(rate_round(plant.port, args.seconds, False))
            scraped.append(rate_round(plant.port, args.seconds, True))
        return {"none": statistics.median(none), "scraped": statistics.median(scraped),
                "rounds": list(zip(none, scraped))}
    finally:
        plant.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sim", required=True)
    p.add_argument("--gateway", required=True)
    p.add_argument("--mosquitto", default="/usr/sbin/mosquitto")
    p.add_argument("--scrapes", type=int, default=100)
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--out", required=True)
    args = p.parse_args()
    with tempfile.TemporaryDirectory(prefix="qor-http-bench.") as folder:
        result = {"scrape": scrape_costs(args, folder), "rate": rate_effect(args, folder)}
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    print(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
