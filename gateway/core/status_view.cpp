#include "gateway/core/status_view.h"

#include <algorithm>

#include "qor_dll.h"

namespace qor::gateway {

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

StatusView::StatusView() {
    state_.started = std::chrono::system_clock::now();
}

namespace {

template <typename T>
const T *Named(const std::vector<T> &items, const std::string &name) {
    auto it = std::find_if(items.begin(), items.end(), [&](const T &i) { return i.name == name; });
    return it == items.end() ? nullptr : &*it;
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
        const ModuleView *old_module = old ? Named(old->modules, m.name) : nullptr;
        ModuleView module;
        module.name = m.name;
        module.address = m.address;
        for (const PollSpec &p : m.polls) {
            const QueryView *old_query = old_module ? Named(old_module->queries, p.name) : nullptr;
            QueryView query = old_query ? *old_query : QueryView{};
            query.name = p.name;
            query.query = QueryName(p.query);
            query.unit = p.unit;
            query.interval_ms = p.interval.count();
            module.queries.push_back(std::move(query));
        }
        link.modules.push_back(std::move(module));
    }
    return link;
}

}  // namespace

void StatusView::Layout(const Config &config) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LinkView> links;
    for (const LinkSpec &spec : config.links) {
        links.push_back(LayLink(spec, Named(state_.links, spec.name)));
    }
    state_.links = std::move(links);
    state_.broker_where = config.broker.host + ":" + std::to_string(config.broker.port);
}

LinkView *StatusView::FindLocked(const std::string &link) {
    for (LinkView &l : state_.links) {
        if (l.name == link) {
            return &l;
        }
    }
    return nullptr;
}

void StatusView::NoteReading(const std::string &link, std::size_t module, std::size_t poll,
                             const Reading &reading, double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkView *l = FindLocked(link);
    if (l == nullptr || module >= l->modules.size() || poll >= l->modules[module].queries.size()) {
        return;
    }
    QueryView &q = l->modules[module].queries[poll];
    q.read = true;
    q.last = reading;
    ++q.outcomes[static_cast<std::size_t>(OutcomeOf(reading.status, reading.error))];
    if (OutcomeOf(reading.status, reading.error) == Outcome::kLinkFault) {
        return;  // nothing was sent: no duration to tell
    }
    const auto *bucket =
        std::lower_bound(kDurationBuckets.begin(), kDurationBuckets.end(), seconds);
    if (bucket != kDurationBuckets.end()) {
        ++l->buckets[static_cast<std::size_t>(bucket - kDurationBuckets.begin())];
    }
    ++l->durations;
    l->duration_sum += seconds;
}

void StatusView::NoteAvailability(const std::string &link, std::size_t module, bool online) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkView *l = FindLocked(link);
    if (l == nullptr || module >= l->modules.size()) {
        return;
    }
    ModuleView &m = l->modules[module];
    m.availability = online ? "online" : "offline";
    EventLocked(online ? "module_online" : "module_offline",
                "module " + m.name + " on link " + link + " is " + m.availability);
}

void StatusView::NoteLinkUp(const std::string &link) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkView *l = FindLocked(link);
    if (l == nullptr) {
        return;
    }
    l->up = true;
    if (++l->opens > 1) {
        EventLocked("link_up", "link " + link + " reconnected to " + l->target);
    }
}

void StatusView::NoteLinkDown(const std::string &link, const std::string &reason, bool was_up) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkView *l = FindLocked(link);
    if (l == nullptr) {
        return;
    }
    l->up = false;
    ++l->failures;
    l->last_failure = reason;
    l->last_failure_at = std::chrono::system_clock::now();
    if (was_up) {
        EventLocked("link_lost", "link " + link + " lost: " + reason);
    }
}

void StatusView::NoteBroker(bool connected, const std::string &reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool was = state_.broker_connected;
    state_.broker_connected = connected;
    if (connected) {
        ++state_.broker_connects;
        EventLocked("broker", "connected to the broker " + state_.broker_where);
        return;
    }
    state_.broker_last_failure = reason;
    state_.broker_last_failure_at = std::chrono::system_clock::now();
    if (was) {
        EventLocked("broker", "broker connection lost: " + reason);
    }
}

void StatusView::NoteCommand(bool accepted, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(accepted ? state_.commands_accepted : state_.commands_refused);
    EventLocked(accepted ? "command" : "refused", text);
}

void StatusView::AddEvent(std::string kind, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    EventLocked(std::move(kind), std::move(text));
}

void StatusView::EventLocked(std::string kind, std::string text) {
    Event &e = ring_[ring_next_];
    e.when = std::chrono::system_clock::now();
    e.kind = std::move(kind);
    e.text = std::move(text);
    ring_next_ = (ring_next_ + 1) % ring_.size();
    ring_size_ = std::min(ring_size_ + 1, ring_.size());
}

StatusSnapshot StatusView::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    StatusSnapshot copy = state_;
    copy.now = std::chrono::system_clock::now();
    copy.events.reserve(ring_size_);
    std::size_t first = (ring_next_ + ring_.size() - ring_size_) % ring_.size();
    for (std::size_t i = 0; i < ring_size_; ++i) {
        copy.events.push_back(ring_[(first + i) % ring_.size()]);
    }
    return copy;
}

bool StatusView::BrokerConnected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.broker_connected;
}

bool StatusView::AnyLinkUp() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(state_.links.begin(), state_.links.end(),
                       [](const LinkView &l) { return l.up; });
}

}  // namespace qor::gateway
