#include "gateway/mqtt/mqtt_session.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "gateway/core/log.h"
#include "gateway/mqtt/json.h"
#include "gateway/mqtt/topics.h"

namespace qor::gateway {

namespace {

using namespace std::chrono_literals;

const ConnectionWords kWords = {"", "failed connects to the broker",
                                "lost connections to the broker", "take-overs of the session",
                                "messages of the MQTT library"};

}  // namespace

MqttSession::MqttSession(BrokerSpec broker, std::string status_topic, std::string dropped_topic,
                         Outbox &outbox, StateBoard &board, CommandHandler handler,
                         std::atomic<std::uint64_t> &refused)
    : status_topic_(std::move(status_topic)),
      dropped_topic_(std::move(dropped_topic)),
      outbox_(outbox),
      board_(board),
      handler_(std::move(handler)),
      refused_(refused),
      connection_(broker, broker.client_id, kWords, *this) {}

MqttSession::~MqttSession() {
    // The connection's thread uses this session's members to the end.
    connection_.Stop(0ms);
}

bool MqttSession::Start(std::string *error) {
    board_.Set(status_topic_, "online");
    // The count starts at 0 for this start, retained before any reading.
    board_.Set(dropped_topic_, DroppedPayload(outbox_.Status(), std::chrono::system_clock::now()));
    dropped_seen_ = outbox_.Dropped();
    dropped_logged_ = outbox_.DroppedForRoom();
    next_status_ = Clock::now() + status_interval_;
    return connection_.Start(error);
}

// Retained messages on command topics are never delivered at subscription:
// a command someone left retained must not run again at every
// reconnection.
void MqttSession::SetSubscriptions(const std::vector<std::string> &filters) {
    std::vector<Subscription> subscriptions;
    for (const std::string &filter : filters) {
        subscriptions.push_back({filter, false});
    }
    connection_.SetSubscriptions(std::move(subscriptions));
}

void MqttSession::BeforeConnect() {
    connection_.SetWill(status_topic_, "offline", 1, true);
}

void MqttSession::OnConnected(const BrokerLimits &limits) {
    limits_ = limits;
    board_.MarkAllChanged();
}

void MqttSession::OnClosed(bool, int) {}

void MqttSession::OnMessage(IncomingMessage message) {
    handler_({std::move(message.topic), std::move(message.payload),
              std::move(message.response_topic), std::move(message.correlation),
              limits_.max_packet});
}

void MqttSession::Turn(Clock::time_point now, bool connected) {
    NoteDrops(now);
    if (connected) {
        PublishState();
        Pump();
    }
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
    // The spool's own bounds (its bytes, its age) are logged by the outbox.
    std::uint64_t for_room = outbox_.DroppedForRoom();
    if (for_room != dropped_logged_ && now >= next_drop_log_) {
        Log(Level::kWarning, "queue full: " + std::to_string(for_room - dropped_logged_) +
                                 " more readings dropped (" + std::to_string(dropped) + " in all)");
        dropped_logged_ = for_room;
        next_drop_log_ = now + 10s;
    }
    dropped_seen_ = dropped;
}

void MqttSession::PublishState() {
    for (const auto &[topic, payload] : board_.TakeChanged()) {
        connection_.Publish(topic, payload, 1, true, "", nullptr);
    }
}

void MqttSession::Pump() {
    while (in_flight_.size() < kInFlightWindow) {
        std::optional<Queued> message = outbox_.Take();
        if (!message) {
            return;
        }
        const Message &m = message->message;
        // Sent, it would end the connection at every resend: dropped here.
        std::string why = Untakeable(
            m.topic, m.topic.size() + m.payload.size() + m.correlation.size(), limits_.max_packet);
        if (!why.empty()) {
            Refuse(*message, why);
            continue;
        }
        int mid = 0;
        int rc = connection_.Publish(m.topic, m.payload, 1, false, m.correlation, &mid);
        if (rc == MOSQ_ERR_SUCCESS) {
            in_flight_.emplace(mid, std::move(*message));
        } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) {
            outbox_.Return({std::move(*message)});
            return;
        } else {
            // A topic the broker cannot take (a response topic with a
            // wildcard, say): retrying would never succeed, so it is not kept.
            Refuse(*message, mosquitto_strerror(rc));
        }
    }
}

// A message that can never be delivered leaves the spool, counted.
void MqttSession::Refuse(const Queued &message, const std::string &why) {
    outbox_.Delivered(message.id, false);
    ++refused_;
    LogRepeated(Level::kWarning, "messages not published",
                "not published on " + Quoted(message.message.topic) + ": " + why, why);
}

bool MqttSession::Drained() const {
    return in_flight_.empty() && outbox_.Size() == 0;
}

// Marks the gateway offline and disconnects; what was not acknowledged goes
// back to the outbox for a later session.
void MqttSession::Goodbye(bool connected) {
    if (connected) {
        // The modules' last availability and the final counts go first.
        board_.Set(dropped_topic_,
                   DroppedPayload(outbox_.Status(), std::chrono::system_clock::now()));
        PublishState();
        connection_.Publish(status_topic_, "offline", 1, true, "", nullptr);
        connection_.Disconnect(false);
        connection_.Flush(Clock::now() + 500ms);
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

void MqttSession::OnPublished(int mid, int reason) {
    auto it = in_flight_.find(mid);
    if (it == in_flight_.end()) {
        return;  // a retained state message: not tracked
    }
    if (reason >= 128) {
        Refuse(it->second,
               std::string("the broker refused it (") + mosquitto_reason_string(reason) + ")");
    } else {
        outbox_.Delivered(it->second.id, true);
    }
    in_flight_.erase(it);
}

}  // namespace qor::gateway
