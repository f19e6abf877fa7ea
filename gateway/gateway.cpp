#include "gateway.h"

#include <variant>

#include "homeassistant.h"
#include "log.h"
#include "topics.h"

namespace qor::gateway {

Gateway::Gateway(Config config) : config_(std::move(config)), outbox_(config_.queue_size) {}

Gateway::~Gateway() {
    Stop();
}

bool Gateway::Start() {
    if (!StartSession() || !StartSparkplug()) {
        return false;
    }
    PublishDiscovery();
    StartPollers();
    return true;
}

bool Gateway::StartSparkplug() {
    if (!config_.sparkplug.enabled) {
        return true;
    }
    sparkplug_ = std::make_unique<SparkplugNode>(
        config_.broker, config_.sparkplug, [this](const std::string &link, PendingCommand command) {
            return SubmitTo(link, std::move(command));
        });
    sparkplug_->SetLinks(config_.links);
    std::string error;
    if (!sparkplug_->Start(&error)) {
        Log(Level::kError, error);
        sparkplug_.reset();
        return false;
    }
    return true;
}

// Retained on the state board, so that they are sent again after every
// reconnection; an entity no longer configured gets an empty retained
// config, which removes it.
void Gateway::PublishDiscovery() {
    std::map<std::string, std::string> configs = DiscoveryConfigs(config_);
    for (const auto &[topic, payload] : discovery_) {
        if (configs.count(topic) == 0) {
            board_.Set(topic, "");
        }
    }
    for (const auto &[topic, payload] : configs) {
        board_.Set(topic, payload);
    }
    discovery_ = std::move(configs);
}

bool Gateway::SubmitTo(const std::string &link, PendingCommand command) {
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    for (auto &poller : pollers_) {
        if (poller->spec().name == link) {
            return poller->Submit(std::move(command));
        }
    }
    return false;
}

bool Gateway::StartSession() {
    const std::string &prefix = config_.topic_prefix;
    const std::string &id = config_.broker.client_id;
    session_ = std::make_unique<MqttSession>(
        config_.broker, GatewayTopic(prefix, id, "status"), GatewayTopic(prefix, id, "dropped"),
        outbox_, board_, [this](IncomingCommand command) { Route(std::move(command)); });
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
                            sparkplug_.get()};
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
    StopPollers();
    bool new_session =
        !(config.broker == config_.broker) || config.topic_prefix != config_.topic_prefix;
    bool new_sparkplug =
        !(config.broker == config_.broker) || !(config.sparkplug == config_.sparkplug);
    if (new_sparkplug) {
        sparkplug_.reset();  // its NDEATH goes out
    }
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
    outbox_.SetCapacity(config_.queue_size);
    if (!session_ && !StartSession()) {
        return false;
    }
    PublishDiscovery();
    if (sparkplug_) {
        sparkplug_->SetLinks(config_.links);  // births again with the new metrics
    } else if (!StartSparkplug()) {
        return false;
    }
    StartPollers();
    return true;
}

void Gateway::Stop() {
    StopPollers();
    if (session_) {
        session_->Stop(
            std::chrono::duration_cast<std::chrono::milliseconds>(config_.flush_timeout));
        outbox_.SetWake(nullptr);
        board_.SetWake(nullptr);
        session_.reset();
    }
    sparkplug_.reset();
}

// Runs on the session's thread (so it reads the configuration under the
// lock): checks the command and hands it to its link, or answers at once.
void Gateway::Route(IncomingCommand command) {
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    auto where = SplitCommandTopic(config_.topic_prefix, command.topic);
    if (!where) {
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
               module == nullptr
                   ? "no module \"" + where->module + "\" on link \"" + where->link + "\""
                   : "no command \"" + where->command + "\"");
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
    std::string reply_topic =
        command.response_topic.empty() ? command.topic + "/result" : command.response_topic;
    PendingCommand pending;
    pending.module = module->name;
    pending.args = std::get<CommandArgs>(parsed);
    pending.reply_topic = reply_topic;
    pending.correlation = command.correlation;
    if (!poller->Submit(std::move(pending))) {
        Refuse(command, where->command, "too many commands waiting on the link");
    }
}

void Gateway::Refuse(const IncomingCommand &command, const std::string &name,
                     const std::string &reason) {
    Log(Level::kWarning, "command on \"" + command.topic + "\" refused: " + reason);
    CommandResult result;
    result.command = name;
    result.reason = reason;
    result.when = std::chrono::system_clock::now();
    std::string topic =
        command.response_topic.empty() ? command.topic + "/result" : command.response_topic;
    outbox_.Push({topic, ResultPayload(result), command.correlation});
}

}  // namespace qor::gateway
