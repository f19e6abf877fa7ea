#!/usr/bin/env python3
"""The RD loop as a user would write it without the library: pyserial,
the frame written by hand, the reply read up to its CR and parsed.

    python_rd_client.py PORT-PATH --count N [--baud B]

Opens the port, runs one transaction to settle, then N timed ones, and
prints one JSON line: {"count": N, "seconds": ..., "median_seconds": ...,
"value": ...}, the loop's time and its typical transaction's. The timed part
is the loop alone, as the library's benchmark times its loop alone.
"""

import argparse
import json
import sys
import time

import serial


def read_value(port):
    port.write(b"$1RD\r")
    reply = port.read_until(b"\r")
    if not reply.startswith(b"*") or not reply.endswith(b"\r"):
        raise RuntimeError("bad or missing reply: %r" % reply)
    return float(reply[1:10])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path")
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--baud", type=int, default=9600)
    args = parser.parse_args()

    with serial.Serial(args.path, args.baud, timeout=0.2) as port:
        value = read_value(port)
        took = []
        start = before = time.perf_counter()
        for _ in range(args.count):
            value = read_value(port)
            now = time.perf_counter()
            took.append(now - before)
            before = now
    took.sort()
    report = {"count": args.count, "seconds": before - start,
              "median_seconds": took[len(took) // 2] if took else 0.0, "value": value}
    json.dump(report, sys.stdout)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
