"""qor-gateway reloads: each setting a SIGHUP can change takes effect, as an
MQTT subscriber sees it, and nothing of the old setting lingers. A real
broker (two, for the broker change), real simulators and the real daemon,
all on 127.0.0.1 and stopped by PID."""

import os
import socket
import time
import unittest

from plant import Broker, Gateway, Sim, Subscriber, folder, wait_until

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


if __name__ == "__main__":
    unittest.main()
