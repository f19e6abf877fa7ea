// What the operator sees: the latest reading of every poll, each module's
// availability, each link's state, the broker's, counters and the last
// events. Pollers and the session write here after the fact (never while a
// transaction runs); the HTTP server reads copies. Its size follows the
// configuration, never the history: entries are updated in place, the
// histogram has fixed buckets and the event log is a ring.
#ifndef QOR_GATEWAY_STATUS_VIEW_H
#define QOR_GATEWAY_STATUS_VIEW_H

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/core/config.h"
#include "gateway/core/queries.h"

namespace qor::gateway {

// Upper bounds of the poll duration histogram, in seconds (+Inf follows).
constexpr std::array<double, 10> kDurationBuckets = {0.005, 0.01, 0.025, 0.05, 0.1,
                                                     0.25,  0.5,  1.0,   2.5,  5.0};
constexpr std::size_t kEventsKept = 50;

enum class Outcome { kOk, kTimeout, kError, kLinkFault };
constexpr std::size_t kOutcomes = 4;
const char *OutcomeName(Outcome outcome);
Outcome OutcomeOf(int status, int error);

struct QueryView {
    std::string name;  // the poll's name, the last level of its topic
    std::string query;
    std::string unit;
    std::int64_t interval_ms = 0;
    bool read = false;  // a reading has arrived
    Reading last;
    std::array<std::uint64_t, kOutcomes> outcomes{};
};

struct ModuleView {
    std::string name;
    char address = '1';
    std::string availability = "unknown";
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
    std::string
        kind;  // link_lost, link_up, module_offline, module_online, refused, command, broker
    std::string text;
};

struct StatusSnapshot {
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point now;
    std::string broker_where;
    bool broker_connected = false;
    std::uint64_t broker_connects = 0;
    std::string broker_last_failure;
    std::chrono::system_clock::time_point broker_last_failure_at;
    std::uint64_t commands_refused = 0;
    std::uint64_t commands_accepted = 0;
    std::vector<LinkView> links;
    std::vector<Event> events;  // oldest first
};

class StatusView {
  public:
    StatusView();

    // Lays out the links of a (new) configuration; counters of the links,
    // modules and polls that stay keep their values.
    void Layout(const Config &config);

    void NoteReading(const std::string &link, std::size_t module, std::size_t poll,
                     const Reading &reading, double seconds);
    void NoteAvailability(const std::string &link, std::size_t module, bool online);
    void NoteLinkUp(const std::string &link);
    void NoteLinkDown(const std::string &link, const std::string &reason, bool was_up);
    void NoteBroker(bool connected, const std::string &reason);
    void NoteCommand(bool accepted, const std::string &text);
    void AddEvent(std::string kind, std::string text);

    StatusSnapshot Snapshot() const;
    // Only what readiness needs, without a copy.
    bool BrokerConnected() const;
    bool AnyLinkUp() const;

  private:
    LinkView *FindLocked(const std::string &link);
    void EventLocked(std::string kind, std::string text);

    mutable std::mutex mutex_;
    StatusSnapshot state_;  // links, broker and counters; events live in the ring
    std::array<Event, kEventsKept> ring_;
    std::size_t ring_next_ = 0;
    std::size_t ring_size_ = 0;
};

}  // namespace qor::gateway

#endif
