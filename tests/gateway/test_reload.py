"""qor-gateway reloads: each setting a SIGHUP can change takes effect, as an
MQTT subscriber sees it, and nothing of the old setting lingers. A real
broker (two, for the broker change), real simulators and the real daemon,
all on 127.0.0.1 and stopped by PID."""

import os
import socket
import struct
import subprocess
import time
import unittest
import urllib.request

from plant import (Broker, ClassScope, Gateway, Sim, Subscriber, certificates, folder, free_port,
                   program, wait_listening, wait_until, _BUILD)

ID = "gw-reload"


def config(broker, s):
    """The configuration text for the settings s."""
    return ('[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "%s"\n\n'
            '[gateway]\ntopic_prefix = "%s"\noffline_after = %d\ncounters_interval_s = %d\n\n'
            '[[link]]\nname = "bus"\ntarget = "%s"\n'
            '[[link.module]]\naddress = "%s"\nname = "%s"\npoll = { %s }\n') % (
                broker.port, ID, s["prefix"], s["offline_after"], s["counters"], s["target"],
                s["address"], s["module"], s["poll"])


def ok(payload):
    return payload["status"] == 0


def missed(payload):
    return (payload["status"], payload["error"]) == (100, 1)


class Reload(unittest.TestCase):
    def setUp(self):
        self.dir = folder(self)
        self.broker = Broker(self, self.dir)
        self.sim = Sim(self)
        self.sub = Subscriber(self, self.broker, "#")
        self.s = {"prefix": "plant/a", "target": self.sim.target, "address": "1", "module": "m",
                  "poll": "rd = 1000", "offline_after": 2, "counters": 3600}
        self.gateway = Gateway(self, self.dir, config(self.broker, self.s))

    def topic(self, leaf, module=None):
        return "/".join((self.s["prefix"], "bus", module or self.s["module"], leaf))

    def reload(self, broker=None, **changes):
        """Applies the changes; returns once the gateway has read them."""
        self.s.update(changes)
        before = self.gateway.log().count("reloading ")
        self.gateway.write(config(broker or self.broker, self.s))
        self.gateway.reload()
        self.assertTrue(wait_until(lambda: self.gateway.log().count("reloading ") > before, 5),
                        self.gateway.log())

    def readings_within(self, topic, seconds):
        before = len(self.sub.on(topic))
        time.sleep(seconds)
        return len(self.sub.on(topic)) - before

    def test_every_setting_takes_effect(self):
        self.assertIsNotNone(self.sub.wait_for(self.topic("rd"), ok))
        self.check_polling_settings()
        self.check_link_settings()
        self.check_counters_and_broker()

    def check_polling_settings(self):

        # The poll interval: a reading a second, then twenty.
        self.assertLessEqual(self.readings_within(self.topic("rd"), 0.6), 1)
        self.reload(poll="rd = 50")
        self.assertIsNotNone(self.sub.wait_for(self.topic("rd"), ok))
        self.assertGreaterEqual(self.readings_within(self.topic("rd"), 0.6), 5)

        # The topic prefix: readings and the gateway's status move; nothing
        # more under the old one.
        old = self.topic("rd")
        self.reload(prefix="plant/b")
        self.assertIsNotNone(self.sub.wait_for(self.topic("rd"), ok))
        self.assertEqual(self.sub.wait_for("plant/b/gateway/%s/status" % ID), "online")
        self.assertEqual(self.readings_within(old, 0.3), 0)

        # The module's name, and its polls.
        self.reload(module="n", poll="rz = 50")
        self.assertIsNotNone(self.sub.wait_for(self.topic("rz"), ok))
        self.assertEqual(self.readings_within(self.topic("rd", "m"), 0.3), 0)
        self.assertEqual(self.readings_within(self.topic("rd"), 0.1), 0)

        # The misses in a row before "offline": two, then five.
        self.reload(offline_after=5)
        availability = self.topic("availability")
        self.assertEqual(self.sub.wait_for(availability), "online")
        self.sim.toggle_silence()
        self.assertTrue(wait_until(lambda: sum(map(missed, self.sub.on(self.topic("rz")))) >= 3,
                                   10))
        self.assertEqual(self.sub.on(availability), ["online"])
        self.assertEqual(self.sub.wait_for(availability, lambda p: p == "offline"), "offline")

    def check_link_settings(self):
        availability = self.topic("availability")
        # The link's target: the first simulator (still silent) goes away.
        other = Sim(self)
        before = len(self.sub.on(self.topic("rz")))
        self.reload(target=other.target)
        self.assertTrue(wait_until(lambda: self.sub.on(availability)[-1] == "online", 5))
        # The old link's last miss may reach the broker after "online" does
        # (the readings pass through the spool, availability does not).
        self.assertTrue(wait_until(lambda: any(map(ok, self.sub.on(self.topic("rz"))[before:])), 5))
        self.sim.stop()
        # Readings the old target missed may still be on their way from the
        # spool, which commits in batches: from the first good one on, all
        # come from the new target.
        self.assertTrue(wait_until(lambda: ok(self.sub.on(self.topic("rz"))[-1]), 5))
        count = len(self.sub.on(self.topic("rz")))
        self.assertTrue(wait_until(lambda: len(self.sub.on(self.topic("rz"))) > count + 5, 5))
        self.assertTrue(all(ok(p) for p in self.sub.on(self.topic("rz"))[count:]))

        # The module's address: nobody answers at 7.
        self.reload(address="7")
        # Good readings from address 1 may still come from the spool.
        self.assertTrue(wait_until(lambda: missed(self.sub.on(self.topic("rz"))[-1]), 5))
        count = len(self.sub.on(self.topic("rz")))
        self.assertTrue(wait_until(lambda: len(self.sub.on(self.topic("rz"))) > count + 2, 5))
        self.assertTrue(all(missed(p) for p in self.sub.on(self.topic("rz"))[count:]))

    def check_counters_and_broker(self):
        # The counters: at the reloads only, then every second.
        counters = self.topic("counters")
        self.assertEqual(self.readings_within(counters, 1.2), 0)
        self.reload(address="1", counters=1)
        self.assertGreaterEqual(self.readings_within(counters, 2.5), 2)

        # The broker: the gateway leaves the first one offline and goes on
        # on the second.
        second = Broker(self, folder(self))
        sub2 = Subscriber(self, second, "#")
        self.reload(broker=second)
        self.assertIsNotNone(sub2.wait_for(self.topic("rz"), ok))
        self.assertEqual(sub2.wait_for("plant/b/gateway/%s/status" % ID), "online")
        self.assertEqual(self.sub.wait_for("plant/b/gateway/%s/status" % ID,
                                           lambda p: p == "offline"), "offline")
        self.assertEqual(self.gateway.stop(), 0)


class Notify(unittest.TestCase):
    """The service manager's notifications (Type=notify), on a datagram
    socket of the test's own named by NOTIFY_SOCKET as systemd names its."""

    def test_ready_after_the_start_and_each_reload_stopping_at_the_stop(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        s = {"prefix": "plant/n", "target": sim.target, "address": "1", "module": "m",
             "poll": "rd = 200", "offline_after": 2, "counters": 3600}
        path = os.path.join(d, "notify")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(listener.close)
        listener.bind(path)
        listener.settimeout(10)
        gateway = Gateway(self, d, config(broker, s), env={"NOTIFY_SOCKET": path})
        self.assertEqual(listener.recv(4096), b"READY=1", gateway.log())
        s["poll"] = "rd = 300"
        gateway.write(config(broker, s))
        gateway.reload()
        self.assertEqual(listener.recv(4096), b"RELOADING=1")
        self.assertEqual(listener.recv(4096), b"READY=1")
        self.assertIn("reloaded", gateway.log())
        gateway.proc.terminate()
        self.assertEqual(listener.recv(4096), b"STOPPING=1")
        self.assertEqual(gateway.proc.wait(10), 0)



def servers_config(broker_port, target, s):
    """A gateway with both servers: s names the Modbus and HTTP ports (and
    hosts, 127.0.0.1 unless given), the rd poll's scale, the Modbus word
    order and the HTTP threads (and TLS lines); with "more", a second poll."""
    polls = "temp = { query = \"rd\", interval_ms = 100, scale = %s }" % s["scale"]
    if s.get("more"):
        polls += ", low = { query = \"rl\", interval_ms = 100 }"
    return ('[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "gw-servers"\n'
            'connect_timeout_s = 1\n\n'
            '[gateway]\ntopic_prefix = "plant/s"\n\n'
            '[[link]]\nname = "bus"\ntarget = "%s"\n'
            '[[link.module]]\naddress = "1"\nname = "m"\npoll = { %s }\n\n'
            '[http]\nlisten = "%s:%d"\nthreads = %d\n%s\n'
            '[modbus]\nlisten = "%s:%d"\nword_order = "%s"\n') % (
                broker_port, target, polls, s.get("http_host", "127.0.0.1"), s["http"],
                s["threads"], s.get("http_tls", ""), s.get("modbus_host", "127.0.0.1"),
                s["modbus"], s["order"])


def modbus_float(port, address=4, order="ABCD", sock=None):
    """The float at an input register of unit 1 (the module's rd), or the
    exception code, or None when nothing listens."""
    own = sock is None
    try:
        sock = sock or socket.create_connection(("127.0.0.1", port), timeout=5)
    except OSError:
        return None
    try:
        sock.sendall(struct.pack(">HHHBBHH", 9, 0, 6, 1, 4, address, 2))
        answer = sock.recv(64)
    finally:
        if own:
            sock.close()
    if len(answer) == 9 and answer[7] == 0x84:
        return "exception %d" % answer[8]
    high, low = struct.unpack(">HH", answer[9:13])
    if order == "CDAB":
        high, low = low, high
    return round(struct.unpack(">f", struct.pack(">HH", high, low))[0], 3)


def http_ok(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/healthz" % port, timeout=5) as r:
            return r.status == 200 and r.read().strip() == b"ok"
    except OSError:
        return False


class ServersAcrossReloads(unittest.TestCase):
    """The Modbus and HTTP servers go on serving through reloads, move when
    their address does, and stay as they were when a reload is refused,
    wherever it fails. One gateway serves the class; each test starts from
    the same configuration."""

    BASE = {"scale": 2, "order": "ABCD", "threads": 2}

    @classmethod
    def setUpClass(cls):
        scope = ClassScope(cls)
        d = folder(scope)
        cls.broker = Broker(scope, d)
        cls.sim = Sim(scope)
        cls.sub = Subscriber(scope, cls.broker, "plant/s/#")
        cls.base = dict(cls.BASE, modbus=free_port(), http=free_port())
        cls.s = dict(cls.base)
        cls.gateway = Gateway(scope, d, servers_config(cls.broker.port, cls.sim.target, cls.s))
        if not (wait_listening(cls.base["modbus"]) and wait_listening(cls.base["http"])):
            raise AssertionError(cls.gateway.log())

    def setUp(self):
        if self.s != self.base:
            type(self).s = {}
            self.assertTrue(self.reload(**self.base), self.gateway.log())
        # 72.1 from the simulator, times the scale.
        self.assertTrue(wait_until(lambda: modbus_float(self.base["modbus"]) == 144.2, 10),
                        self.gateway.log())

    def reload(self, broker_port=None, **changes):
        """Applies changes with SIGHUP; True when reloaded, False when refused."""
        log = self.gateway.log()
        done = log.count("info: reloaded ") + log.count("reload refused")
        type(self).s = dict(self.s, **changes)
        self.gateway.write(servers_config(broker_port or self.broker.port, self.sim.target, self.s))
        self.gateway.reload()
        self.assertTrue(wait_until(lambda: self.gateway.log().count("info: reloaded ") +
                                   self.gateway.log().count("reload refused") > done, 15),
                        self.gateway.log())
        return self.gateway.log().count("info: reloaded ") > log.count("info: reloaded ")

    def refusal(self):
        return [line for line in self.gateway.log().splitlines() if "reload refused" in line][-1]

    def published_temps(self, more):
        """The next `more` temp readings published, as values."""
        topic = "plant/s/bus/m/temp"
        before = len(self.sub.on(topic))
        self.assertTrue(wait_until(lambda: len(self.sub.on(topic)) >= before + more, 10))
        return {p["value"] for p in self.sub.on(topic)[before:]}

    def test_an_unchanged_file_and_changed_sections_keep_both_servers_serving(self):
        port = self.base["modbus"]
        refusals = self.gateway.log().count("reload refused")
        kept = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.addCleanup(kept.close)
        self.assertEqual(modbus_float(port, sock=kept), 144.2)
        for changes in ({}, {"threads": 3}, {"order": "CDAB", "threads": 1}):
            self.assertTrue(self.reload(**changes), self.gateway.log())
            order = self.s["order"]
            self.assertEqual(modbus_float(port, order=order), 144.2, (changes, self.gateway.log()))
            # A connection from before the reload is served under the new map.
            self.assertEqual(modbus_float(port, order=order, sock=kept), 144.2, changes)
            self.assertTrue(http_ok(self.base["http"]), (changes, self.gateway.log()))
        self.assertEqual(self.gateway.log().count("reload refused"), refusals)

    def test_a_reload_moves_modbus_to_its_new_port(self):
        old, new = self.base["modbus"], free_port()
        self.assertTrue(self.reload(modbus=new), self.gateway.log())
        self.assertEqual(modbus_float(new), 144.2)
        self.assertIsNone(modbus_float(old))
        self.assertTrue(http_ok(self.base["http"]))

    def check_nothing_changed(self, refused_modbus_port):
        """The running configuration still serves, as it did, and nothing
        listens where the refused one would have."""
        self.assertEqual(self.published_temps(3), {144.2})
        port = self.base["modbus"]
        self.assertEqual(modbus_float(port), 144.2)
        # The poll the refused configuration adds has no register here.
        self.assertEqual(modbus_float(port, address=6), "exception 2")
        self.assertIsNone(modbus_float(refused_modbus_port))
        self.assertTrue(http_ok(self.base["http"]))

    def test_a_reload_refused_at_the_last_output_keeps_everything_as_it_was(self):
        # The broker session prepares last, once both servers have bound
        # their new ports; a broker no one answers at refuses the whole.
        new_modbus, closed = free_port(), free_port()
        refused = self.reload(broker_port=closed, scale=3, more=True, modbus=new_modbus,
                              http=free_port())
        self.assertFalse(refused, self.gateway.log())
        self.assertRegex(self.refusal(), r"reload refused, keeping the running configuration: "
                         r"\S+/gateway\.toml:1: broker 127\.0\.0\.1:%d: \S" % closed)
        self.check_nothing_changed(new_modbus)

    def test_a_reload_refused_for_a_taken_http_port_keeps_everything_as_it_was(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        new_modbus = free_port()
        self.assertFalse(self.reload(scale=3, more=True, modbus=new_modbus, http=port))
        self.assertRegex(self.refusal(), r"\S+/gateway\.toml:\d+: \[http\] cannot listen on "
                         r"127\.0\.0\.1:%d: Address already in use" % port)
        self.check_nothing_changed(new_modbus)

    def test_a_reload_refused_for_a_key_that_does_not_fit_keeps_everything_as_it_was(self):
        files = certificates(folder(self))
        tls = 'tls_cert_file = "%s"\ntls_key_file = "%s"\n' % (files["server.crt"],
                                                                files["other.key"])
        new_modbus = free_port()
        self.assertFalse(self.reload(scale=3, more=True, modbus=new_modbus, http_tls=tls))
        self.assertRegex(self.refusal(), r"\S+/gateway\.toml:\d+: \[http\] tls_key_file "
                         r"\"\S+other\.key\" \S")
        self.check_nothing_changed(new_modbus)


class SharedPorts(unittest.TestCase):
    """Two outputs asking for one port: --check refuses it, naming both."""

    def test_check_refuses_two_servers_on_one_port_naming_both(self):
        path = os.path.join(folder(self), "gateway.toml")
        port = free_port()
        for http_host, modbus_host in (("127.0.0.1", "127.0.0.1"), ("0.0.0.0", "127.0.0.1"),
                                       ("127.0.0.1", "0.0.0.0")):
            s = dict(ServersAcrossReloads.BASE, modbus=port, http=port, http_host=http_host,
                     modbus_host=modbus_host)
            with open(path, "w") as f:
                f.write(servers_config(1883, "socket://127.0.0.1:1", s))
            run = subprocess.run([program("QOR_GATEWAY", str(_BUILD / "qor-gateway")), "--check",
                                  path], capture_output=True, text=True, timeout=10)
            self.assertEqual(run.returncode, 1, (http_host, modbus_host, run.stderr))
            self.assertRegex(run.stderr, r"gateway\.toml:\d+: \[modbus\] and \[http\] \(line \d+\) "
                             r"both listen on port %d" % port, (http_host, modbus_host))

if __name__ == "__main__":
    unittest.main()
