// What the gateway knows of its plant, in one place: each poll's latest
// reading and its last good value, each module's availability and the
// values last written to it, each link's state and timings, the commands
// taken and the last events. The pollers write here after the fact (never
// while a transaction runs); the outputs read copies: the Modbus server its
// registers, the HTTP server the page and /metrics, the Sparkplug node its
// births. Its size follows the configuration, never the history: entries
// are updated in place, the histogram has fixed buckets and the event log
// is a ring.
//
// Every change the status page shows takes the next number of one version
// counter (a module's own change, a link's, an event): a reader that
// remembers the version it last saw can be sent only what changed since.
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
// A link's load, lag and skipped slots are told over windows this long:
// long enough to average a few cycles of polls, short enough to follow a
// line that turns busy.
constexpr std::chrono::seconds kLoadWindow{10};

// A value read or written, and when: the wall clock for people, the steady
// clock for ages (a clock step must not make a value fresh or stale).
struct TimedValue {
    double value = 0;
    std::chrono::system_clock::time_point when;
    std::chrono::steady_clock::time_point steady;
};

// Beyond the module's own alarm limits (its rh and rl polls), or not.
enum class Alarm { kNone, kHigh, kLow };
const char *AlarmName(Alarm alarm);  // "", "high", "low"

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
    // Since the first failed reading after the last good one (or the start).
    std::optional<std::chrono::system_clock::time_point> failing_since;
    Alarm alarm = Alarm::kNone;  // its value against the module's limits
    std::chrono::system_clock::time_point alarm_since;
    std::uint64_t skipped = 0;  // slots that ended without this poll
};

// The module's alarm limits, where its rh and rl polls have read them, in
// their polls' (published) unit.
struct Limits {
    std::optional<double> high;
    std::optional<double> low;
};

// A reading counts as stale once no good one came for three intervals, and
// at least two seconds: a fast poll on a busy line must not flicker.
std::chrono::steady_clock::duration StaleAfter(std::int64_t interval_ms);
bool IsStale(const QueryView &query, std::chrono::steady_clock::time_point now);

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
    std::chrono::system_clock::time_point since;  // of its availability
    std::uint64_t version = 0;                    // of its last change
};

Limits LimitsOf(const ModuleView &module);

// What a link's line did since the start.
struct LinkTotals {
    double busy_s = 0;          // in transactions: polls and commands
    std::uint64_t slots = 0;    // poll slots that came: polls run and slots skipped
    std::uint64_t skipped = 0;  // slots that ended without their poll
    std::uint64_t timeouts = 0;
    std::uint64_t late_replies = 0;  // replies after their exchange ended
};

// A link's last full window (kLoadWindow): what its totals grew by, and the
// most a poll started after its slot began.
struct LinkWindow {
    double seconds = 0;  // 0: no window has ended yet
    double lag_s = 0;
    LinkTotals change;

    // The share of the window the line was busy; negative before the first.
    double Load() const { return seconds > 0 ? change.busy_s / seconds : -1; }
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
    std::chrono::system_clock::time_point since;  // of its state, up or down
    LinkTotals total;
    LinkWindow recent;
    // Since the first of the windows in a row that skipped slots.
    std::optional<std::chrono::system_clock::time_point> behind_since;
};

struct Event {
    std::chrono::system_clock::time_point when;
    // link_lost, link_up, module_offline, module_online, refused, command,
    // and those of the outputs: broker, sparkplug, modbus, http
    std::string kind;
    std::string text;
    std::uint64_t version = 0;
};

struct PlantSnapshot {
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point now;
    std::uint64_t commands_refused = 0;
    std::uint64_t commands_accepted = 0;
    std::vector<LinkView> links;
    std::vector<Event> events;  // oldest first
    std::chrono::steady_clock::time_point steady_now;
    std::uint64_t version = 0;         // of the latest change
    std::uint64_t layout_version = 0;  // of the layout: older versions name other places
};

class PlantState {
  public:
    // load_window: how long each of a link's windows lasts (tests shorten it).
    explicit PlantState(std::chrono::steady_clock::duration load_window = kLoadWindow);

    // Lays out the links of a (new) configuration; what stays under the same
    // names (links, modules, polls) keeps its values and counters.
    void Layout(const Config &config);

    void NoteReading(const PollRef &poll, const Reading &reading, double seconds);
    void NoteAvailability(const ModuleRef &module, Availability availability);
    void NoteWritten(const ModuleRef &module, CommandKind kind, double value);
    void NoteLinkUp(std::size_t link);
    void NoteLinkDown(std::size_t link, const std::string &reason, bool was_up);
    void NoteCommand(bool accepted, const std::string &text);
    // A scheduled poll began lag_s after its slot did, and `skipped` slots
    // ended without it.
    void NoteSlot(const PollRef &poll, double lag_s, std::uint64_t skipped);
    // The line was busy with a command for `seconds` (polls tell theirs
    // with their reading).
    void NoteBusy(std::size_t link, double seconds);
    void NoteLateReplies(std::size_t link, std::uint64_t count);
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
    void DurationLocked(std::size_t link, Outcome outcome, double seconds);
    void AlarmsLocked(ModuleView &module, std::chrono::system_clock::time_point when);
    void WindowLocked(std::size_t link, std::chrono::steady_clock::time_point now);
    void ChangedLocked(ModuleView &module) { module.version = ++state_.version; }

    // Where each link's present window began, and its totals then.
    struct OpenWindow {
        std::chrono::steady_clock::time_point start;
        LinkTotals at_start;
        double lag_s = 0;
    };

    mutable std::mutex mutex_;
    PlantSnapshot state_;  // the links and counters; events live in the ring
    std::array<Event, kEventsKept> ring_;
    std::size_t ring_next_ = 0;
    std::size_t ring_size_ = 0;
    std::chrono::steady_clock::duration load_window_;
    std::vector<OpenWindow> windows_;  // one per link
};

}  // namespace qor::gateway

#endif
