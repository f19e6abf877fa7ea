#!/usr/bin/env python3
"""Late replies: what the byte link's guard costs on a healthy line, and what
it saves on a line whose modules answer late, against another build of the
libraries (today's, say).

    late_replies_bench.py --build DIR [--baseline DIR] [--bauds 9600,115200]
                          [--seconds 3] [--rounds 3] [--polls 1000]
                          [--transports pty,tcp] [--out FILE]

Each DIR is a build tree holding qor-gateway, qor_bench_library_rate and
the libraries they load; the simulator is --build's.

Healthy line: one paced `qor-sim --pty --steady --baud N` per rate;
qor_bench_library_rate of each build does QOR_RD back to back on it (the
target on its defaults but the rate), in alternating rounds; the figures are
the medians.

Late replies: each build's qor-gateway on its default settings (the target
without options) polls "rh" every 500 ms on 10 modules of one simulator,
each holding its own high limit (--distinct-limits: 100.00, 101.00, ...),
while a tenth of the replies come 0 to 1000 ms late (five time-outs):
`--fault-rate 0.1 --fault-kinds late --fault-delay-ms 0-1000`. A subscriber
(mosquitto_sub) takes every reading; a reading published with status 0 and
another module's limit is a wrong value published as good. Both builds meet
the same simulator seed.

Prints one JSON object (and writes it to --out).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gateway_bench import Broker, Sims, free_port, stop  # noqa: E402

PREFIX = "late"
ADDRESSES = "0123456789"
LATE = ["--fault-rate", "0.1", "--fault-kinds", "late", "--fault-delay-ms", "0-1000"]


def library_rate(build, path, baud, seconds, failures):
    # A failed transaction (a busy machine can starve the simulator past the
    # time-out) is counted, not fatal.
    out = subprocess.run([os.path.join(build, "qor_bench_library_rate"), str(seconds),
                          "%s?baud=%d" % (path, baud)], capture_output=True, text=True)
    result = json.loads(out.stdout)
    failures[build] = failures.get(build, 0) + result["failures"]
    return result["rate"]


def healthy(builds, bauds, seconds, rounds):
    rows = []
    for baud in bauds:
        sims = Sims(os.path.join(builds[0], "qor-sim"), 1, baud)
        try:
            rates = {b: [] for b in builds}
            failures = {}
            for _ in range(rounds):
                for b in builds:
                    rates[b].append(library_rate(b, sims.paths[0], baud, seconds, failures))
        finally:
            sims.close()
        rows.append({"baud": baud, "rates": {b: statistics.median(r) for b, r in rates.items()},
                     "rounds": rates, "failures": failures})
    return rows


def start_sim(sim, transport, seed):
    args = [sim, "--steady", "--distinct-limits", "--seed", str(seed)]
    args += LATE + ["--pty"] if transport == "pty" else LATE + ["--listen", "127.0.0.1:0"]
    for a in ADDRESSES:
        args += ["--address", a]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    where = proc.stdout.readline().decode().strip()
    return proc, where if transport == "pty" else "socket://" + where


def gateway_config(broker, target, folder):
    text = '[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "late"\n' % broker.port
    text += '[gateway]\ntopic_prefix = "%s"\ncounters_interval_s = 3600\n' % PREFIX
    text += '[[link]]\nname = "bus"\ntarget = "%s"\n' % target
    for a in ADDRESSES:
        text += '[[link.module]]\naddress = "%s"\nname = "m%s"\npoll = { rh = 500 }\n' % (a, a)
    path = os.path.join(folder, "gateway.toml")
    with open(path, "w") as f:
        f.write(text)
    return path


def readings(path):
    found = []
    with open(path, "rb") as f:
        for line in f:
            topic, _, payload = line.decode(errors="replace").partition(" ")
            try:
                found.append((topic.split("/"), json.loads(payload)))
            except ValueError:
                pass  # a line cut by the subscriber's stop
    return found


def lateness(sim_program, build, transport, polls, seed, verbose=False):
    """Runs the gateway until `polls` readings arrived; counts them."""
    folder = tempfile.mkdtemp(prefix="qor-late-bench.")
    broker = Broker(folder)
    sim, target = start_sim(sim_program, transport, seed)
    out_path = os.path.join(folder, "readings.txt")
    out = open(out_path, "wb")
    sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-q", "1",
                            "-v", "-t", PREFIX + "/bus/+/rh", "-t", PREFIX + "/bus/+/counters"],
                           stdout=out, stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    log = open(os.path.join(folder, "gateway.log"), "wb")
    gw = subprocess.Popen([os.path.join(build, "qor-gateway")] + (["--verbose"] if verbose else []) +
                          [gateway_config(broker, target, folder)], stderr=log)
    started = time.monotonic()
    try:
        while sum(1 for t, _ in readings(out_path) if t[-1] == "rh") < polls:
            time.sleep(0.5)
    finally:
        took = time.monotonic() - started
        stop(gw)
        time.sleep(0.5)
        stop(sub)
        out.close()
        stop(sim)
        stop(broker.proc)
        log.close()
    tally = {"folder": folder, "transport": transport, "polls": 0, "good": 0, "wrong_as_good": 0, "failed": 0,
             "late_replies": 0, "refused": 0, "overruns": 0, "timeouts": 0, "seconds": took}
    counters = {}
    for topic, payload in readings(out_path):
        if topic[-1] == "counters":
            counters[topic[-2]] = payload
            continue
        tally["polls"] += 1
        right = 100.0 + ADDRESSES.index(topic[-2][1:])
        if payload["status"] != 0:
            tally["failed"] += 1
        elif abs(payload["value"] - right) > 0.001:
            tally["wrong_as_good"] += 1
        else:
            tally["good"] += 1
    for c in counters.values():
        for key in ("late_replies", "refused", "overruns", "timeouts"):
            tally[key] += c.get(key, 0)
    return tally


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--baseline")
    parser.add_argument("--bauds", default="9600,115200")
    parser.add_argument("--seconds", type=float, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--polls", type=int, default=1000)
    parser.add_argument("--transports", default="pty,tcp")
    parser.add_argument("--seed", type=int, default=17)
    parser.add_argument("--skip-healthy", action="store_true")
    parser.add_argument("--verbose", action="store_true", help="keep the gateway's link trace")
    parser.add_argument("--out")
    args = parser.parse_args()
    builds = [os.path.abspath(args.build)]
    if args.baseline:
        builds.append(os.path.abspath(args.baseline))
    result = {"builds": builds}
    if not args.skip_healthy:
        result["healthy"] = healthy(builds, [int(b) for b in args.bauds.split(",")], args.seconds,
                                    args.rounds)
    if args.polls > 0:
        sim = os.path.join(builds[0], "qor-sim")
        result["late"] = {b: [lateness(sim, b, t, args.polls, args.seed, args.verbose)
                              for t in args.transports.split(",")] for b in builds}
    text = json.dumps(result, indent=1)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
