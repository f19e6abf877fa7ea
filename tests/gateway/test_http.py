"""qor-gateway's HTTP side end to end: /metrics, /api/state, the health
checks, authentication, commands from HTTP and bad clients, against a real
broker, real simulators and the real daemon, all on 127.0.0.1."""

import base64
import json
import os
import shutil
import socket
import subprocess
import time
import unittest
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from plant import Broker, Gateway, Sim, Subscriber, folder, free_port, wait_until
from test_gateway import ID, PREFIX, config

PASSWORD = "s3cret pass"


def crypt_hash(password):
    """A SHA-512 crypt(3) hash, as mkpasswd -m sha-512 makes it."""
    out = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password.encode(),
                         capture_output=True, check=True)
    return out.stdout.decode().strip()


def http_config(broker, links, port, **http):
    text = config(broker, links) + '\n[http]\nlisten = "127.0.0.1:%d"\n' % port
    return text + "".join("%s = %s\n" % item for item in http.items())


class Http:
    def __init__(self, port, user=None, password=None):
        self.base = "http://127.0.0.1:%d" % port
        self.auth = None
        if user is not None:
            self.auth = "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()

    def request(self, path, body=None, method=None, headers=None):
        """(status, headers, body text); 4xx and 5xx are answers too."""
        req = urllib.request.Request(self.base + path, data=body, method=method,
                                     headers=dict(headers or {}))
        if self.auth:
            req.add_header("Authorization", self.auth)
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return r.status, r.headers, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read().decode()

    def get(self, path):
        return self.request(path)

    def metrics(self):
        status, headers, text = self.get("/metrics")
        assert status == 200, (status, text)
        assert headers["Content-Type"].startswith("text/plain; version=0.0.4"), headers
        samples = {}
        for family in text_string_to_metric_families(text):
            for s in family.samples:
                samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
        return text, samples

    def command(self, link, module, command, payload):
        body = json.dumps({"link": link, "module": module, "command": command,
                           "payload": payload}).encode()
        return self.request("/api/command", body, "POST", {"Content-Type": "application/json"})


def labels(**kv):
    return tuple(sorted(kv.items()))


class Plant(unittest.TestCase):
    """Two links, three modules, the HTTP server on a free port."""

    http = {}

    def setUp(self):
        self.dir = folder(self)
        self.broker = Broker(self, self.dir)
        self.sim_a = Sim(self, "--address", "1", "--address", "2")
        self.sim_b = Sim(self)
        self.sub = Subscriber(self, self.broker, PREFIX + "/#")
        self.port = free_port()
        links = [
            ("bus-a", self.sim_a.target, [
                ("1", "boiler", 'rd = { query = "rd", interval_ms = 100, unit = "°C" }', ["hi"]),
                ("2", "pump", "rd = 150", [])]),
            ("bus-b", self.sim_b.target, [("1", "tank", "rd = 100, re = 200", [])]),
        ]
        self.gateway = Gateway(self, self.dir, http_config(self.broker, links, self.port,
                                                           **self.http_settings()))
        self.client = Http(self.port, *self.credentials())
        self.assertTrue(wait_until(lambda: self.answers(), 10), self.gateway.log())

    def http_settings(self):
        return {}

    def credentials(self):
        return ()

    def answers(self):
        try:
            return Http(self.port).get("/healthz")[0] == 200
        except OSError:
            return False

    def topic(self, *parts):
        return "/".join((PREFIX,) + parts)


class Metrics(Plant):
    def test_scrape_is_valid_counters_grow_and_values_match_mqtt(self):
        self.assertIsNotNone(self.sub.wait_for(self.topic("bus-b", "tank", "re")))
        text, first = self.client.metrics()
        for name in ("qor_gateway_readings_total", "qor_gateway_module_up",
                     "qor_gateway_poll_duration_seconds", "qor_gateway_link_reconnects_total",
                     "qor_gateway_mqtt_connected", "qor_gateway_queue_messages",
                     "qor_gateway_dropped_total", "qor_gateway_delivered_total",
                     "qor_gateway_spool_enabled", "qor_gateway_spool_bytes",
                     "qor_gateway_spool_messages", "qor_gateway_spool_oldest_unsent_age_seconds",
                     "qor_gateway_spooled_total", "qor_gateway_spool_write_failures_total",
                     "qor_gateway_spool_writable", "qor_gateway_spool_resets_total"):
            self.assertIn("# HELP %s " % name, text)
            self.assertIn("# TYPE %s " % name, text)
        promtool = shutil.which("promtool")
        if promtool:
            check = subprocess.run([promtool, "check", "metrics"], input=text.encode(),
                                   capture_output=True)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        else:
            print("promtool not installed: the scrape is checked with the Python parser only")
        self.assertEqual(first[("qor_gateway_mqtt_connected", ())], 1)
        boiler = labels(link="bus-a", module="boiler")
        self.assertEqual(first[("qor_gateway_module_up", boiler)], 1)
        ok = ("qor_gateway_readings_total",
              labels(link="bus-a", module="boiler", query="rd", outcome="ok"))
        time.sleep(0.5)
        _, second = self.client.metrics()
        for key, value in first.items():
            if key[0].endswith("_total") or key[0].endswith("_bucket") or key[0].endswith("_count"):
                self.assertGreaterEqual(second[key], value, key)
        self.assertGreater(second[ok], first[ok])
        # What was counted was published: the subscriber gets every reading
        # the scrape counted, and the values agree.
        topic = self.topic("bus-a", "boiler", "rd")
        self.assertTrue(wait_until(lambda: len(self.sub.on(topic)) >= second[ok], 10))
        value = ("qor_gateway_reading_value", labels(link="bus-a", module="boiler", query="rd"))
        self.assertEqual(second[value], self.sub.last(topic)["value"])
        tank = ("qor_gateway_reading_value", labels(link="bus-b", module="tank", query="re"))
        self.assertIn(second[tank], [p["value"] for p in self.sub.on(self.topic("bus-b", "tank", "re"))])
        histogram = ("qor_gateway_poll_duration_seconds_count", labels(link="bus-a"))
        self.assertGreater(second[histogram], 0)
        # The spool's figures: in use, writable, and every reading the
        # subscriber got went through it and was acknowledged.
        spool = {name: second[(name, ())] for name in (
            "qor_gateway_spool_enabled", "qor_gateway_spool_writable",
            "qor_gateway_spool_write_failures_total", "qor_gateway_spool_resets_total",
            "qor_gateway_spooled_total", "qor_gateway_delivered_total")}
        self.assertEqual(spool["qor_gateway_spool_enabled"], 1)
        self.assertEqual(spool["qor_gateway_spool_writable"], 1)
        self.assertEqual(spool["qor_gateway_spool_write_failures_total"], 0)
        self.assertEqual(spool["qor_gateway_spool_resets_total"], 0)
        self.assertGreaterEqual(spool["qor_gateway_spooled_total"],
                                spool["qor_gateway_delivered_total"])
        self.assertGreater(second[("qor_gateway_delivered_total", ())],
                           first[("qor_gateway_delivered_total", ())])

    def test_state_tells_modules_links_and_events_and_a_silent_module_goes_offline(self):
        status, headers, body = self.client.get("/api/state")
        self.assertEqual((status, headers["Content-Type"]), (200, "application/json"))
        # Each link polls on its own: both must have read once (a busy
        # machine may take a while).
        self.assertTrue(wait_until(lambda: self.module("bus-b", "tank")["availability"] == "online"
                                   and self.module("bus-a", "boiler")["queries"][0]["value"]
                                   is not None, 15))
        state = json.loads(self.client.get("/api/state")[2])
        self.assertEqual(state["gateway"]["client_id"], ID)
        self.assertEqual([l["name"] for l in state["links"]], ["bus-a", "bus-b"])
        self.assertEqual(state["links"][0]["state"], "up")
        boiler = self.module("bus-a", "boiler")
        self.assertEqual((boiler["queries"][0]["value"], boiler["queries"][0]["unit"]), (72.1, "°C"))
        self.assertLess(boiler["queries"][0]["age_s"], 5)
        self.assertGreater(boiler["queries"][0]["seq"], 0)
        self.sim_b.stop()
        self.assertTrue(wait_until(lambda: self.module("bus-b", "tank")["availability"] == "offline", 10))
        state = json.loads(self.client.get("/api/state")[2])
        kinds = [e["kind"] for e in state["events"]]
        self.assertIn("module_offline", kinds)
        self.assertNotEqual(state["links"][1]["last_failure"], "")
        self.assertIn("outcome", self.module("bus-b", "tank")["queries"][0])

    def module(self, link, name):
        state = json.loads(self.client.get("/api/state")[2])
        found = [m for l in state["links"] if l["name"] == link for m in l["modules"]
                 if m["name"] == name]
        return found[0]

    def test_ready_follows_the_broker_and_health_does_not(self):
        self.assertTrue(wait_until(lambda: self.client.get("/readyz")[0] == 200, 5))
        self.broker.stop()
        self.assertTrue(wait_until(lambda: self.client.get("/readyz")[0] == 503, 10))
        self.assertIn("broker not connected", self.client.get("/readyz")[2])
        self.assertEqual(self.client.get("/healthz")[0], 200)
        self.broker.start()
        self.assertTrue(wait_until(lambda: self.client.get("/readyz")[0] == 200, 15))

    def test_commands_are_refused_without_commands_true(self):
        status, _, body = self.client.command("bus-a", "boiler", "hi", {"value": 100})
        self.assertEqual(status, 403, body)


class BadClients(Plant):
    """Bad requests get 4xx, and polling and publishing go on throughout."""

    def http_settings(self):
        return {"max_connections": 32}

    def raw(self, data, timeout=5):
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            reply = b""
            try:
                while True:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    reply += chunk
            except (socket.timeout, ConnectionResetError):
                pass
        return reply

    def test_bad_requests_get_4xx_and_readings_keep_flowing(self):
        topic = self.topic("bus-a", "boiler", "rd")
        self.assertIsNotNone(self.sub.wait_for(topic))
        cases = [
            (b"GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", b" 404 "),
            (b"GET /../../etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", b" 404 "),
            (b"DELETE /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", b" 405 "),
            (b"POST /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}", b" 405 "),
            (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + b"a" * 100000 + b"\r\n\r\n", b" 431 "),
            # Another site's name (DNS rebinding) gets nothing without a login.
            (b"GET /api/state HTTP/1.1\r\nHost: rebound.example:%d\r\nConnection: close\r\n\r\n" % self.port, b" 421 "),
            (b"GET /api/state HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", b" 200 "),
            (b"GARBAGE\r\n\r\n", None),  # no request line: closed, or 400
        ]
        for request, expected in cases:
            reply = self.raw(request)
            status_line = reply.split(b"\r\n")[0] + b" "
            if expected is None:
                self.assertTrue(reply == b"" or b" 400 " in status_line, reply[:80])
            else:
                self.assertIn(expected, status_line, (request[:40], reply[:80]))
        # Slow clients that never finish their headers, and a flood of
        # connections past the limit.
        slow = []
        for _ in range(20):
            s = socket.create_connection(("127.0.0.1", self.port))
            s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            slow.append(s)
        flood = []
        try:
            for _ in range(1000):
                try:
                    flood.append(socket.create_connection(("127.0.0.1", self.port), timeout=2))
                except OSError:
                    break
        finally:
            before = len(self.sub.on(topic))
            time.sleep(1.5)
            for s in flood + slow:
                s.close()
        self.assertGreater(len(self.sub.on(topic)), before + 5, "polling stalled")
        self.assertTrue(wait_until(lambda: self.client.get("/healthz")[0] == 200, 15))
        self.assertEqual(self.client.get("/metrics")[0], 200)
        # No reading lost: every sequence number arrived, in order.
        seqs = [p["seq"] for p in self.sub.on(topic)]
        self.assertEqual(seqs, list(range(1, len(seqs) + 1)))
        self.assertEqual(self.gateway.proc.poll(), None)


class Authentication(Plant):
    def http_settings(self):
        users = os.path.join(self.dir, "users")
        with open(users, "w") as f:
            f.write("# operators\nanna:%s\n" % crypt_hash(PASSWORD))
        return {"users_file": '"users"', "commands": "true"}

    def credentials(self):
        return ("anna", PASSWORD)

    def test_wrong_or_missing_credentials_get_401(self):
        for client in (Http(self.port), Http(self.port, "anna", "wrong"),
                       Http(self.port, "bob", PASSWORD)):
            for path in ("/", "/metrics", "/api/state"):
                status, headers, _ = client.get(path)
                self.assertEqual(status, 401, path)
                self.assertIn("Basic", headers["WWW-Authenticate"])
        self.assertEqual(Http(self.port).get("/healthz")[0], 200)
        for path in ("/", "/metrics", "/api/state"):
            self.assertEqual(self.client.get(path)[0], 200, path)

    def test_commands_go_through_the_allow_list_and_are_logged_with_the_user(self):
        status, _, body = self.client.command("bus-a", "boiler", "hi", {"value": 100.5})
        self.assertEqual(status, 202, body)
        result = self.sub.wait_for(self.topic("bus-a", "boiler", "set", "hi", "result"))
        self.assertIs(result["ok"], True, result)
        status, _, body = self.client.command("bus-a", "pump", "hi", {"value": 1})
        self.assertEqual(status, 422)
        self.assertIn("not writable", json.loads(body)["error"])
        status, _, body = self.client.command("bus-a", "boiler", "hi", {"value": "x"})
        self.assertEqual(status, 422, body)
        # Not JSON: a form from another site cannot send it.
        status, _, _ = self.client.request("/api/command", b"link=bus-a", "POST",
                                           {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(status, 415)
        status, _, _ = Http(self.port).command("bus-a", "boiler", "hi", {"value": 1})
        self.assertEqual(status, 401)
        log = self.gateway.log()
        self.assertIn('user "anna" sent hi to bus-a/boiler: accepted', log)
        self.assertIn('user "anna" sent hi to bus-a/pump: refused', log)
        state = json.loads(self.client.get("/api/state")[2])
        self.assertIn("refused", [e["kind"] for e in state["events"]])


class Tls(Plant):
    def http_settings(self):
        if not shutil.which("openssl"):
            raise unittest.SkipTest("openssl not installed")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-keyout", os.path.join(self.dir, "key.pem"),
                        "-out", os.path.join(self.dir, "cert.pem")], check=True,
                       capture_output=True)
        return {"tls_cert_file": '"cert.pem"', "tls_key_file": '"key.pem"'}

    def answers(self):
        import ssl
        context = ssl.create_default_context(cafile=os.path.join(self.dir, "cert.pem"))
        context.check_hostname = False
        try:
            with urllib.request.urlopen("https://127.0.0.1:%d/healthz" % self.port,
                                        context=context, timeout=5) as r:
                self.tls_ok = r.status == 200
                return True
        except OSError:
            return False

    def test_https_answers_and_plain_http_does_not(self):
        self.assertTrue(self.tls_ok)
        with self.assertRaises(Exception):
            Http(self.port).get("/healthz")


if __name__ == "__main__":
    unittest.main()
