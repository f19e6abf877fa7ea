#include "gateway/core/config.h"

#include <mosquitto.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

#include "catalogue/catalogue.h"
#include "gateway/core/log.h"
#include "gateway/modbus/modbus_map.h"
#include "gateway/modbus/modbus_toml.h"
#include "qor_comm.h"

namespace qor::gateway {

namespace {

// Thrown inside this file only: the first error ends the reading.
struct ConfigError {
    unsigned line;
    std::string reason;
};

unsigned LineOf(const toml::node &node) {
    return node.source().begin.line;
}

[[noreturn]] void Fail(const toml::node &at, std::string reason) {
    throw ConfigError{LineOf(at), std::move(reason)};
}

const toml::node &Need(const toml::table &table, std::string_view key, const char *where) {
    const toml::node *node = table.get(key);
    if (node == nullptr) {
        Fail(table, std::string(where) + " needs \"" + std::string(key) + "\"");
    }
    return *node;
}

std::string String(const toml::node &node, std::string_view key) {
    if (!node.is_string()) {
        Fail(node, "\"" + std::string(key) + "\" must be a string");
    }
    return node.as_string()->get();
}

long long Integer(const toml::node &node, std::string_view key, long long lo, long long hi) {
    if (!node.is_integer() || node.as_integer()->get() < lo || node.as_integer()->get() > hi) {
        Fail(node, "\"" + std::string(key) + "\" must be an integer from " + std::to_string(lo) +
                       " to " + std::to_string(hi));
    }
    return node.as_integer()->get();
}

// Optional keys keep the default they already hold.
void Optional(const toml::table &t, std::string_view key, std::string *out) {
    if (const toml::node *node = t.get(key)) {
        *out = String(*node, key);
    }
}

template <typename T>
void Optional(const toml::table &t, std::string_view key, long long lo, long long hi, T *out) {
    if (const toml::node *node = t.get(key)) {
        *out = static_cast<T>(Integer(*node, key, lo, hi));
    }
}

const toml::table &Table(const toml::node &node, const std::string &what) {
    if (!node.is_table()) {
        Fail(node, what + " must be a table");
    }
    return *node.as_table();
}

// Misspelt keys would otherwise be ignored silently.
void OnlyKeys(const toml::table &t, std::initializer_list<std::string_view> allowed,
              const std::string &where) {
    for (const auto &[key, node] : t) {
        if (std::find(allowed.begin(), allowed.end(), key.str()) == allowed.end()) {
            Fail(node, "unknown key \"" + std::string(key.str()) + "\" in " + where);
        }
    }
}

// A name that is one level of a topic and reads the same in a shell.
void CheckName(const toml::node &at, const std::string &name, const std::string &what) {
    bool ok = !name.empty() && name.size() <= 64;
    for (char c : name) {
        ok =
            ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.');
    }
    if (!ok) {
        Fail(at, what + " \"" + name + "\" must be 1 to 64 letters, digits, '_', '-' or '.'");
    }
}

bool HasControl(const std::string &text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool ValidUtf8(const std::string &text) {
    return mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

// Topic levels joined by '/', as MQTT topic names allow (UTF-8, no
// wildcards) and without '$', empty levels or control characters.
void CheckPrefix(const toml::node &at, const std::string &prefix, std::string_view key) {
    std::stringstream levels(prefix);
    std::string level;
    bool ok = !prefix.empty() && prefix.size() <= 1024 && prefix.front() != '/' &&
              prefix.back() != '/' && prefix.front() != '$' && !HasControl(prefix) &&
              ValidUtf8(prefix);
    while (ok && std::getline(levels, level, '/')) {
        ok = !level.empty() && level.find_first_of("+#") == std::string::npos;
    }
    if (!ok) {
        Fail(at, "\"" + std::string(key) +
                     "\" must be topic levels joined by '/', without '+', '#', a "
                     "leading '$', control characters or empty levels");
    }
}

// The client id is a topic level of the gateway's status topic, and the
// broker's key for the session.
void CheckClientId(const toml::node &at, const std::string &id) {
    bool ok = !id.empty() && id.size() <= kMaxClientId && !HasControl(id) && ValidUtf8(id) &&
              id.find_first_of("+#/ ") == std::string::npos;
    if (!ok) {
        Fail(at, "\"client_id\" must be 1 to " + std::to_string(kMaxClientId) +
                     " characters of UTF-8, without '+', '#', '/', blanks or control characters");
    }
}

// The byte link leaves a port it cannot parse a target for to its default
// device, so a mistyped target is caught here rather than on a serial port
// nobody meant: a device path must be absolute, and the byte link's own
// parser judges the rest (its transports, options, ranges and rates). A
// target it accepts with a scheme ("://" before any options) is one of its
// transports, whichever; only a device path is checked further.
void CheckTarget(const toml::node &at, const std::string &target) {
    char why[512] = {};
    bool parsed = QOR_CheckTarget(target.c_str(), why, sizeof why) == 1;
    std::size_t scheme_end = target.find("://");
    bool scheme = scheme_end != std::string::npos && scheme_end < target.find('?');
    if (parsed && !scheme && target.front() != '/') {
        parsed = false;
        std::snprintf(why, sizeof why, "a device path must be absolute (/dev/ttyUSB0)");
    }
    if (!parsed) {
        Fail(at, "\"target\" " + Quoted(target) + " is refused: " + why);
    }
}

std::string Resolve(const std::string &base_dir, const std::string &file) {
    if (file.empty() || file.front() == '/' || base_dir.empty()) {
        return file;
    }
    return base_dir + "/" + file;
}

// Files are checked now, so that --check finds a missing one. Only regular
// files: a device or a pipe named by mistake would be read forever.
std::string ReadableFile(const toml::table &t, std::string_view key, const std::string &base) {
    const toml::node *node = t.get(key);
    if (node == nullptr) {
        return "";
    }
    std::string path = Resolve(base, String(*node, key));
    struct stat info {};
    if (access(path.c_str(), R_OK) != 0 || stat(path.c_str(), &info) != 0) {
        Fail(*node, "cannot read " + std::string(key) + " " + Quoted(path));
    }
    if (!S_ISREG(info.st_mode)) {
        Fail(*node, std::string(key) + " " + Quoted(path) + " is not a regular file");
    }
    return path;
}

// The password is the file's first line. A line ending of CR LF (a file
// written on Windows) loses its CR too: no broker password ends in one.
std::string ReadPassword(const toml::node &at, const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || info.st_size > static_cast<off_t>(kMaxPasswordBytes)) {
        Fail(at, "password_file " + Quoted(path) + " is longer than " +
                     std::to_string(kMaxPasswordBytes) + " bytes");
    }
    std::ifstream in(path, std::ios::binary);
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    if (password.find('\0') != std::string::npos || password.find('\r') != std::string::npos) {
        Fail(at, "password_file " + Quoted(path) +
                     " holds a NUL or a CR in its first line; write the password alone on it");
    }
    return password;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "host";
    }
    return name;
}

void CheckHost(const toml::node &at, const std::string &host) {
    if (host.empty() || host.size() > 253 || HasControl(host) ||
        host.find_first_of(" /") != std::string::npos) {
        Fail(at, "a broker host must be a host name or an address");
    }
}

// "host" (with "port"), or "hosts" = ["a:1883", "b"]: the brokers in the
// order they are tried; a host without ":PORT" takes "port".
std::vector<BrokerHost> ReadHosts(const toml::table &t, int port) {
    const toml::node *one = t.get("host");
    const toml::node *many = t.get("hosts");
    if ((one == nullptr) == (many == nullptr)) {
        Fail(t, "[broker] needs \"host\" or \"hosts\", one of them");
    }
    if (one != nullptr) {
        std::string host = String(*one, "host");
        CheckHost(*one, host);
        return {{host, port}};
    }
    const toml::array *list = many->as_array();
    if (list == nullptr || list->empty() || list->size() > 16) {
        Fail(*many, "\"hosts\" must be a list of 1 to 16 \"HOST:PORT\" strings");
    }
    std::vector<BrokerHost> hosts;
    for (const toml::node &item : *list) {
        std::string text = String(item, "hosts");
        BrokerHost h{text, port};
        std::size_t colon = text.rfind(':');
        bool bracketed = !text.empty() && text.front() == '[';
        if (colon != std::string::npos && (bracketed || text.find(':') == colon)) {
            std::string digits = text.substr(colon + 1);
            bool numeric = !digits.empty() && digits.size() <= 5 &&
                           digits.find_first_not_of("0123456789") == std::string::npos;
            if (!numeric || std::stoi(digits) < 1 || std::stoi(digits) > 65535) {
                Fail(item, "broker " + Quoted(text) + ": the port must be 1 to 65535");
            }
            h.port = std::stoi(digits);
            h.host = text.substr(0, colon);
        }
        if (bracketed && h.host.size() > 2 && h.host.back() == ']') {
            h.host = h.host.substr(1, h.host.size() - 2);
        }
        CheckHost(item, h.host);
        hosts.push_back(h);
    }
    return hosts;
}

MqttProtocol ReadProtocol(const toml::table &t) {
    std::string protocol = "auto";
    Optional(t, "protocol", &protocol);
    if (protocol == "5") {
        return MqttProtocol::kV5;
    }
    if (protocol == "3.1.1") {
        return MqttProtocol::kV311;
    }
    if (protocol != "auto") {
        Fail(*t.get("protocol"), "\"protocol\" must be \"auto\", \"5\" or \"3.1.1\"");
    }
    return MqttProtocol::kAuto;
}

BrokerSpec ReadBroker(const toml::table &root, const std::string &base) {
    const toml::table &t = Table(Need(root, "broker", "the file"), "[broker]");
    OnlyKeys(t,
             {"host", "hosts", "port", "client_id", "keepalive_s", "connect_timeout_s", "username",
              "password_file", "tls_ca_file", "tls_cert_file", "tls_key_file", "protocol"},
             "[broker]");
    BrokerSpec b;
    b.line = LineOf(t);
    b.client_id = "qor-gateway-" + HostName();
    Optional(t, "port", 1, 65535, &b.port);
    b.hosts = ReadHosts(t, b.port);
    b.host = b.hosts.front().host;
    b.port = b.hosts.front().port;
    Optional(t, "client_id", &b.client_id);
    CheckClientId(t.get("client_id") ? *t.get("client_id") : static_cast<const toml::node &>(t),
                  b.client_id);
    Optional(t, "keepalive_s", 5, 3600, &b.keepalive_s);
    Optional(t, "connect_timeout_s", 1, 300, &b.connect_timeout_s);
    b.protocol = ReadProtocol(t);
    Optional(t, "username", &b.username);
    if (HasControl(b.username) || !ValidUtf8(b.username)) {
        Fail(*t.get("username"), "\"username\" must be UTF-8 without control characters");
    }
    b.password_file = ReadableFile(t, "password_file", base);
    if (!b.password_file.empty()) {
        b.password = ReadPassword(*t.get("password_file"), b.password_file);
        if (b.username.empty()) {
            Fail(t, "[broker] has a password_file but no username");
        }
    }
    b.tls_ca_file = ReadableFile(t, "tls_ca_file", base);
    b.tls_cert_file = ReadableFile(t, "tls_cert_file", base);
    b.tls_key_file = ReadableFile(t, "tls_key_file", base);
    if (b.tls_cert_file.empty() != b.tls_key_file.empty() ||
        (!b.tls_cert_file.empty() && b.tls_ca_file.empty())) {
        Fail(t,
             "[broker] needs tls_cert_file and tls_key_file together, and tls_ca_file with them");
    }
    return b;
}

// Where the spool goes unless spool_path says: systemd's state directory
// (StateDirectory=) when there is one, else beside the configuration.
std::string DefaultSpoolPath(const std::string &base, const std::string &client_id) {
    const char *state = std::getenv("STATE_DIRECTORY");
    std::string folder = state != nullptr && *state != '\0' ? state : base;
    folder = folder.substr(0, folder.find(':'));  // the first of several
    return (folder.empty() ? std::string(".") : folder) + "/" + client_id + ".db";
}

void ReadSpool(const toml::table &t, Config *c) {
    SpoolSettings &s = c->spool;
    if (const toml::node *on = t.get("spool")) {
        if (!on->is_boolean()) {
            Fail(*on, "\"spool\" must be true or false");
        }
        s.enabled = on->as_boolean()->get();
    }
    Optional(t, "spool_path", &s.path);
    if (const toml::node *path = t.get("spool_path")) {
        s.line = LineOf(*path);
    }
    if (s.path.empty() || HasControl(s.path)) {
        s.path.clear();
    }
    long long ms = s.commit_interval.count();
    Optional(t, "spool_commit_ms", 1, 60000, &ms);
    s.commit_interval = std::chrono::milliseconds(ms);
    Optional(t, "spool_commit_messages", 1, 1000000, &s.commit_messages);
    if (const toml::node *mb = t.get("spool_max_mb")) {
        double value = mb->is_number() ? mb->value<double>().value_or(0) : 0;
        if (!(value >= 0.01 && value <= 1e6)) {
            Fail(*mb, "\"spool_max_mb\" must be a number from 0.01 to 1000000");
        }
        s.max_bytes = static_cast<std::uint64_t>(value * 1048576.0);
    }
    long long hours = s.max_age.count() / 3600;
    Optional(t, "spool_max_age_h", 1, 87600, &hours);
    s.max_age = std::chrono::seconds(hours * 3600);
}

void ReadGateway(const toml::table &root, Config *c) {
    const toml::node *node = root.get("gateway");
    if (node == nullptr) {
        return;
    }
    const toml::table &t = Table(*node, "[gateway]");
    OnlyKeys(t,
             {"topic_prefix", "reply_prefix", "queue_size", "offline_after", "counters_interval_s",
              "flush_timeout_s", "spool", "spool_path", "spool_commit_ms", "spool_commit_messages",
              "spool_max_mb", "spool_max_age_h"},
             "[gateway]");
    if (const toml::node *prefix = t.get("topic_prefix")) {
        c->topic_prefix = String(*prefix, "topic_prefix");
        CheckPrefix(*prefix, c->topic_prefix, "topic_prefix");
    }
    c->reply_prefix = c->topic_prefix + "/reply";
    if (const toml::node *prefix = t.get("reply_prefix")) {
        c->reply_prefix = String(*prefix, "reply_prefix");
        CheckPrefix(*prefix, c->reply_prefix, "reply_prefix");
    }
    Optional(t, "queue_size", 1, 10000000, &c->queue_size);
    Optional(t, "offline_after", 1, 1000, &c->offline_after);
    long long seconds = c->counters_interval.count();
    Optional(t, "counters_interval_s", 1, 86400, &seconds);
    c->counters_interval = std::chrono::seconds(seconds);
    seconds = c->flush_timeout.count();
    Optional(t, "flush_timeout_s", 0, 300, &seconds);
    c->flush_timeout = std::chrono::seconds(seconds);
    ReadSpool(t, c);
}

// "127.0.0.1:8080", "[::1]:8080" or "0.0.0.0:8080": an address, not a name,
// so that the listener never depends on a resolver.
void ReadListen(const toml::node &node, HttpSpec *h) {
    std::string text = String(node, "listen");
    std::size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    bool ok = !host.empty() && !port.empty() && port.size() <= 5 &&
              port.find_first_not_of("0123456789") == std::string::npos && std::stol(port) >= 1 &&
              std::stol(port) <= 65535 &&
              host.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos;
    if (!ok) {
        Fail(node, "\"listen\" must be ADDRESS:PORT, such as \"127.0.0.1:8080\" or \"[::1]:8080\"");
    }
    h->host = host;
    h->port = static_cast<int>(std::stol(port));
}

// [http] hosts: host names (letters, digits, '-', '.') or numeric
// addresses, as a Host header gives them without the port.
std::vector<std::string> ReadHttpHosts(const toml::node &node) {
    const toml::array *list = node.as_array();
    if (list == nullptr || list->size() > 32) {
        Fail(node, "\"hosts\" must be a list of at most 32 host names");
    }
    std::vector<std::string> hosts;
    for (const toml::node &item : *list) {
        std::string host = String(item, "hosts");
        if (host.empty() || host.size() > 253 ||
            host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789-.:[]") != std::string::npos) {
            Fail(item, "[http] hosts: " + Quoted(host) +
                           " is no host name or address (no port, no scheme)");
        }
        hosts.push_back(host);
    }
    return hosts;
}

void ReadHttp(const toml::table &root, const std::string &base, Config *c) {
    const toml::node *node = root.get("http");
    if (node == nullptr) {
        return;
    }
    const toml::table &t = Table(*node, "[http]");
    OnlyKeys(t,
             {"listen", "tls_cert_file", "tls_key_file", "users_file", "commands", "threads",
              "max_connections", "hosts"},
             "[http]");
    HttpSpec &h = c->http;
    h.enabled = true;
    h.line = LineOf(t);
    if (const toml::node *listen = t.get("listen")) {
        ReadListen(*listen, &h);
    }
    h.tls_cert_file = ReadableFile(t, "tls_cert_file", base);
    h.tls_key_file = ReadableFile(t, "tls_key_file", base);
    if (h.tls_cert_file.empty() != h.tls_key_file.empty()) {
        Fail(t, "[http] needs tls_cert_file and tls_key_file together");
    }
    h.users_file = ReadableFile(t, "users_file", base);
    if (const toml::node *commands = t.get("commands")) {
        if (!commands->is_boolean()) {
            Fail(*commands, "\"commands\" must be true or false");
        }
        h.commands = commands->as_boolean()->get();
        if (h.commands && h.users_file.empty()) {
            Fail(*commands, "[http] commands = true needs users_file: commands need a user");
        }
    }
    Optional(t, "threads", 1, 64, &h.threads);
    Optional(t, "max_connections", 1, 10000, &h.max_connections);
    if (const toml::node *hosts = t.get("hosts")) {
        h.hosts = ReadHttpHosts(*hosts);
    }
}

// A Sparkplug ID is one topic level: no '+', '#' or '/'.
void CheckSparkplugId(const toml::node &at, const std::string &id, const std::string &what) {
    if (id.empty() || id.size() > 128 || id.find_first_of("+#/") != std::string::npos) {
        Fail(at, what + " must be 1 to 128 characters without '+', '#' or '/'");
    }
}

void ReadSparkplug(const toml::table &root, const std::string &base, Config *c) {
    SparkplugSpec &s = c->sparkplug;
    s.edge_node = c->broker.client_id;
    const toml::node *node = root.get("sparkplug");
    if (node == nullptr) {
        return;
    }
    const toml::table &t = Table(*node, "[sparkplug]");
    OnlyKeys(t, {"enabled", "group_id", "edge_node_id", "bdseq_file", "primary_host_id", "aliases"},
             "[sparkplug]");
    s.line = LineOf(t);
    if (const toml::node *enabled = t.get("enabled")) {
        if (!enabled->is_boolean()) {
            Fail(*enabled, "\"enabled\" must be true or false");
        }
        s.enabled = enabled->as_boolean()->get();
    }
    const toml::node &group = Need(t, "group_id", "[sparkplug]");
    s.group = String(group, "group_id");
    CheckSparkplugId(group, s.group, "\"group_id\"");
    if (const toml::node *edge = t.get("edge_node_id")) {
        s.edge_node = String(*edge, "edge_node_id");
        CheckSparkplugId(*edge, s.edge_node, "\"edge_node_id\"");
    } else {
        CheckSparkplugId(t, s.edge_node, "the broker's client_id, the default edge_node_id,");
    }
    if (const toml::node *file = t.get("bdseq_file")) {
        s.bdseq_file = Resolve(base, String(*file, "bdseq_file"));
    }
    if (const toml::node *host = t.get("primary_host_id")) {
        s.primary_host = String(*host, "primary_host_id");
        CheckSparkplugId(*host, s.primary_host, "\"primary_host_id\"");
    }
    if (const toml::node *aliases = t.get("aliases")) {
        if (!aliases->is_boolean()) {
            Fail(*aliases, "\"aliases\" must be true or false");
        }
        s.aliases = aliases->as_boolean()->get();
    }
}

void ReadHomeAssistant(const toml::table &root, Config *c) {
    HomeAssistantSpec &h = c->homeassistant;
    for (char ch : c->broker.client_id) {
        h.node += std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' ? ch : '_';
    }
    const toml::node *node = root.get("homeassistant");
    if (node == nullptr) {
        return;
    }
    const toml::table &t = Table(*node, "[homeassistant]");
    OnlyKeys(t, {"enabled", "discovery_prefix", "node_id"}, "[homeassistant]");
    if (const toml::node *enabled = t.get("enabled")) {
        if (!enabled->is_boolean()) {
            Fail(*enabled, "\"enabled\" must be true or false");
        }
        h.enabled = enabled->as_boolean()->get();
    }
    if (const toml::node *prefix = t.get("discovery_prefix")) {
        h.prefix = String(*prefix, "discovery_prefix");
        CheckPrefix(*prefix, h.prefix, "discovery_prefix");
    }
    if (const toml::node *id = t.get("node_id")) {
        h.node = String(*id, "node_id");
        bool ok = !h.node.empty();
        for (char ch : h.node) {
            ok = ok && (std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-');
        }
        if (!ok) {
            Fail(*id, "\"node_id\" must be letters, digits, '_' or '-'");
        }
    }
}

constexpr long long kLongestIntervalMs = 86400000;  // a day
constexpr const catalogue::ArgInfo &kCountArg = catalogue::ArgOf(catalogue::ArgKind::kDiCount);

double Finite(const toml::node &node, std::string_view key) {
    double value = node.is_number() ? node.value<double>().value_or(0) : 0;
    if (!node.is_number() || !std::isfinite(value)) {
        Fail(node, "\"" + std::string(key) + "\" must be a number");
    }
    return value;
}

// "name", "scale" and "offset": what the poll publishes, for a value query.
void ReadEngineering(const toml::table &t, PollSpec *p) {
    if (const toml::node *name = t.get("name")) {
        p->display_name = String(*name, "name");
        if (p->display_name.empty() || p->display_name.size() > 128 ||
            HasControl(p->display_name) || !ValidUtf8(p->display_name)) {
            Fail(*name, "\"name\" must be 1 to 128 characters of UTF-8 without control characters");
        }
    }
    const toml::node *scale = t.get("scale");
    const toml::node *offset = t.get("offset");
    if ((scale != nullptr || offset != nullptr) && !QueryGivesValue(p->query)) {
        Fail(scale != nullptr ? *scale : *offset,
             "only the value queries (" + catalogue::Words(catalogue::IsValueQuery, " ") +
                 ") take scale and offset");
    }
    if (scale != nullptr) {
        p->scaling.scale = Finite(*scale, "scale");
        if (p->scaling.scale == 0) {
            Fail(*scale, "\"scale\" must not be 0: every reading would publish the offset");
        }
    }
    if (offset != nullptr) {
        p->scaling.offset = Finite(*offset, "offset");
    }
}

// "deadband" (2.5, or "2%" of the last value published) and
// "max_interval_ms": report by exception.
void ReadReport(const toml::table &t, PollSpec *p) {
    const toml::node *band = t.get("deadband");
    const toml::node *most = t.get("max_interval_ms");
    ReportRule &r = p->report;
    r.enabled = band != nullptr || most != nullptr;
    if (band != nullptr && QueryTakesBit(p->query)) {
        Fail(*band,
             "a bit takes no deadband: it is published when it changes "
             "(give max_interval_ms alone)");
    }
    if (band != nullptr && band->is_string()) {
        std::string text = band->as_string()->get();
        char *end = nullptr;
        r.percent = true;
        r.deadband = std::strtod(text.c_str(), &end);
        if (text.empty() || end == text.c_str() || std::string_view(end) != "%" ||
            !std::isfinite(r.deadband)) {
            Fail(*band, "\"deadband\" must be a number or a percentage such as \"2%\"");
        }
    } else if (band != nullptr) {
        r.deadband = Finite(*band, "deadband");
    }
    if (r.deadband < 0) {
        Fail(*band, "\"deadband\" must not be negative");
    }
    if (r.percent && r.deadband > 100) {
        Fail(*band, "\"deadband\" must be at most 100%");
    }
    if (most != nullptr) {
        r.max_interval =
            std::chrono::milliseconds(Integer(*most, "max_interval_ms", 1, kLongestIntervalMs));
        if (r.max_interval < p->interval) {
            Fail(*most, "\"max_interval_ms\" (" + std::to_string(r.max_interval.count()) +
                            ") is shorter than interval_ms (" +
                            std::to_string(p->interval.count()) + ")");
        }
    }
}

// "rd = 1000", or "door = { query = "di", interval_ms = 500, bit = 2 }".
PollSpec ReadPoll(std::string_view key, const toml::node &node) {
    PollSpec p;
    p.name = std::string(key);
    CheckName(node, p.name, "poll name");
    if (p.name == "availability" || p.name == "counters" || p.name == "set") {
        Fail(node, "poll name \"" + p.name + "\" is taken by the gateway's own topics");
    }
    if (node.is_integer()) {
        auto query = QueryFromName(key);
        if (!query) {
            Fail(node, "\"" + p.name + "\" is no query (" + catalogue::Words(true, " ") +
                           "); give one with { query = \"...\", interval_ms = N }");
        }
        p.query = *query;
        p.interval = std::chrono::milliseconds(Integer(node, key, 1, kLongestIntervalMs));
        if (QueryTakesBit(p.query)) {
            Fail(node,
                 "\"" + p.name + "\" needs its bit: { query = ..., interval_ms = N, bit = B }");
        }
        return p;
    }
    const toml::table &t = Table(node, "poll \"" + p.name + "\"");
    OnlyKeys(t,
             {"query", "interval_ms", "bytes", "byte", "bit", "unit", "device_class", "state_class",
              "name", "scale", "offset", "deadband", "max_interval_ms"},
             "poll \"" + p.name + "\"");
    Optional(t, "unit", &p.unit);
    Optional(t, "device_class", &p.device_class);
    Optional(t, "state_class", &p.state_class);
    if (!p.state_class.empty() && p.state_class != "measurement" && p.state_class != "total" &&
        p.state_class != "total_increasing") {
        Fail(*t.get("state_class"),
             "\"state_class\" must be measurement, total or total_increasing");
    }
    const toml::node &query_node = Need(t, "query", "a poll");
    auto query = QueryFromName(String(query_node, "query"));
    if (!query) {
        Fail(query_node, "unknown query \"" + String(query_node, "query") + "\" (" +
                             catalogue::Words(true, " ") + ")");
    }
    p.query = *query;
    p.interval = std::chrono::milliseconds(
        Integer(Need(t, "interval_ms", "a poll"), "interval_ms", 1, kLongestIntervalMs));
    if (QueryTakesBytes(p.query)) {
        Optional(t, "bytes", kCountArg.low, kCountArg.high, &p.bytes);
        Optional(t, "byte", 1, p.bytes, &p.byte);
    } else if (t.get("bytes") || t.get("byte")) {
        Fail(t, "only \"di\" takes bytes and byte");
    }
    if (QueryTakesBit(p.query)) {
        p.bit = static_cast<int>(
            Integer(Need(t, "bit", "this poll"), "bit", 0, QueryHighestBit(p.query)));
    } else if (t.get("bit")) {
        Fail(t, "only \"rb\" and \"di\" take a bit");
    }
    ReadEngineering(t, &p);
    ReadReport(t, &p);
    return p;
}

std::vector<CommandKind> ReadWritable(const toml::table &t) {
    std::vector<CommandKind> kinds;
    const toml::node *node = t.get("writable");
    if (node == nullptr) {
        return kinds;
    }
    if (!node->is_array()) {
        Fail(*node, "\"writable\" must be a list of command names");
    }
    for (const toml::node &item : *node->as_array()) {
        auto kind = item.is_string() ? CommandFromName(item.as_string()->get()) : std::nullopt;
        if (!kind) {
            Fail(item, "\"writable\" holds a name that is no command (" +
                           catalogue::Words(false, " ") + ")");
        }
        kinds.push_back(*kind);
    }
    return kinds;
}

char ReadAddress(const toml::node &node) {
    std::string text = String(node, "address");
    if (text.size() != 1 || text[0] <= ' ' || text[0] > '~' ||
        std::string_view("$#*?").find(text[0]) != std::string_view::npos) {
        Fail(node, "\"address\" must be one printable character other than $ # * ?");
    }
    return text[0];
}

ModuleSpec ReadModule(const toml::node &node) {
    const toml::table &t = Table(node, "[[link.module]]");
    OnlyKeys(t, {"address", "name", "poll", "writable"}, "[[link.module]]");
    ModuleSpec m;
    m.address = ReadAddress(Need(t, "address", "a module"));
    const toml::node &name = Need(t, "name", "a module");
    m.name = String(name, "name");
    CheckName(name, m.name, "module name");
    if (const toml::node *polls = t.get("poll")) {
        for (const auto &[key, poll] : Table(*polls, "\"poll\"")) {
            m.polls.push_back(ReadPoll(key.str(), poll));
        }
    }
    m.writable = ReadWritable(t);
    return m;
}

LinkSpec ReadLink(const toml::node &node) {
    const toml::table &t = Table(node, "[[link]]");
    OnlyKeys(t, {"name", "target", "module"}, "[[link]]");
    LinkSpec link;
    const toml::node &name = Need(t, "name", "a link");
    link.name = String(name, "name");
    CheckName(name, link.name, "link name");
    if (link.name == "gateway") {
        Fail(name, "link name \"gateway\" is taken by the gateway's own topics");
    }
    const toml::node &target = Need(t, "target", "a link");
    link.target = String(target, "target");
    CheckTarget(target, link.target);
    const toml::node &modules = Need(t, "module", "a link");
    if (!modules.is_array_of_tables() || modules.as_array()->empty()) {
        Fail(modules, "a link needs its modules as [[link.module]] tables");
    }
    std::set<std::string> names;
    std::set<char> addresses;
    for (const toml::node &item : *modules.as_array()) {
        ModuleSpec m = ReadModule(item);
        if (!names.insert(m.name).second || !addresses.insert(m.address).second) {
            Fail(item, "module \"" + m.name + "\" repeats a name or an address of its link");
        }
        link.modules.push_back(std::move(m));
    }
    return link;
}

// Results sent to a response topic must never land on a reading,
// availability, counters, status or command topic: the reply namespace and
// the gateway's own topics share no topic.
void CheckReplyNamespace(const toml::table &root, const Config &c) {
    const toml::node *at = root.at_path("gateway.reply_prefix").node();
    const std::string &reply = c.reply_prefix;
    const std::string &topics = c.topic_prefix;
    std::string clash;
    if (reply == topics || topics.rfind(reply + "/", 0) == 0) {
        clash = "holds topic_prefix";
    } else if (reply.rfind(topics + "/", 0) == 0) {
        std::string level = reply.substr(topics.size() + 1);
        level = level.substr(0, level.find('/'));
        if (level == "gateway") {
            clash = "lies among the gateway's own topics";
        }
        for (const LinkSpec &link : c.links) {
            if (link.name == level) {
                clash = "lies among the topics of link \"" + link.name + "\"";
            }
        }
    }
    // Nor on Home Assistant's discovery configs or the Sparkplug B topics.
    auto overlaps = [&reply](const std::string &other) {
        return reply == other || reply.rfind(other + "/", 0) == 0 ||
               other.rfind(reply + "/", 0) == 0;
    };
    if (!clash.empty()) {
    } else if (c.homeassistant.enabled && overlaps(c.homeassistant.prefix)) {
        clash = "overlaps the discovery_prefix of [homeassistant]";
    } else if (c.sparkplug.enabled && overlaps("spBv1.0")) {
        clash = "overlaps the Sparkplug B topics";
    }
    if (!clash.empty()) {
        Fail(at != nullptr ? *at : static_cast<const toml::node &>(root),
             "the reply namespace \"" + reply + "\" (reply_prefix) " + clash +
                 "; name another with reply_prefix");
    }
}

Config ReadConfig(const toml::table &root, const std::string &base) {
    OnlyKeys(root, {"broker", "gateway", "link", "modbus", "http", "sparkplug", "homeassistant"},
             "the file");
    Config c;
    c.broker = ReadBroker(root, base);
    ReadGateway(root, &c);
    ReadHttp(root, base, &c);
    ReadSparkplug(root, base, &c);
    ReadHomeAssistant(root, &c);
    c.spool.path = c.spool.path.empty() ? DefaultSpoolPath(base, c.broker.client_id)
                                        : Resolve(base, c.spool.path);
    const toml::node &links = Need(root, "link", "the file");
    if (!links.is_array_of_tables() || links.as_array()->empty()) {
        Fail(links, "the links must be [[link]] tables");
    }
    if (links.as_array()->size() > kMaxLinks) {
        Fail(links, "more than " + std::to_string(kMaxLinks) + " links");
    }
    std::set<std::string> names;
    for (const toml::node &item : *links.as_array()) {
        LinkSpec link = ReadLink(item);
        if (!names.insert(link.name).second) {
            Fail(item, "link name \"" + link.name + "\" is used twice");
        }
        c.links.push_back(std::move(link));
    }
    CheckReplyNamespace(root, c);
    if (const toml::node *modbus = root.get("modbus")) {
        unsigned line = 0;
        std::string reason = ReadModbusSection(*modbus, c.links, &c.modbus, &line);
        if (reason.empty() && c.modbus.enabled) {
            line = LineOf(*modbus);
            ModbusMap::Build(c, &reason);
        }
        if (!reason.empty()) {
            throw ConfigError{line, reason};
        }
    }
    return c;
}

}  // namespace

bool BrokerSpec::operator==(const BrokerSpec &o) const {
    return hosts == o.hosts && client_id == o.client_id && keepalive_s == o.keepalive_s &&
           connect_timeout_s == o.connect_timeout_s && username == o.username &&
           password == o.password && tls_ca_file == o.tls_ca_file &&
           tls_cert_file == o.tls_cert_file && tls_key_file == o.tls_key_file &&
           protocol == o.protocol;
}

bool HttpSpec::operator==(const HttpSpec &o) const {
    return enabled == o.enabled && host == o.host && port == o.port &&
           tls_cert_file == o.tls_cert_file && tls_key_file == o.tls_key_file &&
           users_file == o.users_file && commands == o.commands && threads == o.threads &&
           max_connections == o.max_connections && hosts == o.hosts;
}

bool SparkplugSpec::operator==(const SparkplugSpec &o) const {
    return enabled == o.enabled && group == o.group && edge_node == o.edge_node &&
           bdseq_file == o.bdseq_file && primary_host == o.primary_host && aliases == o.aliases;
}

bool ModuleSpec::Writable(CommandKind kind) const {
    return std::find(writable.begin(), writable.end(), kind) != writable.end();
}

const ModuleSpec *LinkSpec::Module(std::string_view wanted) const {
    for (const ModuleSpec &m : modules) {
        if (m.name == wanted) {
            return &m;
        }
    }
    return nullptr;
}

ConfigResult ParseConfig(std::string_view text, const std::string &path,
                         const std::string &base_dir) {
    ConfigResult result;
    try {
        toml::table root = toml::parse(text, path);
        result.config = ReadConfig(root, base_dir);
    } catch (const toml::parse_error &e) {
        result.error = path + ":" + std::to_string(e.source().begin.line) + ": " +
                       std::string(e.description());
    } catch (const ConfigError &e) {
        result.error = path + ":" + std::to_string(e.line) + ": " + e.reason;
    }
    return result;
}

ConfigResult LoadConfig(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || access(path.c_str(), R_OK) != 0) {
        return {std::nullopt, path + ":0: cannot read the file"};
    }
    if (!S_ISREG(info.st_mode)) {
        return {std::nullopt, path + ":0: not a regular file"};
    }
    if (info.st_size > static_cast<off_t>(kMaxConfigBytes)) {
        return {std::nullopt, path + ":0: longer than " + std::to_string(kMaxConfigBytes) +
                                  " bytes; no configuration is that long"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {std::nullopt, path + ":0: cannot read the file"};
    }
    std::string text(kMaxConfigBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxConfigBytes) {
        return {std::nullopt, path + ":0: longer than " + std::to_string(kMaxConfigBytes) +
                                  " bytes; no configuration is that long"};
    }
    std::string::size_type slash = path.rfind('/');
    std::string base = slash == std::string::npos ? "." : path.substr(0, slash);
    return ParseConfig(text, path, base.empty() ? "/" : base);
}

}  // namespace qor::gateway
