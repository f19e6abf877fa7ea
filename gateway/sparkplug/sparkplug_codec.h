// Sparkplug B payloads (protobuf, through protobuf-c): the metrics the
// gateway sends, encoded, the metrics of a command, decoded, any payload as
// text for people, and a host's STATE (JSON).
#ifndef QOR_GATEWAY_SPARKPLUG_CODEC_H
#define QOR_GATEWAY_SPARKPLUG_CODEC_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qor::gateway::sparkplug {

// The datatype codes the gateway uses.
enum DataType : std::uint32_t {
    kInt64 = 4,
    kUInt64 = 8,
    kDouble = 10,
    kBoolean = 11,
    kString = 12,
};

struct Metric {
    std::string name;
    std::uint32_t datatype = kDouble;
    std::uint64_t timestamp = 0;  // ms since the epoch
    bool is_null = false;         // no value: the module did not answer
    double number = 0;            // kDouble, kInt64, kUInt64, kBoolean (non-zero: true)
    std::string text;             // kString
    std::string unit;             // the "engUnit" property, when not empty
    std::uint64_t alias = 0;      // 0: none; the name may then be left empty
};

// The payload's bytes; seq is left out when it is empty (NDEATH).
std::string Encode(std::uint64_t timestamp, std::optional<std::uint64_t> seq,
                   const std::vector<Metric> &metrics);

// A command's metric: its name or alias and its value as a number (booleans
// are 0 or 1); has_value is false for a null, a string or a value of another
// kind.
struct CommandMetric {
    std::string name;
    std::optional<std::uint64_t> alias;
    bool has_value = false;
    double number = 0;
    bool boolean = false;  // a Boolean, by its datatype or its value
};

// The metrics of an NCMD or DCMD, or empty when the bytes are no payload.
std::optional<std::vector<CommandMetric>> DecodeCommand(const std::string &bytes);

// Any payload as text for people, one line for its timestamp and seq and
// one per metric ("metric \"rd\" (alias 1): Double 72.1 at 2025-...Z,
// engUnit \"°C\""); empty when the bytes are no payload. Names and
// strings come quoted and escaped.
std::optional<std::string> DescribePayload(const std::string &bytes);

}  // namespace qor::gateway::sparkplug

namespace qor::gateway {

// A host application's STATE payload: {"online": true, "timestamp": MS}.
struct HostState {
    bool online = false;
    std::uint64_t timestamp = 0;  // ms since the epoch, of the host's own clock
};
// Empty when the payload is not such an object.
std::optional<HostState> ParseHostState(const std::string &payload);

}  // namespace qor::gateway

#endif
