#include "gateway/core/commands.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "catalogue/calls.h"
#include "gateway/mqtt/json.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

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

std::variant<CommandArgs, std::string> ParseCommand(CommandKind kind, std::string_view payload) {
    auto parsed = ParsePayloadFields(payload);
    if (auto *reason = std::get_if<std::string>(&parsed)) {
        return *reason;
    }
    const auto &fields = std::get<PayloadFields>(parsed);
    Shape shape = ShapeOf(kind);
    std::string unexpected = UnexpectedKey(shape, fields);
    if (!unexpected.empty()) {
        return std::string(CommandName(kind)) + " takes no " + unexpected;
    }
    CommandArgs args;
    args.kind = kind;
    return Fill(shape, fields, args);
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
