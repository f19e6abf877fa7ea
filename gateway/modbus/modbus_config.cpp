#include "gateway/modbus/modbus_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>

#include "common/host_port.h"
#include "gateway/core/config.h"
#include "gateway/core/log.h"
#include "gateway/core/section_reader.h"
#include "gateway/modbus/modbus_map.h"

namespace qor::gateway {

namespace {

// An IPv4 address, never a name: the listener must not depend on a
// resolver.
void ReadListen(SectionReader &t, ModbusSpec *m) {
    std::string text;
    if (t.Get("listen") == nullptr || !t.Text("listen", &text)) {
        return;
    }
    text::HostPort parts;
    in_addr ignored{};
    std::string host;
    bool ok = text::SplitHostPort(text, &parts, text::PortRule::kRequired) ==
                  text::HostPortFault::kNone &&
              !parts.bracketed;
    host = std::string(parts.host);
    if (!ok || inet_pton(AF_INET, host.c_str(), &ignored) != 1) {
        t.Refuse("listen", "\"listen\" must be an IPv4 address and a port, \"127.0.0.1:502\"");
        return;
    }
    m->host = host;
    m->port = static_cast<int>(parts.port);
}

void ReadAllow(SectionReader &t, ModbusSpec *m) {
    const toml::node *node = t.Get("allow");
    if (node == nullptr) {
        return;
    }
    if (!node->is_array()) {
        t.Refuse("allow", "\"allow\" must be a list of networks, [\"10.0.0.0/8\"]");
        return;
    }
    for (const toml::node &item : *node->as_array()) {
        Network network;
        std::string text;
        if (!t.Text(item, "allow", &text)) {
            continue;
        }
        if (!ParseNetwork(text, &network)) {
            t.RefuseAt(
                item, "allow",
                "\"allow\" holds " + Quoted(text) + ", which is no IPv4 network (10.0.0.0/8)");
            continue;
        }
        m->allow.push_back(network);
    }
}

// "LINK/MODULE/NAME" of a poll or a writable command of the configuration.
bool Known(const std::vector<LinkSpec> &links, const ScaledEntry &e) {
    const LinkSpec *link = nullptr;
    for (const LinkSpec &l : links) {
        link = l.name == e.link ? &l : link;
    }
    const ModuleSpec *module = link != nullptr ? link->Module(e.module) : nullptr;
    auto command = CommandFromName(e.name);
    return module != nullptr && (std::any_of(module->polls.begin(), module->polls.end(),
                                             [&](const PollSpec &p) { return p.name == e.name; }) ||
                                 (command && module->Writable(*command)));
}

// One entry of [modbus.scaled]: "LINK/MODULE/NAME" = { scale = 10,
// signed = true }. links: nullptr when they had a problem, and references
// to them are not judged.
void ReadScaledEntry(SectionReader &scaled, const std::string &path, const toml::node &value,
                     const std::vector<LinkSpec> *links, ModbusSpec *m) {
    ScaledEntry e;
    std::size_t a = path.find('/');
    std::size_t b = a == std::string::npos ? a : path.find('/', a + 1);
    if (b != std::string::npos) {
        e.link = path.substr(0, a);
        e.module = path.substr(a + 1, b - a - 1);
        e.name = path.substr(b + 1);
    }
    if (links != nullptr && !Known(*links, e)) {
        scaled.RefuseAt(value, path,
                        Quoted(path) + " is no LINK/MODULE/NAME of a poll or a writable command");
    }
    if (!value.is_table()) {
        scaled.RefuseAt(value, path, Quoted(path) + " must be { scale = N, signed = true }");
        return;
    }
    SectionReader s(value, Quoted(path), scaled.Problems());
    s.Known({"scale", "signed"});
    const toml::node *scale = s.Get("scale");
    double number = scale != nullptr && scale->is_number() ? *scale->value<double>() : 0;
    if (!(number > 0) || !std::isfinite(number)) {
        scaled.RefuseAt(value, path, Quoted(path) + " needs \"scale\", a number above 0");
    }
    e.scale = number;
    s.Flag("signed", &e.is_signed);
    m->scaled.push_back(e);
}

void ReadScaled(SectionReader &t, const std::vector<LinkSpec> *links, ModbusSpec *m) {
    const toml::node *node = t.Get("scaled");
    if (node == nullptr) {
        return;
    }
    SectionReader scaled(*node, "[modbus.scaled]", t.Problems());
    if (!scaled.IsTable()) {
        return;
    }
    for (const auto &[key, value] : *node->as_table()) {
        ReadScaledEntry(scaled, std::string(key.str()), value, links, m);
    }
}

void ReadUnits(SectionReader &t, ModbusSpec *m) {
    std::size_t units = 0;
    bool units_read = t.Choice("units", {"link", "gateway"}, &units);
    m->units = units == 0 ? UnitScheme::kPerLink : UnitScheme::kGateway;
    t.Whole("unit_id", 1, 247, &m->unit_id);
    t.Whole("block", 10, 10000, &m->block);
    if (units_read && m->units == UnitScheme::kPerLink && t.Get("unit_id") != nullptr) {
        t.Refuse("unit_id",
                 "\"unit_id\" is for units = \"gateway\"; with units = \"link\" "
                 "each link's unit id is its place in the file");
    }
}

void ReadLimits(SectionReader &t, ModbusSpec *m) {
    std::size_t order = 0;
    t.Choice("word_order", {"ABCD", "CDAB"}, &order);
    m->word_order = order == 0 ? WordOrder::kAbcd : WordOrder::kCdab;
    t.Whole("max_connections", 1, 1000, &m->max_connections);
    t.Whole("max_requests_per_s", 1, 1000000, &m->max_requests_per_s);
    t.Whole("idle_timeout_s", 1, 86400, &m->idle_timeout_s);
    t.Flag("writes", &m->writes);
    t.Whole("max_age_s", 1, 86400, &m->max_age_s);
    std::size_t stale = 0;
    t.Choice("stale", {"exception", "marker"}, &stale);
    m->stale = stale == 0 ? StaleReply::kException : StaleReply::kMarker;
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

// The map is built only from a sound section and sound links: from a
// default standing in for a refused value it would report what the file
// does not say.
void ReadModbusSection(SectionInput &input, Config *config) {
    if (input.node == nullptr) {
        return;
    }
    SectionReader t(*input.node, "[modbus]", input.problems);
    if (!t.IsTable()) {
        return;
    }
    t.Known({"enabled", "listen", "units", "unit_id", "block", "word_order", "max_connections",
             "max_requests_per_s", "idle_timeout_s", "allow", "writes", "max_age_s", "stale",
             "scaled"});
    ModbusSpec &m = config->modbus;
    m.enabled = true;
    m.line = t.Line();
    t.Flag("enabled", &m.enabled);
    ReadListen(t, &m);
    ReadUnits(t, &m);
    ReadLimits(t, &m);
    ReadAllow(t, &m);
    ReadScaled(t, input.links_sound ? &config->links : nullptr, &m);
    if (m.enabled && t.Sound() && input.links_sound) {
        std::string reason;
        ModbusMap::Build(*config, &reason);
        if (!reason.empty()) {
            t.Refuse(reason);
        }
    }
}

}  // namespace qor::gateway
