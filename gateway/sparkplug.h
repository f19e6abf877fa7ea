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
//
// Every message but NDEATH carries seq, 0 to 255 and round again, in the
// order the node sends them. bdSeq grows by one at each connection and is
// kept in a file across restarts when the configuration names one.
#ifndef QOR_GATEWAY_SPARKPLUG_H
#define QOR_GATEWAY_SPARKPLUG_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "observer.h"
#include "poller.h"
#include "sparkplug_codec.h"

struct mosquitto;
struct mosquitto_message;

namespace qor::gateway {

// The metric a DCMD answers with when a write is refused or fails: a String
// "METRIC: reason".
constexpr const char *kSparkplugErrorMetric = "Device Control/Error";

class SparkplugNode : public PollObserver {
  public:
    // Hands a command to the poller of a link; false when it cannot.
    using Submit = std::function<bool(const std::string &link, PendingCommand command)>;

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

    void OnReading(const std::string &link, const std::string &module, const std::string &poll,
                   const Reading &reading) override;
    void OnAvailability(const std::string &link, const std::string &module, bool online) override;

  private:
    struct MetricState {
        std::string name;
        Query query = Query::kRd;
        std::optional<CommandKind> write;  // set when a DCMD may write it
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

    std::string Topic(const char *type, const std::string &device = "") const;
    void Publish(const char *type, const std::string &device,
                 const std::vector<sparkplug::Metric> &metrics, bool with_seq);
    void BirthNode();
    void BirthDevice(Device &device);
    void SetWill();
    void NextBdSeq();
    void HandleNodeCommand(const std::string &payload);
    void HandleDeviceCommand(const std::string &device, const std::string &payload);
    void ReportError(Device &device, const std::string &text);
    PendingCommand Write(const Device &device, const MetricState &state, double value);
    Device *Find(const std::string &link, const std::string &module);
    static sparkplug::Metric ToMetric(const MetricState &state);

    static void OnConnect(mosquitto *, void *self, int rc);
    static void OnDisconnect(mosquitto *, void *self, int rc);
    static void OnMessage(mosquitto *, void *self, const mosquitto_message *message);

    BrokerSpec broker_;
    SparkplugSpec spec_;
    Submit submit_;
    mosquitto *client_ = nullptr;
    bool started_ = false;

    std::mutex mutex_;  // everything below; held while publishing, so seq follows the wire
    std::vector<Device> devices_;
    bool connected_ = false;
    std::uint64_t bdseq_ = 0;
    std::uint64_t seq_ = 0;
};

}  // namespace qor::gateway

#endif
