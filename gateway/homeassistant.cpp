#include "homeassistant.h"

#include <nlohmann/json.hpp>

#include "topics.h"

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

const char *kValue = "{{ value_json.value }}";

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

}  // namespace

std::map<std::string, std::string> DiscoveryConfigs(const Config &config) {
    std::map<std::string, std::string> out;
    const HomeAssistantSpec &ha = config.homeassistant;
    if (!ha.enabled) {
        return out;
    }
    const std::string &prefix = config.topic_prefix;
    std::string status = GatewayTopic(prefix, config.broker.client_id, "status");
    std::string gateway_id = "qor_" + ha.node;
    auto topic = [&](const char *component, const std::string &object) {
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
            std::string base = ModuleTopic(prefix, link.name, module.name);
            std::string id = ObjectId(link.name + "_" + module.name);
            json device = {{"identifiers", {gateway_id + "_" + id}},
                           {"name", module.name},
                           {"manufacturer", "qor"},
                           {"model", std::string("module ") + module.address + " on " + link.name},
                           {"via_device", gateway_id}};
            json availability =
                json::array({{{"topic", base + "/availability"}}, {{"topic", status}}});
            auto entity = [&](const std::string &name, const std::string &object) {
                return json{{"name", name},
                            {"unique_id", gateway_id + "_" + ObjectId(object)},
                            {"availability", availability},
                            {"availability_mode", "all"},
                            {"device", device}};
            };
            for (const PollSpec &poll : module.polls) {
                std::string object = link.name + "_" + module.name + "_" + poll.name;
                json c = entity(poll.name, object);
                c["state_topic"] = base + "/" + poll.name;
                if (poll.query == Query::kDi || poll.query == Query::kRb) {
                    c["value_template"] = "{{ 'ON' if value_json.value else 'OFF' }}";
                    c["payload_on"] = "ON";
                    c["payload_off"] = "OFF";
                    if (!poll.device_class.empty()) {
                        c["device_class"] = poll.device_class;
                    }
                    out[topic("binary_sensor", object)] = c.dump();
                    continue;
                }
                c["value_template"] = kValue;
                if (!poll.unit.empty()) {
                    c["unit_of_measurement"] = poll.unit;
                }
                if (!poll.device_class.empty()) {
                    c["device_class"] = poll.device_class;
                }
                c["state_class"] = !poll.state_class.empty()  ? poll.state_class
                                   : poll.query == Query::kRe ? "total_increasing"
                                                              : "measurement";
                out[topic("sensor", object)] = c.dump();
            }
            for (CommandKind kind : module.writable) {
                bool number = kind == CommandKind::kHi || kind == CommandKind::kLo ||
                              kind == CommandKind::kSp || kind == CommandKind::kTs ||
                              kind == CommandKind::kTz || kind == CommandKind::kAo;
                if (!number) {
                    continue;
                }
                std::string name = CommandName(kind);
                std::string object = link.name + "_" + module.name + "_" + name;
                json c = entity(name, object);
                c["command_topic"] = base + "/set/" + name;
                c["command_template"] = "{\"value\": {{ value }}}";
                c["min"] = -99999.99;
                c["max"] = 99999.99;
                c["step"] = 0.01;
                c["mode"] = "box";
                c["entity_category"] = "config";
                // The state is the limit's reading, where it is polled.
                for (const PollSpec &poll : module.polls) {
                    const char *query = StateQuery(kind);
                    if (query != nullptr && poll.query == *QueryFromName(query)) {
                        c["state_topic"] = base + "/" + poll.name;
                        c["value_template"] = kValue;
                        if (!poll.unit.empty()) {
                            c["unit_of_measurement"] = poll.unit;
                        }
                        break;
                    }
                }
                if (!c.contains("state_topic")) {
                    c["optimistic"] = true;
                }
                out[topic("number", object)] = c.dump();
            }
        }
    }
    return out;
}

}  // namespace qor::gateway
