#!/usr/bin/env python3
"""qor-gateway's Modbus TCP server: reads served from the cache, and the
latency of a write through to the module, for make_report.py.

    modbus_bench.py --sim QOR-SIM --gateway QOR-GATEWAY [--clients 10]
                    [--seconds 3] [--bauds 9600,115200] [--writes 20] --out FILE

Reads: one paced simulator at 9600 baud, its module polled for "rd" every
100 ms, the readings counted on MQTT. For --seconds without Modbus clients,
then as long with --clients connections each sending "read input
registers" (the module's float) back to back: the requests answered per
second, and the bus's readings per second in both phases, which should not
differ, since reads never reach the bus.

Writes: for each baud rate, a fresh paced simulator and gateway; --writes
holding-register writes of the module's high limit ("WE", then "HI" on the
line), each timed from the request to the reply; the median and the largest.
"""

import argparse
import json
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gateway_bench import PREFIX, Broker, Counter, Sims, free_port, stop  # noqa: E402

READ = struct.pack(">HHHBBHH", 1, 0, 6, 1, 4, 4, 2)  # input registers 4 and 5 of unit 1


def write_request(tid, value):
    high, low = struct.unpack(">HH", struct.pack(">f", value))
    return struct.pack(">HHHBBHHBHH", tid, 0, 11, 1, 16, 0, 2, 4, high, low)


def receive(s, size):
    data = b""
    while len(data) < size:
        chunk = s.recv(size - len(data))
        if not chunk:
            raise RuntimeError("the gateway closed the connection")
        data += chunk
    return data


def start_gateway(gateway, folder, broker, sim_path, port, poll_ms):
    conf = os.path.join(folder, "gateway-%d.toml" % port)
    with open(conf, "w") as f:
        f.write('[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "bench-%d"\n'
                '[gateway]\ntopic_prefix = "%s"\n[[link]]\nname = "bus"\ntarget = "%s"\n'
                '[[link.module]]\naddress = "1"\nname = "m"\npoll = { rd = %d }\n'
                'writable = ["hi"]\n[modbus]\nlisten = "127.0.0.1:%d"\nwrites = true\n'
                'max_requests_per_s = 1000000\nmax_connections = 64\n'
                % (broker.port, port, PREFIX, sim_path, poll_ms, port))
    proc = subprocess.Popen([gateway, conf], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), 0.2) as s:
                s.sendall(READ)
                if receive(s, 9)[7] == 4:  # answered, not an exception: polled
                    return proc
        except (OSError, RuntimeError):
            pass
        time.sleep(0.1)
    stop(proc)
    raise RuntimeError("qor-gateway did not serve Modbus")


def reads(args, folder, broker):
    sims = Sims(args.sim, 1, 9600)
    port = free_port()
    gw = start_gateway(args.gateway, folder, broker, sims.paths[0], port, 100)
    counter = Counter(broker.port, folder)
    try:
        time.sleep(0.5)
        first = counter.take()
        time.sleep(args.seconds)
        quiet = (counter.take() - first) / args.seconds
        answered = [0] * args.clients
        done = threading.Event()

        def client(i):
            with socket.create_connection(("127.0.0.1", port)) as s:
                while not done.is_set():
                    s.sendall(READ)
                    receive(s, 13)
                    answered[i] += 1

        threads = [threading.Thread(target=client, args=(i,)) for i in range(args.clients)]
        for t in threads:
            t.start()
        time.sleep(0.2)
        first, served = counter.take(), sum(answered)
        time.sleep(args.seconds)
        busy = (counter.take() - first) / args.seconds
        served = (sum(answered) - served) / args.seconds
        done.set()
        for t in threads:
            t.join()
    finally:
        counter.proc.terminate()
        counter.proc.wait()
        counter.out.close()
        stop(gw)
        sims.close()
    return {"clients": args.clients, "seconds": args.seconds, "requests_per_s": served,
            "bus_readings_per_s_quiet": quiet, "bus_readings_per_s_busy": busy}


def writes(args, folder, broker, baud):
    sims = Sims(args.sim, 1, baud)
    port = free_port()
    gw = start_gateway(args.gateway, folder, broker, sims.paths[0], port, 1000)
    times = []
    try:
        with socket.create_connection(("127.0.0.1", port)) as s:
            for i in range(args.writes):
                start = time.perf_counter()
                s.sendall(write_request(i, 50.0 + i))
                reply = receive(s, 12)
                times.append((time.perf_counter() - start) * 1000)
                if reply[7] != 16:
                    raise RuntimeError("write refused: %r" % reply)
    finally:
        stop(gw)
        sims.close()
    return {"baud": baud, "writes": len(times), "median_ms": statistics.median(times),
            "max_ms": max(times)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--clients", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=3)
    parser.add_argument("--bauds", default="9600,115200")
    parser.add_argument("--writes", type=int, default=20)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qor-modbus-bench.") as folder:
        broker = Broker(folder)
        try:
            result = {"reads": reads(args, folder, broker),
                      "writes": [writes(args, folder, broker, int(b))
                                 for b in args.bauds.split(",")]}
        finally:
            stop(broker.proc)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    print(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
