#include "commands.h"

#include <array>
#include <cmath>
#include <utility>

#include "json.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

constexpr std::array<std::pair<CommandKind, const char *>, 16> kCommandNames{{
    {CommandKind::kHi, "hi"},
    {CommandKind::kLo, "lo"},
    {CommandKind::kSp, "sp"},
    {CommandKind::kTs, "ts"},
    {CommandKind::kTz, "tz"},
    {CommandKind::kAo, "ao"},
    {CommandKind::kDo, "do"},
    {CommandKind::kSb, "sb"},
    {CommandKind::kCb, "cb"},
    {CommandKind::kCa, "ca"},
    {CommandKind::kCe, "ce"},
    {CommandKind::kCz, "cz"},
    {CommandKind::kDa, "da"},
    {CommandKind::kEa, "ea"},
    {CommandKind::kRr, "rr"},
    {CommandKind::kEc, "ec"},
}};

// Magnitudes from here on round to 100000.00, which no value field carries.
constexpr double kValueLimit = 99999.995;

enum class Shape { kValue, kLimit, kOutputs, kBit, kNone };

Shape ShapeOf(CommandKind kind) {
    switch (kind) {
        case CommandKind::kHi:
        case CommandKind::kLo:
            return Shape::kLimit;
        case CommandKind::kSp:
        case CommandKind::kTs:
        case CommandKind::kTz:
        case CommandKind::kAo:
            return Shape::kValue;
        case CommandKind::kDo:
            return Shape::kOutputs;
        case CommandKind::kSb:
        case CommandKind::kCb:
            return Shape::kBit;
        default:
            return Shape::kNone;
    }
}

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
        if (!(std::fabs(*f.value) < kValueLimit)) {
            return std::string("\"value\" is beyond +-99999.99");
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
        if (!f.bit || *f.bit < 0 || *f.bit > 63) {
            return std::string("needs \"bit\", an integer 0 to 63");
        }
        a.bit = static_cast<int>(*f.bit);
    }
    return a;
}

}  // namespace

std::optional<CommandKind> CommandFromName(std::string_view name) {
    for (const auto &[kind, text] : kCommandNames) {
        if (name == text) {
            return kind;
        }
    }
    return std::nullopt;
}

const char *CommandName(CommandKind kind) {
    for (const auto &[known, text] : kCommandNames) {
        if (known == kind) {
            return text;
        }
    }
    return "?";
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
    CommandOutcome o;
    int *s = &o.status;
    int *e = &o.error;
    auto value = static_cast<float>(a.value);
    switch (a.kind) {
        case CommandKind::kHi:
            QOR_HI(port, address, a.mode, value, s, e);
            break;
        case CommandKind::kLo:
            QOR_LO(port, address, a.mode, value, s, e);
            break;
        case CommandKind::kSp:
            QOR_SP(port, address, value, s, e);
            break;
        case CommandKind::kTs:
            QOR_TS(port, address, value, s, e);
            break;
        case CommandKind::kTz:
            QOR_TZ(port, address, value, s, e);
            break;
        case CommandKind::kAo:
            QOR_AO(port, address, value, s, e);
            break;
        case CommandKind::kDo:
            QOR_DO(port, address, a.outputs >> 8, a.outputs & 0xFF, a.bytes, s, e);
            break;
        case CommandKind::kSb:
            QOR_SB(port, address, a.bit, s, e);
            break;
        case CommandKind::kCb:
            QOR_CB(port, address, a.bit, s, e);
            break;
        case CommandKind::kCa:
            QOR_CA(port, address, s, e);
            break;
        case CommandKind::kCe:
            QOR_CE(port, address, s, e);
            break;
        case CommandKind::kCz:
            QOR_CZ(port, address, s, e);
            break;
        case CommandKind::kDa:
            QOR_DA(port, address, s, e);
            break;
        case CommandKind::kEa:
            QOR_EA(port, address, s, e);
            break;
        case CommandKind::kRr:
            QOR_RR(port, address, s, e);
            break;
        case CommandKind::kEc: {
            long count = QOR_EC(port, address, s, e);
            if (o.status == QOR_STATUS_OK) {
                o.count = count;
            }
            break;
        }
    }
    return o;
}

}  // namespace qor::gateway
