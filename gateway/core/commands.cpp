#include "gateway/core/commands.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "catalogue/calls.h"
#include "gateway/core/log.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

// Named as the library names its plain kind, which it replaces.
using json = nlohmann::ordered_json;  // NOLINT(readability-identifier-naming)

// The catalogue row of each command (catalogue/catalogue.h): names,
// arguments and limits come from there; RunCommand makes the call.
constexpr std::pair<CommandKind, CommandCode> kCommandCodes[] = {
    {CommandKind::kHi, HI}, {CommandKind::kLo, LO}, {CommandKind::kSp, SP}, {CommandKind::kTs, TS},
    {CommandKind::kTz, TZ}, {CommandKind::kAo, AO}, {CommandKind::kDo, DO}, {CommandKind::kSb, SB},
    {CommandKind::kCb, CB}, {CommandKind::kCa, CA}, {CommandKind::kCe, CE}, {CommandKind::kCz, CZ},
    {CommandKind::kDa, DA}, {CommandKind::kEa, EA}, {CommandKind::kRr, RR}, {CommandKind::kEc, EC},
};

const catalogue::Command &RowOf(CommandKind kind) {
    for (const auto &[known, code] : kCommandCodes) {
        if (known == kind) {
            return catalogue::RowOf(code);
        }
    }
    return catalogue::RowOf(CA);
}

enum class Shape { kValue, kLimit, kOutputs, kBit, kNone };

// A payload's shape follows the row's first argument.
Shape ShapeOf(CommandKind kind) {
    const catalogue::Command &row = RowOf(kind);
    if (row.arg_count == 0) {
        return Shape::kNone;
    }
    switch (row.args[0]) {
        case catalogue::ArgKind::kValue:
            return row.arg_count > 1 ? Shape::kLimit : Shape::kValue;
        case catalogue::ArgKind::kByte:
            return Shape::kOutputs;
        case catalogue::ArgKind::kBitNumber:
            return Shape::kBit;
        default:
            return Shape::kNone;
    }
}

template <typename T>
std::optional<std::string> Take(const json &object, const char *key, std::optional<T> *out) {
    auto it = object.find(key);
    if (it == object.end()) {
        return std::nullopt;
    }
    bool fits = false;
    if constexpr (std::is_same_v<T, bool>) {
        fits = it->is_boolean();
    } else if constexpr (std::is_same_v<T, double>) {
        fits = it->is_number();
    } else {
        fits = it->is_number_integer();
        // Checked before any narrowing: 4294967298 must not become 2.
        if (fits && it->is_number_unsigned() &&
            it->template get<unsigned long long>() > static_cast<unsigned long long>(LLONG_MAX)) {
            return std::string("\"") + key + "\" is out of range";
        }
    }
    if (!fits) {
        return std::string("\"") + key + "\" has the wrong type";
    }
    *out = it->get<T>();
    return std::nullopt;
}

constexpr const catalogue::ArgInfo &kBitArg = catalogue::ArgOf(catalogue::ArgKind::kBitNumber);

// Which keys each shape allows; everything else is refused by name.
std::string UnexpectedKey(Shape shape, const PayloadFields &f) {
    bool value_ok = shape == Shape::kValue || shape == Shape::kLimit;
    if (f.value && !value_ok) {
        return "\"value\"";
    }
    if (f.latching && shape != Shape::kLimit) {
        return "\"latching\"";
    }
    if ((f.outputs || f.bytes) && shape != Shape::kOutputs) {
        return f.outputs ? "\"outputs\"" : "\"bytes\"";
    }
    if (f.bit && shape != Shape::kBit) {
        return "\"bit\"";
    }
    return "";
}

std::variant<CommandArgs, std::string> Fill(Shape shape, const PayloadFields &f, CommandArgs a) {
    if (shape == Shape::kValue || shape == Shape::kLimit) {
        if (!f.value) {
            return std::string("needs \"value\"");
        }
        if (!(std::fabs(*f.value) < catalogue::kValueLimit)) {
            char largest[32];
            std::snprintf(largest, sizeof largest, "%.2f", catalogue::kValueMax);
            return std::string("\"value\" is beyond +-") + largest;
        }
        a.value = *f.value;
        a.mode = f.latching ? (*f.latching ? QOR_MODE_LATCHING : QOR_MODE_MOMENTARY)
                            : QOR_MODE_NO_LETTER;
    } else if (shape == Shape::kOutputs) {
        if (!f.outputs || *f.outputs < 0 || *f.outputs > 0xFFFF) {
            return std::string("needs \"outputs\", an integer 0 to 65535");
        }
        if (f.bytes && *f.bytes != 1 && *f.bytes != 2) {
            return std::string("\"bytes\" is 1 or 2");
        }
        a.outputs = static_cast<int>(*f.outputs);
        a.bytes = f.bytes ? static_cast<int>(*f.bytes) : (a.outputs > 0xFF ? 2 : 1);
        if (a.bytes == 1 && a.outputs > 0xFF) {
            return std::string("\"outputs\" above 255 needs \"bytes\": 2");
        }
    } else if (shape == Shape::kBit) {
        if (!f.bit || *f.bit < kBitArg.low || *f.bit > kBitArg.high) {
            return std::string("needs \"bit\", an integer ") + std::to_string(kBitArg.low) +
                   " to " + std::to_string(kBitArg.high);
        }
        a.bit = static_cast<int>(*f.bit);
    }
    return a;
}

}  // namespace

std::optional<CommandKind> CommandFromName(std::string_view name) {
    const catalogue::Command *row = catalogue::FindWord(name);
    if (row == nullptr || row->query) {
        return std::nullopt;
    }
    for (const auto &[kind, code] : kCommandCodes) {
        if (code == row->code) {
            return kind;
        }
    }
    return std::nullopt;
}

const char *CommandName(CommandKind kind) {
    return RowOf(kind).word;
}

std::variant<PayloadFields, std::string> ParsePayloadFields(std::string_view payload) {
    PayloadFields fields;
    if (payload.size() > kMaxPayloadBytes) {
        return "the payload is longer than " + std::to_string(kMaxPayloadBytes) + " bytes";
    }
    // A NUL would end the text for some reader along the way; the parser
    // must see exactly what the module's command is built from.
    if (payload.find('\0') != std::string_view::npos) {
        return std::string("the payload holds a NUL byte");
    }
    if (payload.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        return fields;
    }
    // Strict: exactly one JSON document, nothing after it but white space.
    json object = json::parse(payload.begin(), payload.end(), nullptr, false, false);
    if (object.is_discarded()) {
        return std::string("the payload is not JSON");
    }
    if (!object.is_object()) {
        return std::string("the payload is not a JSON object");
    }
    for (const auto &item : object.items()) {
        const std::string &key = item.key();
        if (key != "value" && key != "latching" && key != "outputs" && key != "bytes" &&
            key != "bit") {
            return "unknown key " + Quoted(key, 40);
        }
    }
    for (auto reason :
         {Take(object, "value", &fields.value), Take(object, "latching", &fields.latching),
          Take(object, "outputs", &fields.outputs), Take(object, "bytes", &fields.bytes),
          Take(object, "bit", &fields.bit)}) {
        if (reason) {
            return *reason;
        }
    }
    return fields;
}

std::variant<CommandArgs, std::string> ArgsFromFields(CommandKind kind,
                                                      const PayloadFields &fields) {
    Shape shape = ShapeOf(kind);
    std::string unexpected = UnexpectedKey(shape, fields);
    if (!unexpected.empty()) {
        return std::string(CommandName(kind)) + " takes no " + unexpected;
    }
    CommandArgs args;
    args.kind = kind;
    return Fill(shape, fields, args);
}

std::variant<CommandArgs, std::string> ParseCommand(CommandKind kind, std::string_view payload) {
    auto parsed = ParsePayloadFields(payload);
    if (auto *reason = std::get_if<std::string>(&parsed)) {
        return *reason;
    }
    return ArgsFromFields(kind, std::get<PayloadFields>(parsed));
}

CommandOutcome RunCommand(int port, char address, const CommandArgs &a) {
    const catalogue::Command &row = RowOf(a.kind);
    catalogue::CallArgs args;
    args.value = static_cast<float>(a.value);
    args.mode = a.mode;
    if (ShapeOf(a.kind) == Shape::kOutputs) {
        // One byte goes out alone, two as the high byte then the low one.
        if (a.bytes == 2) {
            args.ints[args.int_count++] = a.outputs >> 8;
        }
        args.ints[args.int_count++] = a.outputs & 0xFF;
    } else if (ShapeOf(a.kind) == Shape::kBit) {
        args.ints[args.int_count++] = a.bit;
    }
    catalogue::CallResult result;
    catalogue::Call(row, port, address, args, result);
    CommandOutcome o;
    o.status = result.status;
    o.error = result.error;
    if (row.result == catalogue::ResultKind::kCount && o.status == QOR_STATUS_OK) {
        o.count = result.count;  // ec: the count it read before clearing it
    }
    return o;
}

}  // namespace qor::gateway
