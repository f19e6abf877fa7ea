#include "config.h"

#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

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

void CheckPrefix(const toml::node &at, const std::string &prefix) {
    std::stringstream levels(prefix);
    std::string level;
    bool ok =
        !prefix.empty() && prefix.front() != '/' && prefix.back() != '/' && prefix.front() != '$';
    while (ok && std::getline(levels, level, '/')) {
        ok = !level.empty() && level.find_first_of("+#") == std::string::npos;
    }
    if (!ok) {
        Fail(at,
             "\"topic_prefix\" must be topic levels joined by '/', without '+', '#', a "
             "leading '$' or empty levels");
    }
}

// The byte link leaves a port it cannot parse a target for to its default
// device, so a mistyped target is caught here rather than on a serial port
// nobody meant.
// The form of a target; its options are the byte link's to judge when the
// link opens (a refusal says why in the log).
void CheckTarget(const toml::node &at, const std::string &target) {
    std::string where = target.substr(0, target.find('?'));
    bool ok = where.size() > 1 && where[0] == '/';
    for (const char *scheme : {"socket://", "rfc2217://"}) {
        if (where.rfind(scheme, 0) != 0) {
            continue;
        }
        std::string host_port = where.substr(std::string(scheme).size());
        std::size_t colon = host_port.rfind(':');
        ok = colon != std::string::npos && colon > 0 && colon + 1 < host_port.size() &&
             host_port.find_first_not_of("0123456789", colon + 1) == std::string::npos;
    }
    if (!ok) {
        Fail(at,
             "\"target\" must be a device path (/dev/ttyUSB0), socket://HOST:PORT or "
             "rfc2217://HOST:PORT, each with options such as ?baud=N&timeout_ms=M");
    }
}

std::string Resolve(const std::string &base_dir, const std::string &file) {
    if (file.empty() || file.front() == '/' || base_dir.empty()) {
        return file;
    }
    return base_dir + "/" + file;
}

// Files are checked now, so that --check finds a missing one.
std::string ReadableFile(const toml::table &t, std::string_view key, const std::string &base) {
    const toml::node *node = t.get(key);
    if (node == nullptr) {
        return "";
    }
    std::string path = Resolve(base, String(*node, key));
    if (access(path.c_str(), R_OK) != 0) {
        Fail(*node, "cannot read " + std::string(key) + " \"" + path + "\"");
    }
    return path;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "host";
    }
    return name;
}

BrokerSpec ReadBroker(const toml::table &root, const std::string &base) {
    const toml::table &t = Table(Need(root, "broker", "the file"), "[broker]");
    OnlyKeys(t,
             {"host", "port", "client_id", "keepalive_s", "username", "password_file",
              "tls_ca_file", "tls_cert_file", "tls_key_file"},
             "[broker]");
    BrokerSpec b;
    b.host = String(Need(t, "host", "[broker]"), "host");
    b.client_id = "qor-gateway-" + HostName();
    Optional(t, "port", 1, 65535, &b.port);
    Optional(t, "client_id", &b.client_id);
    Optional(t, "keepalive_s", 5, 3600, &b.keepalive_s);
    Optional(t, "username", &b.username);
    if (b.host.empty() || b.client_id.empty() || b.client_id.size() > 128) {
        Fail(t, "[broker] needs a host and a client_id of 1 to 128 characters");
    }
    b.password_file = ReadableFile(t, "password_file", base);
    if (!b.password_file.empty()) {
        std::ifstream in(b.password_file);
        std::getline(in, b.password);
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

void ReadGateway(const toml::table &root, Config *c) {
    const toml::node *node = root.get("gateway");
    if (node == nullptr) {
        return;
    }
    const toml::table &t = Table(*node, "[gateway]");
    OnlyKeys(
        t,
        {"topic_prefix", "queue_size", "offline_after", "counters_interval_s", "flush_timeout_s"},
        "[gateway]");
    if (const toml::node *prefix = t.get("topic_prefix")) {
        c->topic_prefix = String(*prefix, "topic_prefix");
        CheckPrefix(*prefix, c->topic_prefix);
    }
    Optional(t, "queue_size", 1, 10000000, &c->queue_size);
    Optional(t, "offline_after", 1, 1000, &c->offline_after);
    long long seconds = c->counters_interval.count();
    Optional(t, "counters_interval_s", 1, 86400, &seconds);
    c->counters_interval = std::chrono::seconds(seconds);
    seconds = c->flush_timeout.count();
    Optional(t, "flush_timeout_s", 0, 300, &seconds);
    c->flush_timeout = std::chrono::seconds(seconds);
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
    OnlyKeys(t, {"enabled", "group_id", "edge_node_id", "bdseq_file"}, "[sparkplug]");
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
        CheckPrefix(*prefix, h.prefix);
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
            Fail(node, "\"" + p.name +
                           "\" is no query (rd nd rz rh rl re rb di); give one "
                           "with { query = \"...\", interval_ms = N }");
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
    OnlyKeys(
        t, {"query", "interval_ms", "bytes", "byte", "bit", "unit", "device_class", "state_class"},
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
        Fail(query_node,
             "unknown query \"" + String(query_node, "query") + "\" (rd nd rz rh rl re rb di)");
    }
    p.query = *query;
    p.interval = std::chrono::milliseconds(
        Integer(Need(t, "interval_ms", "a poll"), "interval_ms", 1, kLongestIntervalMs));
    if (QueryTakesBytes(p.query)) {
        Optional(t, "bytes", 1, 24, &p.bytes);
        Optional(t, "byte", 1, p.bytes, &p.byte);
    } else if (t.get("bytes") || t.get("byte")) {
        Fail(t, "only \"di\" takes bytes and byte");
    }
    if (QueryTakesBit(p.query)) {
        p.bit = static_cast<int>(
            Integer(Need(t, "bit", "this poll"), "bit", 0, p.query == Query::kDi ? 7 : 63));
    } else if (t.get("bit")) {
        Fail(t, "only \"rb\" and \"di\" take a bit");
    }
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
            Fail(item,
                 "\"writable\" holds a name that is no command "
                 "(hi lo sp ts tz ao do sb cb ca ce cz da ea rr ec)");
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

Config ReadConfig(const toml::table &root, const std::string &base) {
    OnlyKeys(root, {"broker", "gateway", "link", "sparkplug", "homeassistant"}, "the file");
    Config c;
    c.broker = ReadBroker(root, base);
    ReadGateway(root, &c);
    ReadSparkplug(root, base, &c);
    ReadHomeAssistant(root, &c);
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
    return c;
}

}  // namespace

bool BrokerSpec::operator==(const BrokerSpec &o) const {
    return host == o.host && port == o.port && client_id == o.client_id &&
           keepalive_s == o.keepalive_s && username == o.username && password == o.password &&
           tls_ca_file == o.tls_ca_file && tls_cert_file == o.tls_cert_file &&
           tls_key_file == o.tls_key_file;
}

bool SparkplugSpec::operator==(const SparkplugSpec &o) const {
    return enabled == o.enabled && group == o.group && edge_node == o.edge_node &&
           bdseq_file == o.bdseq_file;
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
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {std::nullopt, path + ":0: cannot read the file"};
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string::size_type slash = path.rfind('/');
    std::string base = slash == std::string::npos ? "." : path.substr(0, slash);
    return ParseConfig(text.str(), path, base.empty() ? "/" : base);
}

}  // namespace qor::gateway
