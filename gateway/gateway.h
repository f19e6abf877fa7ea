// The running daemon: the outbox and state board that outlive a reload, the
// broker session and one poller per link, and the routing of commands from
// the broker to the link they are for.
#ifndef QOR_GATEWAY_GATEWAY_H
#define QOR_GATEWAY_GATEWAY_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "http_server.h"
#include "mqtt_session.h"
#include "outbox.h"
#include "poller.h"
#include "state_board.h"
#include "status_view.h"

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
    void StartPollers();
    void StopPollers();
    // Empty when the command went to its link, else why it was refused.
    std::string Route(IncomingCommand command);
    // Answers the command as refused and returns the reason.
    std::string Refuse(const IncomingCommand &command, const std::string &name,
                       const std::string &reason);
    bool StartHttp();
    GatewayFigures Figures();
    std::string PageCommand(const std::string &link, const std::string &module,
                            const std::string &command, const std::string &payload,
                            const std::string &user);

    Config config_;
    Outbox outbox_;
    StateBoard board_;
    StatusView status_;
    std::unique_ptr<MqttSession> session_;
    std::mutex pollers_mutex_;  // Route runs on the session's thread
    std::vector<std::unique_ptr<LinkPoller>> pollers_;
    std::unique_ptr<HttpServer> http_;  // stopped before what it reads
};

}  // namespace qor::gateway

#endif
