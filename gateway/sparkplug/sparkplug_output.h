// The Sparkplug B edge node (sparkplug_node.h) as an output: a node is made
// for each [sparkplug] section and broker that differ from the running
// ones; an unchanged section keeps its node, which is born again with the
// new links' devices and metrics.
#ifndef QOR_GATEWAY_SPARKPLUG_SPARKPLUG_OUTPUT_H
#define QOR_GATEWAY_SPARKPLUG_SPARKPLUG_OUTPUT_H

#include <memory>
#include <mutex>
#include <optional>

#include "gateway/core/output.h"
#include "gateway/core/services.h"
#include "gateway/sparkplug/sparkplug_node.h"

namespace qor::gateway {

class SparkplugOutput : public Output {
  public:
    explicit SparkplugOutput(const OutputServices &services);
    ~SparkplugOutput() override;

    const char *Name() const override { return "sparkplug"; }
    bool Prepare(const Config &next, const std::function<bool()> &give_up,
                 std::string *why) override;
    void Commit() override;
    void Rollback() override;
    void Stop(Clock::time_point until) override;

    void OnReading(const PollRef &poll, const Reading &reading, bool published) override;
    void OnAvailability(const ModuleRef &module, Availability availability) override;
    OutputHealth Health() const override;

  private:
    PlantState &plant_;
    CommandIntake &intake_;
    mutable std::mutex mutex_;  // node_ and config_, against the pollers' threads
    Config config_;
    std::unique_ptr<SparkplugNode> node_;
    std::optional<Config> next_;
};

}  // namespace qor::gateway

#endif
