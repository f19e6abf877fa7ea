// The JSON the gateway publishes and the JSON of command payloads.
#ifndef QOR_GATEWAY_JSON_H
#define QOR_GATEWAY_JSON_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "gateway/core/queries.h"
#include "gateway/spool/outbox.h"

namespace qor::gateway {

// {"value": 72.1, "status": 0, "error": 0, "ts": "...", "seq": 17}; value is
// null when status is not 0; "raw" (the module's own value) after it when
// the poll scales it; "latching" for rh and rl; "error_text" where the
// module answered with an error.
std::string ReadingPayload(const Reading &reading);

struct CommandResult {
    std::string command;
    bool ran = false;    // false: refused before anything was sent
    std::string reason;  // why it was refused
    int status = 0;
    int error = 0;
    std::string error_text;
    std::optional<long> count;  // ec
    std::chrono::system_clock::time_point when;
    std::string origin;  // "modbus 10.0.0.7:50312" for a Modbus write; empty from MQTT
};

// {"command": "hi", "ok": true, "status": 0, "error": 0, "ts": "..."}, or
// {"command": "hi", "ok": false, "reason": "...", "ts": "..."} when refused;
// "origin" names a Modbus client that sent it.
std::string ResultPayload(const CommandResult &result);

struct ModuleCounters {
    std::uint64_t replies = 0;      // polls answered with a value
    std::uint64_t timeouts = 0;     // no complete reply
    std::uint64_t errors = 0;       // error replies and unreadable ones
    std::uint64_t link_faults = 0;  // frame not written: link down
    std::uint64_t overruns = 0;     // poll slots skipped because the bus was busy
    std::uint64_t commands = 0;     // commands run
    // What the byte link saw of late replies while polling this module:
    // input that came after its exchange ended, and replies refused as
    // ambiguous (those count as timeouts too).
    std::uint64_t late_replies = 0;
    std::uint64_t refused = 0;
};

std::string CountersPayload(const ModuleCounters &counters,
                            std::chrono::system_clock::time_point when);
// {"dropped": 0, "boot": 7, "delivered": 120, "spool": true, "spool_bytes": ...,
// "spool_messages": ..., "oldest_unsent_s": ..., "spool_resets": 0, "ts": "..."}
std::string DroppedPayload(const OutboxStatus &status, std::chrono::system_clock::time_point when);

// ISO 8601 in UTC with milliseconds: "2025-03-01T12:00:00.250Z".
std::string Timestamp(std::chrono::system_clock::time_point when);

// The keys a command payload may hold, as far as they are there.
struct PayloadFields {
    std::optional<double> value;
    std::optional<bool> latching;
    std::optional<long long> outputs;
    std::optional<long long> bytes;
    std::optional<long long> bit;
};

// The longest command payload taken.
constexpr std::size_t kMaxPayloadBytes = 4096;

// An empty payload or a JSON object of the keys above with the right types;
// anything else gives the reason it is refused: anything but exactly one
// JSON document (a NUL byte or trailing text included), an integer beyond
// a long long, more than kMaxPayloadBytes.
std::variant<PayloadFields, std::string> ParsePayloadFields(std::string_view payload);

}  // namespace qor::gateway

#endif
