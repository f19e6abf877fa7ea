"""RabbitMQ nodes with their MQTT plugin, as processes of the test's own: each
node has its own name, ports on 127.0.0.1, data folder, configuration and
log, an Erlang port mapper of the test's own on a free port (so nothing of
the machine's is used or left running), and is stopped by its PID, never
through the system's service. Debian's rabbitmq-server (scripts/setup.sh
installs it for the test set)."""

import os
import signal
import subprocess
import unittest

from plant import free_port, stop_process, wait_until

SERVER = "/usr/lib/rabbitmq/bin/rabbitmq-server"
CTL = "/usr/lib/rabbitmq/bin/rabbitmqctl"
EPMD = "/usr/bin/epmd"

# The policy failover needs: the MQTT plugin keeps each client's QoS 1
# subscription in a queue on one node; mirrored to every node, the
# surviving node takes the client at once (README, "Brokers").
MIRRORED = ("ha-mqtt", "^mqtt-subscription-",
            '{"ha-mode": "all", "ha-sync-mode": "automatic"}')


def available():
    if not all(os.access(p, os.X_OK) for p in (SERVER, CTL, EPMD)):
        raise unittest.SkipTest("rabbitmq-server is not installed (scripts/setup.sh installs it)")


class Cluster:
    """One folder, one Erlang cookie and one port mapper for its nodes."""

    def __init__(self, testcase, folder):
        available()
        self.folder = folder
        self.epmd_port = free_port()
        self.epmd = subprocess.Popen([EPMD, "-port", str(self.epmd_port)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL)
        testcase.addCleanup(stop_process, self.epmd)
        with open(os.path.join(folder, ".erlang.cookie"), "w") as f:
            f.write("QORTESTCOOKIE")
        os.chmod(os.path.join(folder, ".erlang.cookie"), 0o400)
        self.nodes = []
        self.testcase = testcase

    def env(self):
        return dict(os.environ, HOME=self.folder, ERL_EPMD_PORT=str(self.epmd_port),
                    RABBITMQ_CTL_ERL_ARGS="", LANG="C.UTF-8", LC_ALL="C.UTF-8")

    def ctl(self, node, *args, check=True, timeout=300):
        run = subprocess.run([CTL, "-n", node.name] + list(args), env=self.env(),
                             capture_output=True, text=True, timeout=timeout)
        if check and run.returncode != 0:
            raise AssertionError("rabbitmqctl %s: %s%s" % (" ".join(args), run.stdout,
                                                          run.stderr))
        return run.stdout

    def node(self, index):
        node = Node(self, index)
        self.nodes.append(node)
        self.testcase.addCleanup(node.stop)
        return node

    def join(self, node, first):
        self.ctl(node, "stop_app")
        self.ctl(node, "join_cluster", first.name)
        self.ctl(node, "start_app")
        node.wait_mqtt()

    def mirror(self, node):
        name, pattern, definition = MIRRORED
        self.ctl(node, "set_policy", name, pattern, definition, "--apply-to", "queues")


class Node:
    """A node whose MQTT listener is on ``mqtt_port``."""

    def __init__(self, cluster, index):
        self.cluster = cluster
        self.name = "qor%d-%d@localhost" % (index, cluster.epmd_port)
        self.mqtt_port = free_port()
        self.amqp_port = free_port()
        self.dist_port = free_port()
        self.dir = os.path.join(cluster.folder, "node%d" % index)
        os.makedirs(self.dir, exist_ok=True)
        with open(os.path.join(self.dir, "rabbitmq.conf"), "w") as f:
            f.write("listeners.tcp.default = 127.0.0.1:%d\n"
                    "mqtt.listeners.tcp.default = 127.0.0.1:%d\n"
                    "mqtt.allow_anonymous = true\n"
                    "loopback_users = none\n" % (self.amqp_port, self.mqtt_port))
        with open(os.path.join(self.dir, "enabled_plugins"), "w") as f:
            f.write("[rabbitmq_mqtt].\n")
        self.proc = None
        self.start()

    def env(self):
        return dict(self.cluster.env(), RABBITMQ_NODENAME=self.name,
                    RABBITMQ_NODE_IP_ADDRESS="127.0.0.1", RABBITMQ_NODE_PORT=str(self.amqp_port),
                    RABBITMQ_DIST_PORT=str(self.dist_port),
                    RABBITMQ_CONFIG_FILE=os.path.join(self.dir, "rabbitmq"),
                    RABBITMQ_ENABLED_PLUGINS_FILE=os.path.join(self.dir, "enabled_plugins"),
                    RABBITMQ_MNESIA_BASE=os.path.join(self.dir, "mnesia"),
                    RABBITMQ_LOG_BASE=os.path.join(self.dir, "log"),
                    RABBITMQ_PID_FILE=os.path.join(self.dir, "pid"),
                    # The VM in place of the script: its PID is the node's.
                    RUNNING_UNDER_SYSTEMD="true")

    def start(self):
        self.log = open(os.path.join(self.dir, "server.log"), "ab")
        self.proc = subprocess.Popen([SERVER], env=self.env(), stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.wait_mqtt()

    def wait_mqtt(self, timeout=90):
        import socket

        def accepts():
            if self.proc.poll() is not None:
                return True
            try:
                with socket.create_connection(("127.0.0.1", self.mqtt_port), timeout=0.2):
                    return True
            except OSError:
                return False
        if not wait_until(accepts, timeout, step=0.2) or self.proc.poll() is not None:
            self.log.flush()
            raise AssertionError("RabbitMQ node %s did not start: %s" % (
                self.name, open(self.log.name, "rb").read()[-3000:].decode(errors="replace")))

    def kill(self):
        """As a crash: SIGKILL, no goodbye to the cluster."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()
        self.proc = None
        self.log.close()

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc, timeout=60)
            self.proc = None
            self.log.close()

