// Waits between reconnection attempts that double from a first delay up to
// a ceiling, and start over after a success. Used for the broker and for
// every link.
#ifndef QOR_GATEWAY_BACKOFF_H
#define QOR_GATEWAY_BACKOFF_H

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace qor::gateway {

class Backoff {
  public:
    Backoff(std::chrono::milliseconds first, std::chrono::milliseconds ceiling)
        : first_(first), ceiling_(ceiling), next_(first) {}

    // The delay before the next attempt; each call doubles the following one.
    std::chrono::milliseconds Next() {
        std::chrono::milliseconds delay = next_;
        next_ = std::min(next_ * 2, ceiling_);
        return delay;
    }
    void Reset() { next_ = first_; }

  private:
    std::chrono::milliseconds first_;
    std::chrono::milliseconds ceiling_;
    std::chrono::milliseconds next_;
};

// The brokers of a list are tried in turn: after a failed attempt the next
// at once; once every one has failed in a round, the backoff's next delay
// (so the delay grows by round, not by broker). Moves *host on to the next
// of count and returns when to try it.
inline std::chrono::steady_clock::time_point RotateHost(std::size_t *host, std::size_t count,
                                                        std::chrono::steady_clock::time_point now,
                                                        Backoff &backoff) {
    *host = (*host + 1) % count;
    return *host == 0 ? now + backoff.Next() : now;
}

}  // namespace qor::gateway

#endif
