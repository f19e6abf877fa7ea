#include "gateway.h"

#include <variant>

#include "log.h"
#include "topics.h"

namespace qor::gateway {

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

bool Gateway::Reload(Config config) {
    StopModbus();
    StopPollers();
    cache_.reset();
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
    outbox_.SetCapacity(config_.queue_size);
    if (!session_ && !StartSession()) {
        return false;
    }
    StartPollers();
    return StartModbus();
}

void Gateway::Stop() {
    StopModbus();
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
    PendingCommand pending{
        module->name, std::get<CommandArgs>(parsed), reply_topic, command.correlation, "", nullptr};
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
