#include "gateway.h"

#include <variant>

#include "log.h"
#include "topics.h"

namespace qor::gateway {

namespace {

std::chrono::milliseconds FlushBound(const Config &config) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(config.flush_timeout);
}

bool SameSessionKey(const BrokerSpec &a, const BrokerSpec &b) {
    return a.host == b.host && a.port == b.port && a.client_id == b.client_id;
}

}  // namespace

Gateway::Gateway(Config config) : config_(std::move(config)), outbox_(config_.queue_size) {}

Gateway::~Gateway() {
    Stop();
}

bool Gateway::Start() {
    if (!StartSession()) {
        return false;
    }
    StartPollers();
    return StartModbus();
}

std::unique_ptr<MqttSession> Gateway::MakeSession(const Config &config, std::string *why) {
    const std::string &prefix = config.topic_prefix;
    const std::string &id = config.broker.client_id;
    auto session = std::make_unique<MqttSession>(
        config.broker, GatewayTopic(prefix, id, "status"), GatewayTopic(prefix, id, "dropped"),
        outbox_, board_, [this](IncomingCommand command) { Route(std::move(command)); });
    Log(Level::kInfo, "broker " + config.broker.host + ":" + std::to_string(config.broker.port) +
                          ": connecting as " + id);
    if (!session->Start(why)) {
        return nullptr;
    }
    return session;
}

bool Gateway::StartSession() {
    std::string error;
    std::unique_ptr<MqttSession> session = MakeSession(config_, &error);
    if (!session) {
        Log(Level::kError, "broker: " + error);
        return false;
    }
    SwitchSession(std::move(session));
    return true;
}

// The old session (if any) delivers what it still can and goes; the new one
// is woken by the outbox and the state board from now on.
void Gateway::SwitchSession(std::unique_ptr<MqttSession> fresh) {
    MqttSession *session = fresh.get();
    outbox_.SetWake([session] { session->Wake(); });
    board_.SetWake([session] { session->Wake(); });
    if (session_) {
        session_->Stop(FlushBound(config_));
    }
    session_ = std::move(fresh);
    // A session taken over leaves its last will ("offline") behind.
    board_.MarkAllChanged();
}

void Gateway::StartPollers() {
    if (config_.modbus.enabled) {
        cache_ = std::make_unique<ReadingCache>(config_);
    }
    PollerSettings settings{config_.topic_prefix, config_.offline_after, config_.counters_interval,
                            cache_.get(), 0};
    std::vector<std::string> filters;
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    for (std::size_t i = 0; i < config_.links.size(); ++i) {
        const LinkSpec &link = config_.links[i];
        settings.link_index = i;
        // Ports 1 to 64, one per link: the library keeps a lock per port.
        pollers_.push_back(
            std::make_unique<LinkPoller>(link, static_cast<int>(i) + 1, settings, outbox_, board_));
        filters.push_back(CommandFilter(config_.topic_prefix, link.name));
    }
    for (auto &poller : pollers_) {
        poller->Start();
    }
    session_->SetSubscriptions(std::move(filters));
}

std::size_t Gateway::StopPollers(std::chrono::steady_clock::time_point until) {
    std::vector<std::unique_ptr<LinkPoller>> stopping;
    {
        std::lock_guard<std::mutex> lock(pollers_mutex_);
        stopping.swap(pollers_);
    }
    for (auto &poller : stopping) {
        poller->RequestStop();
    }
    std::size_t abandoned = 0;
    for (auto &poller : stopping) {
        if (!poller->WaitStopped(until)) {
            // Its thread still runs on it: it is never freed.
            (void)poller.release();
            ++abandoned;
        }
    }
    return abandoned;
}

// Writes from Modbus go to their link's poller like commands from MQTT.
bool Gateway::SubmitTo(std::size_t link, PendingCommand command) {
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    return link < pollers_.size() && pollers_[link]->Submit(std::move(command));
}

bool Gateway::StartModbus() {
    if (!config_.modbus.enabled) {
        return true;
    }
    std::string error;
    ModbusMap map = ModbusMap::Build(config_, &error);
    if (error.empty()) {
        modbus_ = std::make_unique<ModbusServer>(
            config_, std::move(map), *cache_,
            [this](std::size_t link, PendingCommand c) { return SubmitTo(link, std::move(c)); });
        if (modbus_->Start(&error)) {
            return true;
        }
        modbus_.reset();
    }
    Log(Level::kError, "modbus: " + error);
    return false;
}

// Before the pollers: a write under way is answered by its poller.
void Gateway::StopModbus() {
    if (modbus_) {
        modbus_->Stop();
        modbus_.reset();
    }
}

bool Gateway::Reload(Config config, const std::function<bool()> &give_up, std::string *why) {
    bool new_session =
        !(config.broker == config_.broker) || config.topic_prefix != config_.topic_prefix;
    std::unique_ptr<MqttSession> fresh;
    if (new_session) {
        bool takes_over = session_ && SameSessionKey(config.broker, config_.broker);
        if (takes_over) {
            session_->ExpectTakeOver(true);
        }
        fresh = MakeSession(config, why);
        // A second past the session's own CONNACK time-out, so that the
        // reason is that time-out's rather than this wait's.
        auto until = std::chrono::steady_clock::now() +
                     std::chrono::seconds(config.broker.connect_timeout_s + 1);
        if (fresh && !fresh->WaitConnected(until, give_up, why)) {
            fresh->Stop(std::chrono::milliseconds(0));
            fresh.reset();
        }
        if (!fresh) {
            if (session_) {
                session_->ExpectTakeOver(false);
            }
            *why = "broker " + config.broker.host + ":" + std::to_string(config.broker.port) +
                   ": " + *why;
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(pollers_mutex_);
        reloading_ = true;
    }
    StopModbus();
    StopPollers(std::chrono::steady_clock::time_point::max());
    cache_.reset();
    if (fresh) {
        SwitchSession(std::move(fresh));
    }
    {
        std::lock_guard<std::mutex> lock(pollers_mutex_);
        config_ = std::move(config);
        reloading_ = false;
    }
    outbox_.SetCapacity(config_.queue_size);
    StartPollers();
    return StartModbus();
}

std::size_t Gateway::Stop() {
    StopModbus();
    auto until = std::chrono::steady_clock::now() + kLinkStopGrace;
    std::size_t abandoned = StopPollers(until);
    if (session_) {
        session_->Stop(FlushBound(config_));
        outbox_.SetWake(nullptr);
        board_.SetWake(nullptr);
        session_.reset();
    }
    return abandoned;
}

bool Gateway::Running() {
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    return session_ != nullptr && pollers_.size() == config_.links.size();
}

// The result of a command goes beside it, or to the MQTT 5 response topic
// its sender named when that lies in the reply namespace: the gateway
// publishes under its own account, so it must never write where the sender
// could not (readings, availability, status, other modules' commands).
std::string Gateway::ReplyTopic(const IncomingCommand &command) const {
    if (!command.response_topic.empty() &&
        InReplyNamespace(config_.reply_prefix, command.response_topic)) {
        return command.response_topic;
    }
    return command.topic + "/result";
}

// Runs on the session's thread (so it reads the configuration under the
// lock): checks the command and hands it to its link, or answers at once.
void Gateway::Route(IncomingCommand command) {
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    auto where = SplitCommandTopic(config_.topic_prefix, command.topic);
    if (!where) {
        return;
    }
    if (!command.response_topic.empty() &&
        !InReplyNamespace(config_.reply_prefix, command.response_topic)) {
        Refuse(command, where->command,
               "response topic " + Quoted(command.response_topic, 100) +
                   " lies outside the reply namespace \"" + config_.reply_prefix + "/\"; not run",
               "response topics refused");
        return;
    }
    if (reloading_) {
        Refuse(command, where->command, "the gateway is reloading; not run, send it again");
        return;
    }
    LinkPoller *poller = nullptr;
    for (auto &p : pollers_) {
        if (p->spec().name == where->link) {
            poller = p.get();
        }
    }
    const ModuleSpec *module = poller ? poller->spec().Module(where->module) : nullptr;
    auto kind = CommandFromName(where->command);
    if (module == nullptr || !kind) {
        Refuse(command, where->command,
               module == nullptr ? "no module " + Quoted(where->module, 64) + " on link " +
                                       Quoted(where->link, 64)
                                 : "no command " + Quoted(where->command, 64));
        return;
    }
    if (!module->Writable(*kind)) {
        Refuse(command, where->command,
               "\"" + where->command + "\" is not writable on module \"" + module->name + "\"");
        return;
    }
    auto parsed = ParseCommand(*kind, command.payload);
    if (auto *reason = std::get_if<std::string>(&parsed)) {
        Refuse(command, where->command, *reason);
        return;
    }
    PendingCommand pending{module->name, std::get<CommandArgs>(parsed), ReplyTopic(command),
                           command.correlation, "", nullptr};
    if (!poller->Submit(std::move(pending))) {
        Refuse(command, where->command, "too many commands waiting on the link");
    }
}

void Gateway::Refuse(const IncomingCommand &command, const std::string &name,
                     const std::string &reason, const char *kind) {
    // The reason quotes what it holds from outside already.
    LogRepeated(Level::kWarning, kind,
                "command on " + Quoted(command.topic) + " refused: " + reason,
                reason.substr(0, 300));
    CommandResult result;
    result.command = name.substr(0, 64);
    result.reason = reason;
    result.when = std::chrono::system_clock::now();
    outbox_.Push({ReplyTopic(command), ResultPayload(result), command.correlation});
}

}  // namespace qor::gateway
