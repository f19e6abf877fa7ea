// The JSON topics (topics.h) as an output: readings go to the outbox (the
// spool behind it) and out with QoS 1, availability and counters to the
// state board (retained), results to their result or response topic; the
// set and get topics' messages become commands for the intake. One broker
// session (mqtt_session.h) carries it all, with the gateway's status as its
// will.
#ifndef QOR_GATEWAY_MQTT_MQTT_OUTPUT_H
#define QOR_GATEWAY_MQTT_MQTT_OUTPUT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/core/output.h"
#include "gateway/core/services.h"
#include "gateway/mqtt/mqtt_session.h"
#include "gateway/mqtt/state_board.h"
#include "gateway/spool/outbox.h"

namespace qor::gateway {

// What the dropped topic publishes of the spool and the delivery, as gauges
// and counters of their own for /metrics.
std::vector<Figure> SpoolFigures(const OutboxStatus &status,
                                 std::chrono::system_clock::time_point now);

class MqttOutput : public Output, public RetainedTopics {
  public:
    explicit MqttOutput(const OutputServices &services);
    ~MqttOutput() override;

    const char *Name() const override { return "mqtt"; }
    bool Prepare(const Config &next, const std::function<bool()> &give_up,
                 std::string *why) override;
    void Commit() override;
    void Rollback() override;
    void Stop(Clock::time_point until) override;

    void OnReading(const PollRef &poll, const Reading &reading, bool published) override;
    void OnAvailability(const ModuleRef &module, Availability availability) override;
    void OnCounters(const ModuleRef &module, const ModuleCounters &counters) override;
    void OnResult(const Command &command, const CommandResult &result) override;
    std::uint64_t LastSeq(const PollRef &poll) const override;
    OutputHealth Health() const override;

    void SetRetained(const std::string &topic, const std::string &payload) override;

  private:
    // False, with the reason, when the spool is another's: the gateway must not start.
    bool OpenSpool(const Config &config, std::string *refusal);
    std::unique_ptr<MqttSession> MakeSession(const Config &config, std::string *why);
    std::unique_ptr<MqttSession> ConnectFresh(const Config &config,
                                              const std::function<bool()> &give_up,
                                              std::string *why);
    void SwitchSession(std::unique_ptr<MqttSession> fresh);
    // A message on a command topic, on the session's thread.
    void Handle(IncomingCommand incoming);
    std::vector<Figure> Figures(const BrokerState &broker) const;
    // The topic of a poll or a module of the running configuration.
    std::string PollTopic(const PollRef &poll) const;
    std::string ModuleBase(const ModuleRef &module) const;

    PlantState &plant_;
    CommandIntake &intake_;
    Outbox outbox_{10000};
    StateBoard board_;
    std::uint64_t boot_ = 0;
    std::atomic<std::uint64_t> refused_{0};  // messages the broker could never take
    bool spool_opened_ = false;

    mutable std::mutex mutex_;  // config_, against commands' and results' threads
    Config config_;
    std::unique_ptr<MqttSession> session_;
    // Readied by Prepare: the configuration, and a new session where the
    // broker settings or the topic prefix change.
    std::optional<Config> next_;
    std::unique_ptr<MqttSession> fresh_;
};

}  // namespace qor::gateway

#endif
