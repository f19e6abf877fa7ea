#include "gateway/core/plant_state.h"

#include <algorithm>

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

PlantState::PlantState() {
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
    if (link.target != spec.target) {
        link.up = false;
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

void PlantState::NoteReading(const PollRef &poll, const Reading &reading, double seconds) {
    auto steady = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    QueryView *q = FindLocked(poll);
    if (q == nullptr) {
        return;
    }
    ModuleView &m = *FindLocked(poll.Module());
    q->read = true;
    q->last = reading;
    m.last_status = reading.status;
    m.last_error = reading.error;
    if (reading.status == QOR_STATUS_OK) {
        q->good = TimedValue{reading.value, reading.when, steady};
        m.last_good = steady;
    }
    Outcome outcome = OutcomeOf(reading.status, reading.error);
    ++q->outcomes[static_cast<std::size_t>(outcome)];
    if (outcome == Outcome::kLinkFault) {
        return;  // nothing was sent: no duration to tell
    }
    LinkView &l = state_.links[poll.link];
    const auto *bucket =
        std::lower_bound(kDurationBuckets.begin(), kDurationBuckets.end(), seconds);
    if (bucket != kDurationBuckets.end()) {
        ++l.buckets[static_cast<std::size_t>(bucket - kDurationBuckets.begin())];
    }
    ++l.durations;
    l.duration_sum += seconds;
}

void PlantState::NoteAvailability(const ModuleRef &module, Availability availability) {
    std::lock_guard<std::mutex> lock(mutex_);
    ModuleView *m = FindLocked(module);
    if (m == nullptr || m->availability == availability) {
        return;
    }
    m->availability = availability;
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
    }
}

void PlantState::NoteLinkUp(std::size_t link) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (link >= state_.links.size()) {
        return;
    }
    LinkView &l = state_.links[link];
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

void PlantState::AddEvent(std::string kind, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    EventLocked(std::move(kind), std::move(text));
}

void PlantState::EventLocked(std::string kind, std::string text) {
    Event &e = ring_[ring_next_];
    e.when = std::chrono::system_clock::now();
    e.kind = std::move(kind);
    e.text = std::move(text);
    ring_next_ = (ring_next_ + 1) % ring_.size();
    ring_size_ = std::min(ring_size_ + 1, ring_.size());
}

PlantSnapshot PlantState::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    PlantSnapshot copy = state_;
    copy.now = std::chrono::system_clock::now();
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
