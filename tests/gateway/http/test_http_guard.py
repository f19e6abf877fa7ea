"""qor-gateway's HTTP server against hostile and careless clients, end to
end: slow connections (plain and TLS) that may hold neither /healthz nor a
stop, the TLS versions and suites openssl s_client gets, TLS and users files
that --check and a reload refuse, and logins that tell no names apart and
slow guessing down. Real gateway, broker and simulator, all on 127.0.0.1;
the slow clients come from 127.0.0.2, the way another host's would."""

import base64
import http.client
import os
import select
import socket
import ssl
import subprocess
import time
import unittest

from plant import Broker, Gateway, Sim, folder, free_port, wait_until
from test_gateway import config
from test_http import crypt_hash

DEADLINE_S = 10  # for a request, as qor-gateway(1) says
FLUSH_S = 1


def openssl(*args):
    return subprocess.run(["openssl"] + list(args), capture_output=True, text=True, timeout=30)


def certificate(d, name, *extra):
    """A self-signed certificate for 127.0.0.1 and its key: (cert, key)."""
    cert, key = os.path.join(d, name + ".crt"), os.path.join(d, name + ".key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-days", "2", "-subj", "/CN=127.0.0.1",
            "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert,
            *(extra or ("-nodes",)))
    return cert, key


def gateway(testcase, d, broker, sim, port, http_lines):
    os.makedirs(d, exist_ok=True)
    text = config(broker, [("bus", sim.target, [("1", "boiler", "rd = 500", [])])],
                  client_id="gw-http-%d" % port, flush_timeout_s=FLUSH_S)
    return Gateway(testcase, d, text + '\n[http]\nlisten = "127.0.0.1:%d"\n%s' % (port, http_lines))


def connect(port, cert, source="127.0.0.1", timeout=5):
    """An HTTP(S) connection from the loopback address source."""
    if cert:
        context = ssl.create_default_context(cafile=cert)
        return http.client.HTTPSConnection("127.0.0.1", port, context=context,
                                           source_address=(source, 0), timeout=timeout)
    return http.client.HTTPConnection("127.0.0.1", port, source_address=(source, 0),
                                      timeout=timeout)


def get(connection, path="/healthz", auth=None):
    """(status, body) of a GET, with basic authentication as "name:password"."""
    headers = {"Authorization": "Basic " + base64.b64encode(auth.encode()).decode()} if auth else {}
    connection.request("GET", path, headers=headers)
    reply = connection.getresponse()
    return reply.status, reply.read().decode()


def answers(port, cert=None, path="/healthz", source="127.0.0.1", auth=None):
    connection = connect(port, cert, source)
    try:
        return get(connection, path, auth)
    finally:
        connection.close()


def healthy(port, cert):
    try:
        return answers(port, cert)[0] == 200
    except OSError:
        return False


class ClassScope:
    """What plant.py's helpers need of a test case, for a whole class."""

    def __init__(self, cls):
        self.addCleanup = cls.addClassCleanup


def hold(port, first, count):
    """count connections from 127.0.0.2 that send first and no more."""
    held = []
    for _ in range(count):
        s = socket.socket()
        s.bind(("127.0.0.2", 0))
        s.connect(("127.0.0.1", port))
        s.sendall(first)
        held.append(s)
    return held


def closed(s):
    if select.select([s], [], [], 0)[0]:
        try:
            return s.recv(4096) == b""
        except OSError:
            return True
    return False


class SlowClients(unittest.TestCase):
    def test_64_slow_connections_hold_neither_healthz_nor_a_stop(self):
        d = folder(self)
        broker, sim = Broker(self, d), Sim(self)
        cert, key = certificate(d, "server")
        ports = {"http": free_port(), "https": free_port()}
        gateways = {
            "http": gateway(self, os.path.join(d, "http"), broker, sim, ports["http"], ""),
            "https": gateway(self, os.path.join(d, "https"), broker, sim, ports["https"],
                             'tls_cert_file = "%s"\ntls_key_file = "%s"\n' % (cert, key)),
        }
        certs = {"http": None, "https": cert}
        for name, port in ports.items():
            self.assertTrue(wait_until(lambda: healthy(port, certs[name]), 10),
                            gateways[name].log())
        # One client's 64 connections: headers that never end, a TLS
        # handshake that never starts.
        held = {"http": hold(ports["http"], b"GET / HTTP/1.1\r\nHost: 127", 64),
                "https": hold(ports["https"], b"", 64)}
        for name, port in ports.items():
            self.assertEqual(answers(port, certs[name]), (200, "ok\n"), name)
        everything = held["http"] + held["https"]
        self.assertTrue(wait_until(lambda: all(closed(s) for s in everything), DEADLINE_S + 10))
        # A stop with slow connections held ends within its bound.
        for name, port in ports.items():
            held[name] = hold(port, b"POST /api/command HTTP/1.1\r\nContent-Length: 99\r\n\r\n{",
                              8)
            began = time.monotonic()
            self.assertEqual(gateways[name].stop(), 0)
            self.assertLess(time.monotonic() - began, FLUSH_S + 2, name)
        for s in held["http"] + held["https"] + everything:
            s.close()


class Https(unittest.TestCase):
    """One HTTPS gateway with a user, shared by the cases."""

    @classmethod
    def setUpClass(cls):
        scope = ClassScope(cls)
        cls.dir = folder(scope)
        broker, sim = Broker(scope, cls.dir), Sim(scope)
        cls.cert, cls.key = certificate(cls.dir, "server")
        cls.users = os.path.join(cls.dir, "users")
        with open(cls.users, "w") as f:
            f.write("anna:%s\n" % crypt_hash("secret"))
        cls.port = free_port()
        cls.lines = 'tls_cert_file = "%s"\ntls_key_file = "%s"\nusers_file = "%s"\n' % (
            cls.cert, cls.key, cls.users)
        cls.gateway = gateway(scope, cls.dir, broker, sim, cls.port, cls.lines)
        if not wait_until(lambda: healthy(cls.port, cls.cert), 10):
            raise AssertionError(cls.gateway.log())

    def test_tls_1_2_with_ecdhe_and_aead_and_tls_1_3_only(self):
        cases = [
            (["-tls1_3"], "TLSv1.3"),
            (["-tls1_2", "-cipher", "ECDHE-RSA-AES256-GCM-SHA384"], "ECDHE-RSA-AES256-GCM-SHA384"),
            (["-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"], None),
            (["-tls1_2", "-cipher", "AES256-GCM-SHA384"], None),  # RSA key exchange
            (["-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA:@SECLEVEL=0"], None),  # CBC, SHA-1
        ]
        for args, got in cases:
            out = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % self.port]
                                 + args, input="", capture_output=True, text=True, timeout=30).stdout
            line = [l for l in out.splitlines() if l.startswith("New, ")]
            self.assertTrue(line, out)
            self.assertIn(got or "Cipher is (NONE)", line[0], args)

    def test_an_unknown_name_is_answered_in_the_time_of_a_known_one(self):
        # 40 tries of each name, taken in turn, each pair from an address of
        # its own (no pause for failures), each timed on a connection whose
        # handshake is done. The fastest try of each, the one the rest of
        # the machine disturbed least, are within a factor of two; without
        # the dummy hash an unknown name is answered some five times faster.
        times = {"anna": [], "bob": []}
        for i in range(40):
            for name in times:
                connection = connect(self.port, self.cert, "127.0.4.%d" % (i + 1))
                for _ in range(2):
                    began = time.perf_counter()
                    self.assertEqual(get(connection, "/api/state", name + ":guess")[0], 401)
                connection.close()
                times[name].append(time.perf_counter() - began)
        ratio = min(times["anna"]) / min(times["bob"])
        self.assertTrue(0.5 < ratio < 2, times)

    def test_a_guessing_client_is_paused_and_no_one_else(self):
        source = "127.0.5.1"
        statuses = [answers(self.port, self.cert, "/api/state", source, "anna:guess%d" % i)[0]
                    for i in range(11)]
        self.assertEqual(statuses, [401] * 10 + [429])
        self.assertEqual(answers(self.port, self.cert, "/api/state", source, "anna:secret")[0], 429)
        self.assertEqual(answers(self.port, self.cert, "/api/state", "127.0.5.2", "anna:secret")[0],
                         200)

    def test_files_that_cannot_serve_are_refused_by_check_and_by_a_reload(self):
        other_cert, other_key = certificate(self.dir, "other")
        _, locked_key = certificate(self.dir, "locked", "-passout", "pass:secret")
        crlf = os.path.join(self.dir, "crlf-users")
        with open(crlf, "w", newline="") as f:
            f.write("anna:%s\r\n" % crypt_hash("secret"))
        cases = [
            ((self.cert, other_key, self.users), "is not the key of the certificate"),
            ((self.cert, locked_key, self.users), "no PEM private key without a pass phrase"),
            ((self.cert, self.cert, self.users), "no PEM private key"),
            ((self.cert, self.key, crlf), ":1: ends in a carriage return"),
        ]
        text = open(self.gateway.config).read()
        for files, reason in cases:
            lines = 'tls_cert_file = "%s"\ntls_key_file = "%s"\nusers_file = "%s"\n' % files
            self.gateway.write(text.replace(self.lines, lines))
            check = subprocess.run([self.gateway.path, "--check", self.gateway.config],
                                   capture_output=True, text=True)
            self.assertEqual(check.returncode, 1, check.stdout)
            self.assertIn(reason, check.stderr)
            before = self.gateway.log().count("reload refused")
            self.gateway.reload()
            self.assertTrue(wait_until(
                lambda: self.gateway.log().count("reload refused") > before, 10))
            self.assertIn(reason, self.gateway.log().split("reload refused")[-1])
        self.gateway.write(text)
        self.assertEqual(answers(self.port, self.cert, "/api/state", "127.0.6.1",
                                 "anna:secret")[0], 200)


if __name__ == "__main__":
    unittest.main()
