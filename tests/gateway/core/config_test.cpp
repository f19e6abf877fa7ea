// The configuration file: a full example is read as written, and every kind
// of mistake is refused with its line and a reason.
#include "gateway/core/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "gateway/core/section_reader.h"

namespace qor::gateway {
namespace {

const char kGood[] = R"(# a plant's first hall
[broker]
host = "broker.example"
port = 8883
client_id = "hall1"

[gateway]
topic_prefix = "plant/hall1"
queue_size = 500
offline_after = 2

[[link]]
name = "bus1"
target = "rfc2217://10.0.0.5:4001?timeout_ms=150&parity=E"

[[link.module]]
address = "1"
name = "boiler"
writable = ["hi", "do"]
poll = { rd = 1000, rh = 60000 }

[[link.module]]
address = "A"
name = "doors"
[link.module.poll]
door = { query = "di", interval_ms = 500, bytes = 2, byte = 2, bit = 7 }

[[link]]
name = "bus2"
target = "/dev/ttyUSB0?baud=9600"
[[link.module]]
address = "2"
name = "tank"

[sparkplug]
enabled = true
group_id = "hall"
bdseq_file = "bdseq"
primary_host_id = "scada-1"
aliases = true
)";

TEST(GatewayConfig, ReadsEveryPartOfAGoodFile) {
    ConfigResult r = ParseConfig(kGood, "good.toml", "/etc/qor");
    ASSERT_TRUE(r.config) << r.error;
    const Config &c = *r.config;
    EXPECT_EQ(c.broker.host, "broker.example");
    EXPECT_EQ(c.broker.port, 8883);
    EXPECT_EQ(c.broker.client_id, "hall1");
    EXPECT_EQ(c.topic_prefix, "plant/hall1");
    EXPECT_EQ(c.queue_size, 500u);
    EXPECT_EQ(c.offline_after, 2);
    EXPECT_EQ(c.counters_interval, std::chrono::seconds(60));
    ASSERT_EQ(c.links.size(), 2u);
    const LinkSpec &bus1 = c.links[0];
    EXPECT_EQ(bus1.target, "rfc2217://10.0.0.5:4001?timeout_ms=150&parity=E");
    ASSERT_EQ(bus1.modules.size(), 2u);
    const ModuleSpec &boiler = bus1.modules[0];
    EXPECT_EQ(boiler.address, '1');
    EXPECT_TRUE(boiler.Writable(CommandKind::kHi));
    EXPECT_TRUE(boiler.Writable(CommandKind::kDo));
    EXPECT_FALSE(boiler.Writable(CommandKind::kLo));
    ASSERT_EQ(boiler.polls.size(), 2u);
    EXPECT_EQ(boiler.polls[0].name, "rd");
    EXPECT_EQ(boiler.polls[0].interval, std::chrono::milliseconds(1000));
    EXPECT_EQ(boiler.polls[1].query, Query::kRh);
    EXPECT_FALSE(bus1.modules[1].Writable(CommandKind::kDo));  // no list: nothing writable
    const PollSpec &door = bus1.modules[1].polls.at(0);
    EXPECT_EQ(door.name, "door");
    EXPECT_EQ(door.query, Query::kDi);
    EXPECT_EQ(door.interval, std::chrono::milliseconds(500));
    EXPECT_EQ(door.bytes, 2);
    EXPECT_EQ(door.byte, 2);
    EXPECT_EQ(door.bit, 7);
    EXPECT_TRUE(c.links[1].modules[0].polls.empty());
    EXPECT_TRUE(c.sparkplug.enabled);
    EXPECT_EQ(c.sparkplug.group, "hall");
    EXPECT_EQ(c.sparkplug.edge_node, "hall1");  // the client_id
    EXPECT_EQ(c.sparkplug.bdseq_file, "/etc/qor/bdseq");
    EXPECT_EQ(c.sparkplug.primary_host, "scada-1");
    EXPECT_TRUE(c.sparkplug.aliases);
}

TEST(GatewayConfig, EngineeringValuesAndReportByException) {
    std::string text = kGood;
    std::string poll = "poll = { rd = 1000, rh = 60000 }";
    text.replace(text.find(poll), poll.size(),
                 "poll = { rd = { query = \"rd\", interval_ms = 1000, scale = 0.5, offset = -10, "
                 "name = \"Flow\", unit = \"l/min\", deadband = \"2.5%\", "
                 "max_interval_ms = 60000 }, rh = { query = \"rh\", interval_ms = 100, "
                 "deadband = 0.5 } }");
    ConfigResult r = ParseConfig(text, "good.toml", "/etc/qor");
    ASSERT_TRUE(r.config) << r.error;
    const PollSpec &rd = r.config->links[0].modules[0].polls.at(0);
    EXPECT_EQ(rd.display_name, "Flow");
    EXPECT_EQ(rd.scaling.scale, 0.5);
    EXPECT_EQ(rd.scaling.offset, -10);
    EXPECT_TRUE(rd.report.enabled && rd.report.percent);
    EXPECT_EQ(rd.report.deadband, 2.5);
    EXPECT_EQ(rd.report.max_interval, std::chrono::milliseconds(60000));
    const PollSpec &rh = r.config->links[0].modules[0].polls.at(1);
    EXPECT_TRUE(rh.scaling.Identity());
    EXPECT_TRUE(rh.report.enabled && !rh.report.percent);
    EXPECT_EQ(rh.report.max_interval.count(), 0);
    // The shorthand publishes every reading.
    EXPECT_FALSE(r.config->links[0].modules[1].polls.at(0).report.enabled);
}

TEST(GatewayConfig, DefaultsForWhatIsLeftOut) {
    ConfigResult r = ParseConfig(
        "[broker]\nhost = \"localhost\"\n[[link]]\nname = \"a\"\ntarget = \"/dev/ttyS0\"\n"
        "[[link.module]]\naddress = \"1\"\nname = \"m\"\n",
        "f.toml", ".");
    ASSERT_TRUE(r.config) << r.error;
    EXPECT_EQ(r.config->broker.port, 1883);
    EXPECT_EQ(r.config->broker.client_id.rfind("qor-gateway-", 0), 0u);
    EXPECT_EQ(r.config->topic_prefix, "qor");
    EXPECT_EQ(r.config->queue_size, 10000u);
    EXPECT_EQ(r.config->offline_after, 3);
    // Run by hand (no systemd state directory): the spool beside the file.
    EXPECT_TRUE(r.config->spool.enabled);
    if (std::getenv("STATE_DIRECTORY") == nullptr) {
        EXPECT_EQ(r.config->spool.path, "./" + r.config->broker.client_id + ".db");
    }
    EXPECT_EQ(r.config->spool.max_bytes, 100u << 20);
    EXPECT_EQ(r.config->spool.max_age, std::chrono::hours(168));
    EXPECT_FALSE(r.config->sparkplug.enabled);
    EXPECT_EQ(r.config->broker.protocol, MqttProtocol::kAuto);
}

TEST(GatewayConfig, BrokersInTheOrderTriedAndTheSpoolsKeys) {
    ConfigResult r = ParseConfig(
        "[broker]\nport = 1884\nhosts = [\"a.example:1883\", \"b.example\", \"[::1]:1885\", "
        "\"[::2]\", \"::3\"]\nprotocol = \"3.1.1\"\n"
        "[gateway]\nspool_path = \"state/gw.db\"\nspool_max_mb = 0.5\nspool_commit_ms = 50\n"
        "[[link]]\nname = \"a\"\ntarget = \"/dev/ttyS0\"\n"
        "[[link.module]]\naddress = \"1\"\nname = \"m\"\n",
        "f.toml", "/etc/qor");
    ASSERT_TRUE(r.config) << r.error;
    const std::vector<BrokerHost> hosts = {
        {"a.example", 1883}, {"b.example", 1884}, {"::1", 1885}, {"::2", 1884}, {"::3", 1884}};
    EXPECT_EQ(r.config->broker.hosts, hosts);
    EXPECT_EQ(r.config->broker.host, "a.example");
    EXPECT_EQ(r.config->broker.protocol, MqttProtocol::kV311);
    EXPECT_EQ(r.config->spool.path, "/etc/qor/state/gw.db");
    EXPECT_EQ(r.config->spool.max_bytes, 524288u);
    EXPECT_EQ(r.config->spool.commit_interval, std::chrono::milliseconds(50));
}

// A reload starts a new broker session when any broker setting changed.
TEST(GatewayConfig, BrokersDifferInEverySetting) {
    ConfigResult r = ParseConfig(kGood, "good.toml", "/etc/qor");
    ASSERT_TRUE(r.config) << r.error;
    const BrokerSpec base = r.config->broker;
    EXPECT_TRUE(base == r.config->broker);
    const std::vector<std::pair<const char *, void (*)(BrokerSpec &)>> changes = {
        {"host", [](BrokerSpec &b) { b.hosts.at(0).host = "other"; }},
        {"port", [](BrokerSpec &b) { b.hosts.at(0).port = 1883; }},
        {"a second host",
         [](BrokerSpec &b) {
             b.hosts.push_back({"spare", 1883});
         }},
        {"connect_timeout_s", [](BrokerSpec &b) { b.connect_timeout_s = 3; }},
        {"client_id", [](BrokerSpec &b) { b.client_id = "hall2"; }},
        {"keepalive_s", [](BrokerSpec &b) { b.keepalive_s = 10; }},
        {"username", [](BrokerSpec &b) { b.username = "u"; }},
        {"password", [](BrokerSpec &b) { b.password = "p"; }},
        {"tls_ca_file", [](BrokerSpec &b) { b.tls_ca_file = "ca.pem"; }},
        {"tls_cert_file", [](BrokerSpec &b) { b.tls_cert_file = "c.pem"; }},
        {"tls_key_file", [](BrokerSpec &b) { b.tls_key_file = "k.pem"; }},
        {"protocol", [](BrokerSpec &b) { b.protocol = MqttProtocol::kV311; }},
    };
    for (const auto &[what, change] : changes) {
        BrokerSpec other = base;
        change(other);
        EXPECT_FALSE(other == base) << what;
    }
}

struct BadCase {
    const char *what;
    std::string replace;  // text of kGood to replace...
    std::string with;     // ...with this
    std::string error;    // expected error, after "bad.toml:"
};

std::string Edit(const BadCase &c) {
    std::string text = kGood;
    std::size_t at = text.find(c.replace);
    EXPECT_NE(at, std::string::npos) << c.what;
    return at == std::string::npos ? text : text.replace(at, c.replace.size(), c.with);
}

TEST(GatewayConfig, RefusesMistakesWithTheirLine) {
    const BadCase cases[] = {
        {"TOML syntax", "port = 8883", "port = = 8883", "4: "},
        {"unknown key", "port = 8883", "prot = 8883", "4: unknown key \"prot\" in [broker]"},
        {"port range", "port = 8883", "port = 70000", "4: \"port\" must be an integer from 1"},
        {"wrong type", "port = 8883", "port = \"8883\"", "4: \"port\" must be an integer"},
        {"no host", "host = \"broker.example\"\n", "", "2: [broker] needs \"host\""},
        {"host and hosts", "port = 8883", "hosts = [\"a:1\"]", "2: [broker] needs \"host\" or"},
        {"a broker's port", "host = \"broker.example\"", "hosts = [\"a:1883\", \"b:0\"]",
         "3: broker \"b:0\": the port must be 1 to 65535"},
        {"no brokers", "host = \"broker.example\"", "hosts = []", "3: \"hosts\" must be a list"},
        {"a broker's bracket", "host = \"broker.example\"", "hosts = [\"a:1883\", \"[::1\"]",
         "3: broker \"[::1\": an IPv6 address goes in brackets, as \"[::1]:1883\""},
        {"a broker's host", "host = \"broker.example\"", "hosts = [\"a b:1883\"]",
         "3: broker \"a b:1883\": the host must be a host name or an address"},
        {"spool flag", "offline_after = 2", "spool = 1", "10: \"spool\" must be true or false"},
        {"spool bound", "offline_after = 2", "spool_max_mb = 0", "10: \"spool_max_mb\" must be"},
        {"prefix wildcard", "plant/hall1", "plant/+", "8: \"topic_prefix\" must be"},
        {"prefix empty level", "plant/hall1", "plant//x", "8: \"topic_prefix\" must be"},
        {"queue zero", "queue_size = 500", "queue_size = 0", "9: \"queue_size\" must be"},
        {"link name", "name = \"bus1\"", "name = \"bus/1\"", "13: link name \"bus/1\" must be"},
        {"reserved link", "name = \"bus1\"", "name = \"gateway\"", "13: link name \"gateway\""},
        {"same link", "name = \"bus2\"", "name = \"bus1\"", "28: link name \"bus1\" is used twice"},
        {"bad target", "rfc2217://10.0.0.5:4001", "socket://10.0.0.5",
         "14: \"target\" \"socket://10.0.0.5?timeout_ms=150&parity=E\" is refused: expected "
         "HOST:PORT"},
        {"bad device server", "rfc2217://10.0.0.5:4001", "rfc2217://10.0.0.5:x",
         "14: \"target\" \"rfc2217://10.0.0.5:x?timeout_ms=150&parity=E\" is refused: port"},
        {"relative target", "/dev/ttyUSB0", "ttyUSB0",
         "30: \"target\" \"ttyUSB0?baud=9600\" is refused: a device path must be absolute"},
        // Schemes are the byte link's transport table's to judge, not a list here.
        {"unknown scheme", "/dev/ttyUSB0", "ftp://h:1",
         "30: \"target\" \"ftp://h:1?baud=9600\" is refused: "},
        // The byte link's own parser judges the options, as the open would.
        {"rate on a socket", "rfc2217://10.0.0.5:4001?timeout_ms=150&parity=E",
         "socket://h:1?baud=12345", "14: \"target\" \"socket://h:1?baud=12345\" is refused: "},
        {"odd rate", "/dev/ttyUSB0?baud=9600", "/dev/ttyUSB0?baud=12345", "30: \"target\" "},
        {"time-out range", "/dev/ttyUSB0?baud=9600", "/dev/ttyUSB0?timeout_ms=0",
         "30: \"target\" \"/dev/ttyUSB0?timeout_ms=0\" is refused: timeout_ms=0 is out of range"},
        {"client id wildcard", "\"hall1\"", "\"gw#1\"", "5: \"client_id\" must be 1 to 128"},
        {"client id level", "\"hall1\"", "\"gw/1\"", "5: \"client_id\" must be"},
        {"client id plus", "\"hall1\"", "\"gw+1\"", "5: \"client_id\" must be"},
        {"client id newline", "\"hall1\"", "\"gw\\n1\"", "5: \"client_id\" must be"},
        {"client id NUL", "\"hall1\"", "\"gw\\u00001\"", "5: \"client_id\" must be"},
        {"client id empty", "\"hall1\"", "\"\"", "5: \"client_id\" must be"},
        {"client id long", "\"hall1\"", "\"" + std::string(129, 'x') + "\"",
         "5: \"client_id\" must be"},
        {"connect time-out", "port = 8883", "connect_timeout_s = 0",
         "4: \"connect_timeout_s\" must be an integer from 1 to 300"},
        {"protocol", "port = 8883", "protocol = \"3\"",
         "4: \"protocol\" must be \"auto\", \"5\" or \"3.1.1\""},
        {"protocol a number", "port = 8883", "protocol = 5", "4: \"protocol\" must be a string"},
        {"reply wildcard", "queue_size = 500", "reply_prefix = \"r/#\"",
         "9: \"reply_prefix\" must be"},
        {"reply is the prefix", "queue_size = 500", "reply_prefix = \"plant/hall1\"",
         "9: the reply namespace \"plant/hall1\" (reply_prefix) holds topic_prefix"},
        {"reply holds the prefix", "queue_size = 500", "reply_prefix = \"plant\"",
         "9: the reply namespace \"plant\" (reply_prefix) holds"},
        {"reply on a link", "queue_size = 500", "reply_prefix = \"plant/hall1/bus2/x\"",
         "9: the reply namespace \"plant/hall1/bus2/x\" (reply_prefix) lies among the topics "
         "of link \"bus2\""},
        {"reply on the status", "queue_size = 500", "reply_prefix = \"plant/hall1/gateway\"",
         "9: the reply namespace \"plant/hall1/gateway\" (reply_prefix) lies among the "
         "gateway's own"},
        {"reply on Sparkplug B", "queue_size = 500", "reply_prefix = \"spBv1.0/hall\"",
         "9: the reply namespace \"spBv1.0/hall\" (reply_prefix) overlaps the Sparkplug B"},
        {"default reply on a link", "name = \"bus2\"", "name = \"reply\"",
         "1: the reply namespace \"plant/hall1/reply\" (reply_prefix) lies among the topics "
         "of link \"reply\""},
        {"no modules", "[[link.module]]\naddress = \"2\"\nname = \"tank\"\n", "",
         "28: a link needs \"module\""},
        {"long address", "address = \"1\"", "address = \"12\"", "17: \"address\" must be one"},
        {"framing address", "address = \"1\"", "address = \"$\"", "17: \"address\" must be one"},
        {"same address", "address = \"A\"", "address = \"1\"", "22: module \"doors\" repeats"},
        {"unknown command", "[\"hi\", \"do\"]", "[\"hi\", \"fire\"]",
         "19: \"writable\" holds \"fire\", which is no command ("},
        {"command not a name", "[\"hi\", \"do\"]", "[\"hi\", 3]",
         "19: \"writable\" must list command names as strings"},
        {"unknown query", "rh = 60000", "rx = 60000", "20: \"rx\" is no query"},
        {"interval zero", "rd = 1000", "rd = 0", "20: \"rd\" must be an integer from 1"},
        {"reserved poll", "rh = 60000", "availability = { query = \"rh\", interval_ms = 5 }",
         "20: poll name \"availability\" is taken"},
        {"rb needs bit", "rh = 60000", "rb = 100", "20: \"rb\" needs its bit"},
        {"byte past bytes", "byte = 2", "byte = 3", "26: \"byte\" must be an integer from 1 to 2"},
        {"bit of a byte", "bit = 7", "bit = 8", "26: \"bit\" must be an integer from 0 to 7"},
        {"query key", "query = \"di\"", "query = \"dx\"", "26: unknown query \"dx\""},
        {"bit on rd", "query = \"di\", interval_ms = 500, bytes = 2, byte = 2, bit = 7",
         "query = \"rd\", interval_ms = 500, bit = 7", "26: only \"rb\" and \"di\" take a bit"},
        {"password file", "client_id = \"hall1\"",
         "client_id = \"hall1\"\nusername = \"u\"\npassword_file = \"no-such-file\"",
         "7: cannot read password_file \"/etc/qor/no-such-file\""},
        {"password device", "client_id = \"hall1\"",
         "client_id = \"hall1\"\nusername = \"u\"\npassword_file = \"/dev/zero\"",
         "7: password_file \"/dev/zero\" is not a regular file"},
        {"CA folder", "client_id = \"hall1\"", "client_id = \"hall1\"\ntls_ca_file = \"/\"",
         "6: tls_ca_file \"/\" is not a regular file"},
        {"sparkplug group", "group_id = \"hall\"", "group_id = \"hall/1\"",
         "37: \"group_id\" must be 1 to 128 characters without"},
        {"sparkplug node", "group_id = \"hall\"", "group_id = \"h\"\nedge_node_id = \"a+b\"",
         "38: \"edge_node_id\" must be"},
        {"sparkplug host", "primary_host_id = \"scada-1\"", "primary_host_id = \"a/b\"",
         "39: \"primary_host_id\" must be"},
        {"sparkplug aliases", "aliases = true", "aliases = \"yes\"",
         "40: \"aliases\" must be true or false"},
        {"sparkplug key", "enabled = true", "enable = true", "36: unknown key \"enable\""},
        {"sparkplug switch", "enabled = true", "enabled = 1", "36: \"enabled\" must be true"},
        // Report by exception and engineering values, per poll.
        {"negative deadband", "rh = 60000",
         "rh = { query = \"rh\", interval_ms = 5, deadband = -1 }",
         "20: \"deadband\" must not be negative"},
        {"percent over 100", "rh = 60000",
         "rh = { query = \"rh\", interval_ms = 5, deadband = \"101%\" }",
         "20: \"deadband\" must be at most 100%"},
        {"percent without digits", "rh = 60000",
         "rh = { query = \"rh\", interval_ms = 5, deadband = \"%\" }",
         "20: \"deadband\" must be a number or a percentage"},
        {"max interval short", "rh = 60000",
         "rh = { query = \"rh\", interval_ms = 500, max_interval_ms = 499 }",
         "20: \"max_interval_ms\" (499) is shorter than interval_ms (500)"},
        {"deadband of a bit", "bit = 7", "bit = 7, deadband = 0.5", "26: a bit takes no deadband"},
        {"scale zero", "rh = 60000", "rh = { query = \"rh\", interval_ms = 5, scale = 0 }",
         "20: \"scale\" must not be 0"},
        {"scale of a bit", "bit = 7", "bit = 7, offset = 1",
         "26: only the value queries (rd nd rz rh rl) take scale and offset"},
        {"scale text", "rh = 60000", "rh = { query = \"rh\", interval_ms = 5, scale = \"x\" }",
         "20: \"scale\" must be a number"},
    };
    for (const BadCase &c : cases) {
        ConfigResult r = ParseConfig(Edit(c), "bad.toml", "/etc/qor");
        EXPECT_FALSE(r.config) << c.what;
        EXPECT_EQ(r.error.rfind("bad.toml:" + c.error, 0), 0u) << c.what << ": " << r.error;
    }
}

// The example installed with the documentation stays valid.
TEST(GatewayConfig, TheInstalledExampleIsValid) {
    ConfigResult r = LoadConfig(QOR_GATEWAY_EXAMPLE);
    ASSERT_TRUE(r.config) << r.error;
    EXPECT_EQ(r.config->links.size(), 2u);
}

TEST(GatewayConfig, AFileThatCannotBeReadIsNamedWithTheSystemsReason) {
    const struct {
        const char *path;
        const char *error;
    } cases[] = {
        {"/no/such/dir/gateway.toml",
         "/no/such/dir/gateway.toml: cannot read the file: No such file or directory"},
        // A device would be read until memory runs out, a pipe until it ends.
        {"/dev/zero", "/dev/zero: not a regular file"},
        {"/", "/: not a regular file"},
        {QOR_GATEWAY_EXAMPLE "/gateway.toml",
         QOR_GATEWAY_EXAMPLE "/gateway.toml: cannot read the file: Not a directory"},
    };
    for (const auto &c : cases) {
        ConfigResult r = LoadConfig(c.path);
        EXPECT_FALSE(r.config) << c.path;
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.errors, std::vector<std::string>{c.error});
    }
}

// Several edits of kGood, and every error they should bring, in the file's
// order.
struct ManyCase {
    const char *what;
    std::vector<BadCase> edits;       // what and error unused
    std::vector<std::string> errors;  // each the start of one, after "bad.toml:"
};

void ExpectErrors(const ManyCase &c) {
    std::string text = kGood;
    for (const BadCase &edit : c.edits) {
        std::size_t at = text.find(edit.replace);
        ASSERT_NE(at, std::string::npos) << c.what << ": " << edit.replace;
        text.replace(at, edit.replace.size(), edit.with);
    }
    ConfigResult r = ParseConfig(text, "bad.toml", "/etc/qor");
    EXPECT_FALSE(r.config) << c.what;
    ASSERT_EQ(r.errors.size(), c.errors.size()) << c.what << ":\n" << r.error;
    for (std::size_t i = 0; i < c.errors.size(); ++i) {
        EXPECT_EQ(r.errors[i].rfind("bad.toml:" + c.errors[i], 0), 0u)
            << c.what << ": " << r.errors[i];
    }
    EXPECT_EQ(static_cast<std::size_t>(std::count(r.error.begin(), r.error.end(), '\n')),
              c.errors.size() - 1);
}

// The whole file is read, up to the bound and not a byte past it.
TEST(GatewayConfig, AFileLongerThanAnyConfigurationIsRefused) {
    char name[] = "/tmp/qor-gateway-long.XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    for (std::size_t size : {kMaxConfigBytes, kMaxConfigBytes + 1}) {
        std::string text =
            "[broker]\nhost = \"h\"\n[[link]]\nname = \"a\"\ntarget = \"/dev/ttyS0\"\n"
            "[[link.module]]\naddress = \"1\"\nname = \"m\"\n#";
        text.resize(size, 'x');
        std::ofstream(name, std::ios::binary) << text;
        ConfigResult r = LoadConfig(name);
        EXPECT_EQ(r.config.has_value(), size == kMaxConfigBytes) << size << ": " << r.error;
        if (size > kMaxConfigBytes) {
            EXPECT_EQ(r.error, std::string(name) +
                                   ": longer than 1048576 bytes; no "
                                   "configuration is that long");
        }
    }
    std::remove(name);
}

// What a plant engineer meets: several mistakes in one file, each named
// with its line, a mistyped key with the key it likely is (and not also as
// the key that is then missing).
TEST(GatewayConfig, ReportsEveryProblemOfTheFileWithItsLine) {
    const ManyCase cases[] = {
        {"three mistakes",
         {{"", "address = \"A\"", "adress = \"A\"", ""},
          {"", "rfc2217://10.0.0.5:4001?timeout_ms=150&parity=E", "127.0.0.1:34001", ""},
          {"", "[\"hi\", \"do\"]", "[\"hi\", \"dx\"]", ""}},
         {"14: \"target\" \"127.0.0.1:34001\" is refused: a device path must be absolute "
          "(/dev/ttyUSB0); did you mean socket://127.0.0.1:34001?",
          "19: \"writable\" holds \"dx\", which is no command (",
          "23: unknown key \"adress\" in [[link.module]]; did you mean 'address'?"}},
        {"in every section",
         {{"", "port = 8883", "prot = 8883", ""},
          {"", "queue_size = 500", "queue_size = 0", ""},
          {"", "rh = 60000", "rh = 0", ""},
          {"", "aliases = true", "aliases = 1", ""}},
         {"4: unknown key \"prot\" in [broker]; did you mean 'port'?",
          "9: \"queue_size\" must be an integer from 1 to 10000000",
          "20: \"rh\" must be an integer from 1 to 86400000",
          "40: \"aliases\" must be true or false"}},
        {"two in one poll",
         {{"", "interval_ms = 500, bytes = 2, byte = 2, bit = 7",
           "intervall_ms = 500, bytes = 2, byte = 2, bit = 9", ""}},
         {"26: unknown key \"intervall_ms\" in poll \"door\"; did you mean 'interval_ms'?",
          "26: \"bit\" must be an integer from 0 to 7"}},
        {"a required key left out",
         {{"", "address = \"A\"\n", "", ""}},
         {"22: a module needs \"address\""}},
    };
    for (const ManyCase &c : cases) {
        ExpectErrors(c);
    }
}

// A mistake is reported once: what is read after it is judged against the
// default that stands in for the refused value, or not judged at all, and
// a consequence of it is never reported as a mistake of its own.
TEST(GatewayConfig, ReportsNothingThatOnlyFollowsFromAnEarlierProblem) {
    const std::string small = QOR_GATEWAY_SMALL_FILE;
    const ManyCase cases[] = {
        {"refused bytes, then byte",
         {{"", "bytes = 2, byte = 2", "bytes = 99, byte = 2", ""}},
         {"26: \"bytes\" must be an integer from 1 to "}},
        {"unknown query, then its bit",
         {{"", "query = \"di\"", "query = \"dx\"", ""}},
         {"26: unknown query \"dx\""}},
        {"refused interval, then max_interval_ms",
         {{"", "rh = 60000", "rh = { query = \"rh\", interval_ms = 0, max_interval_ms = 100 }",
           ""}},
         {"20: \"interval_ms\" must be an integer from 1"}},
        {"refused prefix, then the reply namespace",
         {{"", "topic_prefix = \"plant/hall1\"",
           "topic_prefix = \"plant/+\"\nreply_prefix = \"qor\"", ""}},
         {"8: \"topic_prefix\" must be"}},
        {"refused client id, then the edge node",
         {{"", "client_id = \"hall1\"", "client_id = \"hall#1\"", ""}},
         {"5: \"client_id\" must be"}},
        {"unreadable certificate, then its key",
         {{"", "client_id = \"hall1\"",
           "client_id = \"hall1\"\ntls_ca_file = \"" + small +
               "\"\ntls_cert_file = \"/no/c.pem\"\ntls_key_file = \"" + small + "\"",
           ""}},
         {"7: cannot read tls_cert_file \"/no/c.pem\": No such file or directory"}},
        {"refused user, then the password",
         {{"", "client_id = \"hall1\"",
           "client_id = \"hall1\"\nusername = 7\npassword_file = \"" + small + "\"", ""}},
         {"6: \"username\" must be a string"}},
        {"refused address, then a repeat",
         {{"", "address = \"A\"", "address = \"AA\"", ""}},
         {"23: \"address\" must be one printable character"}},
        {"refused link names, then a repeat",
         {{"", "name = \"bus1\"", "name = \"bus 1\"", ""},
          {"", "name = \"bus2\"", "name = \"bus 2\"", ""}},
         {"13: link name \"bus 1\" must be", "29: link name \"bus 2\" must be"}},
        {"refused units, then unit_id",
         {{"", "aliases = true", "aliases = true\n[modbus]\nunits = \"gatway\"\nunit_id = 3", ""}},
         {"42: \"units\" must be \"link\" or \"gateway\""}},
        {"broken link, then a register of its poll",
         {{"", "rfc2217://10.0.0.5:4001", "rfc2217://10.0.0.5", ""},
          {"", "name = \"boiler\"", "name = \"bo iler\"", ""},
          {"", "aliases = true",
           "aliases = true\n[modbus]\n[modbus.scaled]\n\"bus1/boiler/rd\" = { scale = 10 }", ""}},
         {"14: \"target\"", "18: module name \"bo iler\" must be"}},
    };
    for (const ManyCase &c : cases) {
        ExpectErrors(c);
    }
}

// A target that reads as HOST:PORT lacks its scheme: the device path it
// stands for would be opened relative to wherever the gateway runs.
TEST(GatewayConfig, OffersTheSchemeATargetLacks) {
    const struct {
        const char *target;
        const char *hint;  // "" for none
    } cases[] = {
        {"127.0.0.1:34001", "; did you mean socket://127.0.0.1:34001?"},
        {"device-server:4001?timeout_ms=200", "; did you mean socket://device-server:4001?"},
        {"[::1]:4001", "; did you mean socket://[::1]:4001?"},
        {"localhost:4001?baud=12345", "; did you mean socket://localhost:4001?"},
        {"ttyUSB0", ""},
        {"dev/ttyUSB0:1", ""},
        {"localhost:0", ""},
        {"sockt://localhost:4001", ""},
    };
    for (const auto &c : cases) {
        std::string text = kGood;
        text.replace(text.find("/dev/ttyUSB0?baud=9600"), 22, c.target);
        ConfigResult r = ParseConfig(text, "bad.toml", "/etc/qor");
        ASSERT_EQ(r.errors.size(), 1u) << c.target << ": " << r.error;
        const std::string &error = r.errors[0];
        EXPECT_EQ(error.rfind("bad.toml:30: \"target\" ", 0), 0u) << error;
        std::size_t hint = error.find("; did you mean");
        EXPECT_EQ(hint == std::string::npos ? "" : error.substr(hint), c.hint) << c.target;
    }
}

// The core reads only the sections it is handed: those of the gateway's
// outputs by default (outputs.cpp), others in their place.
std::string g_extra_seen;

void ReadExtra(SectionInput &input, Config *config) {
    (void)config;
    g_extra_seen = input.node == nullptr ? "absent" : input.links_sound ? "sound" : "unsound";
}

TEST(GatewayConfig, ReadsTheSectionsItIsHanded) {
    const ConfigSections extra = {{"extra", ReadExtra}};
    ConfigResult r =
        ParseConfig(std::string(kGood) + "[extra]\nanything = 1\n", "g.toml", "/", extra);
    ASSERT_EQ(r.errors.size(), 1u) << r.error;
    EXPECT_EQ(r.errors[0], "g.toml:35: unknown key \"sparkplug\" in the file");
    EXPECT_EQ(g_extra_seen, "sound");
    std::string text = kGood;
    text.replace(text.find("[sparkplug]"), 11, "[extra]");
    EXPECT_TRUE(ParseConfig(text, "g.toml", "/", extra).config);
    text.replace(text.find("name = \"bus2\""), 13, "name = \"\"");
    EXPECT_FALSE(ParseConfig(text, "g.toml", "/", extra).config);
    EXPECT_EQ(g_extra_seen, "unsound");
    r = ParseConfig(std::string(kGood) + "[modbs]\n", "g.toml", "/");
    ASSERT_EQ(r.errors.size(), 1u) << r.error;
    EXPECT_EQ(r.errors[0], "g.toml:41: unknown key \"modbs\" in the file; did you mean 'modbus'?");
}

// A temporary folder with a configuration that names a password file.
class PasswordFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/qor-gateway-config.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        std::remove((dir_ + "/pw").c_str());
        std::remove((dir_ + "/g.toml").c_str());
        std::remove(dir_.c_str());
    }
    ConfigResult Load(const std::string &password_text) {
        std::ofstream(dir_ + "/pw", std::ios::binary) << password_text;
        std::ofstream(dir_ + "/g.toml")
            << "[broker]\nhost = \"h\"\nusername = \"u\"\npassword_file = \"pw\"\n[[link]]\n"
               "name = \"a\"\ntarget = \"/dev/ttyS0\"\n[[link.module]]\naddress = \"1\"\n"
               "name = \"m\"\n";
        return LoadConfig(dir_ + "/g.toml");
    }
    std::string dir_;
};

TEST_F(PasswordFile, TheFirstLineIsThePasswordWithoutItsLineEnding) {
    for (const char *text : {"s3cret", "s3cret\n", "s3cret\r\n", "s3cret\r\nsecond line\r\n"}) {
        ConfigResult r = Load(text);
        ASSERT_TRUE(r.config) << r.error;
        EXPECT_EQ(r.config->broker.password, "s3cret") << text;
    }
    ConfigResult r = Load(std::string("s3\0cret\n", 8));
    EXPECT_NE(r.error.find(":4: password_file \"" + dir_ + "/pw\" holds a NUL or a CR"),
              std::string::npos)
        << r.error;
    r = Load(std::string(kMaxPasswordBytes + 1, 'x'));
    EXPECT_NE(r.error.find("is longer than 4096 bytes"), std::string::npos) << r.error;
}

}  // namespace
}  // namespace qor::gateway
