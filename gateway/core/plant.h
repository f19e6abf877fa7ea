// How the gateway names what it polls, one way everywhere: a link, a module
// of that link and a poll of that module, by their places in the running
// configuration; and the words for a module's availability and for the
// outcome of one poll.
#ifndef QOR_GATEWAY_CORE_PLANT_H
#define QOR_GATEWAY_CORE_PLANT_H

#include <cstddef>

namespace qor::gateway {

struct ModuleRef {
    std::size_t link = 0;
    std::size_t module = 0;

    bool operator==(const ModuleRef &other) const {
        return link == other.link && module == other.module;
    }
};

struct PollRef {
    std::size_t link = 0;
    std::size_t module = 0;
    std::size_t poll = 0;

    ModuleRef Module() const { return {link, module}; }
    bool operator==(const PollRef &other) const {
        return link == other.link && module == other.module && poll == other.poll;
    }
};

// Unknown until the module has answered or missed enough polls in a row.
enum class Availability { kUnknown, kOnline, kOffline };
// "unknown", "online", "offline": the words of the availability topic, the
// status page and /api/state.
const char *AvailabilityName(Availability availability);

// One poll's outcome, as /metrics counts them.
enum class Outcome { kOk, kTimeout, kError, kLinkFault };
constexpr std::size_t kOutcomes = 4;
const char *OutcomeName(Outcome outcome);
Outcome OutcomeOf(int status, int error);

}  // namespace qor::gateway

#endif
