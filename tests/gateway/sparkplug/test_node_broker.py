"""The Sparkplug B node's broker connection end to end, as the JSON session's
is in test_gateway.py and test_spool.py: a certificate without the
configured name is refused, and a broker whose name lookup never ends is
passed over within the connect time-out. Run from tests/gateway:
python3 -m unittest sparkplug.test_node_broker"""

import os
import unittest

from plant import (Broker, Gateway, SilentResolver, Sim, certificates, folder, free_port,
                   server_certificate, wait_until)
from test_gateway import config
from test_sparkplug import NODE, Watcher, schema

SECTION = '\n[sparkplug]\nenabled = true\ngroup_id = "plant1"\nedge_node_id = "%s"\n' % NODE


def links(sim):
    return [("bus", sim.target, [("1", "m", "rd = 200", [])])]


class NodeBroker(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.pb = schema()

    def test_the_certificate_must_carry_the_configured_name(self):
        d = folder(self)
        files = certificates(d)
        crt, key = server_certificate(d, files, "named", "DNS:localhost")
        tls_port = free_port()
        broker = Broker(self, d, "allow_anonymous true\nlistener %d 127.0.0.1\ncafile %s\n"
                        "certfile %s\nkeyfile %s\n" % (tls_port, files["ca.crt"], crt, key))
        sim = Sim(self)
        watch = Watcher(self, broker, self.pb)
        tls = 'tls_ca_file = "%s"\nconnect_timeout_s = 2\n' % files["ca.crt"]
        gateways = {}
        # The certificate names localhost, not 127.0.0.1.
        for name, host in (("right", "localhost"), ("wrong", "127.0.0.1")):
            os.makedirs(os.path.join(d, name))
            text = config(tls_port, links(sim), tls, client_id="gw-" + name) + SECTION
            gateways[name] = Gateway(self, os.path.join(d, name),
                                     text.replace('host = "127.0.0.1"', 'host = "%s"' % host))
        right, wrong = gateways["right"], gateways["wrong"]
        self.assertTrue(watch.wait(lambda: watch.all("NBIRTH")), right.log())
        self.assertIn("sparkplug: broker localhost:%d: connected as gw-right-spb" % tls_port,
                      right.log())
        refused = "sparkplug: broker 127.0.0.1:%d: " % tls_port
        self.assertTrue(wait_until(lambda: any(
            "qor-gateway: warning: " + refused in line and
            "certificate verify failed" in line for line in wrong.log().splitlines()), 10),
            wrong.log())
        self.assertNotIn("sparkplug: broker 127.0.0.1:%d: connected" % tls_port, wrong.log())
        self.assertEqual(len(watch.all("NBIRTH")), 1)

    def test_a_broker_whose_name_lookup_hangs_is_passed_over(self):
        d = folder(self)
        broker = Broker(self, d)
        resolver = SilentResolver(self, d)
        sim = Sim(self)
        watch = Watcher(self, broker, self.pb)
        hosts = 'hosts = ["broker.hangs.test:1883", "127.0.0.1:%d"]\nconnect_timeout_s = 1\n' % (
            broker.port)
        text = config(broker, links(sim), hosts).replace(
            'host = "127.0.0.1"\nport = %d\n' % broker.port, "") + SECTION
        gateway = Gateway(self, d, text, wrapper=resolver.wrapper)
        self.assertTrue(watch.wait(lambda: watch.all("DDATA"), 15), gateway.log())
        self.assertIn("sparkplug: broker broker.hangs.test:1883: cannot connect (name lookup: no "
                      "answer from the name lookup in time); trying 127.0.0.1:%d next"
                      % broker.port, gateway.log())
        self.assertEqual(gateway.stop(), 0)


if __name__ == "__main__":
    unittest.main()
