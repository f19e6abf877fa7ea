// What a link's poller tells other parts of the gateway besides the JSON
// topics: each reading and each change of a module's availability. Called
// on the poller's thread; an observer must not block for long.
#ifndef QOR_GATEWAY_OBSERVER_H
#define QOR_GATEWAY_OBSERVER_H

#include <string>

#include "gateway/core/queries.h"

namespace qor::gateway {

class PollObserver {
  public:
    virtual ~PollObserver() = default;
    // poll is the poll's name, the last level of the reading's topic.
    virtual void OnReading(const std::string &link, const std::string &module,
                           const std::string &poll, const Reading &reading) = 0;
    virtual void OnAvailability(const std::string &link, const std::string &module,
                                bool online) = 0;
};

}  // namespace qor::gateway

#endif
