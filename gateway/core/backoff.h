// Waits between reconnection attempts that double from a first delay up to
// a ceiling, and start over after a success. Used for every link and for
// the broker (broker/backoff.h).
#ifndef QOR_GATEWAY_CORE_BACKOFF_H
#define QOR_GATEWAY_CORE_BACKOFF_H

#include <algorithm>
#include <chrono>

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

}  // namespace qor::gateway

#endif
