#include "gateway.h"

#include <variant>

#include "log.h"
#include "topics.h"

namespace qor::gateway {

Gateway::Gateway(Config config) : config_(std::move(config)), outbox_(config_.queue_size) {
    status_.Layout(config_);
}

Gateway::~Gateway() {
    Stop();
}

bool Gateway::Start() {
    if (!StartSession()) {
        return false;
    }
    StartPollers();
    return StartHttp();
}

bool Gateway::StartHttp() {
    if (!config_.http.enabled) {
        return true;
    }
    HttpSources sources;
    sources.status = &status_;
    sources.figures = [this] { return Figures(); };
    sources.command = [this](const std::string &link, const std::string &module,
                             const std::string &command, const std::string &payload,
                             const std::string &user) {
        return PageCommand(link, module, command, payload, user);
    };
    http_ = std::make_unique<HttpServer>(config_.http, std::move(sources));
    std::string error;
    if (!http_->Start(&error)) {
        Log(Level::kError, "http: " + error);
        http_.reset();
        return false;
    }
    return true;
}

GatewayFigures Gateway::Figures() {
    GatewayFigures f;
    f.version = QOR_VERSION;
    {
        std::lock_guard<std::mutex> lock(pollers_mutex_);
        f.client_id = config_.broker.client_id;
        f.queue_capacity = config_.queue_size;
        f.commands = config_.http.commands;
    }
    f.queue_messages = outbox_.Size();
    f.dropped = outbox_.Dropped();
    return f;
}

// A command from the status page goes the way of one from MQTT: the same
// checks, the same link queue, its result on the same result topic.
std::string Gateway::PageCommand(const std::string &link, const std::string &module,
                                 const std::string &command, const std::string &payload,
                                 const std::string &user) {
    IncomingCommand incoming;
    {
        std::lock_guard<std::mutex> lock(pollers_mutex_);
        incoming.topic = ModuleTopic(config_.topic_prefix, link, module) + "/set/" + command;
    }
    incoming.payload = payload;
    std::string refused = Route(incoming);
    Log(Level::kInfo, "http: user \"" + user + "\" sent " + command + " to " + link + "/" + module +
                          (refused.empty() ? ": accepted" : ": refused: " + refused));
    return refused;
}

bool Gateway::StartSession() {
    const std::string &prefix = config_.topic_prefix;
    const std::string &id = config_.broker.client_id;
    session_ = std::make_unique<MqttSession>(
        config_.broker, GatewayTopic(prefix, id, "status"), GatewayTopic(prefix, id, "dropped"),
        outbox_, board_, [this](IncomingCommand command) { Route(std::move(command)); });
    session_->SetStatusView(&status_);
    MqttSession *session = session_.get();
    outbox_.SetWake([session] { session->Wake(); });
    board_.SetWake([session] { session->Wake(); });
    std::string error;
    if (!session_->Start(&error)) {
        Log(Level::kError, "broker: " + error);
        session_.reset();
        return false;
    }
    Log(Level::kInfo, "broker " + config_.broker.host + ":" + std::to_string(config_.broker.port) +
                          ": connecting as " + id);
    return true;
}

void Gateway::StartPollers() {
    PollerSettings settings{config_.topic_prefix, config_.offline_after, config_.counters_interval,
                            &status_};
    std::vector<std::string> filters;
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    for (std::size_t i = 0; i < config_.links.size(); ++i) {
        const LinkSpec &link = config_.links[i];
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

void Gateway::StopPollers() {
    std::vector<std::unique_ptr<LinkPoller>> stopping;
    {
        std::lock_guard<std::mutex> lock(pollers_mutex_);
        stopping.swap(pollers_);
    }
    for (auto &poller : stopping) {
        poller->Stop();
    }
}

bool Gateway::Reload(Config config) {
    if (http_) {
        http_->Stop();
        http_.reset();
    }
    StopPollers();
    bool new_session =
        !(config.broker == config_.broker) || config.topic_prefix != config_.topic_prefix;
    if (new_session && session_) {
        session_->Stop(
            std::chrono::duration_cast<std::chrono::milliseconds>(config_.flush_timeout));
        outbox_.SetWake(nullptr);
        board_.SetWake(nullptr);
        session_.reset();
    }
    {
        std::lock_guard<std::mutex> lock(pollers_mutex_);
        config_ = std::move(config);
    }
    status_.Layout(config_);
    outbox_.SetCapacity(config_.queue_size);
    if (!session_ && !StartSession()) {
        return false;
    }
    StartPollers();
    return StartHttp();
}

void Gateway::Stop() {
    if (http_) {
        http_->Stop();
        http_.reset();
    }
    StopPollers();
    if (session_) {
        session_->Stop(
            std::chrono::duration_cast<std::chrono::milliseconds>(config_.flush_timeout));
        outbox_.SetWake(nullptr);
        board_.SetWake(nullptr);
        session_.reset();
    }
}

// Runs on the session's thread (so it reads the configuration under the
// lock): checks the command and hands it to its link, or answers at once.
std::string Gateway::Route(IncomingCommand command) {
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    auto where = SplitCommandTopic(config_.topic_prefix, command.topic);
    if (!where) {
        return "no such command topic";
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
        return Refuse(command, where->command,
                      module == nullptr
                          ? "no module \"" + where->module + "\" on link \"" + where->link + "\""
                          : "no command \"" + where->command + "\"");
    }
    if (!module->Writable(*kind)) {
        return Refuse(
            command, where->command,
            "\"" + where->command + "\" is not writable on module \"" + module->name + "\"");
    }
    auto parsed = ParseCommand(*kind, command.payload);
    if (auto *reason = std::get_if<std::string>(&parsed)) {
        return Refuse(command, where->command, *reason);
    }
    std::string reply_topic =
        command.response_topic.empty() ? command.topic + "/result" : command.response_topic;
    PendingCommand pending{module->name, std::get<CommandArgs>(parsed), reply_topic,
                           command.correlation};
    if (!poller->Submit(std::move(pending))) {
        return Refuse(command, where->command, "too many commands waiting on the link");
    }
    status_.NoteCommand(true, where->command + " for " + where->link + "/" + where->module);
    return "";
}

std::string Gateway::Refuse(const IncomingCommand &command, const std::string &name,
                            const std::string &reason) {
    Log(Level::kWarning, "command on \"" + command.topic + "\" refused: " + reason);
    status_.NoteCommand(false, "refused " + name + " on " + command.topic + ": " + reason);
    CommandResult result;
    result.command = name;
    result.reason = reason;
    result.when = std::chrono::system_clock::now();
    std::string topic =
        command.response_topic.empty() ? command.topic + "/result" : command.response_topic;
    outbox_.Push({topic, ResultPayload(result), command.correlation});
    return reason;
}

}  // namespace qor::gateway
