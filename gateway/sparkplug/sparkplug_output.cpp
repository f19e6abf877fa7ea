#include "gateway/sparkplug/sparkplug_output.h"

#include "gateway/core/log.h"

namespace qor::gateway {

SparkplugOutput::SparkplugOutput(const OutputServices &services)
    : plant_(services.plant), intake_(services.intake) {}

SparkplugOutput::~SparkplugOutput() {
    Stop(Clock::now());
}

bool SparkplugOutput::Prepare(const Config &next, const std::function<bool()> &, std::string *) {
    next_ = next;
    return true;
}

void SparkplugOutput::Commit() {
    Config next = std::move(*next_);
    next_.reset();
    std::unique_ptr<SparkplugNode> old;
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        keep = node_ && next.sparkplug.enabled && next.broker == config_.broker &&
               next.sparkplug == config_.sparkplug;
        if (!keep) {
            old = std::move(node_);
        }
        config_ = next;
    }
    if (old) {
        old->Stop();  // its NDEATH goes out
        plant_.AddEvent("sparkplug", "edge node stopped");
    }
    if (keep) {
        node_->SetLinks(next.links);  // born again with the new metrics
        return;
    }
    if (!next.sparkplug.enabled) {
        return;
    }
    auto node = std::make_unique<SparkplugNode>(
        next.broker, next.sparkplug,
        [this](Command command) { intake_.Submit(std::move(command)); });
    node->SetLinks(next.links);
    std::string error;
    if (!node->Start(&error)) {
        Log(Level::kError, error);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    node_ = std::move(node);
}

void SparkplugOutput::Rollback() {
    next_.reset();
}

void SparkplugOutput::Stop(Clock::time_point) {
    std::unique_ptr<SparkplugNode> node;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        node = std::move(node_);
    }
    if (node) {
        node->Stop();  // its NDEATH goes out
    }
}

void SparkplugOutput::OnReading(const PollRef &poll, const Reading &reading, bool published) {
    if (!published) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!node_ || poll.link >= config_.links.size() ||
        poll.module >= config_.links[poll.link].modules.size()) {
        return;
    }
    const LinkSpec &link = config_.links[poll.link];
    const ModuleSpec &module = link.modules[poll.module];
    if (poll.poll < module.polls.size()) {
        node_->OnReading(link.name, module.name, module.polls[poll.poll].name, reading);
    }
}

void SparkplugOutput::OnAvailability(const ModuleRef &module, Availability availability) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!node_ || availability == Availability::kUnknown || module.link >= config_.links.size() ||
        module.module >= config_.links[module.link].modules.size()) {
        return;
    }
    const LinkSpec &link = config_.links[module.link];
    node_->OnAvailability(link.name, link.modules[module.module].name,
                          availability == Availability::kOnline);
}

namespace {

std::vector<Figure> Figures(const SparkplugNode::State &s) {
    return {{"qor_gateway_sparkplug_online",
             "1 while the Sparkplug B node is born and publishes.",
             false,
             {},
             s.born ? 1.0 : 0.0},
            {"qor_gateway_sparkplug_waiting_primary_host",
             "1 while the node is connected and waits for its primary host's STATE.",
             false,
             {},
             s.waiting_host ? 1.0 : 0.0},
            {"qor_gateway_sparkplug_births_total",
             "NBIRTH messages sent.",
             true,
             {},
             static_cast<double>(s.births)},
            {"qor_gateway_sparkplug_commands_total",
             "DCMD writes handed to the links.",
             true,
             {},
             static_cast<double>(s.commands)},
            {"qor_gateway_sparkplug_bdseq",
             "The bdSeq of the node's current session.",
             false,
             {},
             static_cast<double>(s.bdseq)},
            {"qor_gateway_sparkplug_foreign_messages_total",
             "Messages on topics that are no Sparkplug B topic of the node's, dropped.",
             true,
             {},
             static_cast<double>(s.foreign)},
            {"qor_gateway_sparkplug_protocol_info",
             "The MQTT version of the node's connection, as its label.",
             false,
             {{"version", s.protocol}},
             1.0}};
}

}  // namespace

// Ready while the node can publish: connected and born. Waiting for its
// primary host, it publishes nothing, and says so.
OutputHealth SparkplugOutput::Health() const {
    OutputHealth h;
    h.name = Name();
    std::lock_guard<std::mutex> lock(mutex_);
    h.enabled = node_ != nullptr;
    if (!node_) {
        h.state = config_.sparkplug.enabled ? "not started" : "off";
        h.ready = !config_.sparkplug.enabled;
        h.problem = h.ready ? "" : "sparkplug node not started";
        return h;
    }
    SparkplugNode::State s = node_->Snapshot();
    const SparkplugSpec &spec = config_.sparkplug;
    h.ready = s.born && !s.mapped;
    if (s.mapped) {
        h.state = "on " + s.where + ", which maps \".\" in topic names to \"/\"";
        h.problem = "the broker " + s.where + " maps \".\" to \"/\": it cannot carry Sparkplug B";
    } else if (s.born) {
        h.state = "online on " + s.where;
    } else if (s.waiting_host) {
        h.state = "waiting for primary host " + spec.primary_host + " on " + s.where;
        h.problem = "sparkplug node waiting for primary host " + spec.primary_host;
    } else {
        h.state = "connecting to " + s.where;
        h.problem = "sparkplug node not connected";
    }
    h.figures = Figures(s);
    h.details = {{"group_id", spec.group},
                 {"edge_node_id", spec.edge_node},
                 {"primary_host_id", spec.primary_host},
                 {"broker", s.where},
                 {"connected", s.connected},
                 {"born", s.born},
                 {"waiting_primary_host", s.waiting_host},
                 {"bdseq", s.bdseq},
                 {"births", s.births},
                 {"commands", s.commands},
                 {"protocol", s.protocol},
                 {"foreign_messages", s.foreign},
                 {"namespace_mapped", s.mapped}};
    return h;
}

}  // namespace qor::gateway
