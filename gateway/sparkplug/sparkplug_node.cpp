#include "gateway/sparkplug/sparkplug_node.h"

#include <mosquitto.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "gateway/core/log.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

constexpr const char *kNamespace = "spBv1.0";
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

std::optional<HostState> ParseHostState(const std::string &payload) {
    nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return std::nullopt;
    }
    auto online = j.find("online");
    auto timestamp = j.find("timestamp");
    if (online == j.end() || !online->is_boolean() || timestamp == j.end() ||
        !timestamp->is_number_unsigned()) {
        return std::nullopt;
    }
    return HostState{online->get<bool>(), timestamp->get<std::uint64_t>()};
}

SparkplugNode::SparkplugNode(BrokerSpec broker, SparkplugSpec spec, Submit submit)
    : broker_(std::move(broker)),
      spec_(std::move(spec)),
      submit_(std::move(submit)),
      backoff_(500ms, 30s) {}

SparkplugNode::~SparkplugNode() {
    Stop();
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
}

void SparkplugNode::SetLinks(const std::vector<LinkSpec> &links) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Device> devices;
    std::uint64_t alias = 0;
    for (const LinkSpec &link : links) {
        for (const ModuleSpec &module : link.modules) {
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
                metric.alias = spec_.aliases ? ++alias : 0;
                auto write = WriteOf(poll.query);
                if (write && module.Writable(*write)) {
                    metric.write = write;
                }
                device.metrics.push_back(std::move(metric));
            }
            devices.push_back(std::move(device));
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

bool SparkplugNode::Start(std::string *error) {
    // bdSeq goes on from the last connection of the last run.
    if (!spec_.bdseq_file.empty()) {
        std::ifstream in(spec_.bdseq_file);
        unsigned long long last = 0;
        if (in >> last) {
            bdseq_ = (last + 1) % 256;
        }
    }
    std::string client_id = broker_.client_id + "-spb";
    client_ = mosquitto_new(client_id.c_str(), true, this);
    if (client_ == nullptr) {
        *error = "cannot create the Sparkplug MQTT client";
        return false;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (!broker_.username.empty()) {
        rc = mosquitto_username_pw_set(
            client_, broker_.username.c_str(),
            broker_.password_file.empty() ? nullptr : broker_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && !broker_.tls_ca_file.empty()) {
        rc = mosquitto_tls_set(
            client_, broker_.tls_ca_file.c_str(), nullptr,
            broker_.tls_cert_file.empty() ? nullptr : broker_.tls_cert_file.c_str(),
            broker_.tls_key_file.empty() ? nullptr : broker_.tls_key_file.c_str(), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = std::string("Sparkplug client: ") + mosquitto_strerror(rc);
        return false;
    }
    // Publishers on other threads wake the node's thread.
    mosquitto_threaded_set(client_, true);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_message_callback_set(client_, OnMessage);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SetWill();
    }
    started_ = true;
    thread_ = std::thread([this] { Run(); });
    Log(Level::kInfo,
        "sparkplug: edge node " + spec_.group + "/" + spec_.edge_node + ", bdSeq " +
            std::to_string(bdseq_) +
            (spec_.primary_host.empty() ? "" : ", primary host " + spec_.primary_host));
    return true;
}

// Connects, reconnects and serves the client; a broker that is not there
// yet is retried here.
void SparkplugNode::Run() {
    for (;;) {
        Clock::time_point now = Clock::now();
        int socket = mosquitto_socket(client_);
        if (stopping_) {
            if (socket < 0 || now >= stop_by_) {
                return;
            }
        } else if (socket < 0) {
            if (now < next_attempt_) {
                std::this_thread::sleep_for(std::min<Clock::duration>(next_attempt_ - now, 100ms));
            } else {
                Attempt(now);
            }
            continue;
        } else if (now - attempt_started_ >= std::chrono::seconds(broker_.connect_timeout_s)) {
            bool connected = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                connected = connected_;
            }
            if (!connected) {
                // No CONNACK: the library sees the socket end and says so
                // through OnDisconnect.
                LogRepeated(Level::kWarning, "failed connects of the Sparkplug node",
                            "sparkplug: broker " + Where() + ": no CONNACK within " +
                                std::to_string(broker_.connect_timeout_s) + " s",
                            "no CONNACK");
                shutdown(socket, SHUT_RDWR);
            }
            attempt_started_ = now;  // looked at again one time-out later
        }
        mosquitto_loop(client_, 100, 1);
    }
}

void SparkplugNode::Attempt(Clock::time_point now) {
    attempt_started_ = now;
    const BrokerHost &host = broker_.hosts[host_];
    int rc = mosquitto_connect_async(client_, host.host.c_str(), host.port, broker_.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string where = Where();
        std::size_t host = host_;
        next_attempt_ = RotateHost(&host, broker_.hosts.size(), now, backoff_.Next());
        host_ = host;
        std::string reason = mosquitto_strerror(rc);
        LogRepeated(Level::kWarning, "failed connects of the Sparkplug node",
                    "sparkplug: broker " + where + ": cannot connect (" + reason + ")", reason);
    }
}

std::string SparkplugNode::Where() const {
    const BrokerHost &host = broker_.hosts[host_];
    return host.host + ":" + std::to_string(host.port);
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
        connected_ = false;
        born_ = false;
    }
    // The thread sends what is queued and the DISCONNECT, a second at most.
    stop_by_ = Clock::now() + 1s;
    stopping_ = true;
    mosquitto_disconnect(client_);
    thread_.join();
}

// A clean disconnection sends no will: the node says it itself.
void SparkplugNode::SendDeath() {
    std::string payload = sparkplug::Encode(
        NowMs(), std::nullopt,
        {{"bdSeq", sparkplug::kUInt64, 0, false, static_cast<double>(bdseq_), "", ""}});
    std::string topic = Topic("NDEATH");
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 0, false);
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
// it reaches the client's queue.
void SparkplugNode::Publish(const char *type, const std::string &device,
                            const std::vector<sparkplug::Metric> &metrics, bool with_seq) {
    std::optional<std::uint64_t> seq;
    if (with_seq) {
        seq = seq_;
        seq_ = (seq_ + 1) % 256;
    }
    std::string payload = sparkplug::Encode(NowMs(), seq, metrics);
    std::string topic = Topic(type, device);
    int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                               payload.data(), 0, false);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        Log(Level::kWarning,
            "sparkplug: not published on \"" + topic + "\": " + mosquitto_strerror(rc));
    }
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

void SparkplugNode::SetWill() {
    std::string payload = sparkplug::Encode(
        NowMs(), std::nullopt,
        {{"bdSeq", sparkplug::kUInt64, 0, false, static_cast<double>(bdseq_), "", ""}});
    std::string topic = Topic("NDEATH");
    int rc = mosquitto_will_set(client_, topic.c_str(), static_cast<int>(payload.size()),
                                payload.data(), 1, false);
    if (rc != MOSQ_ERR_SUCCESS) {
        Log(Level::kWarning,
            std::string("sparkplug: cannot set the will: ") + mosquitto_strerror(rc));
    }
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

void SparkplugNode::NextBdSeq() {
    bdseq_ = (bdseq_ + 1) % 256;
    SetWill();
}

SparkplugNode::State SparkplugNode::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    State s;
    s.where = Where();
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
    auto metrics = sparkplug::DecodeCommand(payload);
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
// then the limit read back, which its DDATA shows.
void SparkplugNode::HandleDeviceCommand(const std::string &device_id, const std::string &payload) {
    auto metrics = sparkplug::DecodeCommand(payload);
    std::vector<Command> commands;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Device *device = nullptr;
        for (Device &d : devices_) {
            if (d.id == device_id) {
                device = &d;
            }
        }
        if (device == nullptr) {
            LogRepeated(Level::kWarning, "Sparkplug B commands refused",
                        "sparkplug: a DCMD for unknown device " + Quoted(device_id),
                        "unknown device");
            return;
        }
        if (!metrics) {
            ReportError(*device, "the DCMD is no Sparkplug B payload");
            return;
        }
        for (const sparkplug::CommandMetric &m : *metrics) {
            // By the alias its DBIRTH declared, or by name.
            const MetricState *state = nullptr;
            for (const MetricState &s : device->metrics) {
                if (m.alias ? s.alias != 0 && s.alias == *m.alias : s.name == m.name) {
                    state = &s;
                }
            }
            std::string name = state != nullptr ? state->name
                               : m.alias        ? "alias " + std::to_string(*m.alias)
                                                : m.name;
            if (state == nullptr) {
                ReportError(*device, name + ": no such metric");
            } else if (!state->write) {
                ReportError(*device, name + ": not writable");
            } else if (!m.has_value) {
                ReportError(*device, name + ": needs a number");
            } else {
                commands.push_back(Write(*device, *state, m.number));
            }
        }
    }
    for (Command &command : commands) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++commands_;
        }
        submit_(std::move(command));
    }
}

void SparkplugNode::OnConnect(mosquitto *client, void *self, int rc) {
    auto *s = static_cast<SparkplugNode *>(self);
    if (rc != 0) {
        Log(Level::kError, std::string("sparkplug: the broker refused the connection: ") +
                               mosquitto_connack_string(rc));
        return;
    }
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->connected_ = true;
    s->born_ = false;
    s->leaving_ = false;
    std::string ncmd = s->Topic("NCMD");
    std::string dcmd = s->Topic("DCMD") + "/+";
    mosquitto_subscribe(client, nullptr, ncmd.c_str(), 1);
    mosquitto_subscribe(client, nullptr, dcmd.c_str(), 1);
    Log(Level::kInfo,
        "sparkplug: broker " + s->Where() + ": connected, bdSeq " + std::to_string(s->bdseq_));
    if (s->spec_.primary_host.empty()) {
        s->backoff_.Reset();
        s->BirthNode();
        return;
    }
    // Its retained STATE comes next: the births wait for "online".
    std::string state = s->StateTopic();
    mosquitto_subscribe(client, nullptr, state.c_str(), 1);
}

// The next connection is a new session: a new bdSeq, in its will. A lost
// connection is tried again on its broker, a failed attempt or one left for
// the primary host goes on to the next.
void SparkplugNode::OnDisconnect(mosquitto *, void *self, int rc) {
    auto *s = static_cast<SparkplugNode *>(self);
    std::lock_guard<std::mutex> lock(s->mutex_);
    bool was = s->connected_;
    bool left = s->leaving_;
    s->connected_ = false;
    s->born_ = false;
    s->leaving_ = false;
    for (Device &device : s->devices_) {
        device.born = false;
    }
    if (was) {
        s->NextBdSeq();
    }
    if (s->stopping_) {
        return;
    }
    Clock::time_point now = Clock::now();
    std::string where = s->Where();
    auto delay = s->backoff_.Next();
    std::string reason = mosquitto_strerror(rc);
    if (was && !left) {
        s->next_attempt_ = now + delay;
        LogRepeated(Level::kWarning, "lost connections of the Sparkplug node",
                    "sparkplug: broker " + where + ": connection lost (" + reason +
                        "); reconnecting in " + std::to_string(delay.count()) + " ms",
                    reason);
        return;
    }
    std::size_t host = s->host_;
    s->next_attempt_ = RotateHost(&host, s->broker_.hosts.size(), now, delay);
    s->host_ = host;
    std::string next = s->next_attempt_ == now
                           ? "trying " + s->Where() + " next"
                           : "next attempt in " + std::to_string(delay.count()) + " ms";
    if (left) {
        Log(Level::kInfo, "sparkplug: left broker " + where + "; " + next);
    } else {
        LogRepeated(Level::kWarning, "failed connects of the Sparkplug node",
                    "sparkplug: broker " + where + ": cannot connect (" + reason + "); " + next,
                    reason);
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ts_ && state->timestamp < *state_ts_) {
        Log(Level::kInfo,
            "sparkplug: a STATE of " + spec_.primary_host + " older than the last one, ignored");
        return;
    }
    state_ts_ = state->timestamp;
    if (!connected_ || leaving_) {
        return;
    }
    if (state->online) {
        if (!born_) {
            Log(Level::kInfo, "sparkplug: primary host " + spec_.primary_host + " online");
            backoff_.Reset();
            BirthNode();
        }
        return;
    }
    if (!born_ && broker_.hosts.size() == 1) {
        Log(Level::kInfo, "sparkplug: primary host " + spec_.primary_host +
                              " offline; waiting for it on broker " + Where());
        return;
    }
    Log(Level::kWarning,
        "sparkplug: primary host " + spec_.primary_host + " offline; leaving broker " + Where());
    if (born_) {
        SendDeath();
    }
    born_ = false;
    leaving_ = true;
    mosquitto_disconnect(client_);
}

void SparkplugNode::OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
    auto *s = static_cast<SparkplugNode *>(self);
    std::string topic = message->topic;
    std::string payload(static_cast<const char *>(message->payload),
                        static_cast<std::size_t>(message->payloadlen));
    std::string ncmd = s->Topic("NCMD");
    std::string dcmd = s->Topic("DCMD") + "/";
    if (!s->spec_.primary_host.empty() && topic == s->StateTopic()) {
        s->HandleState(payload);
    } else if (topic == ncmd) {
        s->HandleNodeCommand(payload);
    } else if (topic.compare(0, dcmd.size(), dcmd) == 0) {
        s->HandleDeviceCommand(topic.substr(dcmd.size()), payload);
    }
}

}  // namespace qor::gateway
