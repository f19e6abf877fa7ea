"""qor-gateway as a Sparkplug B edge node, end to end: a real broker, real
simulators and the daemon, watched by a subscriber that decodes every
payload with its own schema (sparkplug_b_test.proto, compiled here by
protoc)."""

import importlib
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import paho.mqtt.client as mqtt

from plant import Broker, Gateway, Sim, folder, wait_until
from test_gateway import config

GROUP = "plant1"
NODE = "gw-test"
ROOT = "spBv1.0/%s/" % GROUP
HERE = os.path.dirname(os.path.abspath(__file__))


def schema():
    """The generated module for the test's own copy of the schema."""
    out = tempfile.mkdtemp(prefix="qor-spb-test.")
    try:
        subprocess.run(["protoc", "-I", HERE, "--python_out", out,
                        os.path.join(HERE, "sparkplug_b_test.proto")], check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        raise unittest.SkipTest("protoc cannot compile the schema: %s" % e)
    sys.path.insert(0, out)
    return importlib.import_module("sparkplug_b_test_pb2")


class Watcher:
    """Every message under spBv1.0/GROUP/#, decoded, in arrival order."""

    def __init__(self, testcase, broker, pb):
        self.pb = pb
        self.lock = threading.Lock()
        self.seen = []  # (type, device, Payload)
        self.client = mqtt.Client(client_id="", protocol=mqtt.MQTTv311)
        self.client.on_message = self._on_message
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(ROOT + "#", qos=0)
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        testcase.addCleanup(self.close)
        if not wait_until(lambda: self.client.is_connected(), 5):
            raise AssertionError("watcher did not connect")
        time.sleep(0.1)

    def _on_message(self, client, userdata, msg):
        levels = msg.topic.split("/")
        payload = self.pb.Payload()
        payload.ParseFromString(msg.payload)
        with self.lock:
            self.seen.append((levels[2], levels[4] if len(levels) > 4 else None, payload))

    def all(self, kind=None, device=None):
        """What the node sent (not the commands the test sent it)."""
        with self.lock:
            return [(t, d, p) for t, d, p in self.seen
                    if t not in ("NCMD", "DCMD") and (kind is None or t == kind)
                    and (device is None or d == device)]

    def wait(self, predicate, timeout=10):
        return wait_until(predicate, timeout)

    def state(self, host, online, timestamp):
        """The host application's STATE, retained, as a host publishes it."""
        body = json.dumps({"online": online, "timestamp": timestamp})
        self.client.publish("spBv1.0/STATE/" + host, body, qos=1,
                            retain=True).wait_for_publish(5)

    def send(self, kind, device, metrics):
        payload = self.pb.Payload()
        payload.timestamp = int(time.time() * 1000)
        for name, datatype, field, value in metrics:
            m = payload.metrics.add()
            m.name, m.datatype = name, datatype
            setattr(m, field, value)
        topic = ROOT + kind + "/" + NODE + ("/" + device if device else "")
        self.client.publish(topic, payload.SerializeToString(), qos=1).wait_for_publish(5)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def metric(payload, name):
    found = [m for m in payload.metrics if m.name == name]
    return found[0] if found else None


def check_seq(testcase, messages):
    """seq 0 at each NBIRTH, then one more per message, modulo 256."""
    expected = None
    for kind, device, p in messages:
        if kind == "NDEATH":
            testcase.assertFalse(p.HasField("seq"))
            continue
        if kind == "NBIRTH":
            expected = 0
        testcase.assertEqual(p.seq, expected, (kind, device))
        expected = (expected + 1) % 256


class Sparkplug(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.pb = schema()

    def setUp(self):
        self.dir = folder(self)
        self.broker = Broker(self, self.dir)
        self.sim = Sim(self, "--address", "1", "--address", "2")
        self.watch = Watcher(self, self.broker, self.pb)
        self.start_gateway()

    def start_gateway(self, rd=50):
        links = [("bus-a", self.sim.target, [
            ("1", "boiler", "rd = %d, rh = 200, run = { query = \"di\", interval_ms = 200, bit = 0 }" % rd,
             ["hi"]),
            ("2", "pump", "rd = 200, rl = 200", [])])]
        text = config(self.broker, links) + (
            '\n[sparkplug]\nenabled = true\ngroup_id = "%s"\nedge_node_id = "%s"\n'
            'bdseq_file = "bdseq"\n' % (GROUP, NODE))
        self.gateway = Gateway(self, self.dir, text)

    def births(self):
        return self.watch.all("NBIRTH")

    def test_births_then_data_in_order_and_seq_wraps(self):
        self.assertTrue(self.watch.wait(lambda: len(self.watch.all("DDATA")) > 300, 30))
        seen = self.watch.all()
        self.assertEqual(seen[0][0], "NBIRTH")
        nbirth = seen[0][2]
        self.assertEqual(nbirth.seq, 0)
        bdseq = metric(nbirth, "bdSeq")
        self.assertEqual(bdseq.datatype, 8)
        rebirth = metric(nbirth, "Node Control/Rebirth")
        self.assertEqual((rebirth.datatype, rebirth.boolean_value), (11, False))
        check_seq(self, seen)
        self.assertGreater(len(seen), 256)  # it wrapped
        for device in ("bus-a:boiler", "bus-a:pump"):
            kinds = [k for k, d, _ in seen if d == device]
            self.assertEqual(kinds[0], "DBIRTH", device)
        dbirth = self.watch.all("DBIRTH", "bus-a:boiler")[0][2]
        rd, rh, run = metric(dbirth, "rd"), metric(dbirth, "rh"), metric(dbirth, "run")
        self.assertEqual((rd.datatype, rh.datatype, run.datatype), (10, 10, 11))
        self.assertGreater(rd.timestamp, 0)
        self.assertIsNotNone(metric(dbirth, "Device Control/Error"))
        data = [p for _, _, p in self.watch.all("DDATA", "bus-a:boiler")]
        self.assertTrue(any(m.name == "rd" and m.double_value == 72.1 for p in data for m in p.metrics))

    def test_will_carries_the_births_bdseq_and_a_restart_counts_on(self):
        self.assertTrue(self.watch.wait(lambda: self.births()))
        first = metric(self.births()[0][2], "bdSeq").long_value
        self.gateway.proc.send_signal(signal.SIGKILL)
        self.gateway.proc.wait()
        # The broker sends the will once the dead socket is noticed.
        self.assertTrue(self.watch.wait(lambda: self.watch.all("NDEATH"), 15))
        death = self.watch.all("NDEATH")[0][2]
        self.assertEqual(metric(death, "bdSeq").long_value, first)
        self.assertFalse(death.HasField("seq"))
        self.start_gateway()
        self.assertTrue(self.watch.wait(lambda: len(self.births()) == 2))
        self.assertEqual(metric(self.births()[1][2], "bdSeq").long_value, (first + 1) % 256)
        # A clean stop says NDEATH itself, with the same bdSeq.
        self.gateway.stop()
        self.assertTrue(self.watch.wait(lambda: len(self.watch.all("NDEATH")) == 2))
        self.assertEqual(metric(self.watch.all("NDEATH")[1][2], "bdSeq").long_value,
                         (first + 1) % 256)

    def test_a_killed_simulator_dies_and_is_born_again(self):
        dev = "bus-a:boiler"
        self.assertTrue(self.watch.wait(lambda: self.watch.all("DDATA", dev)))
        address = self.sim.address
        self.sim.proc.send_signal(signal.SIGKILL)
        self.sim.proc.wait()
        self.assertTrue(self.watch.wait(lambda: self.watch.all("DDEATH", dev)))
        self.assertTrue(self.watch.wait(lambda: self.watch.all("DDEATH", "bus-a:pump")))
        self.sim = Sim(self, "--address", "1", "--address", "2", listen=address)
        self.assertTrue(self.watch.wait(lambda: len(self.watch.all("DBIRTH", dev)) == 2, 20))
        seen = self.watch.all(device=dev)
        death = [i for i, (k, _, _) in enumerate(seen) if k == "DDEATH"][0]
        after = [k for k, _, _ in seen[death + 1:]]
        self.assertEqual(after[0], "DBIRTH")  # no data between death and birth
        self.assertNotIn("DDATA", [k for k, _, p in seen[death:death + 1]])
        check_seq(self, self.watch.all())

    def test_rebirth_on_request(self):
        self.assertTrue(self.watch.wait(lambda: len(self.watch.all("DBIRTH")) == 2))
        bdseq = metric(self.births()[0][2], "bdSeq").long_value
        self.watch.send("NCMD", None, [("Node Control/Rebirth", 11, "boolean_value", True)])
        self.assertTrue(self.watch.wait(lambda: len(self.births()) == 2))
        self.assertEqual(metric(self.births()[1][2], "bdSeq").long_value, bdseq)
        self.assertTrue(self.watch.wait(lambda: len(self.watch.all("DBIRTH")) == 4))
        check_seq(self, self.watch.all())

    def test_device_commands_write_only_what_is_writable(self):
        boiler, pump = "bus-a:boiler", "bus-a:pump"
        self.assertTrue(self.watch.wait(lambda: self.watch.all("DBIRTH", pump)))

        def values(device, name):
            return [m.double_value for _, _, p in self.watch.all(device=device)
                    for m in p.metrics if m.name == name and not m.is_null]
        self.watch.send("DCMD", boiler, [("rh", 10, "double_value", 88.5)])
        self.assertTrue(self.watch.wait(lambda: 88.5 in values(boiler, "rh")))
        # The module keeps it: later polls read it back.
        time.sleep(0.5)
        self.assertEqual(values(boiler, "rh")[-1], 88.5)

        def errors(device):
            return [m.string_value for _, _, p in self.watch.all("DDATA", device)
                    for m in p.metrics if m.name == "Device Control/Error"]
        self.watch.send("DCMD", pump, [("rl", 10, "double_value", -55.0)])
        self.watch.send("DCMD", boiler, [("rd", 10, "double_value", 1.0)])
        self.assertTrue(self.watch.wait(lambda: errors(pump) and errors(boiler)))
        self.assertEqual(errors(pump), ["rl: not writable"])
        self.assertEqual(errors(boiler), ["rd: not writable"])
        time.sleep(0.5)
        self.assertEqual(set(values(pump, "rl")), {-10.0})
        # A Boolean is no limit, though it could be read as 1.
        self.watch.send("DCMD", boiler, [("rh", 11, "boolean_value", True)])
        self.watch.send("DCMD", boiler, [("nothing", 10, "double_value", 1.0)])
        self.assertTrue(self.watch.wait(lambda: len(errors(boiler)) == 3))
        self.assertEqual(errors(boiler)[1:], ["rh: takes a number, not a Boolean",
                                              "nothing: no such metric"])
        check_seq(self, self.watch.all())


class EngineeringMetrics(unittest.TestCase):
    """A poll with scale and offset: its metric holds the engineering value
    and its unit, a DCMD writes a limit in that unit, and by exception a
    value that stands still sends no DDATA."""

    def test_scaled_metrics_writes_and_no_data_without_change(self):
        pb = schema()
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self)
        watch = Watcher(self, broker, pb)
        scaled = 'scale = 0.5, offset = -10, unit = "bar", max_interval_ms = 60000'
        links = [("bus-a", sim.target, [("1", "boiler", 'rd = { query = "rd", interval_ms = 50, '
                                         '%s }, rh = { query = "rh", interval_ms = 50, %s }'
                                         % (scaled, scaled), ["hi"])])]
        Gateway(self, d, config(broker, links) + '\n[sparkplug]\nenabled = true\ngroup_id = "%s"\n'
                'edge_node_id = "%s"\n' % (GROUP, NODE))
        boiler = "bus-a:boiler"
        self.assertTrue(watch.wait(lambda: watch.all("DBIRTH", boiler)))
        rd = metric(watch.all("DBIRTH", boiler)[0][2], "rd")
        self.assertEqual((rd.double_value, list(rd.properties.keys)), (26.05, ["engUnit"]))
        self.assertEqual(rd.properties.values[0].string_value, "bar")
        # Once each metric has its first value (rh's may come after the
        # birth), 20 polls of each, none of them a change: nothing more.
        time.sleep(0.5)
        sent = len(watch.all("DDATA", boiler))
        self.assertLessEqual(sent, 1)
        time.sleep(1)
        self.assertEqual(len(watch.all("DDATA", boiler)), sent)
        # 30 bar: 80 to the module, read back as 30 bar.
        watch.send("DCMD", boiler, [("rh", 10, "double_value", 30.0)])

        def rh():
            return [m.double_value for _, _, p in watch.all("DDATA", boiler)
                    for m in p.metrics if m.name == "rh"]
        self.assertTrue(watch.wait(lambda: 30.0 in rh()), watch.all("DDATA", boiler))


def spb_config(broker, sim, lines, broker_lines="", polls="rd = 100", writable=()):
    links = [("bus-a", sim.target, [("1", "boiler", polls, list(writable))])]
    return config(broker, links, broker_lines=broker_lines) + (
        '\n[sparkplug]\nenabled = true\ngroup_id = "%s"\nedge_node_id = "%s"\n%s' % (
            GROUP, NODE, lines))


class PrimaryHost(unittest.TestCase):
    """The node follows a primary host application's STATE: births only while
    it is online, NDEATH and a new session when it goes offline, and STATE
    older than the last one ignored."""

    @classmethod
    def setUpClass(cls):
        cls.pb = schema()

    def test_births_wait_for_the_host_and_end_with_it(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self, "--address", "1")
        watch = Watcher(self, broker, self.pb)
        gateway = Gateway(self, d, spb_config(broker, sim, 'primary_host_id = "scada"\n'))
        connected = "sparkplug: broker 127.0.0.1:%d: connected" % broker.port
        self.assertTrue(wait_until(lambda: connected in gateway.log(), 10), gateway.log())
        time.sleep(1.5)  # readings are polled all along
        self.assertEqual(watch.all(), [], gateway.log())
        t = int(time.time() * 1000)
        watch.state("scada", True, t)
        self.assertTrue(watch.wait(lambda: watch.all("DDATA")), gateway.log())
        self.assertEqual([k for k, _, _ in watch.all()[:2]], ["NBIRTH", "DBIRTH"])
        bdseq = metric(watch.all("NBIRTH")[0][2], "bdSeq").long_value
        # A late will of an older host session changes nothing.
        watch.state("scada", False, t - 1000)
        time.sleep(1)
        self.assertEqual(watch.all("NDEATH"), [])
        self.assertIn("older than the last one", gateway.log())
        # The host goes offline: NDEATH of that birth, and no more data.
        watch.state("scada", False, t + 1000)
        self.assertTrue(watch.wait(lambda: watch.all("NDEATH")), gateway.log())
        self.assertEqual(metric(watch.all("NDEATH")[0][2], "bdSeq").long_value, bdseq)
        time.sleep(1.5)  # the node is back on its one broker, waiting
        count = len(watch.all())
        self.assertEqual(watch.all()[-1][0], "NDEATH")
        # Back online: a new session's birth, the next bdSeq.
        watch.state("scada", True, t + 2000)
        self.assertTrue(watch.wait(lambda: len(watch.all("NBIRTH")) == 2), gateway.log())
        self.assertEqual(watch.all()[count][0], "NBIRTH")
        self.assertEqual(metric(watch.all("NBIRTH")[1][2], "bdSeq").long_value, (bdseq + 1) % 256)
        self.assertTrue(watch.wait(lambda: watch.all()[-1][0] == "DDATA"))
        check_seq(self, watch.all())


class Aliases(unittest.TestCase):
    """With aliases the births declare one per metric, unique in the node,
    and DDATA carries the alias alone; a DCMD may name a metric by it."""

    @classmethod
    def setUpClass(cls):
        cls.pb = schema()

    def test_data_and_commands_by_alias(self):
        d = folder(self)
        broker = Broker(self, d)
        sim = Sim(self, "--address", "1")
        watch = Watcher(self, broker, self.pb)
        Gateway(self, d, spb_config(broker, sim, "aliases = true\n", polls="rd = 100, rh = 100",
                                    writable=["hi"]))
        dev = "bus-a:boiler"
        self.assertTrue(watch.wait(lambda: len(watch.all("DDATA", dev)) > 4))
        birth = watch.all("DBIRTH", dev)[0][2]
        aliases = {m.name: m.alias for m in birth.metrics if m.HasField("alias")}
        self.assertEqual(set(aliases), {"rd", "rh"})
        self.assertEqual(len(set(aliases.values())), 2)
        for _, _, p in watch.all("DDATA", dev):
            for m in p.metrics:
                self.assertEqual(m.name, "")
                self.assertIn(m.alias, aliases.values())

        def rh_values():
            return [m.double_value for _, _, p in watch.all("DDATA", dev) for m in p.metrics
                    if m.alias == aliases["rh"]]
        payload = self.pb.Payload()
        payload.timestamp = int(time.time() * 1000)
        m = payload.metrics.add()
        m.alias, m.datatype, m.double_value = aliases["rh"], 10, 77.25
        watch.client.publish(ROOT + "DCMD/" + NODE + "/" + dev, payload.SerializeToString(),
                             qos=1).wait_for_publish(5)
        self.assertTrue(watch.wait(lambda: 77.25 in rh_values()))


class Failover(unittest.TestCase):
    """The node's connection goes through the broker list as the JSON one
    does: on to the next broker, with a new session there. The primary host
    is online on both with one STATE (the same timestamp), which the node
    takes again on the second."""

    @classmethod
    def setUpClass(cls):
        cls.pb = schema()

    def test_a_stopped_broker_is_left_for_the_next_with_the_next_bdseq(self):
        d = folder(self)
        os.makedirs(os.path.join(d, "second"))
        first = Broker(self, d)
        second = Broker(self, os.path.join(d, "second"))
        sim = Sim(self, "--address", "1")
        watch1 = Watcher(self, first, self.pb)
        watch2 = Watcher(self, second, self.pb)
        t = int(time.time() * 1000)
        watch1.state("scada", True, t)
        watch2.state("scada", True, t)
        hosts = 'hosts = ["127.0.0.1:%d", "127.0.0.1:%d"]\nconnect_timeout_s = 1\n' % (
            first.port, second.port)
        text = spb_config(1, sim, 'primary_host_id = "scada"\n', broker_lines=hosts).replace(
            'host = "127.0.0.1"\nport = 1\n', "")
        gateway = Gateway(self, d, text)
        self.assertTrue(watch1.wait(lambda: watch1.all("DDATA")), gateway.log())
        self.assertEqual(watch2.all(), [])
        bdseq = metric(watch1.all("NBIRTH")[0][2], "bdSeq").long_value
        first.stop()
        self.assertTrue(watch2.wait(lambda: watch2.all("DDATA"), 15), gateway.log())
        seen = watch2.all()
        self.assertEqual([k for k, _, _ in seen[:2]], ["NBIRTH", "DBIRTH"])
        self.assertEqual(metric(seen[0][2], "bdSeq").long_value, (bdseq + 1) % 256)
        check_seq(self, seen)


if __name__ == "__main__":
    unittest.main()
