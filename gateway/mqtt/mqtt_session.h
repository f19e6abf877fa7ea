// The broker connection (libmosquitto, MQTT 5) on a thread of its own that
// alone calls the library: it connects and reconnects with backoff,
// publishes the outbox's messages with QoS 1 and keeps each until the
// broker acknowledges it, publishes the state board's changes retained,
// subscribes to the command topics and hands commands to a handler.
#ifndef QOR_GATEWAY_MQTT_SESSION_H
#define QOR_GATEWAY_MQTT_SESSION_H

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/broker/backoff.h"
#include "gateway/broker/resolve.h"
#include "gateway/broker/tls_context.h"
#include "gateway/core/config.h"
#include "gateway/mqtt/state_board.h"
#include "gateway/spool/outbox.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace qor::gateway {

struct IncomingCommand {
    std::string topic;
    std::string payload;
    std::string response_topic;  // MQTT 5 response topic, if given
    std::string correlation;     // MQTT 5 correlation data, if given
};

using CommandHandler = std::function<void(IncomingCommand)>;

// The connection as the status page and /metrics show it.
struct BrokerState {
    std::string where;  // HOST:PORT of the broker tried or connected
    bool connected = false;
    std::uint64_t connects = 0;  // the first included
    std::string last_failure;
    std::chrono::system_clock::time_point last_failure_at;
};

// Messages handed to the broker and not yet acknowledged, at most.
constexpr std::size_t kInFlightWindow = 20;

class MqttSession {
  public:
    // status_topic gets "online" (and "offline" as the last will);
    // dropped_topic the count of readings dropped from a full outbox and the
    // spool's state, at the start (before any reading), whenever the count
    // changes and every status_interval.
    MqttSession(BrokerSpec broker, std::string status_topic, std::string dropped_topic,
                Outbox &outbox, StateBoard &board, CommandHandler handler);
    ~MqttSession();
    MqttSession(const MqttSession &) = delete;
    MqttSession &operator=(const MqttSession &) = delete;

    // Creates the client and starts the thread, which connects in the
    // background. False (with the reason) when the client cannot be made.
    bool Start(std::string *error);
    void SetSubscriptions(std::vector<std::string> filters);
    // Waits until the broker has accepted the session (true), or until
    // `until` or give_up() (false, with the last reason a connect failed
    // for in *why).
    bool WaitConnected(std::chrono::steady_clock::time_point until,
                       const std::function<bool()> &give_up, std::string *why);
    // A new session with the same client id is about to replace this one:
    // its take-over is expected, and this one then stays disconnected.
    void ExpectTakeOver(bool expected) { expect_takeover_ = expected; }
    // Delivers what waits for at most bound, then marks the gateway offline
    // and disconnects; what the broker did not acknowledge goes back to the
    // outbox.
    void Stop(std::chrono::milliseconds bound);
    void Wake() const;
    // Told of every connection and its loss ("connected to the broker
    // HOST:PORT"), for the event log; set before Start.
    void SetEvents(std::function<void(const std::string &)> events) { events_ = std::move(events); }
    BrokerState State() const;
    void SetStatusInterval(std::chrono::seconds interval) { status_interval_ = interval; }

  private:
    using Clock = std::chrono::steady_clock;

    void Run();
    void Attempt(Clock::time_point now);
    std::string UseTls();
    void CheckConnack(Clock::time_point now);
    void NoteFailure(const std::string &reason);
    void NoteConnected(bool connected, const std::string &reason);
    void Service(Clock::time_point until);
    void ApplySubscriptions();
    void NoteDrops(Clock::time_point now);
    void NextHost(Clock::time_point now, std::chrono::milliseconds delay);
    const BrokerHost &Host() const { return broker_.hosts[host_]; }
    void PublishState();
    void Pump();
    void Goodbye();
    bool Drained() const;

    static void OnConnect(mosquitto *, void *self, int rc, int, const mqtt5__property *);
    static void OnDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void OnPublish(mosquitto *, void *self, int mid, int reason, const mqtt5__property *);
    static void OnLog(mosquitto *, void *self, int level, const char *text);
    static void OnMessage(mosquitto *, void *self, const mosquitto_message *message,
                          const mqtt5__property *properties);

    BrokerSpec broker_;
    std::string status_topic_;
    std::string dropped_topic_;
    Outbox &outbox_;
    StateBoard &board_;
    CommandHandler handler_;
    std::function<void(const std::string &)> events_;
    mosquitto *client_ = nullptr;
    int wake_fd_ = -1;
    std::thread thread_;

    mutable std::mutex mutex_;  // guards filters_, filters_changed_, failure_ and state_
    std::vector<std::string> filters_;
    bool filters_changed_ = false;
    std::string failure_;  // why the last connect failed: its first reason
    bool failure_noted_ = false;
    BrokerState state_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ever_connected_{false};
    std::atomic<bool> expect_takeover_{false};
    Clock::time_point stop_by_;

    // The thread's own.
    bool connected_ = false;
    bool retired_ = false;  // taken over by its successor: never reconnects
    int disconnect_reason_ = 0;
    Clock::time_point connected_at_;
    int short_lived_ =
        0;  // connections in a row closed soon after they began  // of the broker's last DISCONNECT
    Clock::time_point attempt_started_;  // the socket opened; CONNACK awaited
    Clock::time_point next_attempt_;
    Backoff backoff_;
    std::vector<std::string> subscribed_;
    std::map<int, Queued> in_flight_;
    std::size_t host_ = 0;  // the broker of broker_.hosts tried or connected
    HostLookup lookup_;
    TlsContext tls_;
    Clock::time_point next_status_;
    std::uint64_t dropped_seen_ = 0;
    std::uint64_t dropped_logged_ = 0;
    Clock::time_point next_drop_log_;
    std::chrono::seconds status_interval_{60};
};

}  // namespace qor::gateway

#endif
