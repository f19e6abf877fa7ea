#!/usr/bin/env python3
"""qor-gateway at scale, with its spool on and off, for make_report.py.

    gateway_scale.py --sim QOR-SIM --gateway QOR-GATEWAY [--links 32]
                     [--modules 32] [--seconds 30] [--outage 60] --out FILE

LINKS qor-sim processes on TCP, MODULES modules each, every module polled
once a second, into a mosquitto broker; a mosquitto_sub subscriber reads
the readings. For the spool on and off in turn:
  - steady: the gateway's CPU (user and kernel, all threads, as a share of
    one core) and RSS over --seconds, the readings a second that arrive, and
    the bytes the gateway wrote to disk per reading (/proc/PID/io);
  - outage: the broker is stopped for --outage seconds and started again;
    the backlog (readings taken while it was away) and the rate it drains
    at, from the first reading after the reconnection to the last of the
    backlog arriving.
"""

import argparse
import calendar
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gateway_bench import Broker, stop  # noqa: E402

PREFIX = "scale"
ADDRESSES = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
TICKS = os.sysconf("SC_CLK_TCK")


class Sims:
    def __init__(self, program, links, modules):
        self.procs, self.targets = [], []
        args = [program, "--listen", "127.0.0.1:0", "--steady"]
        for a in ADDRESSES[:modules]:
            args += ["--address", a]
        for _ in range(links):
            p = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            self.procs.append(p)
            self.targets.append("socket://%s?timeout_ms=500" % p.stdout.readline().decode().strip())

    def close(self):
        for p in self.procs:
            stop(p)
            p.stdout.close()


class Reader:
    """mosquitto_sub on the readings; each line's arrival time kept."""

    def __init__(self, port):
        self.lines = []
        self.proc = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-c", "-i",
             "scale-reader", "-x", "3600", "-t", PREFIX + "/+/+/rd"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        time.sleep(0.3)

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append((time.monotonic(), line))

    def close(self):
        stop(self.proc)
        self.thread.join(5)


def write_config(folder, broker, targets, modules, spool):
    text = ('[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "scale"\n'
            '[gateway]\ntopic_prefix = "%s"\ncounters_interval_s = 1\nqueue_size = 1000000\n'
            'spool = %s\n' % (broker.port, PREFIX, "true" if spool else "false"))
    for i, target in enumerate(targets):
        text += '[[link]]\nname = "bus%d"\ntarget = "%s"\n' % (i, target)
        for a in ADDRESSES[:modules]:
            text += '[[link.module]]\naddress = "%s"\nname = "m%s"\npoll = { rd = 1000 }\n' % (a, a)
    path = os.path.join(folder, "gateway.toml")
    with open(path, "w") as f:
        f.write(text)
    return path


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def written(pid):
    with open("/proc/%d/io" % pid) as f:
        for line in f:
            if line.startswith("write_bytes:"):
                return int(line.split()[1])
    return 0


def measure_steady(args, reader, gw, result):
    """Rate, CPU, RSS and disk bytes per reading while every link polls."""
    n0, c0, w0, t0 = len(reader.lines), cpu_seconds(gw.pid), written(gw.pid), time.monotonic()
    time.sleep(args.seconds)
    n1, c1, w1, t1 = len(reader.lines), cpu_seconds(gw.pid), written(gw.pid), time.monotonic()
    result.update(rate=(n1 - n0) / (t1 - t0), cpu_percent=100 * (c1 - c0) / (t1 - t0),
                  rss_mb=status_kb(gw.pid, "VmRSS") / 1024.0,
                  disk_bytes_per_reading=(w1 - w0) / max(1, n1 - n0))


def restart_broker(broker, folder):
    """The broker back on its port, with the same configuration."""
    broker.proc = subprocess.Popen(
        ["/usr/sbin/mosquitto", "-c", os.path.join(folder, "mosquitto.conf")],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def measure_outage(args, reader, gw, broker, folder, result):
    """Stops the broker for the outage, starts it again, and measures the
    backlog's drain."""
    # Outage: the broker away, then back.
    broker.proc.send_signal(signal.SIGTERM)
    broker.proc.wait()
    time.sleep(args.outage)
    before = len(reader.lines)
    back = time.monotonic()
    restart_broker(broker, folder)
    reader_back = time.monotonic() + 120
    while len(reader.lines) == before and time.monotonic() < reader_back:
        time.sleep(0.005)
    cutoff = time.time()  # readings stamped before this were taken during the outage
    first = reader.lines[before][0] if len(reader.lines) > before else None
    # Drained when readings arrive at the polling rate again.
    time.sleep(3)
    deadline = time.monotonic() + 600
    while time.monotonic() < deadline:
        n = len(reader.lines)
        time.sleep(1)
        if len(reader.lines) - n < 1.5 * args.links * args.modules:
            break
    arrivals = [t for t, _ in reader.lines[before:]]
    backlog_end = first
    backlog = 0
    for t, line in reader.lines[before:]:
        try:
            ts = json.loads(line)["ts"]
        except ValueError:
            continue
        stamp = calendar.timegm(time.strptime(ts[:19], "%Y-%m-%dT%H:%M:%S")) + int(ts[20:23]) / 1000
        if stamp < cutoff:
            backlog += 1
            backlog_end = t
    result.update(outage_s=args.outage, backlog=backlog,
                  reconnect_after_s=(first - back) if first else None,
                  drain_rate=backlog / max(1e-3, backlog_end - first) if first else 0,
                  rss_after_mb=status_kb(gw.pid, "VmHWM") / 1024.0,
                  received_after=len(arrivals))


def run(args, spool):
    folder = tempfile.mkdtemp(prefix="qor-scale.")
    broker = Broker(folder)
    # Persistent, so that the subscriber's session outlives the outage, and
    # with no bound on what it queues for the subscriber: every reading
    # delivered after the outage reaches it.
    stop(broker.proc)
    with open(os.path.join(folder, "mosquitto.conf"), "a") as f:
        f.write("persistence true\npersistence_location %s/\nmax_queued_messages 0\n" % folder)
    broker.proc = subprocess.Popen(
        ["/usr/sbin/mosquitto", "-c", os.path.join(folder, "mosquitto.conf")],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    sims = Sims(args.sim, args.links, args.modules)
    reader = Reader(broker.port)
    config = write_config(folder, broker, sims.targets, args.modules, spool)
    gw = subprocess.Popen([args.gateway, config], stderr=open(os.path.join(folder, "gw.log"), "wb"),
                          stdin=subprocess.DEVNULL)
    result = {"spool": spool}
    try:
        time.sleep(5)  # connected, every link open
        measure_steady(args, reader, gw, result)
        measure_outage(args, reader, gw, broker, folder, result)
        if spool:
            db = os.path.join(folder, "scale.db")
            result["spool_file_mb"] = sum(os.path.getsize(db + s) for s in ("", "-wal")
                                          if os.path.exists(db + s)) / 1048576.0
    finally:
        stop(gw)
        reader.close()
        sims.close()
        stop(broker.proc)
    return result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sim", required=True)
    ap.add_argument("--gateway", required=True)
    ap.add_argument("--links", type=int, default=32)
    ap.add_argument("--modules", type=int, default=32)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--outage", type=float, default=60)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    results = {"links": args.links, "modules": args.modules, "seconds": args.seconds, "runs": []}
    for spool in (True, False):
        r = run(args, spool)
        print("spool %s: %s" % ("on" if spool else "off", json.dumps(r)), flush=True)
        results["runs"].append(r)
    results["load"] = os.getloadavg()
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
