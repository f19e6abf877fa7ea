// Target text parsing: no I/O, no allocation, so that it can be tested on its
// own and used under the port locks.
#include "comm/target.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/host_port.h"

namespace qor::comm {

namespace {

struct OptionRule {
    Option option;
    const char *name;
    long low;
    long high;
    // An option with a few values of one character each lists them here;
    // its range is then unused.
    const char *choices;
};

// In the order error messages list them. The line settings are named as
// the serial libraries of other languages name them.
constexpr OptionRule kOptions[] = {
    {Option::kBaud, "baud", kLowestBaud, kHighestBaud, nullptr},
    {Option::kByteSize, "bytesize", 0, 0, "78"},
    {Option::kParity, "parity", 0, 0, "NEO"},
    {Option::kStopBits, "stopbits", 0, 0, "12"},
    {Option::kTimeout, "timeout_ms", 1, kMaxTimeoutMs, nullptr},
    {Option::kReplyTimeout, "reply_timeout_ms", 1, kMaxReplyTimeoutMs, nullptr},
    {Option::kRecovery, "recovery_ms", 0, kMaxTimeoutMs, nullptr},
    {Option::kGuard, "guard_ms", 0, kMaxTimeoutMs, nullptr},
    {Option::kConnectTimeout, "connect_timeout_ms", 1, kMaxTimeoutMs, nullptr},
    {Option::kRs485, "rs485", 0, 0, "01"},
    {Option::kRs485DelayBefore, "rs485_delay_before_ms", 0, kMaxRs485DelayMs, nullptr},
    {Option::kRs485DelayAfter, "rs485_delay_after_ms", 0, kMaxRs485DelayMs, nullptr},
    {Option::kLowLatency, "low_latency", 0, 0, "01"},
    {Option::kExclusive, "exclusive", 0, 0, "01"},
};

// A piece of the target text; the text is not copied until it has been
// judged good.
struct Span {
    const char *begin;
    std::size_t length;
};

// Where the parser writes why it refused a text.
struct Complaint {
    char *text;
    std::size_t capacity;
};

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
bool Refuse(Complaint complaint, const char *format, ...) {
    if (complaint.text != nullptr && complaint.capacity > 0) {
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(complaint.text, complaint.capacity, format, arguments);
        va_end(arguments);
    }
    return false;
}

int Width(Span s) {
    return static_cast<int>(s.length);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsControlOrSpace(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u <= ' ' || u == 0x7F;
}

bool AllDigits(Span s) {
    for (std::size_t i = 0; i < s.length; ++i) {
        if (!IsDigit(s.begin[i])) {
            return false;
        }
    }
    return s.length > 0;
}

// Decimal digits only (no sign, no blanks). False for anything else; a
// number too long to hold comes out as `high + 1`, so that it is out of
// range rather than malformed.
bool ParseNumber(Span s, long high, long *value) {
    if (!AllDigits(s)) {
        return false;
    }
    long result = 0;
    for (std::size_t i = 0; i < s.length && result <= high; ++i) {
        result = result * 10 + (s.begin[i] - '0');
    }
    *value = result <= high ? result : high + 1;
    return true;
}

bool Contains(Span s, char c) {
    return std::memchr(s.begin, c, s.length) != nullptr;
}

bool CopyLocation(Span s, Target *target, Complaint complaint) {
    if (s.length >= kLocationCapacity) {
        return Refuse(complaint, "device path or host longer than %d characters",
                      static_cast<int>(kLocationCapacity - 1));
    }
    std::memcpy(target->location, s.begin, s.length);
    target->location[s.length] = '\0';
    return true;
}

std::string_view View(Span s) {
    return {s.begin, s.length};
}

Span SpanOf(std::string_view s) {
    return Span{s.data(), s.size()};
}

// The location of a transport that connects: HOST:PORT, an IPv6 address
// in brackets (text::SplitHostPort). The host is judged before the port.
bool ParseHostAndPort(Span s, Target *target, Complaint complaint) {
    text::HostPort parts;
    text::HostPortFault fault =
        text::SplitHostPort(View(s), &parts, text::PortRule::kRequired, /*lowest=*/1);
    if (fault == text::HostPortFault::kNoPort || fault == text::HostPortFault::kBadBrackets) {
        return Refuse(complaint, "expected HOST:PORT after the scheme, got \"%.*s\"", Width(s),
                      s.begin);
    }
    Span host = SpanOf(parts.host);
    if (parts.bracketed ? !text::IsIpv6Text(parts.host) : !text::IsHostName(parts.host)) {
        if (!parts.bracketed && Contains(host, ':')) {
            return Refuse(complaint, "an IPv6 address goes in brackets: [%.*s]:PORT", Width(host),
                          host.begin);
        }
        return Refuse(complaint, "malformed host \"%.*s\"", Width(host), host.begin);
    }
    if (fault == text::HostPortFault::kBadPort) {
        Span port = SpanOf(parts.port_text);
        return Refuse(complaint, "port \"%.*s\" is not a number 1..65535", Width(port), port.begin);
    }
    target->tcp_port = parts.port;
    return CopyLocation(host, target, complaint);
}

bool ParseDevicePath(Span s, Target *target, Complaint complaint) {
    if (s.length == 0) {
        return Refuse(complaint, "no device path before \"?\"");
    }
    for (std::size_t i = 0; i < s.length; ++i) {
        unsigned char u = static_cast<unsigned char>(s.begin[i]);
        if (u < ' ' || u == 0x7F) {
            return Refuse(complaint, "control character in the device path");
        }
    }
    return CopyLocation(s, target, complaint);
}

// "baud, timeout_ms, recovery_ms": the options `transport` takes.
void ListOptions(const Transport &transport, char *text, std::size_t capacity) {
    text[0] = '\0';
    for (const OptionRule &rule : kOptions) {
        if ((transport.options & OptionBit(rule.option)) != 0) {
            std::size_t used = std::strlen(text);
            std::snprintf(text + used, capacity - used, "%s%s", used > 0 ? ", " : "", rule.name);
        }
    }
}

const OptionRule *FindOption(Span key) {
    for (const OptionRule &rule : kOptions) {
        if (std::strlen(rule.name) == key.length &&
            std::memcmp(rule.name, key.begin, key.length) == 0) {
            return &rule;
        }
    }
    return nullptr;
}

void StoreOption(Option option, long value, Target *target) {
    switch (option) {
        case Option::kBaud:
            target->baud = value;
            break;
        case Option::kTimeout:
            target->timeout_ms = static_cast<int>(value);
            break;
        case Option::kReplyTimeout:
            target->reply_timeout_ms = static_cast<int>(value);
            break;
        case Option::kRecovery:
            target->recovery_ms = static_cast<int>(value);
            break;
        case Option::kGuard:
            target->guard_ms = static_cast<int>(value);
            break;
        case Option::kConnectTimeout:
            target->connect_timeout_ms = static_cast<int>(value);
            break;
        case Option::kByteSize:
            target->byte_size = static_cast<int>(value);
            break;
        case Option::kParity:
            target->parity = static_cast<char>(value);
            break;
        case Option::kStopBits:
            target->stop_bits = static_cast<int>(value);
            break;
        case Option::kRs485:
            target->rs485 = value == 1;
            break;
        case Option::kRs485DelayBefore:
            target->rs485_delay_before_ms = static_cast<int>(value);
            break;
        case Option::kRs485DelayAfter:
            target->rs485_delay_after_ms = static_cast<int>(value);
            break;
        case Option::kLowLatency:
            target->low_latency = value == 1;
            break;
        case Option::kExclusive:
            target->exclusive = value == 1;
            break;
    }
}

// One of the option's one-character values: a digit as its number, a
// letter as itself.
bool ParseChoice(const OptionRule &rule, Span value, long *number, Complaint complaint) {
    if (value.length == 1 && value.begin[0] != '\0' && std::strchr(rule.choices, value.begin[0])) {
        char c = value.begin[0];
        *number = IsDigit(c) ? c - '0' : c;
        return true;
    }
    char listed[32] = {};
    for (std::size_t i = 0; rule.choices[i] != '\0' && 3 * i + 3 < sizeof listed; ++i) {
        std::size_t used = std::strlen(listed);
        std::snprintf(listed + used, sizeof listed - used, "%s%c", i > 0 ? ", " : "",
                      rule.choices[i]);
    }
    return Refuse(complaint, "%s=%.*s is not one of %s", rule.name, Width(value), value.begin,
                  listed);
}

bool ParseValue(const OptionRule &rule, Span value, long *number, Complaint complaint) {
    if (rule.choices != nullptr) {
        return ParseChoice(rule, value, number, complaint);
    }
    if (!ParseNumber(value, rule.high, number)) {
        return Refuse(
            complaint, "%s=%.*s is not a %s", rule.name, Width(value), value.begin,
            rule.option == Option::kBaud ? "positive integer" : "whole number of milliseconds");
    }
    if (rule.option == Option::kBaud && !IsStandardBaud(*number)) {
        return Refuse(complaint, "baud=%.*s is not a standard rate (50 to 4000000)", Width(value),
                      value.begin);
    }
    if (*number < rule.low || *number > rule.high) {
        return Refuse(complaint, "%s=%.*s is out of range %ld..%ld", rule.name, Width(value),
                      value.begin, rule.low, rule.high);
    }
    return true;
}

// One "name=value"; `seen` collects the options already given.
bool ParseSetting(Span item, Target *target, unsigned *seen, Complaint complaint) {
    const char *equals = static_cast<const char *>(std::memchr(item.begin, '=', item.length));
    Span key{item.begin,
             equals != nullptr ? static_cast<std::size_t>(equals - item.begin) : item.length};
    const OptionRule *rule = FindOption(key);
    char accepted[256];
    ListOptions(*target->transport, accepted, sizeof accepted);
    if (rule == nullptr) {
        return Refuse(complaint, "unknown option \"%.*s\" (%s takes %s)", Width(key), key.begin,
                      target->transport->label, accepted);
    }
    if ((target->transport->options & OptionBit(rule->option)) == 0) {
        return Refuse(complaint, "option \"%s\" does not apply to %s (it takes %s)", rule->name,
                      target->transport->label, accepted);
    }
    if (equals == nullptr) {
        return Refuse(complaint, "option \"%s\" has no value", rule->name);
    }
    if ((*seen & OptionBit(rule->option)) != 0) {
        return Refuse(complaint, "option \"%s\" given twice", rule->name);
    }
    *seen |= OptionBit(rule->option);
    Span value{equals + 1, static_cast<std::size_t>(item.begin + item.length - equals - 1)};
    long number = 0;
    if (!ParseValue(*rule, value, &number, complaint)) {
        return false;
    }
    StoreOption(rule->option, number, target);
    return true;
}

// Settings that make sense only together with another.
bool CheckCombinations(unsigned seen, const Target &target, Complaint complaint) {
    constexpr unsigned kDelays =
        OptionBit(Option::kRs485DelayBefore) | OptionBit(Option::kRs485DelayAfter);
    if ((seen & kDelays) != 0 && !target.rs485) {
        return Refuse(complaint, "%s needs rs485=1",
                      (seen & OptionBit(Option::kRs485DelayBefore)) != 0 ? "rs485_delay_before_ms"
                                                                         : "rs485_delay_after_ms");
    }
    return true;
}

// Ten time-outs, or on a slow line one time-out plus the time the longest
// reply takes at the line's rate (start, data, parity and stop bits), so
// that a reply the line can carry always fits.
int DefaultReplyTimeout(const Target &target) {
    long bits = 1 + target.byte_size + (target.parity != 'N' ? 1 : 0) + target.stop_bits;
    long line_ms = (kLongestReply * bits * 1000 + target.baud - 1) / target.baud;
    long slow = target.timeout_ms + line_ms;
    long ten = static_cast<long>(kDefaultReplyTimeouts) * target.timeout_ms;
    long chosen = slow > ten ? slow : ten;
    return static_cast<int>(chosen < kMaxReplyTimeoutMs ? chosen : kMaxReplyTimeoutMs);
}

// The waits that default to others: recovery to the time-out, the reply's
// bound to DefaultReplyTimeout, the connect to five time-outs but at least
// kDefaultConnectTimeoutMs.
void ApplyDefaults(unsigned seen, Target *target) {
    if ((seen & OptionBit(Option::kRecovery)) == 0) {
        target->recovery_ms = target->timeout_ms;
    }
    if ((seen & OptionBit(Option::kReplyTimeout)) == 0) {
        target->reply_timeout_ms = DefaultReplyTimeout(*target);
    }
    if ((seen & OptionBit(Option::kConnectTimeout)) == 0) {
        long five = 5L * target->timeout_ms;
        target->connect_timeout_ms =
            static_cast<int>(five > kDefaultConnectTimeoutMs ? five : kDefaultConnectTimeoutMs);
    }
}

bool ParseSettings(Span s, Target *target, Complaint complaint) {
    unsigned seen = 0;
    if (s.begin != nullptr && s.length == 0) {
        // "dev?" with nothing after it is a typo, not a request for defaults.
        return Refuse(complaint, "\"?\" without options");
    }
    const char *end = s.begin + s.length;
    for (const char *cursor = s.begin; cursor != nullptr && cursor <= end;) {
        const char *amp = static_cast<const char *>(std::memchr(cursor, '&', end - cursor));
        Span item{cursor, static_cast<std::size_t>((amp != nullptr ? amp : end) - cursor)};
        if (item.length == 0) {
            return Refuse(complaint, "empty option (a stray \"&\")");
        }
        if (!ParseSetting(item, target, &seen, complaint)) {
            return false;
        }
        cursor = amp != nullptr ? amp + 1 : nullptr;
    }
    ApplyDefaults(seen, target);
    return CheckCombinations(seen, *target, complaint);
}

}  // namespace

// `why` is written through the complaint (clang-tidy cannot see that).
bool ParseTarget(const char *text, Target *target,
                 char *why,  // NOLINT(readability-non-const-parameter)
                 std::size_t why_capacity) {
    Complaint complaint{why, why_capacity};
    if (text == nullptr || target == nullptr) {
        return Refuse(complaint, "no target given");
    }
    *target = Target{};
    std::size_t length = std::strlen(text);
    if (length == 0 || IsControlOrSpace(text[0])) {
        return Refuse(complaint, length == 0 ? "empty target" : "begins with a blank");
    }
    if (length >= kTargetTextCapacity) {
        return Refuse(complaint, "longer than %d characters",
                      static_cast<int>(kTargetTextCapacity - 1));
    }
    target->transport = FindTransport(text);
    if (target->transport == nullptr) {
        return Refuse(complaint,
                      "unknown scheme (write a device path, socket://HOST:PORT or "
                      "rfc2217://HOST:PORT)");
    }
    std::size_t scheme = std::strlen(target->transport->scheme);
    const char *question = static_cast<const char *>(std::memchr(text, '?', length));
    Span location{text + scheme,
                  static_cast<std::size_t>((question != nullptr ? question : text + length) -
                                           (text + scheme))};
    bool located = target->transport->form == LocationForm::kHostAndPort
                       ? ParseHostAndPort(location, target, complaint)
                       : ParseDevicePath(location, target, complaint);
    if (!located) {
        return false;
    }
    Span settings{question != nullptr ? question + 1 : nullptr,
                  question != nullptr ? static_cast<std::size_t>(text + length - question - 1) : 0};
    if (settings.begin == nullptr) {
        ApplyDefaults(0, target);
        return true;
    }
    return ParseSettings(settings, target, complaint);
}

bool LooksLikeHostAndPort(const char *location) {
    return text::LooksLikeHostAndPort(location);
}

}  // namespace qor::comm
