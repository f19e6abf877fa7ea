// Retained state (availability, counters, the gateway's own status and
// dropped count): only the latest value of each topic matters, so it is
// kept here rather than queued, published when it changes, and all of it
// again after every reconnection.
#ifndef QOR_GATEWAY_STATE_BOARD_H
#define QOR_GATEWAY_STATE_BOARD_H

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qor::gateway {

class StateBoard {
  public:
    void Set(const std::string &topic, const std::string &payload);
    // Topics whose value changed since the last call (all after MarkAllChanged).
    std::vector<std::pair<std::string, std::string>> TakeChanged();
    void MarkAllChanged();
    void SetWake(std::function<void()> wake) { wake_ = std::move(wake); }

  private:
    struct Entry {
        std::string payload;
        bool changed = true;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
    std::function<void()> wake_;
};

}  // namespace qor::gateway

#endif
