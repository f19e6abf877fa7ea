"""What the page's tests share beside tests/gateway/plant.py: that module
(imported from the folder above), a simulator on a pseudo-terminal paced
like a serial line, large plants of TCP simulators serving many addresses
each, and reading /api/state."""

import json
import os
import select
import subprocess
import sys
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
    table text)])]; gateway and http are lines added to those sections."""
    text = ('[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "gw-page"\n'
            '[gateway]\ntopic_prefix = "page"\noffline_after = 2\n%s\n' % (broker_port, gateway))
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
