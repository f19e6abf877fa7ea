// The running whole: the plant state, the command intake, one poller per
// link and the outputs behind their one seam (output.h). It starts them,
// applies a new configuration all or nothing, and stops them within a
// bound.
#ifndef QOR_GATEWAY_CORE_GATEWAY_H
#define QOR_GATEWAY_CORE_GATEWAY_H

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/core/config.h"
#include "gateway/core/intake.h"
#include "gateway/core/output.h"
#include "gateway/core/outputs.h"
#include "gateway/core/plant_state.h"
#include "gateway/core/poller.h"
#include "gateway/core/services.h"

namespace qor::gateway {

using OutputFactory =
    std::function<std::vector<std::unique_ptr<Output>>(const OutputServices &services)>;

class Gateway {
  public:
    // make: every output, made once, in the order they are prepared and told.
    explicit Gateway(const OutputFactory &make);
    ~Gateway();
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    // What the outputs check beyond the configuration's reader (the files
    // they load, two of them listening on one address): every reason, one a
    // line, or empty. --check, the start and every reload ask it.
    std::string Check(const Config &config) const;
    // Prepares and commits every output, then starts polling. False, with
    // the reason, when an output cannot start (a port in use).
    bool Start(Config config, std::string *why);
    // Applies a configuration that has passed LoadConfig, all or nothing:
    // every output prepares (a changed broker is connected, a changed
    // listener bound) before anything of the running configuration stops.
    // If one cannot, the prepared ones are rolled back, false is returned
    // with the reason, and nothing a subscriber or client sees changes.
    // Commands that arrive while the links restart are refused as
    // "reloading".
    bool Reload(Config config, const std::function<bool()> &give_up, std::string *why);
    // Stops polling (a transaction in progress gets kLinkStopGrace, then is
    // abandoned; queued commands are answered as not run), then each output
    // within flush_timeout_s (the broker gets what it takes by then). Returns
    // the number of links abandoned: their threads still run, so the
    // process must end without destroying the gateway.
    std::size_t Stop();
    // The links' pollers are running. Never false between Start and Stop
    // unless something went wrong; the caller then ends the process.
    bool Running();

    // How long a stop waits for a link's transaction in progress.
    static constexpr std::chrono::milliseconds kLinkStopGrace{1000};

  private:
    // Prepares every output for next; on a failure rolls the prepared back.
    bool PrepareAll(const Config &next, const std::function<bool()> &give_up, std::string *why);
    void StartPollers();
    std::size_t StopPollers(std::chrono::steady_clock::time_point until);

    PlantState plant_;
    Outputs outputs_;
    CommandIntake intake_;
    std::vector<std::unique_ptr<Output>> owned_;
    std::mutex mutex_;  // config_ and pollers_ against Running
    Config config_;
    std::vector<std::unique_ptr<LinkPoller>> pollers_;
    bool started_ = false;
};

}  // namespace qor::gateway

#endif
