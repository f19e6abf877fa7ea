#include "gateway/mqtt/mqtt_session.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "gateway/core/log.h"
#include "gateway/mqtt/json.h"

namespace qor::gateway {

namespace {

using namespace std::chrono_literals;

// A connection closed sooner than this after it began counts as short-lived;
// three in a row look like another client taking the session over (a broker
// that does not say so with DISCONNECT and its reason).
constexpr auto kSteadyConnection = 5s;
constexpr int kShortLivedForTakeOver = 3;

std::string Where(const BrokerHost &b) {
    return b.host + ":" + std::to_string(b.port);
}

// Sets a client up as the configuration says; the reason when it cannot be.
std::string Configure(mosquitto *client, const BrokerSpec &b, const std::string &status_topic) {
    int rc = mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set_v5(client, status_topic.c_str(), 7, "offline", 1, true, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && !b.username.empty()) {
        rc = mosquitto_username_pw_set(client, b.username.c_str(),
                                       b.password_file.empty() ? nullptr : b.password.c_str());
    }
    // TLS: a context of the session's own (tls_context.h), loaded before
    // the first attempt.
    return rc == MOSQ_ERR_SUCCESS ? "" : mosquitto_strerror(rc);
}

std::string ReadString(const mosquitto_property *properties, int identifier) {
    char *value = nullptr;
    if (mosquitto_property_read_string(properties, identifier, &value, false) == nullptr ||
        value == nullptr) {
        return "";
    }
    std::string text(value);
    std::free(value);
    return text;
}

std::string ReadBinary(const mosquitto_property *properties, int identifier) {
    void *value = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, identifier, &value, &length, false) == nullptr ||
        value == nullptr) {
        return "";
    }
    std::string bytes(static_cast<const char *>(value), length);
    std::free(value);
    return bytes;
}

}  // namespace

MqttSession::MqttSession(BrokerSpec broker, std::string status_topic, std::string dropped_topic,
                         Outbox &outbox, StateBoard &board, CommandHandler handler)
    : broker_(std::move(broker)),
      status_topic_(std::move(status_topic)),
      dropped_topic_(std::move(dropped_topic)),
      outbox_(outbox),
      board_(board),
      handler_(std::move(handler)),
      backoff_(500ms, 30s) {}

MqttSession::~MqttSession() {
    Stop(0ms);
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

bool MqttSession::Start(std::string *error) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    client_ = mosquitto_new(broker_.client_id.c_str(), true, this);
    if (wake_fd_ < 0 || client_ == nullptr) {
        *error = "cannot create the MQTT client";
        return false;
    }
    *error = Configure(client_, broker_, status_topic_);
    if (!error->empty()) {
        return false;
    }
    mosquitto_connect_v5_callback_set(client_, OnConnect);
    mosquitto_disconnect_v5_callback_set(client_, OnDisconnect);
    mosquitto_publish_v5_callback_set(client_, OnPublish);
    mosquitto_message_v5_callback_set(client_, OnMessage);
    mosquitto_log_callback_set(client_, OnLog);
    board_.Set(status_topic_, "online");
    // The count starts at 0 for this start, retained before any reading.
    board_.Set(dropped_topic_, DroppedPayload(outbox_.Status(), std::chrono::system_clock::now()));
    dropped_seen_ = outbox_.Dropped();
    dropped_logged_ = dropped_seen_;
    next_status_ = Clock::now() + status_interval_;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MqttSession::SetSubscriptions(std::vector<std::string> filters) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        filters_ = std::move(filters);
        filters_changed_ = true;
    }
    Wake();
}

bool MqttSession::WaitConnected(Clock::time_point until, const std::function<bool()> &give_up,
                                std::string *why) {
    while (!ever_connected_ && Clock::now() < until && !(give_up && give_up())) {
        std::this_thread::sleep_for(20ms);
    }
    if (ever_connected_) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *why = failure_.empty() ? "no answer from the broker in time" : failure_;
    return false;
}

void MqttSession::Stop(std::chrono::milliseconds bound) {
    if (!thread_.joinable()) {
        return;
    }
    stop_by_ = Clock::now() + bound;
    stopping_ = true;
    Wake();
    thread_.join();
}

void MqttSession::Wake() const {
    if (wake_fd_ >= 0) {
        uint64_t one = 1;
        (void)!write(wake_fd_, &one, sizeof one);
    }
}

void MqttSession::Run() {
    for (;;) {
        Clock::time_point now = Clock::now();
        // A session its successor took over has nothing left to deliver
        // through.
        if (stopping_ && (Drained() || now >= stop_by_ || retired_)) {
            break;
        }
        if (mosquitto_socket(client_) < 0 && now >= next_attempt_ && !retired_) {
            Attempt(now);
        }
        CheckConnack(now);
        if (connected_ && short_lived_ > 0 && now - connected_at_ >= kSteadyConnection) {
            short_lived_ = 0;
            backoff_.Reset();
        }
        NoteDrops(now);
        FlushRepeated();
        if (connected_) {
            ApplySubscriptions();
            PublishState();
            Pump();
        }
        Clock::time_point until = now + 1s;
        if (mosquitto_socket(client_) < 0) {
            until = std::min(until, next_attempt_);
        }
        Service(stopping_ ? std::min(until, stop_by_) : until);
    }
    Goodbye();
}

void MqttSession::Attempt(Clock::time_point now) {
    attempt_started_ = now;
    disconnect_reason_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_noted_ = false;
    }
    // The name is looked up here, within the connect time-out, so that a
    // resolver that never answers cannot hold this thread inside
    // libmosquitto. Its addresses are tried in turn while a connection fails
    // at once (no route to an IPv6 address, say), as the library would.
    // With TLS the certificate is still checked against the configured name.
    std::string failure;  // why no connection could even be tried
    std::vector<std::string> addresses = lookup_.Resolve(
        Host().host, now + std::chrono::seconds(broker_.connect_timeout_s),
        [this] { return stopping_.load(); }, &failure);
    if (addresses.empty()) {
        failure = "name lookup: " + failure;
    } else if (!broker_.tls_ca_file.empty()) {
        failure = UseTls();
        if (!failure.empty()) {
            addresses.clear();
        }
        tls_.SetPeer(Host().host);
    }
    int rc = MOSQ_ERR_EAI;
    for (std::size_t i = 0; i < addresses.size() && rc != MOSQ_ERR_SUCCESS; ++i) {
        rc = mosquitto_connect_async(client_, addresses[i].c_str(), Host().port,
                                     broker_.keepalive_s);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        auto delay = backoff_.Next();
        std::string where = Where(Host());
        NextHost(now, delay);
        std::string reason = addresses.empty() ? failure : std::string(mosquitto_strerror(rc));
        NoteFailure(reason);
        LogRepeated(Level::kWarning, "failed connects to the broker",
                    "broker " + where + ": cannot connect (" + reason + "); " +
                        (host_ != 0 ? "trying " + Where(Host()) + " next"
                                    : "next attempt in " + std::to_string(delay.count()) + " ms"),
                    reason);
    }
}

// The TLS context, loaded at the first attempt (and again after a failed
// load: the files may have been fixed) and handed to libmosquitto in place
// of its own; the reason when it cannot be.
std::string MqttSession::UseTls() {
    if (tls_.Loaded()) {
        return "";
    }
    std::string error = tls_.Load(broker_);
    if (!error.empty()) {
        return error;
    }
    int rc = mosquitto_int_option(client_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_void_option(client_, MOSQ_OPT_SSL_CTX, tls_.Get());
    }
    return rc == MOSQ_ERR_SUCCESS ? "" : std::string("TLS: ") + mosquitto_strerror(rc);
}

// A broker (or something in its place) that takes the TCP connection but
// never answers CONNECT would otherwise hold the session until the system
// gives up on the socket.
void MqttSession::CheckConnack(Clock::time_point now) {
    int socket = mosquitto_socket(client_);
    if (connected_ || socket < 0 ||
        now - attempt_started_ < std::chrono::seconds(broker_.connect_timeout_s)) {
        return;
    }
    std::string reason =
        "no CONNACK within " + std::to_string(broker_.connect_timeout_s) + " s of connecting";
    NoteFailure(reason);
    LogRepeated(Level::kWarning, "failed connects to the broker",
                "broker " + Where(Host()) + ": " + reason + "; closing and retrying with backoff",
                reason);
    attempt_started_ = now;
    // The library then sees the connection end and schedules the next
    // attempt through OnDisconnect.
    shutdown(socket, SHUT_RDWR);
}

// The first reason of an attempt is the cause; what follows (the
// connection lost) is its consequence.
void MqttSession::NoteFailure(const std::string &reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_noted_) {
        failure_ = reason;
        failure_noted_ = true;
    }
    state_.where = Where(Host());
    state_.last_failure = reason;
    state_.last_failure_at = std::chrono::system_clock::now();
}

// Only changes reach the event log; every failure is kept in the state.
void MqttSession::NoteConnected(bool connected, const std::string &reason) {
    std::string event;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bool was = state_.connected;
        state_.connected = connected;
        state_.where = Where(Host());
        if (connected) {
            ++state_.connects;
            event = "connected to the broker " + state_.where;
        } else {
            state_.last_failure = reason;
            state_.last_failure_at = std::chrono::system_clock::now();
            if (was) {
                event = "broker connection lost: " + reason;
            }
        }
    }
    if (!event.empty() && events_) {
        events_(event);
    }
}

BrokerState MqttSession::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

// Waits for the socket, a wake-up or the time, and lets the library read,
// write and keep the connection alive.
void MqttSession::Service(Clock::time_point until) {
    int socket = mosquitto_socket(client_);
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {socket, POLLIN, 0}};
    if (socket >= 0 && mosquitto_want_write(client_)) {
        fds[1].events |= POLLOUT;
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    int timeout = static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, 1000));
    if (poll(fds, socket >= 0 ? 2 : 1, timeout) < 0) {
        return;
    }
    if (fds[0].revents & POLLIN) {
        uint64_t count;
        (void)!read(wake_fd_, &count, sizeof count);
    }
    if (socket >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        mosquitto_loop_read(client_, 1);
    }
    if (socket >= 0 && mosquitto_socket(client_) >= 0 && (fds[1].revents & POLLOUT)) {
        mosquitto_loop_write(client_, 1);
    }
    if (mosquitto_socket(client_) >= 0) {
        mosquitto_loop_misc(client_);
    }
    if (mosquitto_socket(client_) < 0 && connected_) {
        OnDisconnect(client_, this, MOSQ_ERR_CONN_LOST, nullptr);
    }
}

void MqttSession::ApplySubscriptions() {
    std::vector<std::string> wanted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!filters_changed_) {
            return;
        }
        filters_changed_ = false;
        wanted = filters_;
    }
    for (const std::string &filter : subscribed_) {
        if (std::find(wanted.begin(), wanted.end(), filter) == wanted.end()) {
            mosquitto_unsubscribe(client_, nullptr, filter.c_str());
        }
    }
    // Retained messages on command topics are never delivered at
    // subscription: a command someone left retained must not run again at
    // every reconnection.
    for (const std::string &filter : wanted) {
        if (std::find(subscribed_.begin(), subscribed_.end(), filter) == subscribed_.end()) {
            mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), 1,
                                   MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
        }
    }
    subscribed_ = wanted;
}

// The count goes to the board at once (it is published on reconnection);
// the log hears of it at most every few seconds, however fast it grows.
void MqttSession::NoteDrops(Clock::time_point now) {
    std::uint64_t dropped = outbox_.Dropped();
    if (dropped == dropped_seen_ && now < next_status_) {
        return;
    }
    board_.Set(dropped_topic_, DroppedPayload(outbox_.Status(), std::chrono::system_clock::now()));
    next_status_ = now + status_interval_;
    if (dropped != dropped_seen_ && now >= next_drop_log_) {
        Log(Level::kWarning, "queue full: " + std::to_string(dropped - dropped_logged_) +
                                 " more readings dropped (" + std::to_string(dropped) + " in all)");
        dropped_logged_ = dropped;
        next_drop_log_ = now + 10s;
    }
    dropped_seen_ = dropped;
}

void MqttSession::PublishState() {
    for (const auto &[topic, payload] : board_.TakeChanged()) {
        mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, true, nullptr);
    }
}

void MqttSession::Pump() {
    while (in_flight_.size() < kInFlightWindow) {
        std::optional<Queued> message = outbox_.Take();
        if (!message) {
            return;
        }
        mosquitto_property *properties = nullptr;
        const Message &m = message->message;
        if (!m.correlation.empty()) {
            mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                          m.correlation.data(),
                                          static_cast<uint16_t>(m.correlation.size()));
        }
        int mid = 0;
        int rc =
            mosquitto_publish_v5(client_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                 m.payload.data(), 1, false, properties);
        mosquitto_property_free_all(&properties);
        if (rc == MOSQ_ERR_SUCCESS) {
            in_flight_.emplace(mid, std::move(*message));
        } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) {
            outbox_.Return({std::move(*message)});
            return;
        } else {
            // A topic the broker cannot take (a response topic with a
            // wildcard, say): retrying would never succeed, so it is not kept.
            outbox_.Delivered(message->id, false);
            LogRepeated(Level::kWarning, "messages not published",
                        "not published on " + Quoted(m.topic) + ": " + mosquitto_strerror(rc),
                        mosquitto_strerror(rc));
        }
    }
}

// After a failed attempt the next broker of the list is tried at once; the
// backoff's delay applies once every one of them has failed in turn.
void MqttSession::NextHost(Clock::time_point now, std::chrono::milliseconds delay) {
    next_attempt_ = RotateHost(&host_, broker_.hosts.size(), now, delay);
}

bool MqttSession::Drained() const {
    return in_flight_.empty() && outbox_.Size() == 0;
}

// Marks the gateway offline and disconnects; what was not acknowledged goes
// back to the outbox for a later session.
void MqttSession::Goodbye() {
    if (connected_) {
        // The modules' last availability and the final counts go first.
        board_.Set(dropped_topic_,
                   DroppedPayload(outbox_.Status(), std::chrono::system_clock::now()));
        PublishState();
        mosquitto_publish_v5(client_, nullptr, status_topic_.c_str(), 7, "offline", 1, true,
                             nullptr);
        mosquitto_disconnect_v5(client_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
        Clock::time_point until = Clock::now() + 500ms;
        while (mosquitto_socket(client_) >= 0 && Clock::now() < until) {
            Service(until);
        }
    }
    std::vector<Queued> left;
    for (auto &[mid, message] : in_flight_) {
        left.push_back(std::move(message));
    }
    in_flight_.clear();
    outbox_.Return(std::move(left));
    OutboxStatus kept = outbox_.Status();
    if (kept.spool_messages + kept.ram_only > 0) {
        Log(Level::kWarning, std::to_string(kept.spool_messages + kept.ram_only) +
                                 " messages not delivered (" + std::to_string(kept.spool_messages) +
                                 " kept in the spool for the next start, " +
                                 std::to_string(kept.ram_only) + " in RAM lost)");
    }
}

void MqttSession::OnConnect(mosquitto *, void *self, int rc, int, const mqtt5__property *) {
    auto *s = static_cast<MqttSession *>(self);
    if (rc != 0) {
        std::string reason = std::string("refused: ") + mosquitto_reason_string(rc);
        s->NoteFailure(reason);
        LogRepeated(Level::kError, "failed connects to the broker",
                    "broker " + Where(s->Host()) + " " + reason, reason);
        return;
    }
    s->connected_ = true;
    s->ever_connected_ = true;
    s->connected_at_ = Clock::now();
    // A session that is closed again at once reconnects with backoff, so
    // that two clients with one id do not take it from each other twice a
    // second.
    if (s->short_lived_ == 0) {
        s->backoff_.Reset();
    }
    s->subscribed_.clear();
    {
        std::lock_guard<std::mutex> lock(s->mutex_);
        s->filters_changed_ = true;
    }
    s->board_.MarkAllChanged();
    s->NoteConnected(true, "");
    Log(Level::kInfo, "broker " + Where(s->Host()) + ": connected as " + s->broker_.client_id);
}

void MqttSession::OnDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *) {
    auto *s = static_cast<MqttSession *>(self);
    auto delay = s->backoff_.Next();
    s->next_attempt_ = Clock::now() + delay;
    bool was_connected = s->connected_;
    if (s->connected_ || rc != 0) {
        s->NoteConnected(false, rc == 0 ? "disconnected" : mosquitto_strerror(rc));
    }
    s->connected_ = false;
    if (s->stopping_) {
        return;
    }
    // libmosquitto reports a DISCONNECT from the broker as a lost
    // connection; its reason code comes through the library's log.
    if (s->disconnect_reason_ != 0) {
        rc = s->disconnect_reason_;
        s->disconnect_reason_ = 0;
    }
    // Its successor with the same client id has connected: whatever
    // closed this one, it must not take the session back.
    if (s->expect_takeover_ && (rc == MQTT_RC_SESSION_TAKEN_OVER || was_connected)) {
        s->retired_ = true;
        Log(Level::kInfo, "broker " + Where(s->Host()) + ": the reloaded session took over");
        return;
    }
    if (was_connected) {
        s->short_lived_ =
            Clock::now() - s->connected_at_ < kSteadyConnection ? s->short_lived_ + 1 : 0;
    }
    if (rc == MQTT_RC_SESSION_TAKEN_OVER || s->short_lived_ >= kShortLivedForTakeOver) {
        LogRepeated(
            Level::kError, "take-overs of the session",
            "broker " + Where(s->Host()) + ": session taken over by another client " +
                "with the same client id " + Quoted(s->broker_.client_id) +
                (rc == MQTT_RC_SESSION_TAKEN_OVER ? std::string()
                                                  : " (closed " + std::to_string(s->short_lived_) +
                                                        " times in a row right after connecting)") +
                "; give each gateway its own client_id; reconnecting in " +
                std::to_string(delay.count()) + " ms",
            "client id " + Quoted(s->broker_.client_id));
        return;
    }
    std::string reason = rc > 0 && rc < 128 ? mosquitto_strerror(rc) : mosquitto_reason_string(rc);
    if (was_connected) {
        LogRepeated(Level::kWarning, "lost connections to the broker",
                    "broker " + Where(s->Host()) + ": connection lost (" + reason +
                        "); reconnecting in " + std::to_string(delay.count()) + " ms",
                    reason);
        return;
    }
    s->NoteFailure(reason);
    std::string where = Where(s->Host());
    s->NextHost(Clock::now(), delay);
    LogRepeated(Level::kWarning, "failed connects to the broker",
                "broker " + where + ": cannot connect (" + reason + "); " +
                    (s->host_ != 0 ? "trying " + Where(s->Host()) + " next"
                                   : "next attempt in " + std::to_string(delay.count()) + " ms"),
                reason);
}

// libmosquitto's own account of a failure (a certificate that does not
// verify, a refused connection) says more than its error codes.
void MqttSession::OnLog(mosquitto *, void *self, int level, const char *text) {
    if (text == nullptr) {
        return;
    }
    auto *s = static_cast<MqttSession *>(self);
    int reason = 0;
    if (std::sscanf(text, "Client %*s received DISCONNECT (%d)", &reason) == 1 ||
        std::sscanf(text, "Received DISCONNECT (%d)", &reason) == 1) {
        s->disconnect_reason_ = reason;
    }
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) == 0) {
        return;
    }
    std::string quoted = Quoted(text);
    s->NoteFailure(quoted);
    LogRepeated(Level::kWarning, "messages of the MQTT library",
                "broker " + Where(s->Host()) + ": " + quoted, quoted);
}

void MqttSession::OnPublish(mosquitto *, void *self, int mid, int reason, const mqtt5__property *) {
    auto *s = static_cast<MqttSession *>(self);
    auto it = s->in_flight_.find(mid);
    if (it == s->in_flight_.end()) {
        return;  // a retained state message: not tracked
    }
    if (reason >= 128) {
        LogRepeated(Level::kWarning, "messages refused by the broker",
                    "broker refused the message on " + Quoted(it->second.message.topic) + ": " +
                        mosquitto_reason_string(reason),
                    mosquitto_reason_string(reason));
    }
    s->outbox_.Delivered(it->second.id, reason < 128);
    s->in_flight_.erase(it);
}

void MqttSession::OnMessage(mosquitto *, void *self, const mosquitto_message *message,
                            const mqtt5__property *properties) {
    auto *s = static_cast<MqttSession *>(self);
    IncomingCommand command;
    command.topic = message->topic;
    command.payload.assign(static_cast<const char *>(message->payload),
                           static_cast<std::size_t>(message->payloadlen));
    command.response_topic = ReadString(properties, MQTT_PROP_RESPONSE_TOPIC);
    command.correlation = ReadBinary(properties, MQTT_PROP_CORRELATION_DATA);
    s->handler_(std::move(command));
}

}  // namespace qor::gateway
