// The gateway as a Sparkplug B edge node, on a broker connection of its own
// (the MQTT will is the node's NDEATH, which the JSON session's will cannot
// be). Each module is a device "LINK:MODULE"; each of its polls a metric.
//
//   spBv1.0/GROUP/NBIRTH/NODE        bdSeq, Node Control/Rebirth (seq 0)
//   spBv1.0/GROUP/NDEATH/NODE        bdSeq (the will; also sent on a clean stop)
//   spBv1.0/GROUP/DBIRTH/NODE/DEVICE every metric, when the module answers
//   spBv1.0/GROUP/DDATA/NODE/DEVICE  each reading as it is polled
//   spBv1.0/GROUP/DDEATH/NODE/DEVICE the module went offline
//   spBv1.0/GROUP/NCMD/NODE          Node Control/Rebirth = true: every birth again
//   spBv1.0/GROUP/DCMD/NODE/DEVICE   writes of writable metrics
//   spBv1.0/STATE/HOST               the primary host application's state (in)
//
// With aliases, DBIRTH declares one per metric (unique in the node) and
// DDATA names metrics by it alone; a DCMD may use either.
//
// Every message but NDEATH carries seq, 0 to 255 and round again, in the
// order the node sends them: pollers' threads number them under the node's
// lock and post them to the connection, whose thread sends them in that
// order. The will carries the session's bdSeq, set before each connection;
// bdSeq moves on for the next connection once a session has sent its
// NBIRTH (a connection the broker drops before the birth, as a flapping
// broker does after each CONNACK, keeps it: no host ever saw that session,
// and its will went out as the broker closed it). It is kept in a file
// across restarts when the configuration names one.
//
// The node's connection (broker/connection.h) picks the broker from the
// list as the JSON session does: a lost connection is retried on its
// broker, a failed attempt moves on to the next. The births follow the
// acknowledged subscriptions, so that a host's commands reach a node that
// says it is there. With a primary host the node sends no NBIRTH (and so no
// device message) until the host's STATE says it is online; when it says
// offline the node sends NDEATH, disconnects and goes to the next broker.
#ifndef QOR_GATEWAY_SPARKPLUG_H
#define QOR_GATEWAY_SPARKPLUG_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/broker/connection.h"
#include "gateway/core/config.h"
#include "gateway/core/intake.h"
#include "gateway/sparkplug/sparkplug_codec.h"

namespace qor::gateway {

// The metric a DCMD answers with when a write is refused or fails: a String
// "METRIC: reason".
constexpr const char *kSparkplugErrorMetric = "Device Control/Error";

// The largest NCMD or DCMD taken: a write names a few metrics; a larger
// payload is refused whole, without being decoded.
constexpr std::size_t kMaxCommandBytes = 64 * 1024;

class SparkplugNode : private ConnectionUser {
  public:
    // Hands a command to the intake (intake.h), which answers it through
    // its done callback, run or refused.
    using Submit = std::function<void(Command command)>;

    SparkplugNode(BrokerSpec broker, SparkplugSpec spec, Submit submit);
    ~SparkplugNode() override;
    SparkplugNode(const SparkplugNode &) = delete;
    SparkplugNode &operator=(const SparkplugNode &) = delete;

    // The devices and metrics; when connected, every birth again.
    void SetLinks(const std::vector<LinkSpec> &links);
    // Connects in the background; false (with the reason) when the client
    // cannot be made.
    bool Start(std::string *error);
    // Publishes NDEATH and disconnects.
    void Stop();

    // A reading published, and a module's availability, by their names.
    void OnReading(const std::string &link, const std::string &module, const std::string &poll,
                   const Reading &reading);
    void OnAvailability(const std::string &link, const std::string &module, bool online);

    // Where the node is, for the status page, /readyz and /metrics.
    struct State {
        std::string where;  // the broker tried or connected
        bool connected = false;
        bool born = false;          // NBIRTH sent: it publishes
        bool waiting_host = false;  // connected, waiting for the primary host's STATE
        std::uint64_t bdseq = 0;
        std::uint64_t births = 0;    // NBIRTHs sent
        std::uint64_t commands = 0;  // DCMD writes handed on
        std::string protocol;        // the MQTT version, "5" or "3.1.1"
        // Messages on topics that are no Sparkplug B topic of this node's
        // (a broker that maps "." to "/" delivers spBv1/0/...).
        std::uint64_t foreign = 0;
        bool mapped = false;  // one of them was spBv1.0's namespace, mapped
    };
    State Snapshot() const;

  private:
    struct MetricState {
        std::string name;
        Query query = Query::kRd;
        std::optional<CommandKind> write;  // set when a DCMD may write it
        std::uint64_t alias = 0;           // with aliases: unique in the node, from 1
        PollSpec poll;
        bool has_reading = false;
        Reading last;
    };
    struct Device {
        std::string link;
        std::string module;
        std::string id;
        std::vector<MetricState> metrics;
        bool online = false;
        bool born = false;
    };

    void BeforeConnect() override;
    void OnConnected(const BrokerLimits &limits) override;
    void OnSubscribed() override;
    void OnClosed(bool connected, int rc) override;
    void OnMessage(IncomingMessage message) override;
    void OnPosted(const Posted &message, bool sent) override;
    void Goodbye(bool connected) override;

    void HandleState(const std::string &payload);
    bool TakeState(const HostState &state);
    void NoteForeign(const std::string &topic);
    void MaybeBirth();
    void SendDeath();
    std::string StateTopic() const;
    std::string Topic(const char *type, const std::string &device = "") const;
    void Publish(const char *type, const std::string &device,
                 const std::vector<sparkplug::Metric> &metrics, bool with_seq);
    void BirthNode();
    void BirthDevice(Device &device);
    void SetWill();
    void HandleNodeCommand(const std::string &payload);
    void HandleDeviceCommand(const std::string &device, const std::string &payload);
    void ReportError(Device &device, const std::string &text);
    Command Write(const Device &device, const MetricState &state, double value);
    Device *Find(const std::string &link, const std::string &module);
    Device *FindDevice(const std::string &id);
    Device MakeDevice(const LinkSpec &link, const ModuleSpec &module, std::uint64_t *alias);
    std::string CheckWrite(const Device &device, const sparkplug::CommandMetric &metric,
                           std::vector<Command> *commands);
    // by_alias: the alias alone, without the name (DDATA with aliases).
    static sparkplug::Metric ToMetric(const MetricState &state, bool by_alias);

    BrokerSpec broker_;
    SparkplugSpec spec_;
    Submit submit_;
    BrokerConnection connection_;
    bool started_ = false;

    mutable std::mutex mutex_;  // everything below; held while publishing, so seq follows the wire
    std::vector<Device> devices_;
    bool connected_ = false;
    bool subscribed_ = false;   // the commands' subscriptions acknowledged
    bool host_online_ = false;  // the primary host's newest STATE says online
    bool born_ = false;         // NBIRTH sent on this connection: devices may follow
    bool leaving_ = false;      // disconnecting for the primary host: the next broker follows
    bool birth_sent_ = false;   // this session's NBIRTH went to the broker: bdSeq moves on
    bool next_bdseq_ = false;   // the next connection takes the next bdSeq
    std::optional<std::uint64_t> state_ts_;  // the newest STATE's timestamp
    std::uint64_t bdseq_ = 0;
    std::uint64_t seq_ = 0;
    std::uint64_t births_ = 0;
    std::uint64_t commands_ = 0;
    std::uint64_t foreign_ = 0;
    bool mapped_ = false;
};

}  // namespace qor::gateway

#endif
