// The arguments of a library command. Numbers go through std::from_chars,
// which ignores the locale, and every text must be consumed completely:
// "12abc", "1e3", "nan" and values outside a command's range are refused
// before anything is sent to a module.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

#include "cli/cli.h"
#include "common/message_text.h"
#include "common/option_scan.h"

namespace qor::cli {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsOptional(ArgKind kind) {
    return kind == ArgKind::kMode || kind == ArgKind::kOptByte;
}

// What each integer argument accepts, and how a refusal explains it.
struct IntegerRange {
    long min;
    long max;
    std::string what;  // "COUNT must be ..."
};

IntegerRange RangeOf(ArgKind kind, const Invocation &invocation) {
    const catalogue::ArgInfo &arg = catalogue::ArgOf(kind);
    const std::string low = std::to_string(arg.low);
    const std::string high = std::to_string(arg.high);
    switch (kind) {
        case ArgKind::kDiCount:
            return {arg.low, arg.high,
                    "COUNT must be a number of input bytes from " + low + " to " + high};
        case ArgKind::kDiIndex: {
            // The count came just before.
            const long count = invocation.ints.empty() ? arg.high : invocation.ints.back();
            return {arg.low, count,
                    "INDEX must be from 1 (last byte) to COUNT (" + std::to_string(count) + ")"};
        }
        case ArgKind::kDiBit:
            return {arg.low, arg.high, "BIT must be a bit of the byte, " + low + " to " + high};
        default:
            return {arg.low, arg.high, "BIT must be a bit number from " + low + " to " + high};
    }
}

// Converts one positional argument; on failure explains the accepted range.
bool ConvertArg(ArgKind kind, const std::string &text, Invocation &invocation, std::string &error) {
    const std::string not_text = ", not '" + text + "'";
    if (kind == ArgKind::kValue) {
        double v = 0;
        if (!ParseValue(text, v)) {
            error = "VALUE must be a decimal number from -" + FormatFixed2(catalogue::kValueMax) +
                    " to " + FormatFixed2(catalogue::kValueMax) + not_text;
            return false;
        }
        invocation.value = static_cast<float>(v);
        return true;
    }
    if (kind == ArgKind::kMode) {
        const std::string m = Lower(text);
        if (m != "l" && m != "m") {
            error = "the alarm mode must be L (latching) or M (momentary)" + not_text;
            return false;
        }
        invocation.mode = m == "l" ? QOR_MODE_LATCHING : QOR_MODE_MOMENTARY;
        return true;
    }
    int b = 0;
    if (kind == ArgKind::kByte || kind == ArgKind::kOptByte) {
        if (!ParseByte(text, b)) {
            error = "BYTE must be 0..255 or 0x00..0xFF" + not_text;
            return false;
        }
        invocation.ints.push_back(b);
        return true;
    }
    const IntegerRange range = RangeOf(kind, invocation);
    long n = 0;
    if (!ParseInteger(text, range.min, range.max, n)) {
        error = range.what + not_text;
        return false;
    }
    invocation.ints.push_back(static_cast<int>(n));
    return true;
}

bool ParseHexByte(std::string_view digits, long &v) {
    if (digits.size() > 2 || !std::all_of(digits.begin(), digits.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c));
        })) {
        return false;
    }
    const char *end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, v, 16);
    return ec == std::errc() && ptr == end;
}

}  // namespace

bool ParseByte(std::string_view text, int &out) {
    long v = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (!ParseHexByte(text.substr(2), v)) {
            return false;
        }
    } else if (text.empty() || !IsDigit(text[0]) ||
               !ParseInteger(text, catalogue::ArgOf(ArgKind::kByte).low,
                             catalogue::ArgOf(ArgKind::kByte).high, v)) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool ParseValue(std::string_view text, double &out) {
    // Shape check first: [+-] digits [. digits], at least one digit.
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    const size_t start = i;
    size_t digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (IsDigit(text[i])) {
            ++digits;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    double v = 0;
    const char *first = text.data() + start;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(first, end, v, std::chars_format::fixed);
    if (ec != std::errc() || ptr != end || !std::isfinite(v)) {
        return false;
    }
    if (start == 1 && text[0] == '-') {
        v = -v;
    }
    // The module's field holds five digits before the point; anything that
    // rounds to 100000.00 cannot be sent.
    if (std::fabs(v) >= catalogue::kValueLimit) {
        return false;
    }
    out = v;
    return true;
}

bool ParseInvocation(const CommandRow &row, const std::vector<std::string> &args,
                     Invocation &invocation, std::string &error) {
    size_t required = 0;
    for (ArgKind k : row.args) {
        required += IsOptional(k) ? 0 : 1;
    }
    if (args.size() < required || args.size() > row.args.size()) {
        error = std::string(row.name) + ": expected '" + Synopsis(row) + "', got " +
                std::to_string(args.size()) + " argument" + (args.size() == 1 ? "" : "s");
        return false;
    }
    invocation = Invocation{};
    invocation.row = &row;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!ConvertArg(row.args[i], args[i], invocation, error)) {
            error = std::string(row.name) + ": " + error;
            return false;
        }
    }
    return true;
}

}  // namespace qor::cli
