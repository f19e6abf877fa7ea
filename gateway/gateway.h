// The running daemon: the outbox and state board that outlive a reload, the
// broker session and one poller per link, and the routing of commands from
// the broker to the link they are for.
#ifndef QOR_GATEWAY_GATEWAY_H
#define QOR_GATEWAY_GATEWAY_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "mqtt_session.h"
#include "outbox.h"
#include "poller.h"
#include "sparkplug.h"
#include "state_board.h"

namespace qor::gateway {

class Gateway {
  public:
    explicit Gateway(Config config);
    ~Gateway();

    // Connects to the broker in the background and starts polling. False
    // (with the reason logged) when the MQTT client cannot be made.
    bool Start();
    // Applies a new configuration: the links start over; the broker session
    // is kept unless the broker or the topic prefix changed; queued readings
    // are kept either way.
    bool Reload(Config config);
    // Stops polling, delivers what it can within the configured bound,
    // marks the gateway offline and disconnects.
    void Stop();

  private:
    bool StartSession();
    bool StartSparkplug();
    void PublishDiscovery();
    bool SubmitTo(const std::string &link, PendingCommand command);
    void StartPollers();
    void StopPollers();
    void Route(IncomingCommand command);
    void Refuse(const IncomingCommand &command, const std::string &name, const std::string &reason);

    Config config_;
    Outbox outbox_;
    StateBoard board_;
    std::unique_ptr<MqttSession> session_;
    std::unique_ptr<SparkplugNode> sparkplug_;      // with [sparkplug] enabled
    std::map<std::string, std::string> discovery_;  // Home Assistant configs published
    std::mutex pollers_mutex_;                      // Route runs on the session's thread
    std::vector<std::unique_ptr<LinkPoller>> pollers_;
};

}  // namespace qor::gateway

#endif
