#include "gateway/homeassistant/discovery.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>

#include "catalogue/catalogue.h"
#include "gateway/mqtt/topics.h"

namespace qor::gateway {

namespace {

using nlohmann::json;

// Object IDs take letters, digits, '_' and '-' only.
std::string ObjectId(const std::string &text) {
    std::string out;
    for (char c : text) {
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    }
    return out;
}

constexpr const char *kValue = "{{ value_json.value }}";

// The state a command of a number shows: the reading of the limit it writes.
const char *StateQuery(CommandKind kind) {
    switch (kind) {
        case CommandKind::kHi:
            return "rh";
        case CommandKind::kLo:
            return "rl";
        default:
            return nullptr;
    }
}

// What the configs of one module share.
struct ModuleContext {
    std::string prefix;  // the JSON topics' (topics.h)
    std::string link;
    std::string module;
    std::string object;  // LINK_MODULE
    json device;
    json availability;
    std::string gateway_id;
};

json Entity(const ModuleContext &m, const std::string &name, const std::string &object) {
    return json{{"name", name},
                {"unique_id", m.gateway_id + "_" + ObjectId(object)},
                {"availability", m.availability},
                {"availability_mode", "all"},
                {"device", m.device}};
}

// An "rb" bit the module may both set and clear: a switch, its command
// "ON" or "OFF" on the poll's set topic (the intake makes it sb or cb).
bool IsSwitch(const ModuleSpec &module, const PollSpec &poll) {
    return poll.query == Query::kRb && module.Writable(CommandKind::kSb) &&
           module.Writable(CommandKind::kCb) && !CommandFromName(poll.name);
}

// A sensor, or a binary_sensor or switch for a bit; returns the component.
const char *PollConfig(const ModuleContext &m, const ModuleSpec &module, const PollSpec &poll,
                       json *c) {
    (*c)["state_topic"] = ReadingTopic(m.prefix, m.link, m.module, poll.name);
    if (!poll.device_class.empty()) {
        (*c)["device_class"] = poll.device_class;
    }
    if (poll.query == Query::kDi || poll.query == Query::kRb) {
        (*c)["value_template"] = "{{ 'ON' if value_json.value else 'OFF' }}";
        (*c)["payload_on"] = "ON";
        (*c)["payload_off"] = "OFF";
        if (!IsSwitch(module, poll)) {
            return "binary_sensor";
        }
        (*c)["command_topic"] = CommandTopic(m.prefix, m.link, m.module, "set", poll.name);
        (*c)["state_on"] = "ON";
        (*c)["state_off"] = "OFF";
        return "switch";
    }
    (*c)["value_template"] = kValue;
    if (!poll.unit.empty()) {
        (*c)["unit_of_measurement"] = poll.unit;
    }
    (*c)["state_class"] = !poll.state_class.empty()  ? poll.state_class
                          : poll.query == Query::kRe ? "total_increasing"
                                                     : "measurement";
    return "sensor";
}

void NumberConfig(const ModuleContext &m, const ModuleSpec &module, CommandKind kind, json *c) {
    std::string name = CommandName(kind);
    (*c)["command_topic"] = CommandTopic(m.prefix, m.link, m.module, "set", name);
    (*c)["command_template"] = "{\"value\": {{ value }}}";
    (*c)["min"] = -catalogue::kValueMax;
    (*c)["max"] = catalogue::kValueMax;
    (*c)["step"] = 0.01;
    (*c)["mode"] = "box";
    (*c)["entity_category"] = "config";
    // The state is the limit's reading, where it is polled, in its unit
    // and over the range its scaling gives the module's.
    const char *query = StateQuery(kind);
    for (const PollSpec &poll : module.polls) {
        if (query != nullptr && poll.query == *QueryFromName(query)) {
            (*c)["state_topic"] = ReadingTopic(m.prefix, m.link, m.module, poll.name);
            (*c)["value_template"] = kValue;
            if (!poll.unit.empty()) {
                (*c)["unit_of_measurement"] = poll.unit;
            }
            if (!poll.scaling.Identity()) {
                double a = poll.scaling.ToEngineering(-99999.99);
                double b = poll.scaling.ToEngineering(99999.99);
                // A payload's value is within +-99999.99 too.
                (*c)["min"] = std::max(-99999.99, std::min(a, b));
                (*c)["max"] = std::min(99999.99, std::max(a, b));
                (*c)["step"] =
                    std::fabs(poll.scaling.ToEngineering(0.01) - poll.scaling.ToEngineering(0));
            }
            return;
        }
    }
    (*c)["optimistic"] = true;
}

bool IsNumber(CommandKind kind) {
    return kind == CommandKind::kHi || kind == CommandKind::kLo || kind == CommandKind::kSp ||
           kind == CommandKind::kTs || kind == CommandKind::kTz || kind == CommandKind::kAo;
}

// A discovery config's topic, from its component and object id.
using Topics = std::function<std::string(const char *component, const std::string &object)>;

// Each entity of one module: a sensor, binary_sensor or switch per poll, a
// number per writable limit or set point.
void ModuleConfigs(const ModuleContext &m, const ModuleSpec &module, const Topics &topic,
                   std::map<std::string, std::string> *out) {
    for (const PollSpec &poll : module.polls) {
        std::string object = m.object + "_" + poll.name;
        json c = Entity(m, poll.display_name.empty() ? poll.name : poll.display_name, object);
        const char *component = PollConfig(m, module, poll, &c);
        (*out)[topic(component, object)] = c.dump();
    }
    for (CommandKind kind : module.writable) {
        if (IsNumber(kind)) {
            std::string object = m.object + "_" + CommandName(kind);
            json c = Entity(m, CommandName(kind), object);
            NumberConfig(m, module, kind, &c);
            (*out)[topic("number", object)] = c.dump();
        }
    }
}

ModuleContext ContextOf(const Config &config, const LinkSpec &link, const ModuleSpec &module,
                        const std::string &gateway_id, const std::string &status) {
    ModuleContext m;
    m.prefix = config.topic_prefix;
    m.link = link.name;
    m.module = module.name;
    m.object = link.name + "_" + module.name;
    m.gateway_id = gateway_id;
    m.device = {{"identifiers", {gateway_id + "_" + ObjectId(m.object)}},
                {"name", module.name},
                {"manufacturer", "qor"},
                {"model", std::string("module ") + module.address + " on " + link.name},
                {"via_device", gateway_id}};
    m.availability =
        json::array({{{"topic", AvailabilityTopic(config.topic_prefix, link.name, module.name)}},
                     {{"topic", status}}});
    return m;
}

}  // namespace

std::map<std::string, std::string> DiscoveryConfigs(const Config &config) {
    std::map<std::string, std::string> out;
    const HomeAssistantSpec &ha = config.homeassistant;
    if (!ha.enabled) {
        return out;
    }
    std::string status = GatewayTopic(config.topic_prefix, config.broker.client_id, "status");
    std::string gateway_id = "qor_" + ha.node;
    Topics topic = [&ha](const char *component, const std::string &object) {
        return ha.prefix + "/" + component + "/" + ha.node + "/" + ObjectId(object) + "/config";
    };
    json gateway_device = {{"identifiers", {gateway_id}},
                           {"name", "qor-gateway " + config.broker.client_id},
                           {"manufacturer", "qor"},
                           {"model", "qor-gateway"}};
    out[topic("binary_sensor", "gateway")] =
        json{{"name", "Broker connection"},     {"unique_id", gateway_id + "_connection"},
             {"state_topic", status},           {"payload_on", "online"},
             {"payload_off", "offline"},        {"device_class", "connectivity"},
             {"entity_category", "diagnostic"}, {"device", gateway_device}}
            .dump();
    for (const LinkSpec &link : config.links) {
        for (const ModuleSpec &module : link.modules) {
            ModuleConfigs(ContextOf(config, link, module, gateway_id, status), module, topic, &out);
        }
    }
    return out;
}

}  // namespace qor::gateway
