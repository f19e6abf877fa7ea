#include "gateway/sparkplug/sparkplug_config.h"

#include <string>

#include "gateway/core/config.h"
#include "gateway/core/section_reader.h"

namespace qor::gateway {

namespace {

// A Sparkplug ID is one topic level: no '+', '#' or '/'.
bool IsSparkplugId(const std::string &id) {
    return !id.empty() && id.size() <= 128 && id.find_first_of("+#/") == std::string::npos;
}

// An ID the file gives; true when it is sound (or not given).
bool ReadId(SectionReader &t, const char *key, std::string *out) {
    std::string id;
    if (t.Get(key) == nullptr || !t.Text(key, &id)) {
        return t.Get(key) == nullptr;
    }
    if (!IsSparkplugId(id)) {
        t.Refuse(key, "\"" + std::string(key) +
                          "\" must be 1 to 128 characters without '+', '#' or '/'");
        return false;
    }
    *out = id;
    return true;
}

}  // namespace

void ReadSparkplugSection(SectionInput &input, Config *config) {
    SparkplugSpec &s = config->sparkplug;
    s.edge_node = config->broker.client_id;
    if (input.node == nullptr) {
        return;
    }
    SectionReader t(*input.node, "[sparkplug]", input.problems);
    if (!t.IsTable()) {
        return;
    }
    t.Known({"enabled", "group_id", "edge_node_id", "bdseq_file", "primary_host_id", "aliases"});
    s.line = t.Line();
    t.Flag("enabled", &s.enabled);
    if (t.Need("group_id") != nullptr) {
        ReadId(t, "group_id", &s.group);
    }
    if (t.Get("edge_node_id") == nullptr && !IsSparkplugId(s.edge_node)) {
        t.Refuse(
            "the broker's client_id, the default edge_node_id, must be 1 to 128 characters "
            "without '+', '#' or '/'");
    }
    ReadId(t, "edge_node_id", &s.edge_node);
    std::string file;
    if (t.Get("bdseq_file") != nullptr && t.Text("bdseq_file", &file)) {
        s.bdseq_file = ResolvePath(input.base_dir, file);
    }
    ReadId(t, "primary_host_id", &s.primary_host);
    t.Flag("aliases", &s.aliases);
}

}  // namespace qor::gateway
