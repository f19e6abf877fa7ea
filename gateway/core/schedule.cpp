#include "gateway/core/schedule.h"

namespace qor::gateway {

std::size_t Schedule::Add(std::chrono::milliseconds interval, Clock::time_point start) {
    tasks_.push_back({interval, start});
    return tasks_.size() - 1;
}

std::size_t Schedule::Next() const {
    std::size_t best = 0;
    for (std::size_t i = 1; i < tasks_.size(); ++i) {
        if (tasks_[i].due < tasks_[best].due) {
            best = i;
        }
    }
    return best;
}

std::uint64_t Schedule::Done(std::size_t task, Clock::time_point now) {
    Task &t = tasks_[task];
    t.due += t.interval;
    if (t.due >= now) {
        return 0;
    }
    // Slots that ended unpolled are skipped; the one now runs in has begun
    // and is polled at once, so a busy bus never waits idle for a slot.
    auto skipped = static_cast<std::uint64_t>((now - t.due) / t.interval);
    t.due += t.interval * static_cast<Clock::rep>(skipped);
    return skipped;
}

}  // namespace qor::gateway
