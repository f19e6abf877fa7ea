// The HTTP side's parts without a socket: the [http] keys, the users file
// and its hashes, the plant state's bounds, and the metrics text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "gateway/core/config.h"
#include "gateway/core/plant_state.h"
#include "gateway/http/http_server.h"
#include "gateway/http/metrics.h"
#include "gateway/mqtt/mqtt_output.h"
#include "qor_dll.h"

namespace qor::gateway {
namespace {

const char kBase[] = R"([broker]
host = "127.0.0.1"
[[link]]
name = "bus"
target = "socket://127.0.0.1:7000"
[[link.module]]
address = "1"
name = "boiler"
poll = { temp = { query = "rd", interval_ms = 100, unit = "°C" } }
)";

TEST(GatewayHttpConfig, OffUnlessGivenAndReadWhenGiven) {
    ConfigResult off = ParseConfig(kBase, "g.toml", "/tmp");
    ASSERT_TRUE(off.config) << off.error;
    EXPECT_FALSE(off.config->http.enabled);
    EXPECT_EQ(off.config->links[0].modules[0].polls[0].unit, "°C");

    ConfigResult on = ParseConfig(std::string(kBase) + "[http]\n", "g.toml", "/tmp");
    ASSERT_TRUE(on.config) << on.error;
    EXPECT_TRUE(on.config->http.enabled);
    EXPECT_EQ(on.config->http.host, "127.0.0.1");
    EXPECT_EQ(on.config->http.port, 8080);
    EXPECT_FALSE(on.config->http.commands);

    ConfigResult v6 =
        ParseConfig(std::string(kBase) + "[http]\nlisten = \"[::1]:9100\"\n", "g.toml", "/tmp");
    ASSERT_TRUE(v6.config) << v6.error;
    EXPECT_EQ(v6.config->http.host, "::1");
    EXPECT_EQ(v6.config->http.port, 9100);
}

TEST(GatewayHttpConfig, RefusesMistakesWithTheirLine) {
    struct Case {
        const char *what;
        const char *http;
        const char *error;
    } cases[] = {
        {"a name, not an address", "listen = \"localhost:8080\"", "11: \"listen\" must be"},
        {"no port", "listen = \"127.0.0.1\"", "11: \"listen\" must be"},
        {"port range", "listen = \"127.0.0.1:70000\"", "11: \"listen\" must be"},
        {"unknown key", "password = \"x\"", "11: unknown key \"password\" in [http]"},
        {"commands without users", "commands = true", "11: [http] commands = true needs"},
        {"commands not a bool", "commands = 1", "11: \"commands\" must be true or false"},
        {"key without cert", "tls_key_file = \"/etc/hostname\"", "[http] needs tls_cert_file"},
        {"missing users file", "users_file = \"/nonexistent/users\"", "11: cannot read users_file"},
        {"threads", "threads = 0", "11: \"threads\" must be an integer from 1"},
    };
    for (const Case &c : cases) {
        ConfigResult r =
            ParseConfig(std::string(kBase) + "[http]\n" + c.http + "\n", "g.toml", "/tmp");
        EXPECT_FALSE(r.config) << c.what;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << c.what << ": " << r.error;
    }
}

std::string WriteTemp(const std::string &text) {
    char path[] = "/tmp/qor-users.XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << text;
    return path;
}

// "secret" hashed with openssl passwd -6 -salt abcdefgh.
const char kHash[] =
    "$6$abcdefgh$ltjgWl6579NluT/Vi1nwEvcil.G5Nbc4NiXZaNGStk8PSwGfQv72N2CKPPrVACtLtip/cZ/1GM/"
    "O6IND4WQhG.";

TEST(GatewayHttpUsers, HashesOnlyAndTheRightPasswordOnly) {
    std::string good = WriteTemp(std::string("# who may look\n\nanna:") + kHash + "\n");
    std::map<std::string, std::string> users;
    std::string error;
    ASSERT_TRUE(LoadUsers(good, &users, &error)) << error;
    EXPECT_TRUE(PasswordMatches("secret", users.at("anna")));
    for (const char *wrong : {"Secret", "secret ", "", "secre"}) {
        EXPECT_FALSE(PasswordMatches(wrong, users.at("anna"))) << wrong;
    }
    EXPECT_FALSE(PasswordMatches("secret", "$6$"));
    EXPECT_FALSE(PasswordMatches("secret", "not a hash"));
    // Each refused with its line and why, rather than found out at the
    // first login.
    std::string hash = kHash;
    struct Bad {
        std::string text;
        const char *reason;
    } bads[] = {
        {"anna:secret\n", ":1: not NAME:HASH"},
        {"anna\n", ":1: not NAME:HASH"},
        {":$6$x$y\n", ":1: not NAME:HASH"},
        {"# nobody\n", ": no users"},
        {"# CRLF\r\nanna:" + hash + "\r\n", ":2: ends in a carriage return"},
        {"\nanna:" + hash + " \n", ":2: the hash is not one"},
        {"anna:" + hash.substr(0, hash.size() - 1) + "\n", ":1: the hash is not one"},
        {"anna:$9$abcdefgh$" + hash.substr(12) + "\n", ":1: the hash is not one"},
        {"anna:" + hash + "\nbob:" + hash + "\nanna:" + hash + "\n", ":3: user \"anna\" is given"},
    };
    for (const Bad &bad : bads) {
        std::string path = WriteTemp(bad.text);
        users.clear();
        EXPECT_FALSE(LoadUsers(path, &users, &error)) << bad.text;
        EXPECT_NE(error.find(bad.reason), std::string::npos) << bad.reason << ": " << error;
        std::remove(path.c_str());
    }
    std::remove(good.c_str());
}

Config OneLink(const char *module_name) {
    Config c;
    c.broker.host = "127.0.0.1";
    LinkSpec link;
    link.name = "bus";
    link.target = "socket://127.0.0.1:7000";
    ModuleSpec m;
    m.name = module_name;
    PollSpec p;
    p.name = "temp";
    m.polls.push_back(p);
    link.modules.push_back(m);
    c.links.push_back(link);
    return c;
}

Reading At(int status, int error, double value) {
    Reading r;
    r.status = status;
    r.error = error;
    r.value = value;
    r.when = std::chrono::system_clock::now();
    return r;
}

// Counters stay over a reload that keeps a poll's name; a reading for a
// place the layout does not have is dropped; the event log keeps the last.
// An offline module keeps its poll's last good value, and the time of it.
TEST(GatewayPlantState, KeepsCountersAndGoodValuesOverAReloadAndOnlyTheLastEvents) {
    PlantState plant;
    plant.Layout(OneLink("boiler"));
    plant.NoteReading({0, 0, 0}, At(QOR_STATUS_OK, 0, 72.1), 0.02);
    plant.NoteReading({0, 0, 0}, At(QOR_STATUS_REPLY_FAULT, QOR_ERROR_NO_REPLY, 0), 0.4);
    plant.NoteReading({0, 0, 1}, At(QOR_STATUS_OK, 0, 1), 0.02);  // no such poll: ignored
    plant.NoteReading({1, 0, 0}, At(QOR_STATUS_OK, 0, 1), 0.02);  // no such link: ignored
    plant.NoteAvailability({0, 0}, Availability::kOffline);
    plant.Layout(OneLink("boiler"));  // a reload with the same module
    PlantSnapshot s = plant.Snapshot();
    const QueryView &q = s.links[0].modules[0].queries[0];
    EXPECT_EQ(q.outcomes[static_cast<std::size_t>(Outcome::kOk)], 1u);
    EXPECT_EQ(q.outcomes[static_cast<std::size_t>(Outcome::kTimeout)], 1u);
    EXPECT_EQ(s.links[0].durations, 2u);
    EXPECT_EQ(q.last.status, QOR_STATUS_REPLY_FAULT);
    ASSERT_TRUE(q.good.has_value());
    EXPECT_EQ(q.good->value, 72.1);
    EXPECT_EQ(plant.Module({0, 0}).availability, Availability::kOffline);
    EXPECT_TRUE(plant.Module({0, 1}).queries.empty());  // no such module: an empty view

    for (int i = 0; i < 120; ++i) {
        plant.NoteAvailability({0, 0}, i % 2 == 0 ? Availability::kOnline : Availability::kOffline);
    }
    s = plant.Snapshot();
    ASSERT_EQ(s.events.size(), kEventsKept);
    EXPECT_EQ(s.events.back().kind, "module_offline");  // the last, i = 119
    EXPECT_LE(s.events.front().when, s.events.back().when);
}

TEST(GatewayMetrics, TextFormatWithEscapedLabelsAndCumulativeBuckets) {
    EXPECT_EQ(EscapeLabel("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    PlantState plant;
    plant.Layout(OneLink("boil\"er"));
    plant.NoteLinkUp(0);
    plant.NoteReading({0, 0, 0}, At(QOR_STATUS_OK, 0, 72.1), 0.003);
    plant.NoteReading({0, 0, 0}, At(QOR_STATUS_OK, 0, 72.5), 0.2);
    plant.NoteReading({0, 0, 0}, At(QOR_STATUS_OK, 0, 72.5), 9.0);
    OutputHealth modbus;
    modbus.name = "modbus";
    modbus.enabled = true;
    modbus.ready = false;
    modbus.figures = {{"qor_gateway_modbus_clients", "Clients.", false, {{"unit", "a\"b"}}, 2}};
    OutputHealth off;
    off.name = "sparkplug";
    GatewayInfo info{"1.2.3", "gw", false};
    std::string text = RenderMetrics(plant.Snapshot(), {modbus, off}, info);
    for (const char *line : {
             "# TYPE qor_gateway_poll_duration_seconds histogram\n",
             "qor_gateway_poll_duration_seconds_bucket{link=\"bus\",le=\"0.005\"} 1\n",
             "qor_gateway_poll_duration_seconds_bucket{link=\"bus\",le=\"0.1\"} 1\n",
             "qor_gateway_poll_duration_seconds_bucket{link=\"bus\",le=\"0.25\"} 2\n",
             "qor_gateway_poll_duration_seconds_bucket{link=\"bus\",le=\"5\"} 2\n",
             "qor_gateway_poll_duration_seconds_bucket{link=\"bus\",le=\"+Inf\"} 3\n",
             "qor_gateway_poll_duration_seconds_count{link=\"bus\"} 3\n",
             "qor_gateway_readings_total{link=\"bus\",module=\"boil\\\"er\",query=\"temp\","
             "outcome=\"ok\"} 3\n",
             "qor_gateway_reading_value{link=\"bus\",module=\"boil\\\"er\",query=\"temp\"} 72.5\n",
             "qor_gateway_link_reconnects_total{link=\"bus\"} 0\n",
             "qor_gateway_link_up{link=\"bus\"} 1\n",
             "qor_gateway_modbus_clients{unit=\"a\\\"b\"} 2\n",
             "qor_gateway_output_enabled{output=\"sparkplug\"} 0\n",
             "qor_gateway_output_ready{output=\"modbus\"} 0\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    // A disabled output is not asked to be ready.
    EXPECT_EQ(text.find("qor_gateway_output_ready{output=\"sparkplug\"}"), std::string::npos);
    // Every family has its help and type, counters end in _total.
    std::size_t helps = 0;
    std::size_t types = 0;
    for (std::size_t at = 0; (at = text.find("# HELP ", at)) != std::string::npos; ++at) {
        ++helps;
    }
    for (std::size_t at = 0; (at = text.find("# TYPE ", at)) != std::string::npos; ++at) {
        std::size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        if (line.size() > 8 && line.compare(line.size() - 8, 8, " counter") == 0) {
            EXPECT_NE(line.find("_total "), std::string::npos) << line;
        }
        ++types;
    }
    EXPECT_EQ(helps, types);
    EXPECT_GE(types, 12u);
}

TEST(GatewayMetrics, TheSpoolsFiguresAndTheAgeOfItsOldestUnsentMessage) {
    PlantState plant;
    plant.Layout(OneLink("boiler"));
    PlantSnapshot s = plant.Snapshot();
    OutboxStatus d;
    d.spooled = true;
    d.spool_bytes = 4096;
    d.spool_messages = 12;
    d.oldest_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(s.now.time_since_epoch()).count() -
        90500;
    d.delivered = 7;
    d.committed = 19;
    d.spool_failures = 2;
    d.spool_failing = true;
    OutputHealth mqtt;
    mqtt.name = "mqtt";
    mqtt.figures = SpoolFigures(d, s.now);
    std::string text = RenderMetrics(s, {mqtt}, GatewayInfo{});
    for (const char *line : {
             "qor_gateway_spool_enabled 1\n",
             "qor_gateway_spool_bytes 4096\n",
             "qor_gateway_spool_messages 12\n",
             "qor_gateway_spool_oldest_unsent_age_seconds 90\n",
             "qor_gateway_delivered_total 7\n",
             "qor_gateway_spooled_total 19\n",
             "qor_gateway_spool_write_failures_total 2\n",
             "qor_gateway_spool_writable 0\n",
             "qor_gateway_spool_resets_total 0\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    d.oldest_ms = 0;  // nothing unsent
    mqtt.figures = SpoolFigures(d, s.now);
    EXPECT_NE(RenderMetrics(s, {mqtt}, GatewayInfo{})
                  .find("qor_gateway_spool_oldest_unsent_age_seconds 0\n"),
              std::string::npos);
}

}  // namespace
}  // namespace qor::gateway
