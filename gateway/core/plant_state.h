// What the gateway knows of its plant, in one place: each poll's latest
// reading and its last good value, each module's availability and the
// values last written to it, each link's state and timings, the commands
// taken and the last events. The pollers write here after the fact (never
// while a transaction runs); the outputs read copies: the Modbus server its
// registers, the HTTP server the page and /metrics, the Sparkplug node its
// births. Its size follows the configuration, never the history: entries
// are updated in place, the histogram has fixed buckets and the event log
// is a ring.
#ifndef QOR_GATEWAY_CORE_PLANT_STATE_H
#define QOR_GATEWAY_CORE_PLANT_STATE_H

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/core/commands.h"
#include "gateway/core/config.h"
#include "gateway/core/plant.h"
#include "gateway/core/queries.h"

namespace qor::gateway {

// Upper bounds of the poll duration histogram, in seconds (+Inf follows).
constexpr std::array<double, 10> kDurationBuckets = {0.005, 0.01, 0.025, 0.05, 0.1,
                                                     0.25,  0.5,  1.0,   2.5,  5.0};
constexpr std::size_t kEventsKept = 50;

// A value read or written, and when: the wall clock for people, the steady
// clock for ages (a clock step must not make a value fresh or stale).
struct TimedValue {
    double value = 0;
    std::chrono::system_clock::time_point when;
    std::chrono::steady_clock::time_point steady;
};

struct QueryView {
    std::string name;  // the poll's name, the last level of its topic
    std::string query;
    std::string unit;
    std::string display_name;  // "name" in the configuration; empty: none given
    std::int64_t interval_ms = 0;
    bool read = false;               // a reading has arrived
    Reading last;                    // the latest, whatever its outcome
    std::optional<TimedValue> good;  // the last reading with status 0
    std::array<std::uint64_t, kOutcomes> outcomes{};
};

struct ModuleView {
    std::string name;
    char address = '1';
    Availability availability = Availability::kUnknown;
    int last_status = 0;  // of the module's latest poll, whichever
    int last_error = 0;
    std::optional<std::chrono::steady_clock::time_point> last_good;  // any poll's
    // The last value written through the gateway, by CommandKind.
    std::array<std::optional<TimedValue>, kCommandKinds> written{};
    std::vector<QueryView> queries;
};

struct LinkView {
    std::string name;
    std::string target;
    bool up = false;
    std::uint64_t opens = 0;  // successful opens; reconnects are those after the first
    std::uint64_t failures = 0;
    std::string last_failure;
    std::chrono::system_clock::time_point last_failure_at;
    std::array<std::uint64_t, kDurationBuckets.size()> buckets{};  // not cumulative
    std::uint64_t durations = 0;
    double duration_sum = 0;
    std::vector<ModuleView> modules;
};

struct Event {
    std::chrono::system_clock::time_point when;
    // link_lost, link_up, module_offline, module_online, refused, command,
    // and those of the outputs: broker, sparkplug, modbus, http
    std::string kind;
    std::string text;
};

struct PlantSnapshot {
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point now;
    std::uint64_t commands_refused = 0;
    std::uint64_t commands_accepted = 0;
    std::vector<LinkView> links;
    std::vector<Event> events;  // oldest first
};

class PlantState {
  public:
    PlantState();

    // Lays out the links of a (new) configuration; what stays under the same
    // names (links, modules, polls) keeps its values and counters.
    void Layout(const Config &config);

    void NoteReading(const PollRef &poll, const Reading &reading, double seconds);
    void NoteAvailability(const ModuleRef &module, Availability availability);
    void NoteWritten(const ModuleRef &module, CommandKind kind, double value);
    void NoteLinkUp(std::size_t link);
    void NoteLinkDown(std::size_t link, const std::string &reason, bool was_up);
    void NoteCommand(bool accepted, const std::string &text);
    void AddEvent(std::string kind, std::string text);

    PlantSnapshot Snapshot() const;
    // One module, copied; an empty view for a place the layout does not have
    // (a reader still on the last configuration during a reload).
    ModuleView Module(const ModuleRef &module) const;
    bool AnyLinkUp() const;

  private:
    QueryView *FindLocked(const PollRef &poll);
    ModuleView *FindLocked(const ModuleRef &module);
    void EventLocked(std::string kind, std::string text);

    mutable std::mutex mutex_;
    PlantSnapshot state_;  // the links and counters; events live in the ring
    std::array<Event, kEventsKept> ring_;
    std::size_t ring_next_ = 0;
    std::size_t ring_size_ = 0;
};

}  // namespace qor::gateway

#endif
