// The rotation over the brokers of `hosts`, with the backoff between rounds
// (core/backoff.h).
#ifndef QOR_GATEWAY_BACKOFF_H
#define QOR_GATEWAY_BACKOFF_H

#include <chrono>
#include <cstddef>

#include "gateway/core/backoff.h"

namespace qor::gateway {

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
