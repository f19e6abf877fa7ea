#include "schedule.h"

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
    // Slots whose time has fully passed; the one that is still running
    // ahead of now is kept.
    auto behind = now - t.due;
    auto skipped =
        static_cast<std::uint64_t>((behind + t.interval - Clock::duration(1)) / t.interval);
    t.due += t.interval * static_cast<Clock::rep>(skipped);
    return skipped;
}

}  // namespace qor::gateway
