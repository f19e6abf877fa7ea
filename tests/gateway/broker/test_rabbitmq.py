"""qor-gateway against RabbitMQ 3.10 and its MQTT plugin (3.1 and 3.1.1
only), the broker many plants already run: two nodes of the test's own,
joined in a cluster with the mirrored-queue policy of the README's
"Brokers" section, shared by the cases of the class, all on 127.0.0.1 and
stopped by their PIDs. Run from tests/gateway: python3 -m unittest
broker.test_rabbitmq (the ctest label rabbitmq)."""

import json
import os
import threading
import time
import unittest
import urllib.error
import urllib.request

import paho.mqtt.client as mqtt

from broker.rabbit import Cluster
from plant import Gateway, Sim, folder, free_port, wait_until
from test_gateway import PREFIX, config


class Subscriber311:
    """A paho client of MQTT 3.1.1 that records what it receives; with a
    client id its session (and queue) outlives its connection."""

    def __init__(self, testcase, port, topic, client_id=""):
        self.messages = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id=client_id, clean_session=not client_id,
                                  protocol=mqtt.MQTTv311)
        self.client.on_message = self._on_message
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
        self.client.reconnect_delay_set(0.1, 0.5)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        testcase.addCleanup(self.close)
        if not wait_until(lambda: self.client.is_connected(), 10):
            raise AssertionError("subscriber did not connect")
        time.sleep(0.3)  # the subscription is made

    def _on_message(self, client, userdata, msg):
        with self.lock:
            self.messages.append((msg.topic, msg.payload))

    def on(self, topic):
        with self.lock:
            found = [p for t, p in self.messages if t == topic]
        out = []
        for p in found:
            try:
                out.append(json.loads(p))
            except ValueError:
                out.append(p.decode(errors="replace"))
        return out

    def topics(self):
        with self.lock:
            return [t for t, _ in self.messages]

    def publish(self, topic, payload, retain=False):
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish(5)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def readyz(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/readyz" % port, timeout=5) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()
    except OSError:
        return 0, ""


class ClassCleanups:
    def __init__(self, cls):
        self.cls = cls

    def addCleanup(self, function, *args):
        self.cls.addClassCleanup(function, *args)


class RabbitMq(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.dir = folder(ClassCleanups(cls))
        started = time.monotonic()
        cls.cluster = Cluster(ClassCleanups(cls), cls.dir)
        cls.a = cls.cluster.node(1)
        cls.b = cls.cluster.node(2)
        cls.cluster.join(cls.b, cls.a)
        cls.cluster.mirror(cls.a)
        print("\nRabbitMQ cluster of two nodes up in %.1f s" % (time.monotonic() - started))

    def gateway(self, name, port, extra="", broker_lines="", polls="rd = 100", writable=()):
        d = os.path.join(self.dir, name)
        os.makedirs(d)
        sim = Sim(self)
        links = [("bus", sim.target, [("1", "m", polls, list(writable))])]
        text = config(port, links, broker_lines, client_id=name) + extra
        if "hosts" in broker_lines:
            text = text.replace('host = "127.0.0.1"\nport = %d\n' % port, "")
        return Gateway(self, d, text)

    def readings(self, sub, name="m"):
        return [p for p in sub.on(PREFIX + "/bus/%s/rd" % name) if isinstance(p, dict)]

    def test_auto_falls_back_to_311_and_readings_and_results_flow(self):
        sub = Subscriber311(self, self.b.mqtt_port, PREFIX + "/#")
        gateway = self.gateway("gw-auto", self.b.mqtt_port, writable=["hi"])
        self.assertTrue(wait_until(lambda: len(self.readings(sub)) >= 10, 30), gateway.log())
        self.assertIn("turned an MQTT 5 CONNECT away before answering it; trying MQTT 3.1.1",
                      gateway.log())
        self.assertIn("connected as gw-auto (MQTT 3.1.1)", gateway.log())
        got = self.readings(sub)
        self.assertEqual([p["seq"] for p in got], list(range(1, len(got) + 1)))
        self.assertEqual({p["value"] for p in got}, {72.1})
        sub.publish(PREFIX + "/bus/m/set/hi", '{"value": 90}')
        result = wait_until(lambda: sub.on(PREFIX + "/bus/m/set/hi/result"), 10)
        self.assertTrue(result, gateway.log())
        self.assertIs(sub.on(PREFIX + "/bus/m/set/hi/result")[0]["ok"], True)

    def test_mqtt5_alone_names_the_cause(self):
        http = free_port()
        gateway = self.gateway("gw-five", self.b.mqtt_port, broker_lines='protocol = "5"\n',
                               extra='\n[http]\nlisten = "127.0.0.1:%d"\n' % http)
        cause = "it may not speak MQTT 5 (protocol = \"3.1.1\")"
        self.assertTrue(wait_until(lambda: cause in gateway.log(), 20), gateway.log())
        self.assertTrue(wait_until(lambda: cause in readyz(http)[1], 10), readyz(http))
        self.assertEqual(readyz(http)[0], 503)

    def test_sparkplug_says_the_namespace_is_mapped(self):
        """A host's live STATE (and any command) reaches the node as
        spBv1/0/...: said, not dropped without a word."""
        http = free_port()
        sub = Subscriber311(self, self.b.mqtt_port, "#")
        gateway = self.gateway(
            "gw-spb", self.b.mqtt_port,
            extra='\n[http]\nlisten = "127.0.0.1:%d"\n[sparkplug]\nenabled = true\n'
                  'group_id = "g"\nprimary_host_id = "scada"\n' % http)
        said = "it maps \".\" in topic names to \"/\" (RabbitMQ does)"

        def state_said():
            if "sparkplug: session with bdSeq" in gateway.log():
                sub.publish("spBv1.0/STATE/scada",
                            json.dumps({"online": True, "timestamp": int(time.time() * 1000)}))
            return said in gateway.log()
        self.assertTrue(wait_until(state_said, 30, step=1), gateway.log())
        self.assertIn("spBv1/0/STATE/scada", gateway.log())
        self.assertTrue(wait_until(lambda: "cannot carry Sparkplug B" in readyz(http)[1], 10),
                        readyz(http))
        self.assertNotIn("NBIRTH", " ".join(sub.topics()))

    def test_the_spool_keeps_every_reading_across_a_broker_stop(self):
        sub = Subscriber311(self, self.b.mqtt_port, PREFIX + "/bus/m/rd", client_id="sub-spool")
        gateway = self.gateway("gw-spool", self.b.mqtt_port, polls="rd = 50")
        self.assertTrue(wait_until(lambda: len(self.readings(sub)) >= 5, 30), gateway.log())
        self.cluster.ctl(self.b, "stop_app")
        time.sleep(2)  # readings taken meanwhile wait in the spool
        self.cluster.ctl(self.b, "start_app")
        self.b.wait_mqtt()
        seen = len(self.readings(sub))
        self.assertTrue(wait_until(lambda: len(self.readings(sub)) >= seen + 20, 60),
                        gateway.log())
        seqs = sorted({p["seq"] for p in self.readings(sub)})
        self.assertEqual(seqs, list(range(1, seqs[-1] + 1)))

    def test_failover_across_the_cluster_loses_no_reading(self):
        """The node the gateway is connected to is killed; with the mirrored
        policy the other takes it within seconds. Last: it kills node a."""
        sub = Subscriber311(self, self.b.mqtt_port, PREFIX + "/bus/m/rd", client_id="sub-fail")
        hosts = 'hosts = ["127.0.0.1:%d", "127.0.0.1:%d"]\nconnect_timeout_s = 2\n' % (
            self.a.mqtt_port, self.b.mqtt_port)
        gateway = self.gateway("gw-failover", 1, broker_lines=hosts, polls="rd = 50")
        self.assertTrue(wait_until(lambda: len(self.readings(sub)) >= 10, 30), gateway.log())
        self.assertIn("broker 127.0.0.1:%d: connected as gw-failover" % self.a.mqtt_port,
                      gateway.log())
        seen = len(self.readings(sub))
        killed = time.monotonic()
        self.a.kill()
        self.assertTrue(wait_until(lambda: len(self.readings(sub)) >= seen + 20, 60),
                        gateway.log())
        print("\nreadings through the other node %.1f s after the kill"
              % (time.monotonic() - killed))
        seqs = sorted({p["seq"] for p in self.readings(sub)})
        self.assertEqual(seqs, list(range(1, seqs[-1] + 1)))
        self.assertIn("broker 127.0.0.1:%d: connected as gw-failover" % self.b.mqtt_port,
                      gateway.log())


def load_tests(loader, tests, pattern):
    """The failover case kills a node of the shared cluster: it runs last."""
    names = sorted(loader.getTestCaseNames(RabbitMq), key=lambda n: "failover" in n)
    return unittest.TestSuite(RabbitMq(name) for name in names)


if __name__ == "__main__":
    unittest.main()
