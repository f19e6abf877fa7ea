#!/usr/bin/env python3
"""Runs the Python peer (python_rd_client.py) against fresh qor-sim
processes at the same rates as the library's benchmark, and counts the
system calls per transaction of the library (qor_bench_syscalls) and of the
Python peer with strace. Each run writes one JSON file for make_report.py.

    peers.py python --sim QOR-SIM [--bauds 0,9600,...] --out FILE
    peers.py syscalls --sim QOR-SIM --driver QOR_BENCH_SYSCALLS --out FILE

The system calls of one transaction are found by difference: each program
runs twice under `strace -f -c`, with a small and a larger count, and the
difference in calls divided by the difference in counts leaves start-up,
opening and closing out.
"""

import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(HERE, "python_rd_client.py")
FRAME_CHARS = 5  # "$1RD" CR
REPLY_CHARS = 11  # "*+00072.10" CR


class Sim:
    """A qor-sim --pty process, stopped (SIGTERM, by its pid) on exit."""

    def __init__(self, program, baud):
        arguments = [program, "--pty", "--steady"]
        if baud:
            arguments += ["--baud", str(baud)]
        self.process = subprocess.Popen(arguments, stdout=subprocess.PIPE)
        self.path = self.process.stdout.readline().decode().strip()
        if not self.path:
            self.close()
            raise RuntimeError("qor-sim printed no pty path")

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wire_seconds(baud):
    return (FRAME_CHARS + REPLY_CHARS) * 10.0 / baud


def paced_count(baud, paced_seconds):
    # The same count the library's benchmark uses at this rate.
    return int(min(max(math.ceil(paced_seconds / wire_seconds(baud)), 5), 5000))


def run_client(path, count, baud):
    command = [sys.executable, CLIENT, path, "--count", str(count), "--baud", str(baud or 115200)]
    done = subprocess.run(command, stdout=subprocess.PIPE, check=True, timeout=600)
    return json.loads(done.stdout)


def python_timings(sim, bauds, paced_seconds, unpaced_seconds):
    runs = []
    for baud in bauds:
        with Sim(sim, baud) as s:
            if baud:
                count = paced_count(baud, paced_seconds)
            else:
                # A short run to find the rate, then one of the wanted length.
                probe = run_client(s.path, 200, baud)
                per_tx = probe["seconds"] / probe["count"]
                count = int(min(max(unpaced_seconds / per_tx, 200), 200000))
            result = run_client(s.path, count, baud)
        if abs(result["value"] - 72.1) > 1e-6:
            raise RuntimeError("the Python peer read %r" % result["value"])
        tx_us = result["seconds"] / result["count"] * 1e6
        run = {"baud": baud, "count": result["count"], "tx_us": tx_us,
               "tx_median_us": result["median_seconds"] * 1e6}
        if baud:
            # As in the library's benchmark: the typical transaction.
            run["wire_us"] = wire_seconds(baud) * 1e6
            run["ratio"] = run["tx_median_us"] / run["wire_us"]
        runs.append(run)
        print("python %-8s %10.1f us/tx, median %.1f us (%d transactions)"
              % (baud or "unpaced", tx_us, run["tx_median_us"], result["count"]), flush=True)
    return runs


SUMMARY_LINE = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$")


def strace_counts(command):
    """Runs command under strace -f -c; returns {syscall: calls}."""
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-f", "-c", "-o", out.name, "--"] + command,
                       stdout=subprocess.DEVNULL, check=True, timeout=600)
        counts = {}
        for line in out.read().splitlines():
            match = SUMMARY_LINE.match(line)
            if match and match.group(2) != "total":
                counts[match.group(2)] = int(match.group(1))
    if not counts:
        raise RuntimeError("strace printed no summary for %s" % command[0])
    return counts


def per_transaction(make_command, sim, baud, small, large):
    totals = []
    for count in (small, large):
        with Sim(sim, baud) as s:
            totals.append(strace_counts(make_command(s.path, count)))
    names = set(totals[0]) | set(totals[1])
    result = {}
    for name in sorted(names):
        calls = (totals[1].get(name, 0) - totals[0].get(name, 0)) / (large - small)
        # Calls that come and go with start-up noise are not per transaction.
        if calls >= 0.05:
            result[name] = round(calls, 2)
    return result


def syscall_counts(sim, driver, baud_paced):
    def library(path, count, baud):
        return [driver, path, str(count), str(baud or 115200)]

    def python(path, count, baud):
        return [sys.executable, CLIENT, path, "--count", str(count), "--baud",
                str(baud or 115200)]

    cases = {}
    for who, make in (("library", library), ("python", python)):
        cases[who] = {}
        for baud, small, large in ((0, 200, 1200), (baud_paced, 5, 45)):
            key = "unpaced" if baud == 0 else str(baud)
            cases[who][key] = per_transaction(
                lambda path, count, make=make, baud=baud: make(path, count, baud),
                sim, baud, small, large)
            print("syscalls %-7s %-8s %s" % (who, key, cases[who][key]), flush=True)
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=("python", "syscalls"),
                        help="python: time the Python peer; syscalls: count with strace")
    parser.add_argument("--sim", required=True)
    parser.add_argument("--driver", help="qor_bench_syscalls (for syscalls)")
    parser.add_argument("--bauds", default="0",
                        help="rates for python, 0 for unpaced (scripts/bench.sh passes the link "
                             "benchmark's: qor_bench_link --print_bauds)")
    parser.add_argument("--paced-seconds", type=float, default=1.0)
    parser.add_argument("--unpaced-seconds", type=float, default=1.0)
    parser.add_argument("--syscall-baud", type=int, default=9600)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    if args.what == "python":
        import serial  # the peer's own dependency: fail here, before any run

        bauds = [int(b) for b in args.bauds.split(",") if b]
        report = {
            "python": sys.version.split()[0],
            "pyserial": serial.__version__,
            "runs": python_timings(args.sim, bauds, args.paced_seconds, args.unpaced_seconds),
        }
    else:
        if shutil.which("strace") is None:
            raise SystemExit("peers.py: strace is missing (apt-get install strace)")
        if not args.driver:
            raise SystemExit("peers.py: syscalls needs --driver")
        version = subprocess.run(["strace", "-V"], stdout=subprocess.PIPE, text=True).stdout
        report = {
            "strace": version.splitlines()[0] if version else "",
            "baud": args.syscall_baud,
            "counts": syscall_counts(args.sim, args.driver, args.syscall_baud),
        }
    with open(args.out, "w") as out:
        json.dump(report, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
