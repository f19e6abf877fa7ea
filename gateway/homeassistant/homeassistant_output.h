// Home Assistant's MQTT discovery (discovery.h) as an output: the configs
// go out retained on the JSON session (RetainedTopics), again after every
// reconnection; an entity no longer configured gets an empty retained
// config, which removes it.
#ifndef QOR_GATEWAY_HOMEASSISTANT_HOMEASSISTANT_OUTPUT_H
#define QOR_GATEWAY_HOMEASSISTANT_HOMEASSISTANT_OUTPUT_H

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/core/output.h"

namespace qor::gateway {

class HomeAssistantOutput : public Output {
  public:
    explicit HomeAssistantOutput(RetainedTopics &retained) : retained_(retained) {}

    const char *Name() const override { return "homeassistant"; }
    bool Prepare(const Config &next, const std::function<bool()> &give_up,
                 std::string *why) override;
    void Commit() override;
    void Rollback() override { next_.reset(); }
    void Stop(Clock::time_point) override {}
    OutputHealth Health() const override;

  private:
    RetainedTopics &retained_;
    mutable std::mutex mutex_;
    bool enabled_ = false;
    std::map<std::string, std::string> published_;  // topic to config
    std::optional<std::pair<bool, std::map<std::string, std::string>>> next_;
};

}  // namespace qor::gateway

#endif
