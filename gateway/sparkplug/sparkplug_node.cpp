#include "gateway/sparkplug/sparkplug_node.h"

#include <mosquitto.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "gateway/core/log.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

constexpr const char *kNamespace = "spBv1.0";
// What a broker that maps "." to "/" makes of it.
constexpr const char *kMappedNamespace = "spBv1/0/";
// How far a primary host's STATE may be stamped ahead of this gateway's
// clock: clocks of a plant's hosts differ by seconds, not minutes.
constexpr std::uint64_t kStateAheadMs = 5 * 60 * 1000;
// The NBIRTH among the posted messages.
constexpr int kBirthTag = 1;

const ConnectionWords kWords = {"sparkplug: ", "failed connects of the Sparkplug node",
                                "lost connections of the Sparkplug node",
                                "take-overs of the Sparkplug session",
                                "messages of the Sparkplug MQTT library"};
constexpr const char *kRebirth = "Node Control/Rebirth";

using namespace std::chrono_literals;

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

std::uint64_t Ms(std::chrono::system_clock::time_point when) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
}

std::uint32_t DataTypeOf(Query query) {
    switch (query) {
        case Query::kRe:
            return sparkplug::kInt64;
        case Query::kRb:
        case Query::kDi:
            return sparkplug::kBoolean;
        default:
            return sparkplug::kDouble;
    }
}

// The limits are the writable metrics: a DCMD on "rh" runs "hi", on "rl" "lo".
std::optional<CommandKind> WriteOf(Query query) {
    if (query == Query::kRh) {
        return CommandKind::kHi;
    }
    if (query == Query::kRl) {
        return CommandKind::kLo;
    }
    return std::nullopt;
}

}  // namespace

SparkplugNode::SparkplugNode(BrokerSpec broker, SparkplugSpec spec, Submit submit)
    : broker_(std::move(broker)),
      spec_(std::move(spec)),
      submit_(std::move(submit)),
      connection_(broker_, broker_.client_id + "-spb", kWords, *this) {}

SparkplugNode::~SparkplugNode() {
    Stop();
}

void SparkplugNode::SetLinks(const std::vector<LinkSpec> &links) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Device> devices;
    std::uint64_t alias = 0;
    for (const LinkSpec &link : links) {
        for (const ModuleSpec &module : link.modules) {
            devices.push_back(MakeDevice(link, module, &alias));
        }
    }
    // Devices that are gone die; the rest are born again with the new
    // metrics (a birth is the only way to change them).
    if (born_) {
        for (Device &old : devices_) {
            bool kept = false;
            for (const Device &d : devices) {
                kept = kept || d.id == old.id;
            }
            if (old.born && !kept) {
                Publish("DDEATH", old.id, {}, true);
            }
        }
    }
    devices_ = std::move(devices);
    if (born_) {
        BirthNode();
    }
}

// Under the lock: a module as a device, each poll a metric (with the next
// alias, when the node gives them), online as the device it replaces was.
SparkplugNode::Device SparkplugNode::MakeDevice(const LinkSpec &link, const ModuleSpec &module,
                                                std::uint64_t *alias) {
    Device device;
    device.link = link.name;
    device.module = module.name;
    device.id = link.name + ":" + module.name;
    if (const Device *old = Find(link.name, module.name)) {
        device.online = old->online;
    }
    for (const PollSpec &poll : module.polls) {
        MetricState metric;
        metric.name = poll.name;
        metric.query = poll.query;
        metric.poll = poll;
        metric.alias = spec_.aliases ? ++*alias : 0;
        auto write = WriteOf(poll.query);
        if (write && module.Writable(*write)) {
            metric.write = write;
        }
        device.metrics.push_back(std::move(metric));
    }
    return device;
}

bool SparkplugNode::Start(std::string *error) {
    // bdSeq goes on from the last connection of the last run.
    if (!spec_.bdseq_file.empty()) {
        std::ifstream in(spec_.bdseq_file);
        unsigned long long last = 0;
        if (in >> last) {
            bdseq_ = (last + 1) % 256;
        }
    }
    // A command left retained would run again at every connection; the
    // primary host's STATE is retained by design.
    std::vector<Subscription> subscriptions = {{Topic("NCMD"), false},
                                               {Topic("DCMD") + "/+", false}};
    if (!spec_.primary_host.empty()) {
        subscriptions.push_back({StateTopic(), true});
    }
    connection_.SetSubscriptions(std::move(subscriptions));
    if (!connection_.Start(error)) {
        *error = "the Sparkplug MQTT client: " + *error;
        return false;
    }
    started_ = true;
    Log(Level::kInfo,
        "sparkplug: edge node " + spec_.group + "/" + spec_.edge_node + ", bdSeq " +
            std::to_string(bdseq_) +
            (spec_.primary_host.empty() ? "" : ", primary host " + spec_.primary_host));
    return true;
}

void SparkplugNode::Stop() {
    if (!started_) {
        return;
    }
    started_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (born_) {
            SendDeath();
        }
        born_ = false;
    }
    // The thread sends what is posted and the DISCONNECT, a second at most.
    connection_.Stop(1s);
}

void SparkplugNode::Goodbye(bool connected) {
    if (connected) {
        connection_.Disconnect(false);
        connection_.Flush(std::chrono::steady_clock::now() + 500ms);
    }
}

// A clean disconnection sends no will: the node says it itself.
void SparkplugNode::SendDeath() {
    std::string payload = sparkplug::Encode(
        NowMs(), std::nullopt,
        {{"bdSeq", sparkplug::kUInt64, 0, false, static_cast<double>(bdseq_), "", ""}});
    connection_.Post({Topic("NDEATH"), std::move(payload), 0});
}

std::string SparkplugNode::StateTopic() const {
    return std::string(kNamespace) + "/STATE/" + spec_.primary_host;
}

std::string SparkplugNode::Topic(const char *type, const std::string &device) const {
    std::string topic =
        std::string(kNamespace) + "/" + spec_.group + "/" + type + "/" + spec_.edge_node;
    return device.empty() ? topic : topic + "/" + device;
}

// Called with the lock held: the seq a message takes is the order in which
// it reaches the connection's queue, which its thread sends in that order.
void SparkplugNode::Publish(const char *type, const std::string &device,
                            const std::vector<sparkplug::Metric> &metrics, bool with_seq) {
    std::optional<std::uint64_t> seq;
    if (with_seq) {
        seq = seq_;
        seq_ = (seq_ + 1) % 256;
    }
    bool birth = std::string(type) == "NBIRTH";
    connection_.Post(
        {Topic(type, device), sparkplug::Encode(NowMs(), seq, metrics), birth ? kBirthTag : 0});
}

// NBIRTH with seq 0, then a DBIRTH for every module that answers.
void SparkplugNode::BirthNode() {
    seq_ = 0;
    born_ = true;
    ++births_;
    std::uint64_t now = NowMs();
    Publish("NBIRTH", "",
            {{"bdSeq", sparkplug::kUInt64, now, false, static_cast<double>(bdseq_), "", ""},
             {kRebirth, sparkplug::kBoolean, now, false, 0, "", ""}},
            true);
    for (Device &device : devices_) {
        device.born = false;
        if (device.online) {
            BirthDevice(device);
        }
    }
}

void SparkplugNode::BirthDevice(Device &device) {
    std::vector<sparkplug::Metric> metrics;
    for (const MetricState &state : device.metrics) {
        metrics.push_back(ToMetric(state, false));
    }
    metrics.push_back({kSparkplugErrorMetric, sparkplug::kString, NowMs(), false, 0, "", ""});
    Publish("DBIRTH", device.id, metrics, true);
    device.born = true;
}

sparkplug::Metric SparkplugNode::ToMetric(const MetricState &state, bool by_alias) {
    sparkplug::Metric m;
    if (!by_alias || state.alias == 0) {
        m.name = state.name;
    }
    m.alias = state.alias;
    m.datatype = DataTypeOf(state.query);
    m.timestamp = state.has_reading ? Ms(state.last.when) : NowMs();
    m.is_null = !state.has_reading || state.last.status != QOR_STATUS_OK;
    m.number = state.last.value;  // the engineering value, where the poll scales it
    m.unit = state.poll.unit;
    return m;
}

// Before each connection, on the connection's thread: the will carries the
// bdSeq this session's NBIRTH will carry.
void SparkplugNode::BeforeConnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (next_bdseq_) {
        bdseq_ = (bdseq_ + 1) % 256;
        next_bdseq_ = false;
    }
    SetWill();
}

void SparkplugNode::SetWill() {
    std::string payload = sparkplug::Encode(
        NowMs(), std::nullopt,
        {{"bdSeq", sparkplug::kUInt64, 0, false, static_cast<double>(bdseq_), "", ""}});
    connection_.SetWill(Topic("NDEATH"), payload, 1, false);
    if (spec_.bdseq_file.empty()) {
        return;
    }
    // Written before the connection that uses it, and replaced whole.
    std::string temporary = spec_.bdseq_file + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << bdseq_ << "\n";
        if (!out.flush()) {
            Log(Level::kWarning, "sparkplug: cannot write " + temporary);
            return;
        }
    }
    if (std::rename(temporary.c_str(), spec_.bdseq_file.c_str()) != 0) {
        Log(Level::kWarning, "sparkplug: cannot replace " + spec_.bdseq_file);
    }
}

SparkplugNode::State SparkplugNode::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    BrokerState broker = connection_.State();
    State s;
    s.where = broker.where;
    s.protocol = broker.protocol;
    s.foreign = foreign_;
    s.mapped = mapped_;
    s.connected = connected_;
    s.born = born_;
    s.waiting_host = connected_ && !born_ && !spec_.primary_host.empty();
    s.bdseq = bdseq_;
    s.births = births_;
    s.commands = commands_;
    return s;
}

SparkplugNode::Device *SparkplugNode::Find(const std::string &link, const std::string &module) {
    for (Device &device : devices_) {
        if (device.link == link && device.module == module) {
            return &device;
        }
    }
    return nullptr;
}

void SparkplugNode::OnReading(const std::string &link, const std::string &module,
                              const std::string &poll, const Reading &reading) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device *device = Find(link, module);
    if (device == nullptr) {
        return;
    }
    MetricState *state = nullptr;
    for (MetricState &m : device->metrics) {
        if (m.name == poll) {
            state = &m;
        }
    }
    if (state == nullptr) {
        return;
    }
    state->has_reading = true;
    state->last = reading;
    if (!born_) {
        return;
    }
    if (!device->born) {
        // The first answer makes the module a device: its birth carries
        // this value, so no DDATA goes before it.
        if (reading.status == QOR_STATUS_OK) {
            device->online = true;
            BirthDevice(*device);
        }
        return;
    }
    Publish("DDATA", device->id, {ToMetric(*state, true)}, true);
}

void SparkplugNode::OnAvailability(const std::string &link, const std::string &module,
                                   bool online) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device *device = Find(link, module);
    if (device == nullptr) {
        return;
    }
    device->online = online;
    if (!born_) {
        return;
    }
    if (online && !device->born) {
        BirthDevice(*device);
    } else if (!online && device->born) {
        Publish("DDEATH", device->id, {}, true);
        device->born = false;
    }
}

void SparkplugNode::ReportError(Device &device, const std::string &text) {
    // The metric names in text come from outside.
    LogRepeated(Level::kWarning, "Sparkplug B writes refused",
                "sparkplug: DCMD for " + device.id + " refused: " + Quoted(text),
                text.substr(0, 300));
    if (born_ && device.born) {
        Publish("DDATA", device.id,
                {{kSparkplugErrorMetric, sparkplug::kString, NowMs(), false, 0, text, ""}}, true);
    }
}

void SparkplugNode::HandleNodeCommand(const std::string &payload) {
    std::optional<std::vector<sparkplug::CommandMetric>> metrics;
    if (payload.size() <= kMaxCommandBytes) {
        metrics = sparkplug::DecodeCommand(payload);
    }
    if (!metrics) {
        LogRepeated(Level::kWarning, "Sparkplug B commands refused",
                    "sparkplug: an NCMD that is no Sparkplug B payload", "no payload");
        return;
    }
    for (const sparkplug::CommandMetric &m : *metrics) {
        if (m.name == kRebirth && m.has_value && m.number != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            Log(Level::kInfo, "sparkplug: rebirth requested");
            if (born_) {
                BirthNode();
            }
            return;
        }
    }
}

// The command for one write; its result comes back on a poller's thread
// (or at once, when the intake refuses it).
Command SparkplugNode::Write(const Device &device, const MetricState &state, double value) {
    Command command;
    command.link = device.link;
    command.module = device.module;
    command.name = CommandName(*state.write);
    command.args.kind = *state.write;
    command.args.value = value;
    command.origin = Origin::kSparkplug;
    command.who = device.id;
    command.publish_result = false;
    command.read_back = state.name;
    command.done = [this, link = device.link, module = device.module,
                    name = state.name](const CommandResult &result) {
        if (result.ran && result.status == QOR_STATUS_OK) {
            return;
        }
        std::string why = result.ran ? "status " + std::to_string(result.status) + ", error " +
                                           std::to_string(result.error)
                                     : result.reason;
        if (!result.error_text.empty()) {
            why += " (" + result.error_text + ")";
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (Device *d = Find(link, module)) {
            ReportError(*d, name + ": " + why);
        }
    };
    return command;
}

// Each metric is a write of its own: the limit's command with the value,
// then the limit read back, which its DDATA shows. What is refused is
// answered with one error DDATA for the whole DCMD, however many metrics
// it named.
void SparkplugNode::HandleDeviceCommand(const std::string &device_id, const std::string &payload) {
    std::optional<std::vector<sparkplug::CommandMetric>> metrics;
    if (payload.size() <= kMaxCommandBytes) {
        metrics = sparkplug::DecodeCommand(payload);
    }
    std::vector<Command> commands;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Device *device = FindDevice(device_id);
        if (device == nullptr) {
            LogRepeated(Level::kWarning, "Sparkplug B commands refused",
                        "sparkplug: a DCMD for unknown device " + Quoted(device_id),
                        "unknown device");
            return;
        }
        if (payload.size() > kMaxCommandBytes) {
            ReportError(*device, "the DCMD has " + std::to_string(payload.size()) +
                                     " bytes, more than " + std::to_string(kMaxCommandBytes));
            return;
        }
        if (!metrics) {
            ReportError(*device, "the DCMD is no Sparkplug B payload");
            return;
        }
        std::vector<std::string> errors;
        for (const sparkplug::CommandMetric &m : *metrics) {
            std::string error = CheckWrite(*device, m, &commands);
            if (!error.empty()) {
                errors.push_back(std::move(error));
            }
        }
        if (!errors.empty()) {
            ReportError(*device,
                        errors.front() +
                            (errors.size() > 1
                                 ? " (and " + std::to_string(errors.size() - 1) + " more refused)"
                                 : ""));
        }
        commands_ += commands.size();
    }
    for (Command &command : commands) {
        submit_(std::move(command));
    }
}

SparkplugNode::Device *SparkplugNode::FindDevice(const std::string &id) {
    for (Device &d : devices_) {
        if (d.id == id) {
            return &d;
        }
    }
    return nullptr;
}

// Under the lock: a write of one metric, by the alias its DBIRTH declared or
// by name, added to commands; else why not. A limit takes a number: a
// Boolean (or a string) is no limit, though it could be read as 1.
std::string SparkplugNode::CheckWrite(const Device &device, const sparkplug::CommandMetric &m,
                                      std::vector<Command> *commands) {
    const MetricState *state = nullptr;
    for (const MetricState &s : device.metrics) {
        if (m.alias ? s.alias != 0 && s.alias == *m.alias : s.name == m.name) {
            state = &s;
        }
    }
    std::string name = state != nullptr ? state->name
                       : m.alias        ? "alias " + std::to_string(*m.alias)
                                        : m.name.substr(0, 100);
    if (state == nullptr) {
        return name + ": no such metric";
    }
    if (!state->write) {
        return name + ": not writable";
    }
    if (m.boolean) {
        return name + ": takes a number, not a Boolean";
    }
    if (!m.has_value) {
        return name + ": needs a number";
    }
    commands->push_back(Write(device, *state, m.number));
    return "";
}

void SparkplugNode::OnConnected(const BrokerLimits &) {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    subscribed_ = false;
    host_online_ = false;
    born_ = false;
    leaving_ = false;
    birth_sent_ = false;
    Log(Level::kInfo, "sparkplug: session with bdSeq " + std::to_string(bdseq_));
}

void SparkplugNode::OnSubscribed() {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribed_ = true;
    MaybeBirth();
}

// Under the lock: NBIRTH once the node's commands can reach it and, with a
// primary host, once that host is online.
void SparkplugNode::MaybeBirth() {
    if (connected_ && subscribed_ && !born_ && !leaving_ &&
        (spec_.primary_host.empty() || host_online_)) {
        BirthNode();
    }
}

void SparkplugNode::OnPosted(const Posted &message, bool sent) {
    if (message.tag == kBirthTag && sent) {
        std::lock_guard<std::mutex> lock(mutex_);
        birth_sent_ = true;
    }
}

// The next connection is a new session with the next bdSeq once this one
// was born. A session that sent no NBIRTH keeps its bdSeq, unless its own
// end was a keep-alive time-out: the broker may then still hold it, and
// send its will after a later session's birth.
void SparkplugNode::OnClosed(bool, int rc) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (birth_sent_ || (connected_ && rc == MOSQ_ERR_KEEPALIVE)) {
        next_bdseq_ = true;
    }
    connected_ = false;
    subscribed_ = false;
    born_ = false;
    leaving_ = false;
    birth_sent_ = false;
    for (Device &device : devices_) {
        device.born = false;
    }
}

// The primary host's STATE: the newest by its timestamp counts (a will sent
// late carries its session's older one). Online: the births go out.
// Offline: NDEATH, and the next broker, unless there is no other and the node
// has not been born (it waits there).
void SparkplugNode::HandleState(const std::string &payload) {
    std::optional<HostState> state = ParseHostState(payload);
    if (!state) {
        LogRepeated(Level::kWarning, "Sparkplug B STATE messages refused",
                    "sparkplug: a STATE of " + Quoted(spec_.primary_host) +
                        " that is no {\"online\": ..., \"timestamp\": ...} object",
                    "bad STATE");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!TakeState(*state)) {
            return;
        }
    }
    // Outside the lock: the connection sends what is posted (NDEATH) first.
    connection_.Disconnect(true);
}

// Under the lock; true when the node is to leave its broker. A STATE stamped
// further ahead of this gateway's clock than kStateAhead comes from a host
// whose clock is wrong: taken as the newest, it would make every later
// STATE of the host look older, and stop the births until a restart.
bool SparkplugNode::TakeState(const HostState &state) {
    std::uint64_t now = NowMs();
    if (state.timestamp > now + kStateAheadMs) {
        LogRepeated(Level::kWarning, "Sparkplug B STATE messages refused",
                    "sparkplug: a STATE of " + spec_.primary_host + " stamped " +
                        std::to_string((state.timestamp - now) / 1000) +
                        " s ahead of this gateway's clock, ignored (more than " +
                        std::to_string(kStateAheadMs / 1000) + " s ahead)",
                    "STATE ahead of the clock");
        return false;
    }
    if (state_ts_ && state.timestamp < *state_ts_) {
        Log(Level::kInfo,
            "sparkplug: a STATE of " + spec_.primary_host + " older than the last one, ignored");
        return false;
    }
    state_ts_ = state.timestamp;
    host_online_ = state.online;
    if (!connected_ || leaving_) {
        return false;
    }
    if (state.online) {
        if (!born_) {
            Log(Level::kInfo, "sparkplug: primary host " + spec_.primary_host + " online");
            MaybeBirth();
        }
        return false;
    }
    if (!born_ && broker_.hosts.size() == 1) {
        Log(Level::kInfo, "sparkplug: primary host " + spec_.primary_host +
                              " offline; waiting for it on broker " + connection_.Where());
        return false;
    }
    Log(Level::kWarning, "sparkplug: primary host " + spec_.primary_host +
                             " offline; leaving broker " + connection_.Where());
    if (born_) {
        SendDeath();
    }
    born_ = false;
    leaving_ = true;
    return true;
}

// On the connection's thread. A topic of none of the node's subscriptions
// comes from a broker that rewrote it: said once, and counted.
void SparkplugNode::OnMessage(IncomingMessage message) {
    const std::string &topic = message.topic;
    std::string dcmd = Topic("DCMD") + "/";
    if (!spec_.primary_host.empty() && topic == StateTopic()) {
        HandleState(message.payload);
    } else if (topic == Topic("NCMD")) {
        HandleNodeCommand(message.payload);
    } else if (topic.compare(0, dcmd.size(), dcmd) == 0) {
        HandleDeviceCommand(topic.substr(dcmd.size()), message.payload);
    } else {
        NoteForeign(topic);
    }
}

void SparkplugNode::NoteForeign(const std::string &topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++foreign_;
    bool mapped = topic.compare(0, std::string(kMappedNamespace).size(), kMappedNamespace) == 0;
    if (mapped && !mapped_) {
        mapped_ = true;
        Log(Level::kError, "sparkplug: the broker delivers " + Quoted(topic) +
                               " for a subscription under " + kNamespace +
                               "/: it maps \".\" in topic names to \"/\" (RabbitMQ does), "
                               "so it cannot carry Sparkplug B; its commands and STATE are "
                               "counted and dropped");
    } else if (foreign_ == 1) {
        Log(Level::kWarning, "sparkplug: a message on " + Quoted(topic) +
                                 ", which is no Sparkplug B topic of this node; such messages "
                                 "are counted and dropped");
    }
}

}  // namespace qor::gateway
