#include "gateway/broker/connection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "gateway/core/log.h"

namespace qor::gateway {

namespace {

using namespace std::chrono_literals;

// A connection closed sooner than this after it began counts as short-lived;
// three in a row look like another client taking the session over (a broker
// that does not say so with DISCONNECT and its reason).
constexpr auto kSteadyConnection = 5s;
constexpr int kShortLivedForTakeOver = 3;

std::string WhereOf(const BrokerHost &b) {
    return b.host + ":" + std::to_string(b.port);
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

MqttVersion FirstVersion(MqttProtocol protocol) {
    return protocol == MqttProtocol::kV311 ? MqttVersion::k311 : MqttVersion::k5;
}

}  // namespace

const char *VersionName(MqttVersion version) {
    return version == MqttVersion::k5 ? "5" : "3.1.1";
}

BrokerConnection::BrokerConnection(BrokerSpec broker, std::string client_id, ConnectionWords words,
                                   ConnectionUser &user)
    : broker_(std::move(broker)),
      client_id_(std::move(client_id)),
      words_(std::move(words)),
      user_(user),
      backoff_(500ms, 30s),
      versions_(broker_.hosts.size(), FirstVersion(broker_.protocol)),
      settled_(broker_.hosts.size(), false),
      version_(FirstVersion(broker_.protocol)) {
    state_.where = Where();
    state_.protocol = VersionName(version_);
}

BrokerConnection::~BrokerConnection() {
    Stop(0ms);
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

bool BrokerConnection::Start(std::string *error) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    client_ = mosquitto_new(client_id_.c_str(), true, this);
    if (wake_fd_ < 0 || client_ == nullptr) {
        *error = "cannot create the MQTT client";
        return false;
    }
    *error = Configure();
    if (!error->empty()) {
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

// What the client needs before its first connection.
std::string BrokerConnection::Configure() {
    int rc = MOSQ_ERR_SUCCESS;
    if (!broker_.username.empty()) {
        rc = mosquitto_username_pw_set(
            client_, broker_.username.c_str(),
            broker_.password_file.empty() ? nullptr : broker_.password.c_str());
    }
    mosquitto_connect_v5_callback_set(client_, OnConnect);
    mosquitto_disconnect_v5_callback_set(client_, OnDisconnect);
    mosquitto_publish_v5_callback_set(client_, OnPublish);
    mosquitto_subscribe_v5_callback_set(client_, OnSubscribe);
    mosquitto_message_v5_callback_set(client_, OnMessage);
    mosquitto_log_callback_set(client_, OnLog);
    // TLS: a context of the connection's own (tls_context.h), handed over
    // at the first attempt (UseTls).
    return rc == MOSQ_ERR_SUCCESS ? "" : mosquitto_strerror(rc);
}

void BrokerConnection::Stop(std::chrono::milliseconds bound) {
    if (!thread_.joinable()) {
        return;
    }
    stop_by_ = Clock::now() + bound;
    stopping_ = true;
    Wake();
    thread_.join();
}

void BrokerConnection::Wake() const {
    if (wake_fd_ >= 0) {
        uint64_t one = 1;
        (void)!write(wake_fd_, &one, sizeof one);
    }
}

bool BrokerConnection::WaitConnected(Clock::time_point until, const std::function<bool()> &give_up,
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

void BrokerConnection::SetSubscriptions(std::vector<Subscription> subscriptions) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        subscriptions_ = std::move(subscriptions);
        subscriptions_changed_ = true;
    }
    Wake();
}

void BrokerConnection::Post(Posted message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(std::move(message));
    }
    Wake();
}

BrokerState BrokerConnection::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::string BrokerConnection::Where() const {
    return WhereOf(broker_.hosts[host_]);
}

void BrokerConnection::Run() {
    while (Turn(Clock::now())) {
    }
    user_.Goodbye(connected_);
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.clear();
}

bool BrokerConnection::Drained() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!posted_.empty()) {
            return false;
        }
    }
    return user_.Drained();  // outside the lock: the user takes locks of its own
}

// One turn of the thread: connect when it is time, watch for the CONNACK,
// send what waits, and serve the socket for a second at most. False when
// the connection is to end.
bool BrokerConnection::Turn(Clock::time_point now) {
    // A connection its successor took over has nothing left to deliver
    // through.
    if (stopping_ && (retired_ || now >= stop_by_ || Drained())) {
        return false;
    }
    if (mosquitto_socket(client_) < 0 && now >= next_attempt_ && !retired_) {
        Attempt(now);
    }
    CheckConnack(now);
    if (connected_ && short_lived_ > 0 && now - connected_at_ >= kSteadyConnection) {
        short_lived_ = 0;
        backoff_.Reset();
    }
    FlushRepeated();
    if (connected_) {
        ApplySubscriptions();
        DrainPosted();
    }
    user_.Turn(now, connected_);
    Clock::time_point until = now + 1s;
    if (mosquitto_socket(client_) < 0) {
        until = std::min(until, next_attempt_);
    }
    if (stopping_) {
        until = Drained() ? now : std::min(until, stop_by_);
    }
    Service(until);
    return true;
}

void BrokerConnection::Attempt(Clock::time_point now) {
    attempt_started_ = now;
    disconnect_reason_ = 0;
    connack_refusal_ = 0;
    version_ = versions_[host_];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_noted_ = false;
        posted_.clear();  // nothing of an earlier session goes out in this one
        state_.protocol = VersionName(version_);
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION,
                         version_ == MqttVersion::k5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    user_.BeforeConnect();
    std::string failure;  // why no connection could even be tried
    std::vector<std::string> addresses = Addresses(now, &failure);
    int rc = MOSQ_ERR_EAI;
    for (std::size_t i = 0; i < addresses.size() && rc != MOSQ_ERR_SUCCESS; ++i) {
        rc = mosquitto_connect_async(client_, addresses[i].c_str(), broker_.hosts[host_].port,
                                     broker_.keepalive_s);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        FailedAttempt(now, addresses.empty() ? failure : std::string(mosquitto_strerror(rc)));
    }
}

// The name is looked up here, within the connect time-out, so that a
// resolver that never answers cannot hold this thread inside libmosquitto.
// Its addresses are tried in turn while a connection fails at once (no
// route to an IPv6 address, say), as the library would. With TLS the
// certificate is still checked against the configured name.
std::vector<std::string> BrokerConnection::Addresses(Clock::time_point now, std::string *failure) {
    const std::string &host = broker_.hosts[host_].host;
    std::vector<std::string> addresses = lookup_.Resolve(
        host, now + std::chrono::seconds(broker_.connect_timeout_s),
        [this] { return stopping_.load(); }, failure);
    if (addresses.empty()) {
        *failure = "name lookup: " + *failure;
        return {};
    }
    if (!broker_.tls_ca_file.empty()) {
        *failure = UseTls();
        if (!failure->empty()) {
            return {};
        }
        tls_.SetPeer(host);
    }
    return addresses;
}

// The TLS context, loaded at the first attempt (and again after a failed
// load: the files may have been fixed) and handed to libmosquitto once, in
// place of its own; the reason when it cannot be.
std::string BrokerConnection::UseTls() {
    if (!tls_.Loaded()) {
        std::string error = tls_.Load(broker_);
        if (!error.empty()) {
            return error;
        }
    }
    if (tls_handed_) {
        return "";
    }
    int rc = mosquitto_int_option(client_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_void_option(client_, MOSQ_OPT_SSL_CTX, tls_.Get());
    }
    tls_handed_ = rc == MOSQ_ERR_SUCCESS;
    return tls_handed_ ? "" : std::string("TLS: ") + mosquitto_strerror(rc);
}

// After a failed attempt the next broker of the list is tried at once; the
// backoff's delay applies once every one of them has failed in turn.
void BrokerConnection::FailedAttempt(Clock::time_point now, const std::string &reason) {
    if (broker_.protocol == MqttProtocol::kAuto && !settled_[host_]) {
        versions_[host_] = MqttVersion::k5;  // the next round asks for 5 again
    }
    std::string where = Where();
    next_attempt_ = RotateHost(&host_, broker_.hosts.size(), now, backoff_);
    NoteFailure(reason);
    std::string next =
        next_attempt_ == now
            ? "trying " + Where() + " next"
            : "next attempt in " +
                  std::to_string(
                      std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - now)
                          .count()) +
                  " ms";
    LogRepeated(Level::kWarning, words_.failed_connects,
                words_.prefix + "broker " + where + ": cannot connect (" + reason + "); " + next,
                reason);
}

// A broker (or something in its place) that takes the TCP connection but
// never answers CONNECT would otherwise hold the connection until the
// system gives up on the socket.
void BrokerConnection::CheckConnack(Clock::time_point now) {
    int socket = mosquitto_socket(client_);
    if (connected_ || socket < 0 ||
        now - attempt_started_ < std::chrono::seconds(broker_.connect_timeout_s)) {
        return;
    }
    std::string reason =
        "no CONNACK within " + std::to_string(broker_.connect_timeout_s) + " s of connecting";
    NoteFailure(reason);
    LogRepeated(
        Level::kWarning, words_.failed_connects,
        words_.prefix + "broker " + Where() + ": " + reason + "; closing and retrying with backoff",
        reason);
    attempt_started_ = now;
    watchdog_closed_ = true;
    // The library then sees the connection end and says so through
    // OnDisconnect, which moves on.
    shutdown(socket, SHUT_RDWR);
}

// The first reason of an attempt is the cause; what follows (the
// connection lost) is its consequence.
void BrokerConnection::NoteFailure(const std::string &reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_noted_) {
        failure_ = reason;
        failure_noted_ = true;
    }
    state_.where = Where();
    state_.last_failure = reason;
    state_.last_failure_at = std::chrono::system_clock::now();
}

// Only changes reach the event log; every failure is kept in the state.
void BrokerConnection::NoteConnected(bool connected, const std::string &reason) {
    std::string event;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bool was = state_.connected;
        state_.connected = connected;
        state_.where = Where();
        if (connected) {
            ++state_.connects;
            event =
                "connected to the broker " + state_.where + " (MQTT " + VersionName(version_) + ")";
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

// Waits for the socket, a wake-up or the time, and lets the library read,
// write and keep the connection alive.
void BrokerConnection::Service(Clock::time_point until) {
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

void BrokerConnection::Flush(Clock::time_point until) {
    while (mosquitto_socket(client_) >= 0 && Clock::now() < until) {
        Service(until);
    }
}

void BrokerConnection::ApplySubscriptions() {
    std::vector<Subscription> wanted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!subscriptions_changed_) {
            return;
        }
        subscriptions_changed_ = false;
        wanted = subscriptions_;
    }
    for (const Subscription &s : subscribed_) {
        if (std::find(wanted.begin(), wanted.end(), s) == wanted.end()) {
            mosquitto_unsubscribe(client_, nullptr, s.filter.c_str());
        }
    }
    for (const Subscription &s : wanted) {
        if (std::find(subscribed_.begin(), subscribed_.end(), s) != subscribed_.end()) {
            continue;
        }
        int options =
            !s.retained && version_ == MqttVersion::k5 ? MQTT_SUB_OPT_SEND_RETAIN_NEVER : 0;
        int mid = 0;
        if (mosquitto_subscribe_v5(client_, &mid, s.filter.c_str(), 1, options, nullptr) ==
            MOSQ_ERR_SUCCESS) {
            pending_subscriptions_.push_back(mid);
        }
    }
    subscribed_ = wanted;
    if (pending_subscriptions_.empty()) {
        user_.OnSubscribed();
    }
}

void BrokerConnection::DrainPosted() {
    for (;;) {
        Posted message;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (posted_.empty()) {
                return;
            }
            message = std::move(posted_.front());
            posted_.pop_front();
        }
        int rc = mosquitto_publish_v5(client_, nullptr, message.topic.c_str(),
                                      static_cast<int>(message.payload.size()),
                                      message.payload.data(), 0, false, nullptr);
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
            Log(Level::kWarning, words_.prefix + "not published on " + Quoted(message.topic) +
                                     ": " + mosquitto_strerror(rc));
        }
        user_.OnPosted(message, rc == MOSQ_ERR_SUCCESS);
    }
}

int BrokerConnection::Publish(const std::string &topic, const std::string &payload, int qos,
                              bool retain, const std::string &correlation, int *mid) {
    mosquitto_property *properties = nullptr;
    if (!correlation.empty() && version_ == MqttVersion::k5) {
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(correlation.size()));
    }
    int rc = mosquitto_publish_v5(client_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), qos, retain, properties);
    mosquitto_property_free_all(&properties);
    return rc;
}

void BrokerConnection::SetWill(const std::string &topic, const std::string &payload, int qos,
                               bool retain) {
    int rc = mosquitto_will_set_v5(client_, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos, retain, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        Log(Level::kWarning, words_.prefix + "cannot set the will: " + mosquitto_strerror(rc));
    }
}

// What was posted before goes out first.
void BrokerConnection::Disconnect(bool leave) {
    if (connected_) {
        DrainPosted();
    }
    leaving_ = leave;
    mosquitto_disconnect_v5(client_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
}

void BrokerConnection::Connected(const BrokerLimits &limits) {
    connected_ = true;
    ever_connected_ = true;
    connected_at_ = Clock::now();
    settled_[host_] = true;
    versions_[host_] = version_;
    // A connection that is closed again at once reconnects with backoff, so
    // that two clients with one id do not take it from each other twice a
    // second.
    if (short_lived_ == 0) {
        backoff_.Reset();
    }
    subscribed_.clear();
    pending_subscriptions_.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        subscriptions_changed_ = true;
    }
    NoteConnected(true, "");
    Log(Level::kInfo, words_.prefix + "broker " + Where() + ": connected as " + client_id_ +
                          (version_ == MqttVersion::k5 ? "" : " (MQTT 3.1.1)"));
    user_.OnConnected(limits);
}

// The words for why a connection ended or could not be made.
std::string BrokerConnection::Reason(int rc, bool was_connected) const {
    if (connack_refusal_ != 0) {
        return std::string("refused: ") + (version_ == MqttVersion::k5
                                               ? mosquitto_reason_string(connack_refusal_)
                                               : mosquitto_connack_string(connack_refusal_));
    }
    if (!was_connected && !watchdog_closed_ && rc == MOSQ_ERR_CONN_LOST &&
        version_ == MqttVersion::k5) {
        return "the broker closed the connection before answering; it may not speak MQTT 5 "
               "(protocol = \"3.1.1\")";
    }
    if (rc >= 128) {
        return std::string("the broker closed the connection: ") + mosquitto_reason_string(rc);
    }
    return rc == 0 ? "disconnected" : mosquitto_strerror(rc);
}

// In "auto", a broker that closes the connection before answering an MQTT 5
// CONNECT, or refuses it as a version it does not speak, is asked again at
// once with 3.1.1. A broker that once accepted a connection keeps the
// version it accepted.
bool BrokerConnection::FallBack(int rc) {
    bool turned_away = connack_refusal_ == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                       (connack_refusal_ == 0 && !watchdog_closed_ &&
                        (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_PROTOCOL));
    if (broker_.protocol != MqttProtocol::kAuto || version_ != MqttVersion::k5 || settled_[host_] ||
        !turned_away) {
        return false;
    }
    versions_[host_] = MqttVersion::k311;
    next_attempt_ = Clock::now();
    Log(Level::kInfo, words_.prefix + "broker " + Where() +
                          ": turned an MQTT 5 CONNECT away before answering it; trying MQTT "
                          "3.1.1 (protocol = \"auto\")");
    return true;
}

void BrokerConnection::Closed(int rc) {
    bool was = connected_;
    bool left = leaving_;
    leaving_ = false;
    connected_ = false;
    // libmosquitto reports a DISCONNECT from the broker as a lost
    // connection; its reason code comes through the library's log.
    if (disconnect_reason_ != 0) {
        rc = disconnect_reason_;
        disconnect_reason_ = 0;
    }
    std::string reason = Reason(rc, was);
    if (was || rc != 0) {
        NoteConnected(false, reason);
    }
    user_.OnClosed(was, rc);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.clear();
    }
    pending_subscriptions_.clear();
    if (stopping_) {
        return;
    }
    Clock::time_point now = Clock::now();
    if (!was && FallBack(rc)) {
        watchdog_closed_ = false;
    } else if (!TakenOver(rc, was, now)) {
        Moved(was, left, reason, now);
    }
    watchdog_closed_ = false;
    connack_refusal_ = 0;
}

// Its successor with the same client id has connected: whatever closed
// this one, it must not take the session back. Another client with the
// same id: said so, and retried with backoff.
bool BrokerConnection::TakenOver(int rc, bool was, Clock::time_point now) {
    if (expect_takeover_ && (rc == MQTT_RC_SESSION_TAKEN_OVER || was)) {
        retired_ = true;
        Log(Level::kInfo, words_.prefix + "broker " + Where() + ": the reloaded session took over");
        return true;
    }
    // A close with a reason of the broker's own (a protocol error, say) is
    // that reason, however soon it came.
    if (was) {
        bool unexplained = rc < 128 || rc == MQTT_RC_SESSION_TAKEN_OVER;
        short_lived_ =
            unexplained && now - connected_at_ < kSteadyConnection ? short_lived_ + 1 : 0;
    }
    if (rc != MQTT_RC_SESSION_TAKEN_OVER && short_lived_ < kShortLivedForTakeOver) {
        return false;
    }
    auto delay = backoff_.Next();
    next_attempt_ = now + delay;
    LogRepeated(
        Level::kError, words_.take_overs,
        words_.prefix + "broker " + Where() +
            ": session taken over by another client with the same client id " + Quoted(client_id_) +
            (rc == MQTT_RC_SESSION_TAKEN_OVER ? std::string()
                                              : " (closed " + std::to_string(short_lived_) +
                                                    " times in a row right after connecting)") +
            "; give each gateway its own client_id; reconnecting in " +
            std::to_string(delay.count()) + " ms",
        "client id " + Quoted(client_id_));
    return true;
}

// A lost connection is tried again on its broker after the backoff's delay;
// a failed attempt, or a connection left on purpose, goes on to the next.
void BrokerConnection::Moved(bool was, bool left, const std::string &reason,
                             Clock::time_point now) {
    if (left) {
        std::string where = Where();
        next_attempt_ = RotateHost(&host_, broker_.hosts.size(), now, backoff_);
        Log(Level::kInfo,
            words_.prefix + "left broker " + where + "; " +
                (next_attempt_ == now ? "trying " + Where() + " next" : "next attempt soon"));
        return;
    }
    if (!was) {
        FailedAttempt(now, reason);
        return;
    }
    auto delay = backoff_.Next();
    next_attempt_ = now + delay;
    LogRepeated(Level::kWarning, words_.lost_connections,
                words_.prefix + "broker " + Where() + ": connection lost (" + reason +
                    "); reconnecting in " + std::to_string(delay.count()) + " ms",
                reason);
}

void BrokerConnection::OnConnect(mosquitto *, void *self, int rc, int,
                                 const mqtt5__property *properties) {
    auto *s = static_cast<BrokerConnection *>(self);
    if (rc != 0) {
        // The library closes the connection next; OnDisconnect moves on.
        s->connack_refusal_ = rc;
        std::string reason = s->Reason(rc, false);
        s->NoteFailure(reason);
        LogRepeated(Level::kError, s->words_.failed_connects,
                    s->words_.prefix + "broker " + s->Where() + " " + reason, reason);
        return;
    }
    BrokerLimits limits;
    limits.version = s->version_;
    uint32_t max_packet = 0;
    if (mosquitto_property_read_int32(properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, &max_packet,
                                      false) != nullptr) {
        limits.max_packet = max_packet;
    }
    s->Connected(limits);
}

void BrokerConnection::OnDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *) {
    static_cast<BrokerConnection *>(self)->Closed(rc);
}

// libmosquitto's own account of a failure (a certificate that does not
// verify, a refused connection) says more than its error codes.
void BrokerConnection::OnLog(mosquitto *, void *self, int level, const char *text) {
    if (text == nullptr) {
        return;
    }
    auto *s = static_cast<BrokerConnection *>(self);
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
    LogRepeated(Level::kWarning, s->words_.library_messages,
                s->words_.prefix + "broker " + s->Where() + ": " + quoted, quoted);
}

void BrokerConnection::OnPublish(mosquitto *, void *self, int mid, int reason,
                                 const mqtt5__property *) {
    static_cast<BrokerConnection *>(self)->user_.OnPublished(mid, reason);
}

void BrokerConnection::OnSubscribe(mosquitto *, void *self, int mid, int count, const int *granted,
                                   const mqtt5__property *) {
    auto *s = static_cast<BrokerConnection *>(self);
    for (int i = 0; i < count; ++i) {
        if (granted[i] >= 128) {
            LogRepeated(Level::kWarning, s->words_.failed_connects,
                        s->words_.prefix + "broker " + s->Where() + ": a subscription refused (" +
                            mosquitto_reason_string(granted[i]) + ")",
                        "subscription refused");
        }
    }
    auto &pending = s->pending_subscriptions_;
    auto it = std::find(pending.begin(), pending.end(), mid);
    if (it == pending.end()) {
        return;
    }
    pending.erase(it);
    if (pending.empty()) {
        s->user_.OnSubscribed();
    }
}

// Over 3.1.1 a retained message comes marked as such only when it is
// delivered because of the subscription; one on a filter that takes no
// retained messages (commands left behind) is dropped here.
void BrokerConnection::OnMessage(mosquitto *, void *self, const mosquitto_message *message,
                                 const mqtt5__property *properties) {
    auto *s = static_cast<BrokerConnection *>(self);
    if (message->retain && s->version_ == MqttVersion::k311 && !s->TakesRetained(message->topic)) {
        return;
    }
    IncomingMessage incoming;
    incoming.topic = message->topic;
    incoming.payload.assign(static_cast<const char *>(message->payload),
                            static_cast<std::size_t>(message->payloadlen));
    incoming.retained = message->retain;
    incoming.response_topic = ReadString(properties, MQTT_PROP_RESPONSE_TOPIC);
    incoming.correlation = ReadBinary(properties, MQTT_PROP_CORRELATION_DATA);
    s->user_.OnMessage(std::move(incoming));
}

bool BrokerConnection::TakesRetained(const char *topic) const {
    for (const Subscription &s : subscribed_) {
        bool matches = false;
        if (s.retained &&
            mosquitto_topic_matches_sub(s.filter.c_str(), topic, &matches) == MOSQ_ERR_SUCCESS &&
            matches) {
            return true;
        }
    }
    return false;
}

}  // namespace qor::gateway
