// One broker connection: a libmosquitto client on a thread of its own, which
// alone calls the library for it. The JSON session and the Sparkplug B node
// are each one; what differs between them (the will, what they publish and
// subscribe to, their last words) is theirs, through ConnectionUser.
//
// The thread connects and reconnects: each name looked up within the
// connect time-out (resolve.h), TLS with the configured name checked
// (tls_context.h), the brokers of `hosts` in turn (RotateHost: the next at
// once after a failed attempt, the backoff's delay once every one has
// failed in a round), a CONNACK awaited for connect_timeout_s at most, and
// the MQTT version the configuration asks for: "auto" offers MQTT 5 and,
// when a broker closes or refuses such a CONNECT before answering it,
// MQTT 3.1.1, and keeps to what a broker accepted.
#ifndef QOR_GATEWAY_BROKER_CONNECTION_H
#define QOR_GATEWAY_BROKER_CONNECTION_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/broker/backoff.h"
#include "gateway/broker/resolve.h"
#include "gateway/broker/tls_context.h"
#include "gateway/core/config.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace qor::gateway {

// The MQTT version of a connection.
enum class MqttVersion { k5, k311 };
const char *VersionName(MqttVersion version);  // "5", "3.1.1"

// The connection as the status page and /metrics show it.
struct BrokerState {
    std::string where;  // HOST:PORT of the broker tried or connected
    bool connected = false;
    std::uint64_t connects = 0;  // the first included
    std::string last_failure;
    std::chrono::system_clock::time_point last_failure_at;
    std::string protocol;  // "5" or "3.1.1": the connection's, or the next attempt's
};

// What a broker said of itself in its CONNACK.
struct BrokerLimits {
    MqttVersion version = MqttVersion::k5;
    std::uint32_t max_packet = 0;  // the largest packet it takes; 0: not given
};

struct IncomingMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::string response_topic;  // MQTT 5 only
    std::string correlation;     // MQTT 5 only
};

struct Subscription {
    std::string filter;
    // false: a retained message is not delivered when the subscription is
    // made (MQTT 5; over 3.1.1 it comes marked retained).
    bool retained = true;

    bool operator==(const Subscription &other) const {
        return filter == other.filter && retained == other.retained;
    }
};

// A message handed to the connection from any thread (Post), sent by its
// thread in the order posted, with QoS 0 and while connected only.
struct Posted {
    std::string topic;
    std::string payload;
    int tag = 0;  // the user's own mark, told back through OnPosted
};

// What a connection serves; every call comes on the connection's thread.
class ConnectionUser {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~ConnectionUser() = default;
    // Before each CONNECT: the place to set the will.
    virtual void BeforeConnect() {}
    virtual void OnConnected(const BrokerLimits &limits) { (void)limits; }
    // Every subscription of this connection has been acknowledged.
    virtual void OnSubscribed() {}
    // The connection ended; connected: it had been accepted.
    virtual void OnClosed(bool connected, int rc) { (void)connected, (void)rc; }
    virtual void OnMessage(IncomingMessage message) = 0;
    virtual void OnPublished(int mid, int reason) { (void)mid, (void)reason; }
    // A posted message went to the library (sent: accepted by it).
    virtual void OnPosted(const Posted &message, bool sent) { (void)message, (void)sent; }
    // Each turn of the thread's loop: at least once a second and at each
    // wake-up.
    virtual void Turn(Clock::time_point now, bool connected) { (void)now, (void)connected; }
    // While stopping: nothing of the user's is left to send.
    virtual bool Drained() const { return true; }
    // Last words before the thread ends.
    virtual void Goodbye(bool connected) { (void)connected; }
};

// The words of a connection's log lines: "broker HOST:PORT: ..." for the
// JSON session, "sparkplug: broker HOST:PORT: ..." for the node.
struct ConnectionWords {
    std::string prefix;           // "" or "sparkplug: "
    const char *failed_connects;  // LogRepeated's kinds
    const char *lost_connections;
    const char *take_overs;
    const char *library_messages;
};

class BrokerConnection {
  public:
    using Clock = std::chrono::steady_clock;

    BrokerConnection(BrokerSpec broker, std::string client_id, ConnectionWords words,
                     ConnectionUser &user);
    ~BrokerConnection();
    BrokerConnection(const BrokerConnection &) = delete;
    BrokerConnection &operator=(const BrokerConnection &) = delete;

    // Makes the client and starts the thread, which connects in the
    // background. False (with the reason) when the client cannot be made.
    bool Start(std::string *error);
    // Sends what is posted and waits for the user's Drained, for at most
    // bound; then the user's Goodbye, and the thread ends.
    void Stop(std::chrono::milliseconds bound);
    void Wake() const;
    // Until the broker accepted a connection (true), or `until` or
    // give_up() (false, with the last reason a connect failed for).
    bool WaitConnected(Clock::time_point until, const std::function<bool()> &give_up,
                       std::string *why);
    // A new connection with the same client id is about to take this one's
    // place: this one then stays disconnected.
    void ExpectTakeOver(bool expected) { expect_takeover_ = expected; }
    // Made again at each connection.
    void SetSubscriptions(std::vector<Subscription> subscriptions);
    void Post(Posted message);
    // Told of every connection and its loss, for the event log; before Start.
    void SetEvents(std::function<void(const std::string &)> events) { events_ = std::move(events); }
    BrokerState State() const;

    // The connection's thread only (from the user's calls).
    int Publish(const std::string &topic, const std::string &payload, int qos, bool retain,
                const std::string &correlation, int *mid);
    void SetWill(const std::string &topic, const std::string &payload, int qos, bool retain);
    // A clean DISCONNECT; leave: the next broker of the list follows.
    void Disconnect(bool leave);
    // Serves the socket until it closes or until.
    void Flush(Clock::time_point until);
    MqttVersion Version() const { return version_; }
    std::string Where() const;

  private:
    std::string Configure();
    void Run();
    bool Turn(Clock::time_point now);
    bool Drained() const;
    void Attempt(Clock::time_point now);
    std::vector<std::string> Addresses(Clock::time_point now, std::string *failure);
    std::string UseTls();
    void FailedAttempt(Clock::time_point now, const std::string &reason);
    void CheckConnack(Clock::time_point now);
    void NoteFailure(const std::string &reason);
    void NoteConnected(bool connected, const std::string &reason);
    void Service(Clock::time_point until);
    void ApplySubscriptions();
    void DrainPosted();
    void Connected(const BrokerLimits &limits);
    std::string Reason(int rc, bool was_connected) const;
    void Closed(int rc);
    bool FallBack(int rc);
    bool TakenOver(int rc, bool was, Clock::time_point now);
    void Moved(bool was, bool left, const std::string &reason, Clock::time_point now);
    bool TakesRetained(const char *topic) const;

    static void OnConnect(mosquitto *, void *self, int rc, int, const mqtt5__property *);
    static void OnDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void OnPublish(mosquitto *, void *self, int mid, int reason, const mqtt5__property *);
    static void OnSubscribe(mosquitto *, void *self, int mid, int count, const int *granted,
                            const mqtt5__property *);
    static void OnLog(mosquitto *, void *self, int level, const char *text);
    static void OnMessage(mosquitto *, void *self, const mosquitto_message *message,
                          const mqtt5__property *properties);

    BrokerSpec broker_;
    std::string client_id_;
    ConnectionWords words_;
    ConnectionUser &user_;
    std::function<void(const std::string &)> events_;
    mosquitto *client_ = nullptr;
    int wake_fd_ = -1;
    std::thread thread_;

    mutable std::mutex mutex_;  // the members up to stop_by_
    std::vector<Subscription> subscriptions_;
    bool subscriptions_changed_ = false;
    std::deque<Posted> posted_;
    std::string failure_;  // why the last connect failed: its first reason
    bool failure_noted_ = false;
    BrokerState state_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ever_connected_{false};
    std::atomic<bool> expect_takeover_{false};
    Clock::time_point stop_by_;

    // The thread's own.
    bool connected_ = false;
    bool retired_ = false;          // taken over by its successor: never reconnects
    bool leaving_ = false;          // disconnecting on purpose: the next broker follows
    int disconnect_reason_ = 0;     // of the broker's last DISCONNECT
    int connack_refusal_ = 0;       // the CONNACK's reason, when it refused
    bool watchdog_closed_ = false;  // no CONNACK in time: closed by the connection itself
    Clock::time_point connected_at_;
    int short_lived_ = 0;                // connections in a row closed soon after they began
    Clock::time_point attempt_started_;  // the socket opened; CONNACK awaited
    Clock::time_point next_attempt_;
    Backoff backoff_;
    std::vector<Subscription> subscribed_;
    std::vector<int> pending_subscriptions_;  // their mids
    std::size_t host_ = 0;                    // the broker of broker_.hosts tried or connected
    std::vector<MqttVersion> versions_;       // per broker: the version its next attempt offers
    std::vector<bool> settled_;               // per broker: a connection was accepted with it
    MqttVersion version_ = MqttVersion::k5;   // of the attempt or connection
    HostLookup lookup_;
    TlsContext tls_;
    // The client holds a reference to tls_'s context from the first time it
    // is handed over: once per client, or every attempt would add one.
    bool tls_handed_ = false;
};

}  // namespace qor::gateway

#endif
