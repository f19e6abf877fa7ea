// The JSON payloads the JSON topics publish (topics.h).
#ifndef QOR_GATEWAY_JSON_H
#define QOR_GATEWAY_JSON_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "gateway/core/intake.h"
#include "gateway/core/poller.h"
#include "gateway/core/queries.h"
#include "gateway/spool/outbox.h"

namespace qor::gateway {

// {"value": 72.1, "status": 0, "error": 0, "ts": "...", "seq": 17}; value is
// null when status is not 0; "raw" (the module's own value) after it when
// the poll scales it; "latching" for rh and rl; "error_text" where the
// module answered with an error.
std::string ReadingPayload(const Reading &reading);

// {"command": "hi", "ok": true, "status": 0, "error": 0, "ts": "..."}, or
// {"command": "hi", "ok": false, "reason": "...", "ts": "..."} when refused;
// "origin" names a Modbus client that sent it.
// note: a word on how it was answered ("note"), when not empty.
std::string ResultPayload(const CommandResult &result, const std::string &note = "");

std::string CountersPayload(const ModuleCounters &counters,
                            std::chrono::system_clock::time_point when);
// {"dropped": 0, "boot": 7, "delivered": 120, "spool": true, "spool_bytes": ...,
// "spool_messages": ..., "oldest_unsent_s": ..., "spool_resets": 0, "ts": "..."}
std::string DroppedPayload(const OutboxStatus &status, std::chrono::system_clock::time_point when);

}  // namespace qor::gateway

#endif
