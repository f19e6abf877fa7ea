#include "gateway/homeassistant/homeassistant_config.h"

#include <cctype>
#include <string>

#include "gateway/core/config.h"
#include "gateway/core/section_reader.h"

namespace qor::gateway {

namespace {

bool IsNodeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
}

void ReadNodeId(SectionReader &t, HomeAssistantSpec *h) {
    std::string id;
    if (t.Get("node_id") == nullptr || !t.Text("node_id", &id)) {
        return;
    }
    bool ok = !id.empty();
    for (char c : id) {
        ok = ok && IsNodeChar(c);
    }
    if (!ok) {
        t.Refuse("node_id", "\"node_id\" must be letters, digits, '_' or '-'");
        return;
    }
    h->node = id;
}

}  // namespace

void ReadHomeAssistantSection(SectionInput &input, Config *config) {
    HomeAssistantSpec &h = config->homeassistant;
    h.node.clear();
    for (char c : config->broker.client_id) {
        h.node += IsNodeChar(c) ? c : '_';
    }
    if (input.node == nullptr) {
        return;
    }
    SectionReader t(*input.node, "[homeassistant]", input.problems);
    if (!t.IsTable()) {
        return;
    }
    t.Known({"enabled", "discovery_prefix", "node_id"});
    t.Flag("enabled", &h.enabled);
    t.TopicPrefix("discovery_prefix", &h.prefix);
    ReadNodeId(t, &h);
}

}  // namespace qor::gateway
