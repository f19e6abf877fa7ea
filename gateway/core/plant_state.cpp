#include "gateway/core/plant_state.h"

#include <algorithm>
#include <cstdio>

#include "qor_dll.h"

namespace qor::gateway {

const char *AvailabilityName(Availability availability) {
    switch (availability) {
        case Availability::kOnline:
            return "online";
        case Availability::kOffline:
            return "offline";
        case Availability::kUnknown:
            break;
    }
    return "unknown";
}

const char *OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::kOk:
            return "ok";
        case Outcome::kTimeout:
            return "timeout";
        case Outcome::kError:
            return "error";
        case Outcome::kLinkFault:
            return "link_fault";
    }
    return "error";
}

const char *AlarmName(Alarm alarm) {
    switch (alarm) {
        case Alarm::kHigh:
            return "high";
        case Alarm::kLow:
            return "low";
        case Alarm::kNone:
            break;
    }
    return "";
}

std::chrono::steady_clock::duration StaleAfter(std::int64_t interval_ms) {
    return std::max<std::chrono::steady_clock::duration>(std::chrono::milliseconds(3 * interval_ms),
                                                         std::chrono::seconds(2));
}

bool IsStale(const QueryView &query, std::chrono::steady_clock::time_point now) {
    return query.good && now - query.good->steady > StaleAfter(query.interval_ms);
}

// The first of each: a module has one high and one low limit, however many
// polls read them.
Limits LimitsOf(const ModuleView &module) {
    Limits limits;
    for (const QueryView &q : module.queries) {
        if (!q.good) {
            continue;
        }
        if (q.query == "rh" && !limits.high) {
            limits.high = q.good->value;
        } else if (q.query == "rl" && !limits.low) {
            limits.low = q.good->value;
        }
    }
    return limits;
}

Outcome OutcomeOf(int status, int error) {
    if (status == QOR_STATUS_OK) {
        return Outcome::kOk;
    }
    if (status == QOR_STATUS_REPLY_FAULT && error == QOR_ERROR_NO_REPLY) {
        return Outcome::kTimeout;
    }
    if (status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_NOT_WRITTEN) {
        return Outcome::kLinkFault;
    }
    return Outcome::kError;
}

PlantState::PlantState(std::chrono::steady_clock::duration load_window)
    : load_window_(load_window) {
    state_.started = std::chrono::system_clock::now();
}

namespace {

template <typename T>
const T *Named(const std::vector<T> &items, const std::string &name) {
    auto it = std::find_if(items.begin(), items.end(), [&](const T &i) { return i.name == name; });
    return it == items.end() ? nullptr : &*it;
}

QueryView LayQuery(const PollSpec &p, const QueryView *old) {
    QueryView query = old ? *old : QueryView{};
    query.name = p.name;
    query.query = QueryName(p.query);
    query.unit = p.unit;
    query.display_name = p.display_name;
    query.interval_ms = p.interval.count();
    return query;
}

ModuleView LayModule(const ModuleSpec &m, const ModuleView *old) {
    ModuleView module = old ? *old : ModuleView{};
    if (!old) {
        module.since = std::chrono::system_clock::now();
    }
    module.name = m.name;
    module.address = m.address;
    module.queries.clear();
    for (const PollSpec &p : m.polls) {
        module.queries.push_back(LayQuery(p, old ? Named(old->queries, p.name) : nullptr));
    }
    return module;
}

LinkView LayLink(const LinkSpec &spec, const LinkView *old) {
    LinkView link = old ? *old : LinkView{};
    link.name = spec.name;
    if (!old || link.target != spec.target) {
        link.up = false;
        link.since = std::chrono::system_clock::now();
    }
    link.target = spec.target;
    link.modules.clear();
    for (const ModuleSpec &m : spec.modules) {
        link.modules.push_back(LayModule(m, old ? Named(old->modules, m.name) : nullptr));
    }
    return link;
}

}  // namespace

void PlantState::Layout(const Config &config) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LinkView> links;
    for (const LinkSpec &spec : config.links) {
        links.push_back(LayLink(spec, Named(state_.links, spec.name)));
    }
    state_.links = std::move(links);
    state_.layout_version = ++state_.version;
    // Each place now names what the new layout has there.
    for (LinkView &l : state_.links) {
        for (ModuleView &m : l.modules) {
            m.version = state_.version;
        }
    }
    auto now = std::chrono::steady_clock::now();
    windows_.clear();
    for (const LinkView &l : state_.links) {
        windows_.push_back(OpenWindow{now, l.total, 0});
    }
}

ModuleView *PlantState::FindLocked(const ModuleRef &module) {
    if (module.link >= state_.links.size() ||
        module.module >= state_.links[module.link].modules.size()) {
        return nullptr;
    }
    return &state_.links[module.link].modules[module.module];
}

QueryView *PlantState::FindLocked(const PollRef &poll) {
    ModuleView *m = FindLocked(poll.Module());
    return m == nullptr || poll.poll >= m->queries.size() ? nullptr : &m->queries[poll.poll];
}

namespace {

// Whether a reading changes what a reader of the state is shown: its
// outcome, its error, its value, or its value coming back after it went
// stale. A value read again unchanged is no change: its freshness is told
// by the time alone.
bool Changes(const QueryView &q, const Reading &reading,
             std::chrono::steady_clock::time_point now) {
    if (!q.read || q.last.status != reading.status || q.last.error != reading.error ||
        q.last.error_text != reading.error_text) {
        return true;
    }
    return reading.status == QOR_STATUS_OK &&
           (!q.good || q.good->value != reading.value || IsStale(q, now));
}

}  // namespace

void PlantState::NoteReading(const PollRef &poll, const Reading &reading, double seconds) {
    auto steady = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    QueryView *q = FindLocked(poll);
    if (q == nullptr) {
        return;
    }
    ModuleView &m = *FindLocked(poll.Module());
    bool changed = Changes(*q, reading, steady);
    bool good = reading.status == QOR_STATUS_OK;
    q->read = true;
    q->last = reading;
    m.last_status = reading.status;
    m.last_error = reading.error;
    if (good) {
        q->good = TimedValue{reading.value, reading.when, steady};
        q->failing_since.reset();
        m.last_good = steady;
        AlarmsLocked(m, reading.when);
    } else if (!q->failing_since) {
        q->failing_since = reading.when;
    }
    if (changed) {
        ChangedLocked(m);
    }
    Outcome outcome = OutcomeOf(reading.status, reading.error);
    ++q->outcomes[static_cast<std::size_t>(outcome)];
    if (outcome != Outcome::kLinkFault) {  // else nothing was sent: no duration to tell
        DurationLocked(poll.link, outcome, seconds);
        WindowLocked(poll.link, steady);
    }
}

void PlantState::DurationLocked(std::size_t link, Outcome outcome, double seconds) {
    LinkView &l = state_.links[link];
    const auto *bucket =
        std::lower_bound(kDurationBuckets.begin(), kDurationBuckets.end(), seconds);
    if (bucket != kDurationBuckets.end()) {
        ++l.buckets[static_cast<std::size_t>(bucket - kDurationBuckets.begin())];
    }
    ++l.durations;
    l.duration_sum += seconds;
    l.total.busy_s += seconds;
    l.total.timeouts += outcome == Outcome::kTimeout ? 1 : 0;
}

// The module's value polls ("rd", "nd") against the limits its "rh" and
// "rl" polls read; a change is an event.
void PlantState::AlarmsLocked(ModuleView &module, std::chrono::system_clock::time_point when) {
    Limits limits = LimitsOf(module);
    for (QueryView &q : module.queries) {
        if ((q.query != "rd" && q.query != "nd") || !q.good) {
            continue;
        }
        double value = q.good->value;
        Alarm alarm = limits.high && value > *limits.high ? Alarm::kHigh
                      : limits.low && value < *limits.low ? Alarm::kLow
                                                          : Alarm::kNone;
        if (alarm == q.alarm) {
            continue;
        }
        q.alarm = alarm;
        q.alarm_since = when;
        ChangedLocked(module);
        char text[64];
        std::snprintf(text, sizeof text, "%g", value);
        EventLocked("alarm", "module " + module.name + " " + q.name + " " + text +
                                 (alarm == Alarm::kNone   ? " is within its limits"
                                  : alarm == Alarm::kHigh ? " is above its high limit"
                                                          : " is below its low limit"));
    }
}

void PlantState::NoteAvailability(const ModuleRef &module, Availability availability) {
    std::lock_guard<std::mutex> lock(mutex_);
    ModuleView *m = FindLocked(module);
    if (m == nullptr || m->availability == availability) {
        return;
    }
    m->availability = availability;
    m->since = std::chrono::system_clock::now();
    ChangedLocked(*m);
    if (availability == Availability::kUnknown) {
        return;
    }
    EventLocked(availability == Availability::kOnline ? "module_online" : "module_offline",
                "module " + m->name + " on link " + state_.links[module.link].name + " is " +
                    AvailabilityName(availability));
}

void PlantState::NoteWritten(const ModuleRef &module, CommandKind kind, double value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ModuleView *m = FindLocked(module)) {
        m->written[static_cast<std::size_t>(kind)] =
            TimedValue{value, std::chrono::system_clock::now(), std::chrono::steady_clock::now()};
        ChangedLocked(*m);
    }
}

void PlantState::NoteLinkUp(std::size_t link) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (link >= state_.links.size()) {
        return;
    }
    LinkView &l = state_.links[link];
    if (!l.up) {
        l.since = std::chrono::system_clock::now();
        ++state_.version;
    }
    l.up = true;
    if (++l.opens > 1) {
        EventLocked("link_up", "link " + l.name + " reconnected to " + l.target);
    }
}

void PlantState::NoteLinkDown(std::size_t link, const std::string &reason, bool was_up) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (link >= state_.links.size()) {
        return;
    }
    LinkView &l = state_.links[link];
    if (l.up || l.failures == 0) {
        l.since = std::chrono::system_clock::now();
    }
    ++state_.version;
    l.up = false;
    ++l.failures;
    l.last_failure = reason;
    l.last_failure_at = std::chrono::system_clock::now();
    if (was_up) {
        EventLocked("link_lost", "link " + l.name + " lost: " + reason);
    }
}

void PlantState::NoteCommand(bool accepted, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(accepted ? state_.commands_accepted : state_.commands_refused);
    EventLocked(accepted ? "command" : "refused", text);
}

void PlantState::NoteSlot(const PollRef &poll, double lag_s, std::uint64_t skipped) {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    QueryView *q = FindLocked(poll);
    if (q == nullptr) {
        return;
    }
    q->skipped += skipped;
    LinkView &l = state_.links[poll.link];
    l.total.slots += 1 + skipped;
    l.total.skipped += skipped;
    OpenWindow &w = windows_[poll.link];
    w.lag_s = std::max(w.lag_s, lag_s);
    WindowLocked(poll.link, now);
}

void PlantState::NoteBusy(std::size_t link, double seconds) {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (link < state_.links.size()) {
        state_.links[link].total.busy_s += seconds;
        WindowLocked(link, now);
    }
}

void PlantState::NoteLateReplies(std::size_t link, std::uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (link < state_.links.size()) {
        state_.links[link].total.late_replies += count;
    }
}

// Closes the link's window once it is kLoadWindow long: its figures become
// the link's recent ones, and the next window starts from here.
void PlantState::WindowLocked(std::size_t link, std::chrono::steady_clock::time_point now) {
    OpenWindow &w = windows_[link];
    if (now - w.start < load_window_) {
        return;
    }
    LinkView &l = state_.links[link];
    const LinkTotals &a = w.at_start;
    const LinkTotals &b = l.total;
    l.recent.seconds = std::chrono::duration<double>(now - w.start).count();
    l.recent.lag_s = w.lag_s;
    l.recent.change = LinkTotals{b.busy_s - a.busy_s, b.slots - a.slots, b.skipped - a.skipped,
                                 b.timeouts - a.timeouts, b.late_replies - a.late_replies};
    if (l.recent.change.skipped == 0) {
        l.behind_since.reset();
    } else if (!l.behind_since) {
        l.behind_since =
            std::chrono::system_clock::now() -
            std::chrono::duration_cast<std::chrono::system_clock::duration>(now - w.start);
    }
    w = OpenWindow{now, b, 0};
}

void PlantState::AddEvent(std::string kind, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    EventLocked(std::move(kind), std::move(text));
}

void PlantState::EventLocked(std::string kind, std::string text) {
    Event &e = ring_[ring_next_];
    e.when = std::chrono::system_clock::now();
    e.kind = std::move(kind);
    e.text = std::move(text);
    e.version = ++state_.version;
    ring_next_ = (ring_next_ + 1) % ring_.size();
    ring_size_ = std::min(ring_size_ + 1, ring_.size());
}

PlantSnapshot PlantState::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    PlantSnapshot copy = state_;
    copy.now = std::chrono::system_clock::now();
    copy.steady_now = std::chrono::steady_clock::now();
    copy.events.reserve(ring_size_);
    std::size_t first = (ring_next_ + ring_.size() - ring_size_) % ring_.size();
    for (std::size_t i = 0; i < ring_size_; ++i) {
        copy.events.push_back(ring_[(first + i) % ring_.size()]);
    }
    return copy;
}

ModuleView PlantState::Module(const ModuleRef &module) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (module.link >= state_.links.size() ||
        module.module >= state_.links[module.link].modules.size()) {
        return ModuleView{};
    }
    return state_.links[module.link].modules[module.module];
}

bool PlantState::AnyLinkUp() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(state_.links.begin(), state_.links.end(),
                       [](const LinkView &l) { return l.up; });
}

}  // namespace qor::gateway
