"""The manual pages' EXAMPLES, run as a reader runs them.

    man_examples_test.py MAN_DIR BUILD_DIR

Every .EX block of the EXAMPLES of qor(1), qor-sim(1) and qor-gateway(1)
runs, unless the
line before it (or before its .in) says
.\\" example-test: skip (why)
(a configuration for another program, hosts the reader has and this
machine has not). A block of "$ " lines is a transcript: each command runs
and must print the lines shown under it; one that ends in "&" runs in the
background, and the first line it prints (a simulator's pseudo-terminal)
stands for what the page shows. Other blocks run in bash -e as they stand;
a configuration at the head of one (TOML, up to the first blank line) is
added to the gateway's configuration first.

The liberties taken, because tests share the machine: the programs are this
build's; /dev/ttyUSB0 is a simulator's pseudo-terminal (modules 1 and 2);
the TCP ports shown become free ones; "broker" is a mosquitto this test
starts on 127.0.0.1, with a gateway on /etc/qor/gateway.toml (a
configuration of this test's: a bus hall1-bus1 with the module boiler,
address 1, and the flow meter of the page's own example, address 3,
behind a simulator; HTTP on 127.0.0.1:8080). A block marked
.\\" example-test: daemon
runs its last command in the background, which must still be running when
the block ends (a gateway run in the foreground).
"""

import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time

PAGES = ("qor.1", "qor-sim.1", "qor-gateway.1")
MARK = '.\\" example-test:'
ROFF = [("\\-", "-"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\(S3", "\u00b3"), ("\\e", "\\")]
PORT = re.compile(r"(?<=[:])(\d{4})\b")
PTY_SHOWN = re.compile(r"^/dev/pts/\d+$")
GATEWAY_CONFIG = """[broker]
host = "127.0.0.1"
port = {broker}
client_id = "man-examples"
[gateway]
topic_prefix = "plant"
[http]
listen = "127.0.0.1:{http}"
[[link]]
name = "hall1-bus1"
target = "socket://127.0.0.1:{sim}"
[[link.module]]
address = "1"
name = "boiler"
poll = {{ rd = 1000 }}
writable = ["hi"]
"""


def examples(page_path):
    """(line, marks, lines) of each .EX block of a page's EXAMPLES."""
    with open(page_path) as f:
        lines = f.read().split("\n")
    found = []
    section = ""
    for i, line in enumerate(lines):
        if line.startswith(".SH "):
            section = line[4:].strip()
        if line != ".EX" or section != "EXAMPLES":
            continue
        before = [lines[j] for j in (i - 1, i - 2) if j >= 0]
        marks = next((b[len(MARK):].strip() for b in before if b.startswith(MARK)), "")
        end = lines.index(".EE", i)
        text = []
        for raw in lines[i + 1:end]:
            for roff, plain in ROFF:
                raw = raw.replace(roff, plain)
            text.append(raw)
        found.append((i + 1, marks, text))
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def transcript_script(lines, ports):
    """A "$ " transcript as bash: each command's output checked."""
    out, shown_as = ["set -eu", "rm -f bg*.out"], {}
    commands = []
    for line in lines:
        if line.startswith("$ "):
            commands.append([line[2:], []])
        elif commands:
            commands[-1][1].append(line)
    for k, (command, expected) in enumerate(commands):
        command = PORT.sub(lambda m: str(ports.setdefault(m.group(1), free_port())), command)
        for shown, variable in shown_as.items():
            command = command.replace(shown, '"$%s"' % variable)
        expected = [PORT.sub(lambda m: str(ports.setdefault(m.group(1), free_port())), e)
                    for e in expected]
        if command.endswith("&"):
            log = "bg%d.out" % k
            out.append("%s >%s 2>&1 &" % (command[:-1].strip(), log))
            out.append("for i in $(seq 100); do [[ -s %s ]] && break; sleep 0.1; done" % log)
            out.append("bg%d=$(head -1 %s)" % (k, log))
            if expected and PTY_SHOWN.match(expected[0]):
                shown_as[expected[0]] = "bg%d" % k
            elif expected:
                out.append("expect %s \"$bg%d\" %s" % (shlex.quote(command), k,
                                                         shlex.quote(expected[0])))
            continue
        out.append("out=$(%s 2>&1)" % command)
        out.append("expect %s \"$out\" %s" % (shlex.quote(command),
                                                 shlex.quote("\n".join(expected))))
    return "\n".join(out) + "\n"


def split_config(lines):
    """(the configuration at the head of a block, the commands after it)."""
    if not lines or not lines[0].startswith("["):
        return [], lines
    blank = lines.index("") if "" in lines else len(lines)
    return lines[:blank], lines[blank + 1:]


def script_of(marks, lines, ports, config):
    if any(line.startswith("$ ") for line in lines):
        return transcript_script(lines, ports)
    text = "\n".join(split_config(lines)[1])
    text = PORT.sub(lambda m: str(ports.setdefault(m.group(1), free_port())), text)
    text = text.replace("-h broker", "-h 127.0.0.1 -p %d" % ports["broker"])
    text = text.replace("/etc/qor/gateway.toml", config)
    if marks.startswith("daemon"):
        head, _, last = text.rstrip("\n").rpartition("\n")
        text = "%s\n%s >daemon.out 2>&1 &\nsleep 2\nkill -0 $! || {\n  cat daemon.out >&2\n" \
               "  exit 1\n}\n" % (head, last)
    return "set -eu\n" + text + "\n"


PRELUDE = r"""
expect() {  # expect COMMAND OUTPUT EXPECTED
    if [[ "$2" != "$3" ]]; then
        printf '%s printed:\n%s\nand not, as the page shows:\n%s\n' "$1" "$2" "$3" >&2
        exit 1
    fi
}
"""


def stop(group):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(group, sig)
        except ProcessLookupError:
            return
        time.sleep(0.5)


def run(work, script, env):
    """Runs a block's script; (exit code, what it printed). What it left
    running is stopped by its process group."""
    log = os.path.join(work, "block.out")
    with open(log, "w") as out:
        shell = subprocess.Popen(["bash", "-c", PRELUDE + script], cwd=work, env=env,
                                 stdout=out, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            rc = shell.wait(timeout=60)
        except subprocess.TimeoutExpired:
            rc = "killed after 60 s"
        finally:
            stop(shell.pid)
    with open(log) as f:
        return rc, f.read()


class Fixtures:
    """What the pages' examples talk to, started when first needed and
    stopped by their process ids."""

    def __init__(self, work, build, ports):
        self.work, self.build, self.ports = work, build, ports
        self.processes = []
        self.planted = False
        self.config = os.path.join(work, "gateway.toml")

    def start(self, words, **kwargs):
        process = subprocess.Popen(words, cwd=self.work, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
        self.processes.append(process)
        return process

    def device(self):
        """A simulator standing for /dev/ttyUSB0."""
        sim = self.start([os.path.join(self.build, "qor-sim"), "--pty", "--steady",
                          "--address", "1", "--address", "2"])
        return sim.stdout.readline().decode().strip()

    def write_config(self, extra):
        ports = self.ports
        for name in ("broker", "sim", "8080"):
            ports.setdefault(name, free_port())
        with open(self.config, "w") as f:
            f.write(GATEWAY_CONFIG.format(broker=ports["broker"], http=ports["8080"],
                                          sim=ports["sim"]))
            f.write("\n".join(extra) + "\n")

    def plant(self):
        """mosquitto, a simulator and the gateway, connected."""
        self.planted = True
        conf = os.path.join(self.work, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % self.ports["broker"])
        self.start(["/usr/sbin/mosquitto", "-c", conf])
        self.start([os.path.join(self.build, "qor-sim"), "--listen",
                    "127.0.0.1:%d" % self.ports["sim"], "--steady", "--address", "1",
                    "--address", "3"])
        time.sleep(0.5)
        self.start([os.path.join(self.build, "qor-gateway"), self.config])
        # Connected and subscribed once its retained status says online.
        subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.ports["broker"]),
                        "-C", "1", "-W", "30", "-t", "plant/gateway/man-examples/status"],
                       capture_output=True, timeout=40)
        time.sleep(1)

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def main():
    man_dir, build = sys.argv[1:3]
    env = dict(os.environ, PATH=os.path.abspath(build) + os.pathsep + os.environ["PATH"])
    failed = ran = skipped = 0
    with tempfile.TemporaryDirectory(prefix="qor-man-") as work:
        ports = {}
        fixtures = Fixtures(work, os.path.abspath(build), ports)
        try:
            for page in PAGES:
                found = examples(os.path.join(man_dir, page))
                configs = [line for _, marks, lines in found if not marks.startswith("skip")
                           for line in split_config(lines)[0]]
                fixtures.write_config(configs)
                for line, marks, lines in found:
                    where = "%s line %d" % (page, line)
                    if marks.startswith("skip"):
                        skipped += 1
                        print("skipped: the example at %s: %s" % (where, marks[4:].strip()))
                        continue
                    script = script_of(marks, lines, ports, fixtures.config)
                    if "/dev/ttyUSB0" in script:
                        script = script.replace("/dev/ttyUSB0", fixtures.device())
                    talks_to = ("-p %d " % ports.get("broker", 0), ":%d/" % ports.get("8080", 0))
                    if any(t in script for t in talks_to) and not fixtures.planted:
                        fixtures.plant()
                    rc, output = run(work, script, env)
                    ran += 1
                    if rc != 0:
                        failed += 1
                        print("FAIL: the example at %s: exit %s\n%s\n--- its script:\n%s" % (
                            where, rc, output, script), file=sys.stderr)
                    else:
                        print("ok: the example at %s (%d lines)" % (where, len(lines)))
        finally:
            fixtures.stop()
    if ran < 6:
        sys.exit("only %d examples ran: has the pages' form changed?" % ran)
    if failed:
        sys.exit(1)
    print("all %d examples of the manual pages ran as shown (%d skipped, each with its reason)"
          % (ran, skipped))


if __name__ == "__main__":
    main()
