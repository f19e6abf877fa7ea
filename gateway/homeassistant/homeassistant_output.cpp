#include "gateway/homeassistant/homeassistant_output.h"

#include "gateway/homeassistant/discovery.h"

namespace qor::gateway {

bool HomeAssistantOutput::Prepare(const Config &next, const std::function<bool()> &,
                                  std::string *) {
    next_.emplace(next.homeassistant.enabled, DiscoveryConfigs(next));
    return true;
}

void HomeAssistantOutput::Commit() {
    auto [enabled, configs] = std::move(*next_);
    next_.reset();
    for (const auto &[topic, payload] : published_) {
        if (configs.count(topic) == 0) {
            retained_.SetRetained(topic, "");
        }
    }
    for (const auto &[topic, payload] : configs) {
        retained_.SetRetained(topic, payload);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = enabled;
    published_ = std::move(configs);
}

OutputHealth HomeAssistantOutput::Health() const {
    OutputHealth h;
    h.name = Name();
    std::lock_guard<std::mutex> lock(mutex_);
    h.enabled = enabled_;
    h.state = enabled_ ? std::to_string(published_.size()) + " discovery configs" : "off";
    h.details = {{"configs", published_.size()}};
    return h;
}

}  // namespace qor::gateway
