"""qor-gateway end to end: a real broker, real simulators, the real daemon and
an MQTT 5 subscriber, all on 127.0.0.1 and stopped by PID."""

import calendar
import json
import os
import re
import sqlite3
import subprocess
import time
import unittest

from plant import (Broker, Gateway, SilentServer, Sim, Subscriber, certificates, folder,
                   free_port, program, server_certificate, users, wait_until, _BUILD)

PREFIX = "plant/hall1"
ID = "gw-test"


def config(broker, links, broker_lines="", client_id=ID, **gateway):
    """A configuration: links is [(name, target, modules)], each module
    (address, name, poll table text, writable list); broker_lines go into
    [broker] as they are."""
    settings = {"topic_prefix": '"%s"' % PREFIX, "offline_after": 2, "counters_interval_s": 1}
    settings.update(gateway)
    port = broker if isinstance(broker, int) else broker.port
    text = '[broker]\nhost = "127.0.0.1"\nport = %d\nclient_id = "%s"\n%s\n[gateway]\n' % (
        port, client_id, broker_lines)
    text += "".join("%s = %s\n" % item for item in settings.items())
    for name, target, modules in links:
        text += '\n[[link]]\nname = "%s"\ntarget = "%s"\n' % (name, target)
        for address, module, poll, writable in modules:
            text += '[[link.module]]\naddress = "%s"\nname = "%s"\npoll = { %s }\nwritable = %s\n' % (
                address, module, poll, "[%s]" % ", ".join('"%s"' % w for w in writable))
    return text


def seqs(payloads):
    return [p["seq"] for p in payloads]


class Readings(unittest.TestCase):
    """Readings, availability and commands, on two links side by side."""

    def setUp(self):
        self.dir = folder(self)
        self.broker = Broker(self, self.dir)
        self.sim_a = Sim(self, "--address", "1", "--address", "2")
        self.sim_b = Sim(self)
        self.sub = Subscriber(self, self.broker, PREFIX + "/#")
        links = [
            ("bus-a", self.sim_a.target, [
                ("1", "boiler", "rd = 100, rh = 100, out0 = { query = \"di\", interval_ms = 100, bytes = 2, bit = 0 }",
                 ["hi", "do", "ts"]),
                ("2", "pump", "rd = 150, rl = 150", [])]),
            ("bus-b", self.sim_b.target, [("1", "tank", "rd = 100, re = 200", [])]),
        ]
        self.gateway = Gateway(self, self.dir, config(self.broker, links))

    def topic(self, *parts):
        return "/".join((PREFIX,) + parts)

    def test_readings_arrive_with_their_values_on_their_topics(self):
        for topic, value in [(("bus-a", "boiler", "rd"), 72.1), (("bus-a", "boiler", "rh"), 100.0),
                             (("bus-a", "pump", "rd"), 72.1), (("bus-a", "pump", "rl"), -10.0),
                             (("bus-b", "tank", "rd"), 72.1), (("bus-a", "boiler", "out0"), 0)]:
            got = self.sub.wait_for(self.topic(*topic))
            self.assertIsNotNone(got, topic)
            self.assertEqual((got["value"], got["status"], got["error"]), (value, 0, 0), topic)
            self.assertRegex(got["ts"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertIs(self.sub.last(self.topic("bus-a", "boiler", "rh"))["latching"], True)
        self.assertIs(self.sub.last(self.topic("bus-a", "pump", "rl"))["latching"], False)
        # The event count grows by the tank's own readings.
        counts = [p["value"] for p in self.sub.on(self.topic("bus-b", "tank", "re"))]
        self.assertTrue(wait_until(lambda: len(self.sub.on(self.topic("bus-b", "tank", "re"))) >= 3, 5))
        counts = [p["value"] for p in self.sub.on(self.topic("bus-b", "tank", "re"))]
        self.assertEqual(counts, sorted(counts))
        self.assertGreater(counts[-1], counts[0])
        rd = self.sub.on(self.topic("bus-a", "boiler", "rd"))
        self.assertEqual(seqs(rd), list(range(1, len(rd) + 1)))
        for module in (("bus-a", "boiler"), ("bus-a", "pump"), ("bus-b", "tank")):
            self.assertEqual(self.sub.wait_for(self.topic(*module, "availability")), "online")
        counters = self.sub.wait_for(self.topic("bus-a", "boiler", "counters"),
                                     lambda c: c["replies"] > 0)
        self.assertEqual((counters["timeouts"], counters["errors"], counters["link_faults"]),
                         (0, 0, 0))
        self.assertEqual(self.sub.wait_for("%s/gateway/%s/status" % (PREFIX, ID)), "online")

    def test_availability_follows_a_silent_simulator(self):
        tank = self.topic("bus-b", "tank", "availability")
        self.assertEqual(self.sub.wait_for(tank), "online")
        self.sim_b.toggle_silence()
        self.assertEqual(self.sub.wait_for(tank, lambda p: p == "offline"), "offline")
        late = self.sub.last(self.topic("bus-b", "tank", "rd"))
        self.assertEqual((late["status"], late["error"], late["value"]), (100, 1, None))
        # The other link never noticed.
        self.assertEqual(self.sub.on(self.topic("bus-a", "boiler", "availability")), ["online"])
        self.sim_b.toggle_silence()
        self.assertTrue(wait_until(lambda: self.sub.on(tank)[-1] == "online", 5))
        self.assertEqual(self.sub.on(tank), ["online", "offline", "online"])
        counters = self.sub.wait_for(self.topic("bus-b", "tank", "counters"),
                                     lambda c: c["timeouts"] >= 2)
        self.assertIsNotNone(counters)

    def test_commands_run_are_refused_or_rejected_and_answered(self):
        boiler = self.topic("bus-a", "boiler")
        self.assertIsNotNone(self.sub.wait_for(boiler + "/rh"))
        # MQTT 5: the result goes to the response topic with the correlation data.
        self.sub.publish(boiler + "/set/hi", '{"value": 50.5, "latching": false}',
                         response_topic=PREFIX + "/reply/me", correlation=b"req-1")
        result = self.sub.wait_for(PREFIX + "/reply/me")
        self.assertEqual((result["command"], result["ok"], result["status"], result["error"]),
                         ("hi", True, 0, 0))
        msg = [m for m in self.sub.messages if m.topic == PREFIX + "/reply/me"][0]
        self.assertEqual(msg.properties.CorrelationData, b"req-1")
        changed = self.sub.wait_for(boiler + "/rh", lambda p: p["value"] == 50.5)
        self.assertIs(changed["latching"], False)
        # Without a response topic the result goes beside the command.
        self.sub.publish(boiler + "/set/do", '{"outputs": 5}')
        self.assertTrue(self.sub.wait_for(boiler + "/set/do/result")["ok"])
        self.assertIsNotNone(self.sub.wait_for(boiler + "/out0", lambda p: p["value"] == 1))
        # A command the module refuses: its own error reply comes back.
        self.sub.publish(boiler + "/set/ts", '{"value": -100}')
        got = self.sub.wait_for(boiler + "/set/ts/result")
        self.assertEqual((got["ok"], got["status"], got["error"], got.get("error_text")),
                         (False, 100, ord("R"), "?1 RANGE"))
        refused = [
            ("lo", '{"value": 1}', '"lo" is not writable on module "boiler"'),
            ("hi", '{"value": "x"}', '"value" has the wrong type'),
            ("hi", '{"value": 1', "the payload is not JSON"),
            ("fire", "{}", 'no command "fire"'),
            # Strict payloads: no narrowing, exactly one document.
            ("do", '{"outputs": 5, "bytes": 4294967298}', '"bytes" is 1 or 2'),
            ("ts", '{"value": 1}\0junk', "the payload holds a NUL byte"),
            ("ts", '{"value": 1} {"value": 2}', "the payload is not JSON"),
        ]
        for command, payload, reason in refused:
            self.sub.publish(boiler + "/set/" + command, payload)
            got = self.sub.wait_for(boiler + "/set/%s/result" % command,
                                    lambda p, r=reason: p.get("reason") == r)
            self.assertIsNotNone(got, (command, payload, self.sub.on(boiler + "/set/%s/result" % command)))
            self.assertIs(got["ok"], False)
        self.sub.publish(self.topic("bus-a", "pump", "set", "hi"), '{"value": 1}')
        self.assertEqual(self.sub.wait_for(self.topic("bus-a", "pump", "set", "hi", "result"))["reason"],
                         '"hi" is not writable on module "pump"')
        # Nothing refused reached the modules.
        time.sleep(0.3)
        self.assertEqual(self.sub.last(boiler + "/rh")["value"], 50.5)
        self.assertEqual(self.sub.last(boiler + "/out0")["value"], 1)
        self.assertEqual(self.gateway.log().count(" ran ts"), 1, self.gateway.log())
        self.assertEqual(self.sub.last(self.topic("bus-a", "pump", "rl"))["value"], -10.0)

    def test_stop_and_reload(self):
        boiler = self.topic("bus-a", "boiler")
        self.assertIsNotNone(self.sub.wait_for(boiler + "/rd"))
        # A bad file on SIGHUP is refused with its line; the gateway goes on.
        self.gateway.write("[broker]\nhost = 1\n")
        self.gateway.reload()
        self.assertTrue(wait_until(lambda: "gateway.toml:2:" in self.gateway.log(), 5),
                        self.gateway.log())
        before = len(self.sub.on(boiler + "/rd"))
        self.assertTrue(wait_until(lambda: len(self.sub.on(boiler + "/rd")) > before + 2, 5))
        # A good one replaces the links.
        links = [("bus-a", self.sim_a.target, [("1", "boiler", "rz = 100", [])])]
        self.gateway.write(config(self.broker, links))
        self.gateway.reload()
        self.assertIsNotNone(self.sub.wait_for(boiler + "/rz"))
        self.assertEqual(self.gateway.stop(), 0)
        self.assertEqual(self.sub.wait_for("%s/gateway/%s/status" % (PREFIX, ID),
                                           lambda p: p == "offline"), "offline")
        self.assertIn("stopped", self.gateway.log())


class BrokerOutage(unittest.TestCase):
    """Readings taken while the broker is away are delivered afterwards, up
    to the queue's bound; beyond it the oldest go and are counted."""

    def run_outage(self, queue_size, seconds, **settings):
        self.dir = folder(self)
        broker = Broker(self, self.dir)
        sim = Sim(self)
        sub = Subscriber(self, broker, PREFIX + "/#", session=True)
        links = [("bus", sim.target, [("1", "m", "rd = 50", [])])]
        gateway = Gateway(self, self.dir, config(broker, links, queue_size=queue_size, **settings))
        topic = PREFIX + "/bus/m/rd"
        self.assertTrue(wait_until(lambda: len(sub.on(topic)) >= 5, 5))
        broker.stop()
        time.sleep(seconds)
        broker.start()
        self.assertTrue(wait_until(lambda: sub.client.is_connected(), 10))
        time.sleep(1.5)
        self.assertEqual(gateway.stop(), 0)
        time.sleep(0.3)
        return sub, sorted(set(seqs(sub.on(topic)))), gateway.log()

    def test_a_broker_restart_loses_no_reading(self):
        sub, got, log = self.run_outage(queue_size=1000, seconds=1.5)
        self.assertEqual(got, list(range(1, got[-1] + 1)), log)
        self.assertGreater(got[-1], 40)
        self.assertIn("connection lost", log)
        self.assertEqual(sub.last(PREFIX + "/gateway/%s/dropped" % ID)["dropped"], 0)

    def test_a_full_queue_drops_the_oldest_and_says_how_many(self):
        sub, got, log = self.run_outage(queue_size=5, seconds=1.5, spool="false")
        gaps = [b for a, b in zip(got, got[1:]) if b != a + 1]
        self.assertEqual(len(gaps), 1, got)
        counts = [p["dropped"] for p in sub.on(PREFIX + "/gateway/%s/dropped" % ID)]
        self.assertEqual(counts[0], 0)  # said at the start, before any drop
        self.assertGreater(counts[-1], 10, log)
        self.assertIn("queue full", log)

ACL = """user gateway
topic readwrite plant/hall1/#
user operator
topic write plant/hall1/bus-a/boiler/set/#
topic read plant/hall1/bus-a/boiler/set/+/result
topic read plant/hall1/reply/operator/#
user watcher
topic read #
"""


def log_lines(text):
    return text.splitlines()


# The time a line of the log begins with, run by hand.
STAMP = r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z "


class ResponseTopics(unittest.TestCase):
    """A user whose ACL lets it command one module only cannot make the
    gateway publish anywhere else under the gateway's own account."""

    def test_results_stay_in_the_reply_namespace(self):
        d = folder(self)
        with open(os.path.join(d, "acl"), "w") as f:
            f.write(ACL)
        passwords = users(d, ["gateway", "operator", "watcher"])
        broker = Broker(self, d, "allow_anonymous false\npassword_file %s\nacl_file %s/acl\n"
                        % (passwords, d))
        with open(os.path.join(d, "gateway-password"), "w") as f:
            f.write("gateway-pw\r\n")  # written on Windows: the CR is no part of it
        sim = Sim(self, "--address", "1", "--address", "2")
        watcher = Subscriber(self, broker, "#", user="watcher")
        operator = Subscriber(self, broker, PREFIX + "/#", user="operator")
        links = [("bus-a", sim.target, [("1", "boiler", "rd = 100", ["hi"]),
                                        ("2", "pump", "rd = 100", ["hi"])])]
        gateway = Gateway(self, d, config(broker, links, 'username = "gateway"\n'
                                          'password_file = "gateway-password"\n'))
        boiler = PREFIX + "/bus-a/boiler"
        self.assertIsNotNone(watcher.wait_for(boiler + "/rd"), gateway.log())
        forged = [boiler + "/rd", "%s/gateway/%s/status" % (PREFIX, ID),
                  PREFIX + "/bus-a/pump/availability", PREFIX + "/bus-a/pump/set/hi",
                  PREFIX + "/replies/x"]
        for topic in forged:
            operator.publish(boiler + "/set/hi", '{"value": 7}', response_topic=topic)
        operator.publish(boiler + "/set/hi", '{"value": 8}', response_topic=PREFIX + "/reply/operator/1")
        self.assertEqual(operator.wait_for(PREFIX + "/reply/operator/1")["ok"], True)
        self.assertTrue(wait_until(lambda: len(operator.on(boiler + "/set/hi/result")) == 5, 5))
        for got in operator.on(boiler + "/set/hi/result"):
            self.assertIs(got["ok"], False)
            self.assertIn("lies outside the reply namespace", got["reason"])
        time.sleep(0.3)
        for topic in forged:
            for payload in watcher.on(topic):
                self.assertFalse(isinstance(payload, dict) and "command" in payload, topic)
        self.assertEqual(set(watcher.on(forged[1])), {"online"})
        self.assertEqual(watcher.on(forged[3]), [])
        # None of them ran: the value 7 never reached the module.
        self.assertEqual(gateway.log().count(" ran hi"), 1)
        self.assertIn("response topic \"%s\" lies outside" % forged[0], gateway.log())


class AtomicReload(unittest.TestCase):
    """A reload that cannot work leaves the running configuration alone."""

    def test_bad_reloads_keep_the_old_configuration_polling(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        sub = Subscriber(self, broker, PREFIX + "/#")
        links = [("bus", sim.target, [("1", "m", "rd = 50", ["hi"])])]
        good = config(broker, links)
        gateway = Gateway(self, d, good)
        topic = PREFIX + "/bus/m/rd"
        self.assertTrue(wait_until(lambda: len(sub.on(topic)) >= 3, 5), gateway.log())
        with open(os.path.join(d, "bad-ca.crt"), "w") as f:
            f.write("not a certificate\n")
        silent = SilentServer(self)
        bad = [
            (good.replace('client_id = "%s"' % ID, 'client_id = "gw#1"'), ':4: "client_id" must be'),
            (good.replace(sim.target, "socket://127.0.0.1:1?baud=12345"), '"target" "socket://'),
            (config(broker, links, 'tls_ca_file = "bad-ca.crt"\nconnect_timeout_s = 2\n'),
             "gateway.toml:1: broker 127.0.0.1:%d: " % broker.port),
            (config(silent.port, links, "connect_timeout_s = 1\n"),
             "gateway.toml:1: broker 127.0.0.1:%d: no CONNACK within 1 s" % silent.port),
        ]
        for text, reason in bad:
            count = gateway.log().count("reload refused")
            gateway.write(text)
            gateway.reload()
            self.assertTrue(wait_until(lambda: gateway.log().count("reload refused") > count, 8),
                            gateway.log())
            refusal = [line for line in log_lines(gateway.log()) if "reload refused" in line][-1]
            self.assertIn(reason, refusal)
        before = len(sub.on(topic))
        self.assertTrue(wait_until(lambda: len(sub.on(topic)) > before + 3, 5))
        got = seqs(sub.on(topic))
        self.assertEqual(got, list(range(1, len(got) + 1)))
        # A good reload with another client id connects the new session first.
        gateway.write(good.replace('client_id = "%s"' % ID, 'client_id = "gw-2"'))
        gateway.reload()
        self.assertEqual(sub.wait_for(PREFIX + "/gateway/gw-2/status"), "online", gateway.log())
        self.assertEqual(sub.wait_for("%s/gateway/%s/status" % (PREFIX, ID),
                                      lambda p: p == "offline"), "offline")
        sub.publish(PREFIX + "/bus/m/set/hi", '{"value": 3}')
        self.assertIs(sub.wait_for(PREFIX + "/bus/m/set/hi/result")["ok"], True, gateway.log())
        self.assertEqual(gateway.log().count(" ran hi"), 1)
        # The same client id with other settings: the new session takes the
        # old one's place, which neither takes it back nor leaves "offline".
        status = PREFIX + "/gateway/gw-2/status"
        gateway.write(good.replace('client_id = "%s"' % ID, 'client_id = "gw-2"\nkeepalive_s = 20'))
        gateway.reload()
        self.assertTrue(wait_until(lambda: gateway.log().count("info: reloaded /") == 2, 8), gateway.log())
        time.sleep(1.5)
        self.assertEqual(sub.last(status), "online", sub.on(status))
        self.assertNotIn("taken over by another client", gateway.log())
        sub.publish(PREFIX + "/bus/m/set/hi", '{"value": 4}')
        self.assertTrue(wait_until(lambda: gateway.log().count(" ran hi") == 2, 5), gateway.log())
        self.assertEqual(gateway.stop(), 0)


class BoundedStop(unittest.TestCase):
    """SIGTERM ends within flush_timeout_s and the stop's bound, whatever the
    link is doing."""

    def check_stop(self, sim_args, target_options):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self, *sim_args)
        target = sim.target.replace("timeout_ms=400", target_options)
        links = [("bus", target, [("1", "m", "rd = 100", [])])]
        gateway = Gateway(self, d, config(broker, links, flush_timeout_s=1), "--verbose")
        # The frame as qor --trace words it too.
        self.assertTrue(wait_until(lambda: "link bus: >  $1RD" in gateway.log(), 5),
                        gateway.log())
        time.sleep(0.5)  # well inside the transaction
        start = time.monotonic()
        self.assertEqual(gateway.stop(), 0)
        took = time.monotonic() - start
        # flush_timeout_s (1 s) plus the documented 2 s, and room for a busy machine.
        self.assertLess(took, 6, gateway.log())
        self.assertIn("abandoned to end the stop", gateway.log())
        self.assertIn("stopped", gateway.log())

    def test_a_dripping_line(self):
        # 50 baud: a byte every 200 ms, 250 of them before the CR.
        self.check_stop(["--baud", "50", "--overlong", "250"], "timeout_ms=3000")

    def test_a_silent_module_at_a_long_time_out(self):
        self.check_stop(["--silent"], "timeout_ms=30000")


class CleanLogs(unittest.TestCase):
    def test_forged_keys_and_floods_stay_one_line_per_event(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        sub = Subscriber(self, broker, PREFIX + "/#")
        links = [("bus", sim.target, [("1", "m", "rd = 500", ["hi"])])]
        gateway = Gateway(self, d, config(broker, links))
        self.assertIsNotNone(sub.wait_for(PREFIX + "/bus/m/rd"))
        sub.publish(PREFIX + "/bus/m/set/hi",
                    '{"value":1,"k\\nqor-gateway: error: FORGED\\u001b[2J":1}')
        sub.publish(PREFIX + "/bus/m/set/hi", '{"va\\u0000lue":1}')
        self.assertIsNotNone(sub.wait_for(PREFIX + "/bus/m/set/hi/result"))
        for _ in range(200):
            sub.client.publish(PREFIX + "/bus/m/set/hi", '{"value": "x"}', qos=0)
        self.assertTrue(wait_until(lambda: len(sub.on(PREFIX + "/bus/m/set/hi/result")) >= 150, 10))
        time.sleep(0.3)
        with open(gateway.stderr.name, "rb") as f:
            raw = f.read()
        self.assertNotIn(b"\x1b", raw)
        self.assertNotIn(b"\x00", raw)
        lines = log_lines(raw.decode())
        for line in lines:
            self.assertRegex(line, STAMP + "qor-gateway: ")
            self.assertNotRegex(line, STAMP + "qor-gateway: error: FORGED")
        self.assertIn('\\nqor-gateway: error: FORGED\\x1b[2J', raw.decode())
        refused = [line for line in lines if "refused" in line]
        self.assertLess(len(refused), 10, "\n".join(refused))


class LogStamps(unittest.TestCase):
    """Run by hand the log's lines carry their time; into the journal,
    which stamps them itself, not. The journal is known by the stream it
    gave: JOURNAL_STREAM names it, and standard error must still be it."""

    def test_stamped_unless_standard_error_is_the_journal(self):
        d = folder(self)
        sim = Sim(self)
        text = config(free_port(), [("bus", sim.target, [("1", "m", "rd = 500", [])])],
                      flush_timeout_s=0)
        log = os.path.join(d, "gateway.log")
        with open(log, "w"):
            pass
        info = os.stat(log)
        streams = [
            (None, True),
            ("%d:%d" % (info.st_dev, info.st_ino), False),
            ("%d:%d" % (info.st_dev, info.st_ino + 1), True),
            ("%d" % info.st_dev, True),
        ]
        for stream, stamped in streams:
            env = {"JOURNAL_STREAM": stream} if stream else None
            gateway = Gateway(self, d, text, env=env)
            self.assertTrue(wait_until(lambda: "info: starting with" in gateway.log(), 5))
            self.assertEqual(gateway.stop(), 0)
            first = log_lines(gateway.log())[0]
            pattern = (STAMP if stamped else "^") + "qor-gateway: info: starting with "
            self.assertRegex(first, pattern, stream)
            self.assertEqual(os.stat(log).st_ino, info.st_ino)


class StopReport(unittest.TestCase):
    """A stop with the broker away says how many messages it leaves and
    where they stay: in the spool, for the next start, or in RAM, lost."""

    def test_the_stop_counts_what_the_spool_and_ram_keep(self):
        d = folder(self)
        sim = Sim(self)
        links = [("bus", sim.target, [("1", "m", "rd = 20", [])])]
        said = r"(\d+) messages not delivered \((\d+) kept in the spool for the next start, " \
               r"(\d+) in RAM lost\)"
        for spool in ("true", "false"):
            text = config(free_port(), links, spool=spool, flush_timeout_s=0)
            gateway = Gateway(self, d, text, "--verbose")
            self.assertTrue(wait_until(lambda: gateway.log().count("link bus: <") >= 10, 10),
                            gateway.log())
            self.assertEqual(gateway.stop(), 0)
            found = re.search(said, gateway.log())
            self.assertIsNotNone(found, gateway.log())
            total, kept, lost = (int(n) for n in found.groups())
            self.assertEqual(total, kept + lost)
            if spool == "true":
                db = sqlite3.connect(os.path.join(d, ID + ".db"))
                self.addCleanup(db.close)
                rows = db.execute("SELECT COUNT(*) FROM messages").fetchone()[0]
                self.assertEqual((kept, lost), (rows, 0))
                self.assertGreaterEqual(rows, 10)
            else:
                self.assertEqual(kept, 0)
                self.assertGreaterEqual(lost, 10)


class BrokerTrouble(unittest.TestCase):
    """Why a connection fails is in the log."""

    def test_a_wrong_ca_an_unanswered_connect_and_a_take_over(self):
        d = folder(self)
        files = certificates(d)
        broker = Broker(self, d, "allow_anonymous true\ncafile %s\ncertfile %s\nkeyfile %s\n"
                        % (files["ca.crt"], files["server.crt"], files["server.key"]))
        sim = Sim(self)
        links = [("bus", sim.target, [("1", "m", "rd = 500", [])])]
        sub_dir = os.path.join(d, "wrong")
        os.mkdir(sub_dir)
        wrong = Gateway(self, sub_dir, config(broker, links, 'tls_ca_file = "%s"\n' % files["other.crt"],
                                              client_id="gw-wrong-ca"))
        silent = SilentServer(self)
        silent_dir = os.path.join(d, "silent")
        os.mkdir(silent_dir)
        mute = Gateway(self, silent_dir, config(silent.port, links, "connect_timeout_s = 1\n",
                                                client_id="gw-silent"))
        self.assertTrue(wait_until(lambda: "certificate verify failed" in wrong.log(), 8),
                        wrong.log())
        self.assertTrue(wait_until(lambda: "no CONNACK within 1 s" in mute.log(), 8), mute.log())
        # The right CA connects; a second gateway with the same id takes it over.
        first_dir, second_dir = os.path.join(d, "first"), os.path.join(d, "second")
        os.mkdir(first_dir)
        os.mkdir(second_dir)
        tls = 'tls_ca_file = "%s"\n' % files["ca.crt"]
        first = Gateway(self, first_dir, config(broker, links, tls))
        self.assertTrue(wait_until(lambda: "connected as" in first.log(), 8), first.log())
        second = Gateway(self, second_dir, config(broker, links, tls))
        self.assertTrue(wait_until(lambda: "taken over by another client with the same client id"
                                   in first.log() + second.log(), 8), first.log() + second.log())


class TlsNames(unittest.TestCase):
    """The gateway connects to the address it looked up, and the broker's
    certificate is still checked against the configured name."""

    def broker(self, d, files, name, san):
        """A broker whose port is plain (for the subscriber) and whose
        tls_port speaks TLS with a certificate for san."""
        os.makedirs(os.path.join(d, name))
        crt, key = server_certificate(d, files, name, san)
        tls_port = free_port()
        broker = Broker(self, os.path.join(d, name), "allow_anonymous true\nlistener %d 127.0.0.1\n"
                        "cafile %s\ncertfile %s\nkeyfile %s\n" % (tls_port, files["ca.crt"], crt, key))
        broker.tls_port = tls_port
        return broker

    def test_the_certificate_must_carry_the_configured_name(self):
        d = folder(self)
        files = certificates(d)
        right = self.broker(d, files, "right", "DNS:localhost")
        wrong = self.broker(d, files, "wrong", "DNS:broker.example")
        sim = Sim(self)
        links = [("bus", sim.target, [("1", "m", "rd = 100", [])])]
        sub = Subscriber(self, right, PREFIX + "/#")
        tls = 'tls_ca_file = "%s"\n' % files["ca.crt"]
        gateways = {}
        for name, broker in (("right", right), ("wrong", wrong)):
            text = config(broker.tls_port, links, tls, client_id="gw-" + name)
            gateways[name] = Gateway(self, os.path.join(d, name),
                                     text.replace('host = "127.0.0.1"', 'host = "localhost"'))
        self.assertTrue(wait_until(lambda: len(sub.on(PREFIX + "/bus/m/rd")) >= 3, 10),
                        gateways["right"].log())
        self.assertIn("broker localhost:%d: connected as gw-right" % right.tls_port,
                      gateways["right"].log())
        self.assertTrue(wait_until(lambda: "certificate verify failed" in gateways["wrong"].log(),
                                   10), gateways["wrong"].log())
        self.assertNotIn("connected as", gateways["wrong"].log())


class LateReplies(unittest.TestCase):
    """Ten modules on one simulator, each with its own high limit, a tenth of
    the replies up to five time-outs late, and the gateway on its defaults:
    no reading may carry another module's limit as good."""

    POLLS = 250

    def test_no_late_reply_is_published_as_another_modules_reading(self):
        d = folder(self)
        broker = Broker(self, d)
        addresses = "0123456789"
        args = ["--distinct-limits", "--fault-rate", "0.1", "--fault-kinds", "late",
                "--fault-delay-ms", "0-1000", "--seed", "23"]
        for a in addresses:
            args += ["--address", a]
        sim = Sim(self, *args)
        target = sim.target.split("?")[0]  # the byte link's defaults
        sub = Subscriber(self, broker, PREFIX + "/#")
        modules = [(a, "m" + a, "rh = 500", []) for a in addresses]
        gateway = Gateway(self, d, config(broker, [("bus", target, modules)]))
        topics = [(i, "/".join((PREFIX, "bus", "m" + a, "rh"))) for i, a in enumerate(addresses)]
        self.assertTrue(wait_until(lambda: sum(len(sub.on(t)) for _, t in topics) >= self.POLLS,
                                   120, step=0.2), gateway.log())
        self.assertEqual(gateway.stop(), 0)
        good, wrong = 0, []
        for i, topic in topics:
            for p in sub.on(topic):
                if p["status"] == 0 and p["value"] != 100.0 + i:
                    wrong.append((topic, p["value"]))
                good += p["status"] == 0
        late = refused = 0
        for a in addresses:
            counters = sub.last("/".join((PREFIX, "bus", "m" + a, "counters")))
            late += counters["late_replies"]
            refused += counters["refused"]
        print("late replies: %d readings good, %d wrong as good, %d late replies seen, "
              "%d refused" % (good, len(wrong), late, refused))
        self.assertEqual(wrong, [])
        self.assertGreater(good, self.POLLS // 2)
        self.assertGreater(late + refused, 0, "no late reply was seen")


class HomeAssistant(unittest.TestCase):
    """Discovery configs checked against the keys each component takes, the
    topics they name, and an entity's removal on reload."""

    COMMON = {"name", "unique_id", "device", "availability", "availability_mode"}
    REQUIRED = {
        "sensor": COMMON | {"state_topic", "value_template", "state_class"},
        "binary_sensor": COMMON | {"state_topic", "value_template", "payload_on", "payload_off"},
        "number": COMMON | {"command_topic", "command_template", "min", "max", "step", "mode"},
        "switch": COMMON | {"command_topic", "payload_on", "payload_off", "state_topic",
                            "value_template", "state_on", "state_off"},
    }

    def setUp(self):
        self.dir = folder(self)
        self.broker = Broker(self, self.dir)
        self.sim = Sim(self, "--address", "1", "--address", "2")
        self.sub = Subscriber(self, self.broker, "#")
        self.links = [("bus-a", self.sim.target, [
            ("1", "boiler", 'rd = { query = "rd", interval_ms = 100, unit = "°C", '
             'device_class = "temperature" }, rh = 100, '
             'run = { query = "di", interval_ms = 100, bit = 0, device_class = "running" }, '
             'valve = { query = "rb", interval_ms = 100, bit = 5 }',
             ["hi", "sb", "cb"]),
            ("2", "pump", "rd = 100", [])])]
        self.gateway = Gateway(self, self.dir, self.config(self.links))

    def config(self, links):
        return config(self.broker, links) + '\n[homeassistant]\nenabled = true\n'

    def configs(self):
        with self.sub.lock:
            found = {m.topic: m for m in self.sub.messages if m.topic.startswith("homeassistant/")}
        return {t: (json.loads(m.payload) if m.payload else None) for t, m in found.items()}

    def test_configs_name_topics_that_carry_what_their_templates_read(self):
        base = "homeassistant/%s/" + ID + "/%s/config"
        wanted = {base % ("sensor", "bus-a_boiler_rd"), base % ("sensor", "bus-a_boiler_rh"),
                  base % ("binary_sensor", "bus-a_boiler_run"), base % ("number", "bus-a_boiler_hi"),
                  base % ("switch", "bus-a_boiler_valve"),
                  base % ("sensor", "bus-a_pump_rd"), base % ("binary_sensor", "gateway")}
        self.assertTrue(wait_until(lambda: wanted <= set(self.configs()), 10), self.configs())
        configs = self.configs()
        self.assertEqual(set(configs), wanted)  # nothing writable on the pump
        ids = [c["unique_id"] for c in configs.values()]
        self.assertEqual(len(ids), len(set(ids)))
        gateway_id = configs[base % ("binary_sensor", "gateway")]["device"]["identifiers"][0]
        for topic, c in configs.items():
            component = topic.split("/")[1]
            if topic.endswith("/gateway/config"):
                self.assertEqual(self.sub.wait_for(c["state_topic"]), c["payload_on"])
                continue
            self.assertLessEqual(self.REQUIRED[component], set(c), topic)
            self.assertEqual(c["device"]["via_device"], gateway_id)
            for a in c["availability"]:
                self.assertEqual(self.sub.wait_for(a["topic"]), "online", a)
            if "state_topic" in c:
                reading = self.sub.wait_for(c["state_topic"])
                self.assertIn("value", reading, topic)  # value_json.value
                self.assertIn("value_json.value", c["value_template"])
        rd = configs[base % ("sensor", "bus-a_boiler_rd")]
        self.assertEqual((rd["unit_of_measurement"], rd["device_class"], rd["state_class"]),
                         ("°C", "temperature", "measurement"))
        self.assertEqual(configs[base % ("binary_sensor", "bus-a_boiler_run")]["device_class"],
                         "running")
        # The number's command, as its template renders it, sets the limit.
        number = configs[base % ("number", "bus-a_boiler_hi")]
        self.sub.publish(number["command_topic"],
                         number["command_template"].replace("{{ value }}", "93.5"))
        self.assertIsNotNone(self.sub.wait_for(number["state_topic"],
                                               lambda p: p["value"] == 93.5))
        # The switch's payloads, on its command topic, set and clear the
        # simulator's bit, which its state topic then reads as they say.
        switch = configs[base % ("switch", "bus-a_boiler_valve")]
        result = switch["command_topic"] + "/result"
        for n, (payload, value) in enumerate(((switch["payload_on"], 1),
                                              (switch["payload_off"], 0))):
            self.sub.publish(switch["command_topic"], payload)
            self.assertTrue(wait_until(lambda: len(self.sub.on(result)) == n + 1, 10))
            self.assertEqual(self.sub.last(result)["status"], 0)
            self.assertTrue(wait_until(
                lambda: self.sub.last(switch["state_topic"])["value"] == value, 10))
        self.assertEqual((switch["state_on"], switch["state_off"]), ("ON", "OFF"))
        # A module taken out of the file and reloaded: its entities go.
        self.gateway.write(self.config([(self.links[0][0], self.links[0][1], self.links[0][2][:1])]))
        self.gateway.reload()
        gone = base % ("sensor", "bus-a_pump_rd")
        self.assertTrue(wait_until(lambda: self.configs()[gone] is None, 10))
        self.assertIsNotNone(self.configs()[base % ("sensor", "bus-a_boiler_rd")])


def stamp(ts):
    """A payload's ts in seconds."""
    return calendar.timegm(time.strptime(ts[:19], "%Y-%m-%dT%H:%M:%S")) + int(ts[20:23]) / 1000


class ByException(unittest.TestCase):
    """Report by exception on a drifting simulator: a reading is published
    when it moved beyond the deadband from the last one published, or when
    max_interval_ms has passed; the rest only count."""

    def test_published_readings_moved_or_waited_long_enough(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self, "--address", "1", "--address", "2", steady=False)
        sub = Subscriber(self, broker, PREFIX + "/#")
        links = [("bus", sim.target, [
            ("1", "boiler", 'rd = { query = "rd", interval_ms = 100, deadband = 0.03, '
             'max_interval_ms = 1500 }, rh = { query = "rh", interval_ms = 100, '
             'max_interval_ms = 1000 }', []),
            ("2", "pump", 'rd = { query = "rd", interval_ms = 100, deadband = "0.05%" }', [])])]
        Gateway(self, d, config(broker, links))
        time.sleep(8)
        counters = sub.last(PREFIX + "/bus/boiler/counters")
        for topic, band, most in (("boiler/rd", lambda v: 0.03, 1.5), ("boiler/rh", None, 1.0),
                                  ("pump/rd", lambda v: abs(v) * 0.0005, None)):
            got = sub.on(PREFIX + "/bus/" + topic)
            self.assertGreaterEqual(len(got), 3, topic)
            self.assertEqual(seqs(got), list(range(1, len(got) + 1)), topic)
            for a, b in zip(got, got[1:]):
                gap = stamp(b["ts"]) - stamp(a["ts"])
                moved = band is not None and abs(b["value"] - a["value"]) > band(a["value"]) - 1e-9
                # A publication on max_interval comes with the poll nearest to it.
                self.assertTrue(moved or (most and gap >= most - 0.1), (topic, a, b))
                if most:
                    self.assertLess(gap, most + 0.5, (topic, a, b))  # scheduling slack
        # The limit stands still: only the heartbeat, about a second apart.
        self.assertLessEqual(len(sub.on(PREFIX + "/bus/boiler/rh")), 10)
        # Every poll counts, published or not (about 80 of each poll).
        published = len(sub.on(PREFIX + "/bus/boiler/rd")) + len(sub.on(PREFIX + "/bus/boiler/rh"))
        self.assertGreater(counters["replies"], 2 * published, counters)


class EngineeringValues(unittest.TestCase):
    """A poll's scale and offset: the value published, Home Assistant's
    entities, and a limit written through the inverse."""

    def test_scaled_readings_and_a_write_round_trip(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        sub = Subscriber(self, broker, "#")
        links = [("bus", sim.target, [
            ("1", "boiler", 'rd = { query = "rd", interval_ms = 100, scale = 0.5, offset = -10, '
             'unit = "bar", name = "Boiler pressure" }, rh = { query = "rh", interval_ms = 100, '
             'scale = 0.5, offset = -10, unit = "bar" }', ["hi"])])]
        Gateway(self, d, config(broker, links) + "\n[homeassistant]\nenabled = true\n")
        boiler = PREFIX + "/bus/boiler"
        got = sub.wait_for(boiler + "/rd")
        self.assertEqual((got["value"], got["raw"]), (26.05, 72.1))
        self.assertEqual(sub.wait_for(boiler + "/rh")["raw"], 100.0)
        sensor = sub.wait_for("homeassistant/sensor/%s/bus_boiler_rd/config" % ID)
        self.assertEqual((sensor["name"], sensor["unit_of_measurement"]), ("Boiler pressure", "bar"))
        number = sub.wait_for("homeassistant/number/%s/bus_boiler_hi/config" % ID)
        self.assertEqual((number["min"], number["max"]), (-50009.995, 49989.995))
        # 30 bar is (30 + 10) / 0.5 = 80 to the module.
        sub.publish(boiler + "/set/hi", '{"value": 30}')
        self.assertTrue(sub.wait_for(boiler + "/set/hi/result")["ok"])
        back = sub.wait_for(boiler + "/rh", lambda p: p["raw"] == 80.0)
        self.assertEqual(back["value"], 30.0)
        # 60000 bar would be 120020: beyond the module's fields, never sent.
        sub.publish(boiler + "/set/hi", '{"value": 60000}')
        refused = sub.wait_for(boiler + "/set/hi/result", lambda p: not p["ok"])
        self.assertEqual(refused["reason"], '"rh": 60000 is 120020 to the module (scale 0.5, '
                         'offset -10), beyond its +-99999.99; not sent')
        time.sleep(0.5)
        self.assertEqual(sub.last(boiler + "/rh")["raw"], 80.0)


class ReadsOnDemand(unittest.TestCase):
    """PREFIX/LINK/MODULE/get/POLL: the poll runs between polls and its
    reading comes back on the response topic, and on its own topic."""

    def test_get_answers_on_the_response_topic(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self, "--address", "1", "--address", "2")
        sub = Subscriber(self, broker, PREFIX + "/#")
        links = [("bus", sim.target, [
            ("1", "boiler", 'rd = 60000, level = { query = "rd", interval_ms = 60000, '
             'deadband = 5, scale = 2 }', []),
            ("2", "pump", "rd = 60000", [])])]
        Gateway(self, d, config(broker, links))
        boiler = PREFIX + "/bus/boiler"
        self.assertIsNotNone(sub.wait_for(boiler + "/level"))
        sub.publish(boiler + "/get/level", "", response_topic=PREFIX + "/reply/me",
                    correlation=b"req-7")
        answer = sub.wait_for(PREFIX + "/reply/me")
        self.assertEqual((answer["value"], answer["raw"], answer["status"], answer["seq"]),
                         (144.2, 72.1, 0, 2))
        msg = [m for m in sub.messages if m.topic == PREFIX + "/reply/me"][0]
        self.assertEqual(msg.properties.CorrelationData, b"req-7")
        # Published on its own topic too, deadband or not.
        self.assertEqual(seqs(sub.on(boiler + "/level")), [1, 2])
        # Without a response topic the reading goes beside the request.
        sub.publish(PREFIX + "/bus/pump/get/rd", "{}")
        self.assertEqual(sub.wait_for(PREFIX + "/bus/pump/get/rd/result")["value"], 72.1)
        refused = [
            ("bus/boiler/get/re", "", None, 'no poll "re" on module "boiler"'),
            ("bus/tank/get/rd", "", None, 'no module "tank" on link "bus"'),
            ("bus/boiler/get/rd", '{"value": 1}', None, "get takes an empty payload or {}"),
            ("bus/boiler/get/rd", "", PREFIX + "/bus/pump/rd",
             'response topic "%s/bus/pump/rd" lies outside the reply namespace' % PREFIX),
        ]
        for topic, payload, response, reason in refused:
            sub.publish(PREFIX + "/" + topic, payload, response_topic=response)
            got = sub.wait_for(PREFIX + "/" + topic + "/result",
                               lambda p, r=reason: r in p.get("reason", ""))
            self.assertIsNotNone(got, (topic, sub.on(PREFIX + "/" + topic + "/result")))
            self.assertEqual((got["command"], got["ok"]), ("get", False))
        time.sleep(0.3)
        # The first poll and the get: the forged reply never came.
        self.assertEqual([("command" in p) for p in sub.on(PREFIX + "/bus/pump/rd")], [False, False])


class BadConfiguration(unittest.TestCase):
    def test_refused_with_file_and_line_and_never_started(self):
        d = folder(self)
        path = d + "/bad.toml"
        with open(path, "w") as f:
            f.write('[broker]\nhost = "127.0.0.1"\n\n[[link]]\nname = "bus"\n'
                    'target = "socket://127.0.0.1:1"\n[[link.module]]\naddress = "1"\n'
                    'name = "m"\npoll = { rd = 100, rx = 5 }\n')
        gateway = program("QOR_GATEWAY", str(_BUILD / "qor-gateway"))
        for args in (["--check"], []):
            run = subprocess.run([gateway] + args + [path], capture_output=True, text=True,
                                 timeout=10)
            self.assertEqual(run.returncode, 1, run.stderr)
            self.assertIn(path + ':10: "rx" is no query', run.stderr)
        run = subprocess.run([gateway, "--check", path.replace("bad", "none")],
                             capture_output=True, text=True, timeout=10)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr, "qor-gateway: %s: cannot read the file: No such file or "
                         "directory\n" % path.replace("bad", "none"))
        run = subprocess.run([gateway], capture_output=True, text=True, timeout=10)
        self.assertEqual(run.returncode, 2)

    def test_every_mistake_is_named_on_a_line_of_its_own(self):
        d = folder(self)
        path = d + "/three.toml"
        with open(path, "w") as f:
            f.write('[broker]\nhost = "127.0.0.1"\n[[link]]\nname = "bus"\n'
                    'target = "127.0.0.1:34001"\n[[link.module]]\nadress = "1"\nname = "m"\n'
                    'writable = ["hi", "hx"]\n')
        gateway = program("QOR_GATEWAY", str(_BUILD / "qor-gateway"))
        expected = [
            'qor-gateway: %s:5: "target" "127.0.0.1:34001" is refused: a device path must be '
            'absolute (/dev/ttyUSB0); did you mean socket://127.0.0.1:34001?' % path,
            "qor-gateway: %s:7: unknown key \"adress\" in [[link.module]]; did you mean "
            "'address'?" % path,
            'qor-gateway: %s:9: "writable" holds "hx", which is no command (' % path,
        ]
        for args in (["--check"], []):
            run = subprocess.run([gateway] + args + [path], capture_output=True, text=True,
                                 timeout=10)
            self.assertEqual((run.returncode, run.stdout), (1, ""), run.stderr)
            lines = run.stderr.splitlines()
            self.assertEqual(len(lines), 3, run.stderr)
            for line, start in zip(lines, expected):
                self.assertTrue(line.startswith(start), (line, start))

    def test_check_refuses_what_could_never_work(self):
        d = folder(self)
        gateway = program("QOR_GATEWAY", str(_BUILD / "qor-gateway"))
        with open(d + "/crlf", "w") as f:
            f.write("pw\r\n")
        base = ('[broker]\nhost = "127.0.0.1"\n%s\n[[link]]\nname = "bus"\ntarget = "%s"\n'
                '[[link.module]]\naddress = "1"\nname = "m"\n')
        cases = [
            (base % ("", "socket://h:1?baud=12345"), 1, 'bad.toml:6: "target" "socket://h:1'),
            (base % ("", "/dev/ttyS0?timeout_ms=0"), 1, "timeout_ms=0 is out of range"),
            (base % ('username = "u"\npassword_file = "/dev/zero"', "/dev/ttyS0"), 1,
             'bad.toml:4: password_file "/dev/zero" is not a regular file'),
            (base % ('username = "u"\npassword_file = "crlf"', "/dev/ttyS0"), 0, ": ok ("),
        ]
        for text, code, message in cases:
            with open(d + "/bad.toml", "w") as f:
                f.write(text)
            run = subprocess.run([gateway, "--check", d + "/bad.toml"], capture_output=True,
                                 text=True, timeout=10)
            self.assertEqual(run.returncode, code, run.stderr)
            self.assertIn(message, run.stdout + run.stderr)
        run = subprocess.run([gateway, "--check", "/dev/zero"], capture_output=True, text=True,
                             timeout=10)
        self.assertEqual((run.returncode, run.stderr.strip()),
                         (1, "qor-gateway: /dev/zero: not a regular file"))


if __name__ == "__main__":
    unittest.main()
