#include "gateway/mqtt/mqtt_output.h"

#include <algorithm>
#include <cmath>

#include "common/iso_time.h"
#include "gateway/core/log.h"
#include "gateway/core/poller.h"
#include "gateway/mqtt/json.h"
#include "gateway/mqtt/topics.h"
#include "gateway/spool/spool.h"

namespace qor::gateway {

namespace {

std::uint64_t UnixSeconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

bool SameSessionKey(const BrokerSpec &a, const BrokerSpec &b) {
    return a.host == b.host && a.port == b.port && a.client_id == b.client_id;
}

Figure Gauge(const char *name, const char *help, double value) {
    return {name, help, false, {}, value};
}

Figure Counter(const char *name, const char *help, double value) {
    return {name, help, true, {}, value};
}

}  // namespace

std::vector<Figure> SpoolFigures(const OutboxStatus &status,
                                 std::chrono::system_clock::time_point now) {
    const OutboxStatus &d = status;
    double age = 0;
    if (d.oldest_ms > 0) {
        double seconds = std::chrono::duration<double>(now.time_since_epoch()).count();
        age = std::floor(std::max(0.0, seconds - static_cast<double>(d.oldest_ms) / 1000.0));
    }
    return {Counter("qor_gateway_delivered_total", "Messages the broker acknowledged.",
                    static_cast<double>(d.delivered)),
            Gauge("qor_gateway_spool_enabled",
                  "1 while messages go through the spool on disk, 0 when they wait in RAM only.",
                  d.spooled ? 1 : 0),
            Gauge("qor_gateway_spool_bytes",
                  "Bytes of the unsent messages in the spool, as its bound counts them.",
                  static_cast<double>(d.spool_bytes)),
            Gauge("qor_gateway_spool_messages", "Unsent messages in the spool.",
                  static_cast<double>(d.spool_messages)),
            Gauge("qor_gateway_spool_oldest_unsent_age_seconds",
                  "Age of the oldest unsent message in the spool, 0 when there is none.", age),
            Counter("qor_gateway_spooled_total", "Messages committed to the spool.",
                    static_cast<double>(d.committed)),
            Counter("qor_gateway_spool_write_failures_total",
                    "Batches the spool could not take (a full disk), held in RAM instead.",
                    static_cast<double>(d.spool_failures)),
            Gauge("qor_gateway_spool_writable",
                  "0 while the spool cannot be written (its last batch failed), else 1.",
                  d.spool_failing ? 0 : 1),
            Counter("qor_gateway_spool_resets_total",
                    "Spools found corrupt, moved aside and started afresh.",
                    static_cast<double>(d.spool_resets))};
}

MqttOutput::MqttOutput(const OutputServices &services)
    : plant_(services.plant), intake_(services.intake) {}

MqttOutput::~MqttOutput() {
    Stop(Clock::now());
}

// The spool, or the reason there is none (then readings wait in RAM, and
// the boot number is the Unix time of the start).
bool MqttOutput::OpenSpool(const Config &config, std::string *refusal) {
    spool_opened_ = true;
    boot_ = UnixSeconds();
    outbox_.SetCapacity(config.queue_size);
    const SpoolSettings &settings = config.spool;
    if (!settings.enabled) {
        outbox_.SetBoot(boot_);
        return true;
    }
    std::string why;
    std::string aside;
    bool refused = false;
    std::unique_ptr<Spool> spool = Spool::Open(settings.path, &why, &aside, &refused);
    if (refused) {
        // The default name is made of client_id.
        *refusal = AtLine(settings.line != 0 ? settings.line : config.broker.line,
                          "spool " + settings.path + ": " + why);
        return false;
    }
    if (!aside.empty()) {
        Log(Level::kError, "spool " + settings.path + ": corrupt (" + why + "); moved aside to " +
                               aside + " and started afresh");
        outbox_.NoteSpoolReset();
    }
    if (!spool) {
        Log(Level::kError, "spool " + settings.path + ": cannot be used (" + why +
                               "); readings wait in RAM only, queue_size at most");
        outbox_.SetBoot(boot_);
        return true;
    }
    boot_ = spool->Boot();
    outbox_.SetBoot(boot_);
    Log(Level::kInfo, "spool " + settings.path + ": boot " + std::to_string(boot_) + ", " +
                          std::to_string(spool->Count()) + " messages waiting");
    outbox_.AttachSpool(std::move(spool), settings);
    return true;
}

std::unique_ptr<MqttSession> MqttOutput::MakeSession(const Config &config, std::string *why) {
    const std::string &prefix = config.topic_prefix;
    const std::string &id = config.broker.client_id;
    auto session = std::make_unique<MqttSession>(
        config.broker, GatewayTopic(prefix, id, "status"), GatewayTopic(prefix, id, "dropped"),
        outbox_, board_, [this](IncomingCommand command) { Handle(std::move(command)); }, refused_);
    session->SetEvents([this](const std::string &text) { plant_.AddEvent("broker", text); });
    session->SetStatusInterval(config.counters_interval);
    Log(Level::kInfo, "broker " + config.broker.host + ":" + std::to_string(config.broker.port) +
                          ": connecting as " + id);
    if (!session->Start(why)) {
        return nullptr;
    }
    return session;
}

// A session for config, connected, or none with the reason in *why; the
// running session is left as it was either way.
std::unique_ptr<MqttSession> MqttOutput::ConnectFresh(const Config &config,
                                                      const std::function<bool()> &give_up,
                                                      std::string *why) {
    bool takes_over = SameSessionKey(config.broker, config_.broker);
    if (takes_over) {
        session_->ExpectTakeOver(true);
    }
    std::unique_ptr<MqttSession> fresh = MakeSession(config, why);
    // A second past the session's own CONNACK time-out, so that the
    // reason is that time-out's rather than this wait's.
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::seconds(config.broker.connect_timeout_s + 1);
    if (fresh && !fresh->WaitConnected(until, give_up, why)) {
        fresh->Stop(std::chrono::milliseconds(0));
        fresh.reset();
    }
    if (!fresh) {
        session_->ExpectTakeOver(false);
        *why = AtLine(config.broker.line, "broker " + config.broker.host + ":" +
                                              std::to_string(config.broker.port) + ": " + *why);
    }
    return fresh;
}

// The old session (if any) delivers what it still can and goes; the new one
// is woken by the outbox and the state board from now on.
void MqttOutput::SwitchSession(std::unique_ptr<MqttSession> fresh) {
    MqttSession *session = fresh.get();
    outbox_.SetWake([session] { session->Wake(); });
    board_.SetWake([session] { session->Wake(); });
    std::unique_ptr<MqttSession> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = std::move(session_);
        session_ = std::move(fresh);
    }
    if (old) {
        old->Stop(std::chrono::duration_cast<std::chrono::milliseconds>(config_.flush_timeout));
    }
    // A session taken over leaves its last will ("offline") behind.
    board_.MarkAllChanged();
}

// A new session where the broker settings or the topic prefix change: the
// first is connected in the background, a replacement before anything of
// the running configuration stops. This output prepares last (outputs.cpp):
// a replacement with the same client id takes the old session's place at
// the broker as it connects, which no rollback could undo.
bool MqttOutput::Prepare(const Config &next, const std::function<bool()> &give_up,
                         std::string *why) {
    if (!spool_opened_ && !OpenSpool(next, why)) {
        return false;
    }
    bool new_session =
        !session_ || !(next.broker == config_.broker) || next.topic_prefix != config_.topic_prefix;
    if (new_session) {
        fresh_ = session_ ? ConnectFresh(next, give_up, why) : MakeSession(next, why);
        if (!fresh_) {
            if (!session_) {
                *why = AtLine(next.broker.line, "broker: " + *why);
            }
            return false;
        }
    }
    next_ = next;
    return true;
}

void MqttOutput::Commit() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = std::move(*next_);
        next_.reset();
    }
    if (fresh_) {
        SwitchSession(std::move(fresh_));
    }
    outbox_.SetCapacity(config_.queue_size);
    outbox_.SetSpoolSettings(config_.spool);
    std::vector<std::string> filters;
    for (const LinkSpec &link : config_.links) {
        filters.push_back(CommandFilter(config_.topic_prefix, link.name));
        filters.push_back(GetFilter(config_.topic_prefix, link.name));
    }
    session_->SetSubscriptions(std::move(filters));
}

void MqttOutput::Rollback() {
    next_.reset();
    if (fresh_) {
        fresh_->Stop(std::chrono::milliseconds(0));
        fresh_.reset();
        if (session_) {
            session_->ExpectTakeOver(false);
        }
    }
}

void MqttOutput::Stop(Clock::time_point until) {
    if (!session_) {
        return;
    }
    // Nothing polls them any more: retained, their availability says so.
    for (const LinkSpec &link : config_.links) {
        for (const ModuleSpec &module : link.modules) {
            board_.Set(AvailabilityTopic(config_.topic_prefix, link.name, module.name), "offline");
        }
    }
    outbox_.Close();  // the last readings on disk
    auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    session_->Stop(std::max(bound, std::chrono::milliseconds(0)));
    outbox_.SetWake(nullptr);
    board_.SetWake(nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session_.reset();
    }
    outbox_.Close();  // what the broker acknowledged meanwhile
}

std::string MqttOutput::ModuleBase(const ModuleRef &module) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (module.link >= config_.links.size() ||
        module.module >= config_.links[module.link].modules.size()) {
        return "";
    }
    const LinkSpec &link = config_.links[module.link];
    return ModuleTopic(config_.topic_prefix, link.name, link.modules[module.module].name);
}

std::string MqttOutput::PollTopic(const PollRef &poll) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (poll.link >= config_.links.size() ||
        poll.module >= config_.links[poll.link].modules.size() ||
        poll.poll >= config_.links[poll.link].modules[poll.module].polls.size()) {
        return "";
    }
    const LinkSpec &link = config_.links[poll.link];
    const ModuleSpec &module = link.modules[poll.module];
    return ReadingTopic(config_.topic_prefix, link.name, module.name, module.polls[poll.poll].name);
}

void MqttOutput::OnReading(const PollRef &poll, const Reading &reading, bool published) {
    std::string topic = published ? PollTopic(poll) : "";
    if (topic.empty()) {
        return;
    }
    Reading r = reading;
    r.boot = boot_;
    outbox_.Push({std::move(topic), ReadingPayload(r), ""}, r.seq);
}

void MqttOutput::OnAvailability(const ModuleRef &module, Availability availability) {
    std::string base = ModuleBase(module);
    if (!base.empty() && availability != Availability::kUnknown) {
        board_.Set(base + "/availability", AvailabilityName(availability));
    }
}

void MqttOutput::OnCounters(const ModuleRef &module, const ModuleCounters &counters) {
    std::string base = ModuleBase(module);
    if (!base.empty()) {
        board_.Set(base + "/counters", CountersPayload(counters, std::chrono::system_clock::now()));
    }
}

// A result goes to the response topic its sender named, or beside its
// command: the gateway publishes under its own account, so it never writes
// where the sender could not (intake.h checks response topics).
void MqttOutput::OnResult(const Command &command, const CommandResult &result) {
    if (!command.publish_result) {
        return;
    }
    std::string topic = command.reply_topic;
    std::string note;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Asked for over MQTT 5, answered after a change to a broker of
        // 3.1.1, which carries no correlation data: beside the command.
        if (!topic.empty() && session_ && session_->State().protocol == "3.1.1") {
            topic.clear();
            note = "MQTT 3.1.1 carries no response topic: answered on the result topic";
        }
        if (topic.empty()) {
            bool get = !command.get.empty();
            topic = ResultTopic(config_.topic_prefix, command.link, command.module,
                                get ? "get" : "set", get ? command.get : command.name);
        }
    }
    std::string payload;
    if (result.reading) {
        Reading r = *result.reading;
        r.boot = boot_;
        payload = ReadingPayload(r);
    } else {
        payload = ResultPayload(result, note);
    }
    outbox_.Push({std::move(topic), std::move(payload), note.empty() ? command.correlation : ""});
}

std::uint64_t MqttOutput::LastSeq(const PollRef &poll) const {
    std::string topic = PollTopic(poll);
    return topic.empty() ? 0 : outbox_.LastSeq(topic);
}

namespace {

// Why a command's response topic cannot take its result, or empty: it must
// lie in the reply namespace, and the broker must be able to take the
// result there (one it cannot take would end the session at every resend).
std::string ResponseTopicRefusal(const std::string &reply_prefix, const IncomingCommand &incoming) {
    const std::string &topic = incoming.response_topic;
    if (!InReplyNamespace(reply_prefix, topic)) {
        return "response topic " + Quoted(topic, 100) + " lies outside the reply namespace \"" +
               reply_prefix + "/\"; not run";
    }
    std::string why = Untakeable(
        topic, topic.size() + incoming.correlation.size() + kMaxResultBytes, incoming.max_packet);
    return why.empty() ? "" : "response topic " + Quoted(topic, 100) + ": " + why + "; not run";
}

}  // namespace

// Runs on the session's thread: a message on a set or get topic becomes a
// command for the intake; a response topic outside the reply namespace is
// refused, and the refusal goes beside the command.
void MqttOutput::Handle(IncomingCommand incoming) {
    std::string prefix;
    std::string reply_prefix;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        prefix = config_.topic_prefix;
        reply_prefix = config_.reply_prefix;
    }
    auto set = SplitCommandTopic(prefix, incoming.topic);
    auto get = set ? std::nullopt : SplitCommandTopic(prefix, incoming.topic, "get");
    if (!set && !get) {
        return;
    }
    const CommandTopicParts &parts = set ? *set : *get;
    Command command;
    command.link = parts.link;
    command.module = parts.module;
    command.name = set ? parts.command : "get";
    command.get = set ? "" : parts.command;
    command.topic = incoming.topic;
    command.correlation = incoming.correlation;
    if (!incoming.response_topic.empty()) {
        std::string why = ResponseTopicRefusal(reply_prefix, incoming);
        if (!why.empty()) {
            intake_.Refuse(command, why, Refusal::kArguments, "response topics refused");
            return;
        }
        command.reply_topic = incoming.response_topic;
    }
    if (set) {
        intake_.SubmitText(std::move(command), incoming.payload);
    } else {
        intake_.SubmitGet(std::move(command), incoming.payload);
    }
}

void MqttOutput::SetRetained(const std::string &topic, const std::string &payload) {
    board_.Set(topic, payload);
}

OutputHealth MqttOutput::Health() const {
    OutputHealth h;
    h.name = Name();
    h.enabled = true;
    BrokerState b;
    std::string client_id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (session_) {
            b = session_->State();
        }
        client_id = config_.broker.client_id;
        if (b.where.empty()) {
            b.where = config_.broker.host + ":" + std::to_string(config_.broker.port);
        }
    }
    h.ready = b.connected;
    h.state = (b.connected ? "connected to " : "connecting to ") + b.where + " as " + client_id +
              (b.protocol.empty() ? "" : " (MQTT " + b.protocol + ")");
    h.problem = b.connected              ? ""
                : b.last_failure.empty() ? "broker not connected"
                                         : "broker not connected: " + b.last_failure;
    h.figures = Figures(b);
    h.details["broker"] = {
        {"where", b.where},
        {"connected", b.connected},
        {"connects", b.connects},
        {"protocol", b.protocol},
        {"last_failure", b.last_failure},
        {"last_failure_ts", b.last_failure.empty()
                                ? nlohmann::ordered_json(nullptr)
                                : nlohmann::ordered_json(text::IsoUtc(b.last_failure_at))}};
    h.details["queue"] = {{"messages", outbox_.Size()},
                          {"capacity", outbox_.Capacity()},
                          {"dropped", outbox_.Dropped()}};
    h.details["client_id"] = client_id;
    return h;
}

// The connection's, the queue's and the spool's figures for /metrics.
std::vector<Figure> MqttOutput::Figures(const BrokerState &b) const {
    std::vector<Figure> figures = {
        Gauge("qor_gateway_mqtt_connected", "1 while the broker connection is up.",
              b.connected ? 1 : 0),
        Counter("qor_gateway_mqtt_connects_total",
                "Connections made to the broker, the first included.",
                static_cast<double>(b.connects)),
        {"qor_gateway_mqtt_protocol_info",
         "The MQTT version of the broker connection, as its label.",
         false,
         {{"version", b.protocol}},
         1.0},
        Counter("qor_gateway_mqtt_refused_total",
                "Messages the broker refused or could never take, dropped.",
                static_cast<double>(refused_)),
        Gauge("qor_gateway_queue_messages", "Readings and results waiting for the broker.",
              static_cast<double>(outbox_.Size())),
        Gauge("qor_gateway_queue_capacity_messages",
              "The most messages the queue keeps before it drops the oldest.",
              static_cast<double>(outbox_.Capacity())),
        Counter("qor_gateway_dropped_total", "Messages dropped, oldest first, from a full queue.",
                static_cast<double>(outbox_.Dropped()))};
    for (Figure &f : SpoolFigures(outbox_.Status(), std::chrono::system_clock::now())) {
        figures.push_back(std::move(f));
    }
    return figures;
}

}  // namespace qor::gateway
