#include "gateway/core/gateway.h"

#include <variant>

#include "gateway/core/log.h"
#include "gateway/homeassistant/discovery.h"
#include "gateway/mqtt/topics.h"

namespace qor::gateway {

namespace {

std::chrono::milliseconds FlushBound(const Config &config) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(config.flush_timeout);
}

// The "rb" poll of that name, whose set topic takes "ON" and "OFF".
const PollSpec *BitPoll(const ModuleSpec &module, const std::string &name) {
    for (const PollSpec &poll : module.polls) {
        if (poll.query == Query::kRb && poll.name == name) {
            return &poll;
        }
    }
    return nullptr;
}

bool SameSessionKey(const BrokerSpec &a, const BrokerSpec &b) {
    return a.host == b.host && a.port == b.port && a.client_id == b.client_id;
}

}  // namespace

Gateway::Gateway(Config config) : config_(std::move(config)), outbox_(config_.queue_size) {
    status_.Layout(config_);
}

Gateway::~Gateway() {
    Stop();
}

// The spool, or the reason there is none (then readings wait in RAM, and
// the boot number is the Unix time of the start).
void Gateway::OpenSpool() {
    boot_ = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
    const SpoolSettings &settings = config_.spool;
    if (!settings.enabled) {
        outbox_.SetBoot(boot_);
        return;
    }
    std::string why;
    std::string aside;
    std::unique_ptr<Spool> spool = Spool::Open(settings.path, &why, &aside);
    if (!aside.empty()) {
        Log(Level::kError, "spool " + settings.path + ": corrupt (" + why + "); moved aside to " +
                               aside + " and started afresh");
        outbox_.NoteSpoolReset();
    }
    if (!spool) {
        Log(Level::kError, "spool " + settings.path + ": cannot be used (" + why +
                               "); readings wait in RAM only, queue_size at most");
        outbox_.SetBoot(boot_);
        return;
    }
    boot_ = spool->Boot();
    outbox_.SetBoot(boot_);
    Log(Level::kInfo, "spool " + settings.path + ": boot " + std::to_string(boot_) + ", " +
                          std::to_string(spool->Count()) + " messages waiting");
    outbox_.AttachSpool(std::move(spool), settings);
}

bool Gateway::Start() {
    OpenSpool();
    if (!StartSession() || !StartSparkplug()) {
        return false;
    }
    PublishDiscovery();
    StartPollers();
    bool modbus = StartModbus();
    bool http = StartHttp();
    return modbus && http;
}

std::unique_ptr<MqttSession> Gateway::MakeSession(const Config &config, std::string *why) {
    const std::string &prefix = config.topic_prefix;
    const std::string &id = config.broker.client_id;
    auto session = std::make_unique<MqttSession>(
        config.broker, GatewayTopic(prefix, id, "status"), GatewayTopic(prefix, id, "dropped"),
        outbox_, board_, [this](IncomingCommand command) { Route(std::move(command)); });
    session->SetStatusView(&status_);
    session->SetStatusInterval(config.counters_interval);
    Log(Level::kInfo, "broker " + config.broker.host + ":" + std::to_string(config.broker.port) +
                          ": connecting as " + id);
    if (!session->Start(why)) {
        return nullptr;
    }
    return session;
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
    f.delivery = outbox_.Status();
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

LinkPoller *Gateway::PollerNamed(const std::string &link) const {
    for (const auto &poller : pollers_) {
        if (poller->Spec().name == link) {
            return poller.get();
        }
    }
    return nullptr;
}

bool Gateway::SubmitTo(const std::string &link, PendingCommand command) {
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    LinkPoller *poller = PollerNamed(link);
    return poller != nullptr && poller->Submit(std::move(command));
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
    PollerSettings settings{config_.topic_prefix,
                            config_.offline_after,
                            config_.counters_interval,
                            cache_.get(),
                            0,
                            &status_,
                            boot_,
                            sparkplug_.get()};
    std::vector<std::string> filters;
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    for (std::size_t i = 0; i < config_.links.size(); ++i) {
        const LinkSpec &link = config_.links[i];
        settings.link_index = i;
        // Ports 1 to 64, one per link: the library keeps a lock per port.
        pollers_.push_back(
            std::make_unique<LinkPoller>(link, static_cast<int>(i) + 1, settings, outbox_, board_));
        filters.push_back(CommandFilter(config_.topic_prefix, link.name));
        filters.push_back(GetFilter(config_.topic_prefix, link.name));
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

// A session for config, connected, or none with the reason in *why; the
// running session is left as it was either way.
std::unique_ptr<MqttSession> Gateway::ConnectFresh(const Config &config,
                                                   const std::function<bool()> &give_up,
                                                   std::string *why) {
    bool takes_over = session_ && SameSessionKey(config.broker, config_.broker);
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
        if (session_) {
            session_->ExpectTakeOver(false);
        }
        *why =
            "broker " + config.broker.host + ":" + std::to_string(config.broker.port) + ": " + *why;
    }
    return fresh;
}

bool Gateway::Reload(Config config, const std::function<bool()> &give_up, std::string *why) {
    bool new_session =
        !(config.broker == config_.broker) || config.topic_prefix != config_.topic_prefix;
    std::unique_ptr<MqttSession> fresh;
    if (new_session) {
        fresh = ConnectFresh(config, give_up, why);
        if (!fresh) {
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
    bool new_sparkplug =
        !(config.broker == config_.broker) || !(config.sparkplug == config_.sparkplug);
    if (new_sparkplug && sparkplug_) {
        sparkplug_->Stop();  // its NDEATH goes out
        sparkplug_.reset();
    }
    {
        std::lock_guard<std::mutex> lock(pollers_mutex_);
        config_ = std::move(config);
        reloading_ = false;
    }
    status_.Layout(config_);
    outbox_.SetCapacity(config_.queue_size);
    outbox_.SetSpoolSettings(config_.spool);
    PublishDiscovery();
    bool sparkplug = true;
    if (sparkplug_) {
        sparkplug_->SetLinks(config_.links);  // births again with the new metrics
    } else {
        sparkplug = StartSparkplug();
    }
    StartPollers();
    bool modbus = StartModbus();
    bool http = StartHttp();
    return sparkplug && modbus && http;
}

std::size_t Gateway::Stop() {
    if (http_) {
        http_->Stop();
        http_.reset();
    }
    StopModbus();
    auto until = std::chrono::steady_clock::now() + kLinkStopGrace;
    std::size_t abandoned = StopPollers(until);
    // Nothing polls them any more: retained, their availability says so.
    for (const LinkSpec &link : config_.links) {
        for (const ModuleSpec &module : link.modules) {
            board_.Set(ModuleTopic(config_.topic_prefix, link.name, module.name) + "/availability",
                       "offline");
        }
    }
    outbox_.Close();  // the last readings on disk
    if (session_) {
        session_->Stop(FlushBound(config_));
        outbox_.SetWake(nullptr);
        board_.SetWake(nullptr);
        session_.reset();
    }
    outbox_.Close();  // what the broker acknowledged meanwhile
    if (sparkplug_) {
        sparkplug_->Stop();  // its NDEATH goes out
        if (abandoned > 0) {
            // A link still running tells it of readings: it is never freed.
            (void)sparkplug_.release();
        }
        sparkplug_.reset();
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
std::string Gateway::Route(IncomingCommand command) {
    std::lock_guard<std::mutex> lock(pollers_mutex_);
    auto where = SplitCommandTopic(config_.topic_prefix, command.topic);
    auto get = where ? std::nullopt : SplitCommandTopic(config_.topic_prefix, command.topic, "get");
    if (!where && !get) {
        return "no such command topic";
    }
    std::string name = where ? where->command : "get";
    if (!command.response_topic.empty() &&
        !InReplyNamespace(config_.reply_prefix, command.response_topic)) {
        return Refuse(command, name,
                      "response topic " + Quoted(command.response_topic, 100) +
                          " lies outside the reply namespace \"" + config_.reply_prefix +
                          "/\"; not run",
                      "response topics refused");
    }
    if (reloading_) {
        return Refuse(command, name, "the gateway is reloading; not run, send it again");
    }
    return get ? RouteGet(command, *get) : RouteSet(std::move(command), *where);
}

// A command on a set topic (under the pollers' lock): checked against the
// module's allow-list and its payload, then queued on its link.
std::string Gateway::RouteSet(IncomingCommand command, const CommandTopic &where) {
    LinkPoller *poller = PollerNamed(where.link);
    const ModuleSpec *module = poller ? poller->Spec().Module(where.module) : nullptr;
    auto kind = CommandFromName(where.command);
    // "ON" or "OFF" on the set topic of an "rb" poll (a Home Assistant
    // switch) sets or clears its bit as "sb" and "cb" do, if writable.
    const PollSpec *bit = module != nullptr && !kind ? BitPoll(*module, where.command) : nullptr;
    if (bit != nullptr) {
        if (command.payload != "ON" && command.payload != "OFF") {
            return Refuse(command, where.command, "a bit takes \"ON\" or \"OFF\"");
        }
        kind = command.payload == "ON" ? CommandKind::kSb : CommandKind::kCb;
        command.payload = "{\"bit\": " + std::to_string(bit->bit) + "}";
    }
    if (module == nullptr || !kind) {
        return Refuse(command, where.command,
                      module == nullptr ? "no module " + Quoted(where.module, 64) + " on link " +
                                              Quoted(where.link, 64)
                                        : "no command " + Quoted(where.command, 64));
    }
    if (!module->Writable(*kind)) {
        return Refuse(command, where.command,
                      "\"" + std::string(CommandName(*kind)) + "\" is not writable on module \"" +
                          module->name + "\"");
    }
    auto parsed = ParseCommand(*kind, command.payload);
    if (auto *reason = std::get_if<std::string>(&parsed)) {
        return Refuse(command, where.command, *reason);
    }
    PendingCommand pending;
    pending.module = module->name;
    pending.args = std::get<CommandArgs>(parsed);
    pending.reply_topic = ReplyTopic(command);
    pending.correlation = command.correlation;
    if (!poller->Submit(std::move(pending))) {
        return Refuse(command, where.command, "too many commands waiting on the link");
    }
    status_.NoteCommand(true, where.command + " for " + where.link + "/" + where.module);
    return "";
}

std::string Gateway::RouteGet(const IncomingCommand &command, const CommandTopic &where) {
    LinkPoller *poller = PollerNamed(where.link);
    const ModuleSpec *module = poller ? poller->Spec().Module(where.module) : nullptr;
    if (module == nullptr) {
        return Refuse(
            command, "get",
            "no module " + Quoted(where.module, 64) + " on link " + Quoted(where.link, 64));
    }
    bool polled = false;
    for (const PollSpec &poll : module->polls) {
        polled = polled || poll.name == where.command;
    }
    if (!polled) {
        return Refuse(
            command, "get",
            "no poll " + Quoted(where.command, 64) + " on module \"" + module->name + "\"");
    }
    auto parsed = ParsePayloadFields(command.payload);
    if (auto *reason = std::get_if<std::string>(&parsed)) {
        return Refuse(command, "get", *reason);
    }
    const PayloadFields &f = std::get<PayloadFields>(parsed);
    if (f.value || f.latching || f.outputs || f.bytes || f.bit) {
        return Refuse(command, "get", "get takes an empty payload or {}");
    }
    PendingCommand pending;
    pending.module = module->name;
    pending.get = where.command;
    pending.reply_topic = ReplyTopic(command);
    pending.correlation = command.correlation;
    if (!poller->Submit(std::move(pending))) {
        return Refuse(command, "get", "too many commands waiting on the link");
    }
    status_.NoteCommand(true, "get " + where.command + " for " + where.link + "/" + where.module);
    return "";
}

std::string Gateway::Refuse(const IncomingCommand &command, const std::string &name,
                            const std::string &reason, const char *kind) {
    // The reason quotes what it holds from outside already.
    LogRepeated(Level::kWarning, kind,
                "command on " + Quoted(command.topic) + " refused: " + reason,
                reason.substr(0, 300));
    status_.NoteCommand(false, "refused " + name + " on " + Quoted(command.topic) + ": " + reason);
    CommandResult result;
    result.command = name.substr(0, 64);
    result.reason = reason;
    result.when = std::chrono::system_clock::now();
    outbox_.Push({ReplyTopic(command), ResultPayload(result), command.correlation});
    return reason;
}

}  // namespace qor::gateway
