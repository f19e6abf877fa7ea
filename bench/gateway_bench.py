#!/usr/bin/env python3
"""qor-gateway's throughput and CPU, for make_report.py.

    gateway_bench.py --sim QOR-SIM --gateway QOR-GATEWAY --library-rate PROG
                     [--bauds 9600,115200] [--buses 1,4] [--seconds 3]
                     [--cpu-seconds 10] --out FILE

Rate: for each baud rate, paced `qor-sim --pty --steady --baud N`
simulators are started, one per bus. On them, first the library alone
(qor_bench_library_rate: one thread per bus doing QOR_RD back to back), then
qor-gateway polling "rd" every millisecond on each bus (more than a bus can
give, so its pollers run back to back too) into a mosquitto broker, with an
MQTT subscriber (mosquitto_sub) counting the readings that arrive. Both run the same time on
the same simulators, in alternating rounds (--rounds, default 3); the
figures are the medians.

CPU: 4 buses of 10 modules each (simulators at 9600 baud), every module
polled once a second: 40 readings a second. The gateway's CPU time (all its
threads, from /proc/PID/task/*/schedstat) over the run, as a share of one
core.

    gateway_bench.py --exception --sim QOR-SIM --gateway QOR-GATEWAY
                     [--exception-seconds 60] --out FILE

Report by exception: the same 4 buses of 10 modules, polled once a second,
but with drifting values (qor-sim without --steady: 72.1 plus a sine of
0.25 over 60 s and noise of 0.01), first publishing every reading, then
with a deadband of 0.1 and max_interval_ms of 30000 on every poll: the
messages a minute that reach the subscriber, and the gateway's CPU.
"""

import argparse
import glob
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time


PREFIX = "bench"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Sims:
    """One paced qor-sim per bus on a pseudo-terminal, stopped by PID."""

    def __init__(self, program, count, baud, addresses=("1",), steady=True):
        self.procs = []
        self.paths = []
        args = [program, "--pty", "--baud", str(baud)] + (["--steady"] if steady else [])
        for a in addresses:
            args += ["--address", a]
        for _ in range(count):
            p = subprocess.Popen(args, stdout=subprocess.PIPE)
            self.procs.append(p)
            self.paths.append(p.stdout.readline().decode().strip())

    def close(self):
        for p in self.procs:
            stop(p)
            p.stdout.close()


class Broker:
    """A mosquitto of its own on a free loopback port, started when it answers."""

    def __init__(self, folder, program="/usr/sbin/mosquitto"):
        self.port = free_port()
        conf = os.path.join(folder, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % self.port)
        self.proc = subprocess.Popen([program, "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("mosquitto did not start")


class Counter:
    """Counts the readings on PREFIX/+/+/rd that reach a subscriber. The
    subscriber is mosquitto_sub writing to a file, the lightest one at hand:
    on a machine of two cores a heavier one would slow what it measures."""

    def __init__(self, port, folder):
        self.path = os.path.join(folder, "readings.txt")
        self.out = open(self.path, "wb")
        self.proc = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "0", "-v",
             "-t", PREFIX + "/+/+/rd"], stdout=self.out, stderr=subprocess.DEVNULL)
        time.sleep(0.3)

    def take(self):
        with open(self.path, "rb") as f:
            return f.read().count(b"\n")

    def lost(self):
        """Readings missing between the first and last seen of each topic."""
        seqs = {}
        with open(self.path, "rb") as f:
            for line in f:
                topic, _, payload = line.partition(b" ")
                try:
                    seqs.setdefault(topic, []).append(json.loads(payload)["seq"])
                except ValueError:
                    pass  # a line cut by the subscriber's stop
        return sum(max(s) - min(s) + 1 - len(set(s)) for s in seqs.values())

    def close(self):
        stop(self.proc)
        self.out.close()


def gateway_config(broker, paths, baud, addresses, interval_ms, folder, poll_keys=""):
    text = '[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "bench"\n' % broker.port
    text += '[gateway]\ntopic_prefix = "%s"\ncounters_interval_s = 3600\n' % PREFIX
    for i, path in enumerate(paths):
        text += '[[link]]\nname = "bus%d"\ntarget = "%s?baud=%d&timeout_ms=1000"\n' % (i, path, baud)
        for a in addresses:
            poll = "rd = %d" % interval_ms
            if poll_keys:
                poll = 'rd = { query = "rd", interval_ms = %d, %s }' % (interval_ms, poll_keys)
            text += '[[link.module]]\naddress = "%s"\nname = "m%s"\npoll = { %s }\n' % (
                a, a, poll)
    path = os.path.join(folder, "gateway.toml")
    with open(path, "w") as f:
        f.write(text)
    return path


def cpu_seconds(pid):
    total = 0
    for stat in glob.glob("/proc/%d/task/*/schedstat" % pid):
        with open(stat) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def gateway_run(args, broker, sims, baud, addresses, interval_ms, seconds, folder, poll_keys=""):
    """Starts the gateway on the simulators; returns (readings per second,
    CPU share of one core, readings lost) over `seconds` after a warm-up."""
    config = gateway_config(broker, sims.paths, baud, addresses, interval_ms, folder, poll_keys)
    counter = Counter(broker.port, folder)
    log = open(os.path.join(folder, "gateway.log"), "wb")
    gw = subprocess.Popen([args.gateway, config], stderr=log)
    try:
        time.sleep(1.0)
        n0, c0, t0 = counter.take(), cpu_seconds(gw.pid), time.monotonic()
        time.sleep(seconds)
        n1, c1, t1 = counter.take(), cpu_seconds(gw.pid), time.monotonic()
    finally:
        stop(gw)
        log.close()
        time.sleep(0.3)
        counter.close()
    if gw.returncode != 0:
        raise RuntimeError("qor-gateway exited with %d" % gw.returncode)
    return (n1 - n0) / (t1 - t0), 100.0 * (c1 - c0) / (t1 - t0), counter.lost()


def library_run(args, sims, baud, seconds):
    targets = ["%s?baud=%d&timeout_ms=1000" % (p, baud) for p in sims.paths]
    out = subprocess.run([args.library_rate, str(seconds)] + targets, capture_output=True,
                         text=True, check=True)
    result = json.loads(out.stdout)
    return result["rate"], result["cpu_percent"]


def rate_rows(args, broker, folder):
    """Library and gateway in alternating rounds on the same simulators, so
    that both meet the machine in the same state; medians of the rounds."""
    buses = [int(b) for b in args.buses.split(",")]
    rows = []
    for baud in [int(b) for b in args.bauds.split(",")]:
        sims = Sims(args.sim, max(buses), baud)
        try:
            for n in buses:
                part = Sims.__new__(Sims)
                part.paths = sims.paths[:n]
                rounds = []
                for _ in range(args.rounds):
                    library, library_cpu = library_run(args, part, baud, args.seconds)
                    rate, cpu, lost = gateway_run(args, broker, part, baud, ["1"], 1,
                                                  args.seconds, folder)
                    rounds.append((library, rate, library_cpu, cpu, lost))
                library, rate, library_cpu, cpu, _ = (statistics.median(c) for c in zip(*rounds))
                row = {"baud": baud, "buses": n, "library": library, "gateway": rate,
                       "ratio": rate / library, "library_cpu_percent": library_cpu,
                       "gateway_cpu_percent": cpu, "lost": sum(r[4] for r in rounds),
                       "rounds": [{"library": r[0], "gateway": r[1]} for r in rounds]}
                print(json.dumps(row), flush=True)
                rows.append(row)
        finally:
            sims.close()
    return rows


def cpu_row(args, broker, folder):
    addresses = [str(a) for a in range(10)]
    sims = Sims(args.sim, 4, 9600, addresses)
    try:
        rate, cpu, lost = gateway_run(args, broker, sims, 9600, addresses, 1000,
                                      args.cpu_seconds, folder)
    finally:
        sims.close()
    row = {"buses": 4, "modules": 40, "interval_ms": 1000, "readings_per_s": rate,
           "cpu_percent": cpu, "lost": lost, "seconds": args.cpu_seconds}
    print(json.dumps(row), flush=True)
    return row


EXCEPTION_KEYS = "deadband = 0.1, max_interval_ms = 30000"


def exception_row(args, broker, folder):
    """Messages a minute from 4 buses x 10 drifting modules at 1 reading/s,
    every reading published, then by exception."""
    addresses = [str(a) for a in range(10)]
    sims = Sims(args.sim, 4, 9600, addresses, steady=False)
    row = {"buses": 4, "modules": 40, "interval_ms": 1000, "seconds": args.exception_seconds,
           "keys": EXCEPTION_KEYS}
    try:
        for name, keys in (("every_reading", ""), ("by_exception", EXCEPTION_KEYS)):
            rate, cpu, lost = gateway_run(args, broker, sims, 9600, addresses, 1000,
                                          args.exception_seconds, folder, keys)
            row[name] = {"per_minute": rate * 60, "cpu_percent": cpu, "lost": lost}
    finally:
        sims.close()
    print(json.dumps(row), flush=True)
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sim", required=True)
    ap.add_argument("--gateway", required=True)
    ap.add_argument("--library-rate")
    ap.add_argument("--bauds", default="9600,115200")
    ap.add_argument("--buses", default="1,4")
    ap.add_argument("--seconds", type=float, default=3)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--cpu-seconds", type=float, default=10)
    ap.add_argument("--exception", action="store_true",
                    help="only the messages a minute with and without report by exception")
    ap.add_argument("--exception-seconds", type=float, default=60)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    if not args.exception and not args.library_rate:
        ap.error("--library-rate is needed unless --exception is given")
    with tempfile.TemporaryDirectory(prefix="qor-gateway-bench.") as folder:
        broker = Broker(folder)
        try:
            if args.exception:
                results = {"exception": exception_row(args, broker, folder),
                           "load": os.getloadavg()}
            else:
                results = {"rates": rate_rows(args, broker, folder),
                           "cpu": cpu_row(args, broker, folder),
                           "seconds": args.seconds, "rounds": args.rounds}
        finally:
            stop(broker.proc)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    sys.exit(main())
