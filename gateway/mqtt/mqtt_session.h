// The JSON topics' broker session, on a broker connection of its own
// (broker/connection.h): it publishes the outbox's messages with QoS 1 and
// keeps each until the broker acknowledges it, publishes the state board's
// changes retained, subscribes to the command topics and hands commands to
// a handler. Its will is the gateway's status, "offline".
#ifndef QOR_GATEWAY_MQTT_SESSION_H
#define QOR_GATEWAY_MQTT_SESSION_H

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gateway/broker/connection.h"
#include "gateway/core/config.h"
#include "gateway/mqtt/state_board.h"
#include "gateway/spool/outbox.h"

namespace qor::gateway {

struct IncomingCommand {
    std::string topic;
    std::string payload;
    std::string response_topic;    // MQTT 5 response topic, if given
    std::string correlation;       // MQTT 5 correlation data, if given
    std::uint32_t max_packet = 0;  // the broker's largest packet, 0: not given
};

using CommandHandler = std::function<void(IncomingCommand)>;

// Messages handed to the broker and not yet acknowledged, at most.
constexpr std::size_t kInFlightWindow = 20;

class MqttSession : private ConnectionUser {
  public:
    // status_topic gets "online" (and "offline" as the last will);
    // dropped_topic the count of readings dropped from a full outbox and the
    // spool's state, at the start (before any reading), whenever the count
    // changes and every status_interval.
    MqttSession(BrokerSpec broker, std::string status_topic, std::string dropped_topic,
                Outbox &outbox, StateBoard &board, CommandHandler handler,
                std::atomic<std::uint64_t> &refused);
    ~MqttSession() override;
    MqttSession(const MqttSession &) = delete;
    MqttSession &operator=(const MqttSession &) = delete;

    // Creates the client and starts the thread, which connects in the
    // background. False (with the reason) when the client cannot be made.
    bool Start(std::string *error);
    void SetSubscriptions(const std::vector<std::string> &filters);
    // Waits until the broker has accepted the session (true), or until
    // `until` or give_up() (false, with the last reason a connect failed
    // for in *why).
    bool WaitConnected(std::chrono::steady_clock::time_point until,
                       const std::function<bool()> &give_up, std::string *why) {
        return connection_.WaitConnected(until, give_up, why);
    }
    // A new session with the same client id is about to replace this one:
    // its take-over is expected, and this one then stays disconnected.
    void ExpectTakeOver(bool expected) { connection_.ExpectTakeOver(expected); }
    // Delivers what waits for at most bound, then marks the gateway offline
    // and disconnects; what the broker did not acknowledge goes back to the
    // outbox.
    void Stop(std::chrono::milliseconds bound) { connection_.Stop(bound); }
    void Wake() const { connection_.Wake(); }
    // Told of every connection and its loss ("connected to the broker
    // HOST:PORT"), for the event log; set before Start.
    void SetEvents(std::function<void(const std::string &)> events) {
        connection_.SetEvents(std::move(events));
    }
    BrokerState State() const { return connection_.State(); }
    void SetStatusInterval(std::chrono::seconds interval) { status_interval_ = interval; }

  private:
    void BeforeConnect() override;
    void OnConnected(const BrokerLimits &limits) override;
    void OnClosed(bool connected, int rc) override;
    void OnMessage(IncomingMessage message) override;
    void OnPublished(int mid, int reason) override;
    void Turn(Clock::time_point now, bool connected) override;
    bool Drained() const override;
    void Goodbye(bool connected) override;

    void NoteDrops(Clock::time_point now);
    void PublishState();
    void Pump();
    void Refuse(const Queued &message, const std::string &why);

    std::string status_topic_;
    std::string dropped_topic_;
    Outbox &outbox_;
    StateBoard &board_;
    CommandHandler handler_;
    std::atomic<std::uint64_t> &refused_;  // messages it dropped as never deliverable
    BrokerConnection connection_;

    // The connection's thread's own.
    std::map<int, Queued> in_flight_;
    BrokerLimits limits_;
    Clock::time_point next_status_;
    std::uint64_t dropped_seen_ = 0;
    std::uint64_t dropped_logged_ = 0;
    Clock::time_point next_drop_log_;
    std::chrono::seconds status_interval_{60};
};

}  // namespace qor::gateway

#endif
