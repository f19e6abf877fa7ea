// The latest reading of every poll, for the Modbus server: the pollers
// store what they read, the server's connections copy what they answer
// with. Nothing here ever touches a link.
#ifndef QOR_GATEWAY_READING_CACHE_H
#define QOR_GATEWAY_READING_CACHE_H

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "gateway/core/commands.h"
#include "gateway/core/config.h"
#include "gateway/core/queries.h"

namespace qor::gateway {

// Availability as the status registers show it.
enum class Presence { kUnknown = 0, kOnline = 1, kOffline = 2 };

struct CachedValue {
    double value = 0;
    std::optional<std::chrono::steady_clock::time_point> when;  // of the last good reading
};

struct ModuleSnapshot {
    Presence presence = Presence::kUnknown;
    int last_status = 0;
    int last_error = 0;
    std::optional<std::chrono::steady_clock::time_point> last_good;  // any poll
    std::vector<CachedValue> polls;                                  // in the module's poll order
    std::vector<CachedValue> written;  // by CommandKind: set through the gateway
};

class ReadingCache {
  public:
    explicit ReadingCache(const Config &config);

    void StoreReading(std::size_t link, std::size_t module, std::size_t poll,
                      const Reading &reading);
    void StorePresence(std::size_t link, std::size_t module, Presence presence);
    void StoreWritten(std::size_t link, std::size_t module, CommandKind kind, double value);
    ModuleSnapshot Module(std::size_t link, std::size_t module) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::vector<ModuleSnapshot>> links_;
};

}  // namespace qor::gateway

#endif
