// The running daemon: the outbox and state board that outlive a reload, the
// broker session and one poller per link, and the routing of commands from
// the broker to the link they are for.
#ifndef QOR_GATEWAY_GATEWAY_H
#define QOR_GATEWAY_GATEWAY_H

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/core/config.h"
#include "gateway/core/poller.h"
#include "gateway/core/reading_cache.h"
#include "gateway/core/status_view.h"
#include "gateway/http/http_server.h"
#include "gateway/modbus/modbus_server.h"
#include "gateway/mqtt/mqtt_session.h"
#include "gateway/mqtt/state_board.h"
#include "gateway/mqtt/topics.h"
#include "gateway/sparkplug/sparkplug_node.h"
#include "gateway/spool/outbox.h"

namespace qor::gateway {

class Gateway {
  public:
    explicit Gateway(Config config);
    ~Gateway();

    // Connects to the broker in the background and starts polling. False
    // (with the reason logged) when the MQTT client cannot be made.
    bool Start();
    // Applies a configuration that has passed LoadConfig. Where the broker
    // settings or the topic prefix changed, a new session is connected
    // first (until the broker's connect_timeout_s and a second, or give_up()); if it
    // cannot be, nothing of the running configuration is touched and false
    // is returned with the reason in *why. Then the links start over.
    // Queued readings are kept either way. Commands that arrive meanwhile
    // are refused as "reloading".
    bool Reload(Config config, const std::function<bool()> &give_up, std::string *why);
    // Stops polling (a link's transaction in progress gets kLinkStopGrace,
    // then is abandoned), delivers what the broker takes within
    // flush_timeout_s, marks the gateway offline and disconnects. Returns
    // the number of links abandoned: their threads still run, so the
    // process must end without destroying the gateway.
    std::size_t Stop();
    // A broker session and the links' pollers are running. Never false
    // between Start and Stop unless something went wrong; the caller then
    // ends the process non-zero so that the service manager starts it again.
    bool Running();

    // How long a stop waits for a link's transaction in progress.
    static constexpr std::chrono::milliseconds kLinkStopGrace{1000};

  private:
    std::unique_ptr<MqttSession> MakeSession(const Config &config, std::string *why);
    std::unique_ptr<MqttSession> ConnectFresh(const Config &config,
                                              const std::function<bool()> &give_up,
                                              std::string *why);
    void SwitchSession(std::unique_ptr<MqttSession> fresh);
    std::string ReplyTopic(const IncomingCommand &command) const;
    void OpenSpool();
    bool StartSession();
    bool StartSparkplug();
    void PublishDiscovery();
    bool SubmitTo(const std::string &link, PendingCommand command);
    void StartPollers();
    std::size_t StopPollers(std::chrono::steady_clock::time_point until);
    bool StartModbus();
    void StopModbus();
    bool SubmitTo(std::size_t link, PendingCommand command);
    // The poller of the link of that name, or nullptr; pollers_mutex_ held.
    LinkPoller *PollerNamed(const std::string &link) const;
    // Empty when the command went to its link, else why it was refused.
    std::string Route(IncomingCommand command);
    // A read on demand, PREFIX/LINK/MODULE/get/POLL; Route's lock held.
    std::string RouteGet(const IncomingCommand &command, const CommandTopic &where);
    // A command on PREFIX/LINK/MODULE/set/COMMAND; Route's lock held.
    std::string RouteSet(IncomingCommand command, const CommandTopic &where);
    // Answers the command as refused and returns the reason.
    std::string Refuse(const IncomingCommand &command, const std::string &name,
                       const std::string &reason, const char *kind = "commands refused");
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
    std::unique_ptr<SparkplugNode> sparkplug_;      // with [sparkplug] enabled
    std::map<std::string, std::string> discovery_;  // Home Assistant configs published
    std::mutex pollers_mutex_;                      // Route runs on the session's thread
    std::vector<std::unique_ptr<LinkPoller>> pollers_;
    bool reloading_ = false;  // under pollers_mutex_
    // The Modbus server, when configured, and the readings it answers from.
    std::unique_ptr<ReadingCache> cache_;
    std::unique_ptr<ModbusServer> modbus_;
    std::unique_ptr<HttpServer> http_;  // stopped before what it reads
    std::uint64_t boot_ = 0;
};

}  // namespace qor::gateway

#endif
