// The one seam between the core and what it feeds: the JSON topics, the
// Sparkplug B node, Home Assistant's discovery, the Modbus server and the
// HTTP server are each an Output, in a folder of their own, and the core
// knows them only through this interface.
//
// Configuration, all or nothing: at the start and at every reload each
// output is asked to Prepare for the new configuration (read its files,
// bind a listener whose address changed, connect a new broker session),
// without disturbing what runs. Only when every output has prepared does
// the gateway stop the old links and Commit each output; if any output
// cannot prepare, every one that did is rolled back and nothing of the new
// configuration applies.
//
// What happens in the plant reaches every output through the On* calls,
// on the thread of the link's poller, after the plant state (plant_state.h)
// has taken it: an output must not block there for long, nor call back
// into a poller.
#ifndef QOR_GATEWAY_CORE_OUTPUT_H
#define QOR_GATEWAY_CORE_OUTPUT_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "gateway/core/config.h"
#include "gateway/core/intake.h"
#include "gateway/core/plant.h"
#include "gateway/core/queries.h"

namespace qor::gateway {

struct ModuleCounters;

// One sample for /metrics, in the Prometheus text format's terms.
struct Figure {
    std::string name;  // qor_gateway_...
    std::string help;
    bool counter = false;                                     // else a gauge
    std::vector<std::pair<std::string, std::string>> labels;  // unescaped
    double value = 0;
};

// How an output is doing, for /readyz, the status page, /api/state and
// /metrics.
struct OutputHealth {
    std::string name;
    bool enabled = false;
    // What /readyz asks of an enabled output: the Modbus server listening,
    // the Sparkplug node able to publish, the broker session connected.
    bool ready = true;
    std::string state;    // one line for people: "listening on 127.0.0.1:502"
    std::string problem;  // why it is not ready
    std::vector<Figure> figures;
    nlohmann::ordered_json details = nlohmann::ordered_json::object();
};

// A reason about a section of the configuration, "12: [modbus] cannot
// listen on ...": whoever logs it puts the file's name before it.
inline std::string AtLine(unsigned line, const std::string &reason) {
    return std::to_string(line) + ": " + reason;
}

// An address an output listens on, for the check that no two share one.
struct Listener {
    std::string what;  // "[modbus]"
    std::string host;
    int port = 0;
    unsigned line = 0;  // of its section
};

class Output {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~Output() = default;
    // Its name in logs, /readyz and /metrics: "mqtt", "modbus"...
    virtual const char *Name() const = 0;

    // What the configuration's reader cannot see: files that must load and
    // belong together (a key and its certificate). Empty when fine, else
    // one reason a line, each AtLine its section's; called by --check and
    // before every Prepare.
    virtual std::string Check(const Config &config) const {
        (void)config;
        return "";
    }
    // The addresses `config` has it listen on.
    virtual std::vector<Listener> Listeners(const Config &config) const {
        (void)config;
        return {};
    }
    // Readies what `next` asks of it; false with the reason, AtLine its
    // section's (and nothing kept), when it cannot. give_up() turns true when a stop is asked for:
    // a wait (for a new broker session) ends then.
    virtual bool Prepare(const Config &next, const std::function<bool()> &give_up,
                         std::string *why) = 0;
    // Switches to what Prepare readied: cannot fail. The links are stopped
    // meanwhile, and start again on the new configuration after the last
    // output has committed.
    virtual void Commit() = 0;
    // Drops what Prepare readied; what runs stays as it was.
    virtual void Rollback() = 0;
    // Stops for good, by `until` at the latest.
    virtual void Stop(Clock::time_point until) = 0;

    // A reading of a poll; published: the poll's report rule let it out (a
    // reading kept back still updates what is shown and served).
    virtual void OnReading(const PollRef &poll, const Reading &reading, bool published) {
        (void)poll, (void)reading, (void)published;
    }
    virtual void OnAvailability(const ModuleRef &module, Availability availability) {
        (void)module, (void)availability;
    }
    // A module's counters, every counters_interval_s and at a stop.
    virtual void OnCounters(const ModuleRef &module, const ModuleCounters &counters) {
        (void)module, (void)counters;
    }
    // The answer to a command, run or refused, whoever sent it.
    virtual void OnResult(const Command &command, const CommandResult &result) {
        (void)command, (void)result;
    }
    // The last seq published on a poll's stream, where the output keeps
    // them across restarts (the spool): readings go on from there.
    virtual std::uint64_t LastSeq(const PollRef &poll) const {
        (void)poll;
        return 0;
    }

    virtual OutputHealth Health() const = 0;
};

// Retained topics on the JSON session (the state board): Home Assistant's
// discovery configs go out through them. An empty payload removes a topic.
class RetainedTopics {
  public:
    virtual ~RetainedTopics() = default;
    virtual void SetRetained(const std::string &topic, const std::string &payload) = 0;
};

}  // namespace qor::gateway

#endif
