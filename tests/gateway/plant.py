"""Real components for the gateway's end-to-end tests, all on 127.0.0.1 and
all stopped by their PID: a mosquitto broker on a free port, qor-sim
processes, the qor-gateway daemon, and a paho MQTT 5 subscriber.

Under CTest the environment names the programs (QOR_GATEWAY, QOR_SIM,
QOR_MOSQUITTO); run by hand, the build tree next to the sources is used.
"""

import json
import os
import select
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

_BUILD = Path(__file__).resolve().parent.parent.parent / "build"


def program(variable, fallback):
    path = os.environ.get(variable) or fallback
    if not os.access(path, os.X_OK):
        raise unittest.SkipTest("%s not found (set %s)" % (path, variable))
    return path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def stop_process(proc, sig=signal.SIGTERM, timeout=10):
    """Signals the process by its PID and reaps it; returns its exit code."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


class Broker:
    """mosquitto on a free port, with persistence in its own folder so that
    a restart keeps the subscribers' sessions."""

    def __init__(self, testcase, folder, settings="allow_anonymous true\n"):
        """settings: the listener's lines (authentication, ACL, TLS)."""
        self.path = program("QOR_MOSQUITTO", "/usr/sbin/mosquitto")
        self.port = free_port()
        self.folder = folder
        self.conf = os.path.join(folder, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write("per_listener_settings false\nlistener %d 127.0.0.1\n%s"
                    "persistence true\npersistence_location %s/\n" % (self.port, settings, folder))
        self.proc = None
        self.start()
        testcase.addCleanup(self.stop)

    def start(self):
        self.log = open(os.path.join(self.folder, "mosquitto.log"), "ab")
        self.proc = subprocess.Popen([self.path, "-c", self.conf], stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        if not wait_until(self._accepts, 10):
            self.log.flush()
            raise AssertionError("mosquitto did not start on port %d: %s" % (
                self.port, open(self.log.name, "rb").read().decode(errors="replace")))

    def _accepts(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                return True
        except OSError:
            return False

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None
            self.log.close()


class Sim:
    """qor-sim serving TCP; ``target`` is what the gateway opens. Its
    readings are constant unless ``steady`` is false: then they drift."""

    def __init__(self, testcase, *args, listen="127.0.0.1:0", steady=True):
        path = program("QOR_SIM", str(_BUILD / "qor-sim"))
        self.proc = subprocess.Popen([path, "--listen", listen] + (["--steady"] if steady else [])
                                     + list(args),
                                     stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        testcase.addCleanup(self.stop)
        ready, _, _ = select.select([self.proc.stdout], [], [], 5)
        first = self.proc.stdout.readline().decode().strip() if ready else ""
        if not first:
            raise AssertionError("qor-sim printed no address")
        # Long enough for a busy machine or a sanitizer build to answer in
        # time, short enough that a silent module goes offline quickly.
        self.address = first
        self.target = "socket://%s?timeout_ms=400" % first

    def toggle_silence(self):
        self.proc.send_signal(signal.SIGUSR1)

    def stop(self):
        stop_process(self.proc)
        self.proc.stdout.close()


class Gateway:
    """qor-gateway on a configuration written to the test's folder."""

    def __init__(self, testcase, folder, config, *args, wrapper=(), env=None):
        """wrapper: a command the gateway is run through (it must exec it,
        so that the PID stays the gateway's); env: variables added to the
        environment."""
        self.path = program("QOR_GATEWAY", str(_BUILD / "qor-gateway"))
        self.config = os.path.join(folder, "gateway.toml")
        self.write(config)
        self.stderr = open(os.path.join(folder, "gateway.log"), "w+b")
        testcase.addCleanup(self.stderr.close)
        self.proc = subprocess.Popen(list(wrapper) + [self.path] + list(args) + [self.config],
                                     stderr=self.stderr, stdin=subprocess.DEVNULL,
                                     env=dict(os.environ, **env) if env else None)
        testcase.addCleanup(self.stop)

    def write(self, config):
        with open(self.config, "w") as f:
            f.write(config)

    def reload(self):
        self.proc.send_signal(signal.SIGHUP)

    def stop(self):
        return stop_process(self.proc)

    def log(self):
        self.stderr.flush()
        with open(self.stderr.name, "rb") as f:
            return f.read().decode(errors="replace")


class Subscriber:
    """A paho MQTT 5 client that records every message under a filter. With
    ``session`` it keeps a persistent session, so that it misses nothing
    while it reconnects."""

    def __init__(self, testcase, broker, topic, session=False, user=None):
        self.messages = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id="test-sub-%d" % os.getpid() if session else "",
                                  protocol=mqtt.MQTTv5)
        if user:
            self.client.username_pw_set(user, user + "-pw")
        self.client.on_message = self._on_message
        self.client.on_connect = lambda c, u, f, rc, p=None: c.subscribe(topic, qos=1)
        self.client.reconnect_delay_set(0.1, 0.5)
        props = None
        if session:
            props = Properties(PacketTypes.CONNECT)
            props.SessionExpiryInterval = 600
        self.client.connect("127.0.0.1", broker.port, clean_start=not session, properties=props)
        self.client.loop_start()
        testcase.addCleanup(self.close)
        if not wait_until(lambda: self.client.is_connected(), 5):
            raise AssertionError("subscriber did not connect")
        time.sleep(0.1)  # the subscription is acknowledged

    def _on_message(self, client, userdata, msg):
        with self.lock:
            self.messages.append(msg)

    def on(self, topic):
        """Payloads received on a topic, in order (JSON decoded where it is)."""
        with self.lock:
            found = [m for m in self.messages if m.topic == topic]
        out = []
        for m in found:
            try:
                out.append(json.loads(m.payload))
            except ValueError:
                out.append(m.payload.decode(errors="replace"))
        return out

    def last(self, topic):
        got = self.on(topic)
        return got[-1] if got else None

    def wait_for(self, topic, predicate=lambda payload: True, timeout=10):
        """The first payload on topic that satisfies predicate, or None."""
        found = []

        def seen():
            found[:] = [p for p in self.on(topic) if predicate(p)]
            return bool(found)
        wait_until(seen, timeout)
        return found[0] if found else None

    def publish(self, topic, payload, response_topic=None, correlation=None):
        props = Properties(PacketTypes.PUBLISH)
        if response_topic:
            props.ResponseTopic = response_topic
        if correlation:
            props.CorrelationData = correlation
        info = self.client.publish(topic, payload, qos=1,
                                   properties=props if (response_topic or correlation) else None)
        info.wait_for_publish(5)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def users(folder, names):
    """A mosquitto password file where each user's password is NAME-pw."""
    path = os.path.join(folder, "passwords")
    open(path, "w").close()
    for name in names:
        subprocess.run(["mosquitto_passwd", "-b", path, name, name + "-pw"], check=True,
                       capture_output=True)
    readable_by_broker(folder, [path])
    return path


def readable_by_broker(folder, files):
    """mosquitto started as root reads its files as the user mosquitto."""
    os.chmod(folder, 0o755)
    for path in files:
        os.chmod(path, 0o644)


def certificates(folder):
    """A CA, a server certificate for 127.0.0.1 signed by it, and a second
    CA that signed nothing; returns their file names."""
    files = {name: os.path.join(folder, name) for name in
             ("ca.key", "ca.crt", "server.key", "server.csr", "server.crt", "other.key",
              "other.crt", "san.ext")}
    with open(files["san.ext"], "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True)
    for ca in ("ca", "other"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=qor test %s" % ca, "-keyout", files[ca + ".key"], "-out", files[ca + ".crt"])
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
            files["server.key"], "-out", files["server.csr"])
    openssl("x509", "-req", "-in", files["server.csr"], "-CA", files["ca.crt"], "-CAkey",
            files["ca.key"], "-CAcreateserial", "-days", "2", "-extfile", files["san.ext"],
            "-out", files["server.crt"])
    readable_by_broker(folder, files.values())
    return files


def server_certificate(folder, files, name, san):
    """A further server certificate and key signed by certificates()' CA,
    for the subjectAltName san ("DNS:localhost"); their file names."""
    key, csr, crt, ext = (os.path.join(folder, name + suffix)
                          for suffix in (".key", ".csr", ".crt", ".ext"))
    with open(ext, "w") as f:
        f.write("subjectAltName=%s\n" % san)
    for args in (["req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=%s" % name, "-keyout",
                  key, "-out", csr],
                 ["x509", "-req", "-in", csr, "-CA", files["ca.crt"], "-CAkey", files["ca.key"],
                  "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", crt]):
        subprocess.run(["openssl"] + args, check=True, capture_output=True)
    readable_by_broker(folder, [key, crt])
    return crt, key


class SilentServer:
    """Takes TCP connections on a free port and never says a word."""

    def __init__(self, testcase):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.held = []
        self.running = True
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()
        testcase.addCleanup(self.stop)

    def _accept(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)

    def stop(self):
        self.running = False
        self.sock.close()
        for conn in self.held:
            conn.close()


class SilentResolver:
    """A name server on 127.0.0.77:53 that takes every query and never
    answers, and the wrapper that runs a program in a mount namespace of its
    own where /etc/resolv.conf names it and names are looked up by DNS alone
    (the machine's own /etc stays untouched). Skips the test where port 53
    cannot be bound or mounts cannot be made (not root)."""

    ADDRESS = "127.0.0.77"

    def __init__(self, testcase, folder):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            self.sock.bind((self.ADDRESS, 53))
        except OSError as e:
            self.sock.close()
            raise unittest.SkipTest("cannot serve DNS on %s:53 (%s)" % (self.ADDRESS, e))
        testcase.addCleanup(self.sock.close)
        resolv = os.path.join(folder, "resolv.conf")
        nsswitch = os.path.join(folder, "nsswitch.conf")
        with open(resolv, "w") as f:
            f.write("nameserver %s\noptions timeout:30 attempts:5\n" % self.ADDRESS)
        with open(nsswitch, "w") as f:
            f.write("hosts: dns\n")
        self.wrapper = ["unshare", "--mount", "sh", "-c",
                        'mount --bind "$1" /etc/resolv.conf && mount --bind "$2" '
                        '/etc/nsswitch.conf && shift 2 && exec "$@"', "sh", resolv, nsswitch]
        probe = subprocess.run(self.wrapper + ["true"], capture_output=True)
        if probe.returncode != 0:
            raise unittest.SkipTest("cannot bind-mount in a mount namespace of its own: %s"
                                    % probe.stderr.decode(errors="replace").strip())


def folder(testcase):
    d = tempfile.TemporaryDirectory(prefix="qor-gateway-test.")
    testcase.addCleanup(d.cleanup)
    return d.name


def modbus_section(port, **keys):
    """A [modbus] section on 127.0.0.1:port; keys are TOML texts."""
    text = '\n[modbus]\nlisten = "127.0.0.1:%d"\n' % port
    scaled = keys.pop("scaled", {})
    text += "".join("%s = %s\n" % item for item in keys.items())
    if scaled:
        text += "[modbus.scaled]\n" + "".join('"%s" = %s\n' % item for item in scaled.items())
    return text


def wait_listening(port, timeout=10):
    def accepts():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            return False
    return wait_until(accepts, timeout)


class ClassScope:
    """Stands for a test case in these helpers, so that what they start
    serves every test of a class and stops after the last (setUpClass)."""

    def __init__(self, cls):
        self.cls = cls

    def addCleanup(self, function, *args, **kwargs):
        self.cls.addClassCleanup(function, *args, **kwargs)
