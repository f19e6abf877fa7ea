#include <arpa/inet.h>

#include <algorithm>
#include <cmath>

#include "gateway/core/config.h"
#include "gateway/modbus/modbus_toml.h"

namespace qor::gateway {

namespace {

struct SectionError {
    unsigned line;
    std::string reason;
};

[[noreturn]] void Fail(const toml::node &at, std::string reason) {
    throw SectionError{at.source().begin.line, std::move(reason)};
}

std::string Text(const toml::node &node, std::string_view key) {
    if (!node.is_string()) {
        Fail(node, "\"" + std::string(key) + "\" must be a string");
    }
    return node.as_string()->get();
}

int Whole(const toml::table &t, std::string_view key, int lo, int hi, int fallback) {
    const toml::node *node = t.get(key);
    if (node == nullptr) {
        return fallback;
    }
    if (!node->is_integer() || node->as_integer()->get() < lo || node->as_integer()->get() > hi) {
        Fail(*node, "\"" + std::string(key) + "\" must be an integer from " + std::to_string(lo) +
                        " to " + std::to_string(hi));
    }
    return static_cast<int>(node->as_integer()->get());
}

bool Flag(const toml::table &t, std::string_view key, bool fallback) {
    const toml::node *node = t.get(key);
    if (node == nullptr) {
        return fallback;
    }
    if (!node->is_boolean()) {
        Fail(*node, "\"" + std::string(key) + "\" must be true or false");
    }
    return node->as_boolean()->get();
}

// One of the words a key may take, as its index.
std::size_t Word(const toml::table &t, std::string_view key,
                 std::initializer_list<const char *> words) {
    const toml::node *node = t.get(key);
    if (node == nullptr) {
        return 0;
    }
    std::string text = Text(*node, key);
    std::string list;
    std::size_t i = 0;
    for (const char *word : words) {
        if (text == word) {
            return i;
        }
        list += (i++ ? ", \"" : "\"") + std::string(word) + "\"";
    }
    Fail(*node, "\"" + std::string(key) + "\" must be " + list);
}

void ReadListen(const toml::table &t, ModbusSpec *m) {
    const toml::node *node = t.get("listen");
    if (node == nullptr) {
        return;
    }
    std::string text = Text(*node, "listen");
    std::size_t colon = text.rfind(':');
    in_addr ignored{};
    bool ok = colon != std::string::npos && colon > 0 && colon + 1 < text.size() &&
              colon + 6 >= text.size() &&
              text.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
              inet_pton(AF_INET, text.substr(0, colon).c_str(), &ignored) == 1;
    int port = ok ? std::stoi(text.substr(colon + 1)) : 0;
    if (!ok || port < 1 || port > 65535) {
        Fail(*node, "\"listen\" must be an IPv4 address and a port, \"127.0.0.1:502\"");
    }
    m->host = text.substr(0, colon);
    m->port = port;
}

void ReadAllow(const toml::table &t, ModbusSpec *m) {
    const toml::node *node = t.get("allow");
    if (node == nullptr) {
        return;
    }
    if (!node->is_array()) {
        Fail(*node, "\"allow\" must be a list of networks, [\"10.0.0.0/8\"]");
    }
    for (const toml::node &item : *node->as_array()) {
        Network network;
        if (!ParseNetwork(Text(item, "allow"), &network)) {
            Fail(item, "\"allow\" holds \"" + Text(item, "allow") +
                           "\", which is no IPv4 network (10.0.0.0/8)");
        }
        m->allow.push_back(network);
    }
}

// [modbus.scaled]: "LINK/MODULE/NAME" = { scale = 10, signed = true }
void ReadScaled(const toml::table &t, const std::vector<LinkSpec> &links, ModbusSpec *m) {
    const toml::node *node = t.get("scaled");
    if (node == nullptr) {
        return;
    }
    if (!node->is_table()) {
        Fail(*node, "[modbus.scaled] must be a table");
    }
    for (const auto &[key, value] : *node->as_table()) {
        std::string path(key.str());
        ScaledEntry e;
        std::size_t a = path.find('/');
        std::size_t b = a == std::string::npos ? a : path.find('/', a + 1);
        if (b != std::string::npos) {
            e.link = path.substr(0, a);
            e.module = path.substr(a + 1, b - a - 1);
            e.name = path.substr(b + 1);
        }
        const LinkSpec *link = nullptr;
        for (const LinkSpec &l : links) {
            link = l.name == e.link ? &l : link;
        }
        const ModuleSpec *module = link ? link->Module(e.module) : nullptr;
        bool known =
            module && (std::any_of(module->polls.begin(), module->polls.end(),
                                   [&](const PollSpec &p) { return p.name == e.name; }) ||
                       (CommandFromName(e.name) && module->Writable(*CommandFromName(e.name))));
        if (!known) {
            Fail(value, "\"" + path + "\" is no LINK/MODULE/NAME of a poll or a writable command");
        }
        if (!value.is_table()) {
            Fail(value, "\"" + path + "\" must be { scale = N, signed = true }");
        }
        const toml::table &s = *value.as_table();
        const toml::node *scale = s.get("scale");
        if (scale == nullptr || !(scale->is_number()) ||
            !(scale->value<double>().value_or(0) > 0) || !std::isfinite(*scale->value<double>())) {
            Fail(value, "\"" + path + "\" needs \"scale\", a number above 0");
        }
        e.scale = *scale->value<double>();
        e.is_signed = Flag(s, "signed", true);
        for (const auto &[k, v] : s) {
            if (k.str() != "scale" && k.str() != "signed") {
                Fail(v, "unknown key \"" + std::string(k.str()) + "\" in \"" + path + "\"");
            }
        }
        m->scaled.push_back(e);
    }
}

const std::initializer_list<std::string_view> kKeys = {
    "enabled",        "listen",     "units",           "unit_id",
    "block",          "word_order", "max_connections", "max_requests_per_s",
    "idle_timeout_s", "allow",      "writes",          "max_age_s",
    "stale",          "scaled"};

ModbusSpec Read(const toml::node &node, const std::vector<LinkSpec> &links) {
    if (!node.is_table()) {
        Fail(node, "[modbus] must be a table");
    }
    const toml::table &t = *node.as_table();
    for (const auto &[key, value] : t) {
        if (std::find(kKeys.begin(), kKeys.end(), key.str()) == kKeys.end()) {
            Fail(value, "unknown key \"" + std::string(key.str()) + "\" in [modbus]");
        }
    }
    ModbusSpec m;
    m.enabled = Flag(t, "enabled", true);
    ReadListen(t, &m);
    m.units =
        Word(t, "units", {"link", "gateway"}) == 0 ? UnitScheme::kPerLink : UnitScheme::kGateway;
    m.unit_id = Whole(t, "unit_id", 1, 247, m.unit_id);
    m.block = Whole(t, "block", 10, 10000, m.block);
    m.word_order =
        Word(t, "word_order", {"ABCD", "CDAB"}) == 0 ? WordOrder::kAbcd : WordOrder::kCdab;
    m.max_connections = Whole(t, "max_connections", 1, 1000, m.max_connections);
    m.max_requests_per_s = Whole(t, "max_requests_per_s", 1, 1000000, m.max_requests_per_s);
    m.idle_timeout_s = Whole(t, "idle_timeout_s", 1, 86400, m.idle_timeout_s);
    ReadAllow(t, &m);
    m.writes = Flag(t, "writes", false);
    m.max_age_s = Whole(t, "max_age_s", 1, 86400, m.max_age_s);
    m.stale = Word(t, "stale", {"exception", "marker"}) == 0 ? StaleReply::kException
                                                             : StaleReply::kMarker;
    ReadScaled(t, links, &m);
    if (m.units == UnitScheme::kPerLink && t.get("unit_id")) {
        Fail(*t.get("unit_id"),
             "\"unit_id\" is for units = \"gateway\"; with units = \"link\" "
             "each link's unit id is its place in the file");
    }
    return m;
}

}  // namespace

bool ParseNetwork(const std::string &text, Network *out) {
    std::size_t slash = text.find('/');
    int bits = 32;
    if (slash != std::string::npos) {
        std::string tail = text.substr(slash + 1);
        if (tail.empty() || tail.size() > 2 ||
            tail.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        bits = std::stoi(tail);
    }
    in_addr address{};
    if (bits > 32 || inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1) {
        return false;
    }
    out->mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    out->address = ntohl(address.s_addr) & out->mask;
    return true;
}

bool ModbusSpec::Allowed(std::uint32_t host_order) const {
    if (allow.empty()) {
        return (host_order >> 24) == 127;
    }
    return std::any_of(allow.begin(), allow.end(),
                       [&](const Network &n) { return n.Contains(host_order); });
}

std::string ReadModbusSection(const toml::node &node, const std::vector<LinkSpec> &links,
                              ModbusSpec *out, unsigned *line) {
    try {
        *out = Read(node, links);
        out->line = node.source().begin.line;
    } catch (const SectionError &e) {
        *line = e.line;
        return e.reason;
    }
    return "";
}

}  // namespace qor::gateway
