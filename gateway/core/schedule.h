// When each poll of a link is due. Every poll keeps the grid it started on
// (start, start + interval, start + 2 intervals, ...), so a late poll does
// not push the later ones back. A poll that ends after its next slot began
// is followed at once by the poll of the slot it ended in; the slots that
// ended in between are counted as overruns and skipped, never made up.
#ifndef QOR_GATEWAY_SCHEDULE_H
#define QOR_GATEWAY_SCHEDULE_H

#include <chrono>
#include <cstdint>
#include <vector>

namespace qor::gateway {

class Schedule {
  public:
    using Clock = std::chrono::steady_clock;

    // Adds a poll first due at start; returns its index.
    std::size_t Add(std::chrono::milliseconds interval, Clock::time_point start);
    bool Empty() const { return tasks_.empty(); }
    // The poll due first (the earlier added one on a tie) and when.
    std::size_t Next() const;
    Clock::time_point DueAt(std::size_t task) const { return tasks_[task].due; }
    // The poll ran and finished at now: moves it to its next slot (the one
    // now is in, if that began already) and returns how many slots ended
    // without a poll.
    std::uint64_t Done(std::size_t task, Clock::time_point now);

  private:
    struct Task {
        Clock::duration interval;
        Clock::time_point due;
    };
    std::vector<Task> tasks_;
};

}  // namespace qor::gateway

#endif
