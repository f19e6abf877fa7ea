// Commands from the network: their names, their JSON payloads and the
// library call each one makes.
#ifndef QOR_GATEWAY_COMMANDS_H
#define QOR_GATEWAY_COMMANDS_H

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "qor_dll.h"

namespace qor::gateway {

enum class CommandKind {
    kHi,
    kLo,
    kSp,
    kTs,
    kTz,
    kAo,
    kDo,
    kSb,
    kCb,
    kCa,
    kCe,
    kCz,
    kDa,
    kEa,
    kRr,
    kEc
};

constexpr std::size_t kCommandKinds = static_cast<std::size_t>(CommandKind::kEc) + 1;

std::optional<CommandKind> CommandFromName(std::string_view name);
const char *CommandName(CommandKind kind);

struct CommandArgs {
    CommandKind kind = CommandKind::kCa;
    double value = 0;               // hi lo sp ts tz ao
    int mode = QOR_MODE_NO_LETTER;  // hi lo: the letter, or none to keep the module's
    int outputs = 0;                // do
    int bytes = 1;                  // do: 1 sends the low byte alone, 2 both
    int bit = 0;                    // sb cb
};

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

// The arguments a payload gives the command, or why it is refused. Payloads
// are JSON objects with exactly the keys the command takes:
//   hi, lo          {"value": 100.0, "latching": true}  (latching optional)
//   sp, ts, tz, ao  {"value": 12.5}
//   do              {"outputs": 5, "bytes": 2}          (bytes optional)
//   sb, cb          {"bit": 3}
//   ca ce cz da ea rr ec  {} or an empty payload
std::variant<CommandArgs, std::string> ParseCommand(CommandKind kind, std::string_view payload);
// The same checks for a source that gives its fields typed (a Modbus write,
// a Sparkplug B metric): no text is made to be parsed again.
std::variant<CommandArgs, std::string> ArgsFromFields(CommandKind kind,
                                                      const PayloadFields &fields);

struct CommandOutcome {
    int status = 0;
    int error = 0;
    std::optional<long> count;  // ec: the count it read before clearing it
};

CommandOutcome RunCommand(int port, char address, const CommandArgs &args);

}  // namespace qor::gateway

#endif
