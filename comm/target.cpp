// Target text parsing: no I/O, no allocation, so that it can be tested on its
// own and used under the port locks.
#include "target.h"

#include <cstring>

namespace qor_comm {

namespace {

constexpr char kSocketScheme[] = "socket://";
constexpr std::size_t kSocketSchemeLength = sizeof kSocketScheme - 1;

constexpr long kStandardBauds[] = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

// A piece of the target text; the text is not copied until it has been
// judged good.
struct Span {
    const char *begin;
    std::size_t length;
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsControlOrSpace(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u <= ' ' || u == 0x7F;
}

bool Contains(Span s, char c) {
    return std::memchr(s.begin, c, s.length) != nullptr;
}

// Decimal digits only (no sign, no blanks), at most nine of them so that the
// value cannot overflow before the range check.
bool ParseNumber(Span s, long low, long high, long *value) {
    if (s.length == 0 || s.length > 9) {
        return false;
    }
    long result = 0;
    for (std::size_t i = 0; i < s.length; ++i) {
        if (!IsDigit(s.begin[i])) {
            return false;
        }
        result = result * 10 + (s.begin[i] - '0');
    }
    if (result < low || result > high) {
        return false;
    }
    *value = result;
    return true;
}

bool CopyLocation(Span s, Target *target) {
    if (s.length == 0 || s.length >= kLocationCapacity) {
        return false;
    }
    std::memcpy(target->location, s.begin, s.length);
    target->location[s.length] = '\0';
    return true;
}

// A host name or IPv4 literal: letters, digits and the few marks names use.
// A colon is refused so that an unbracketed IPv6 literal is not misread.
bool IsPlainHost(Span s) {
    for (std::size_t i = 0; i < s.length; ++i) {
        char c = s.begin[i];
        if (!IsAlnum(c) && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return s.length > 0;
}

// The inside of "[...]": an IPv6 literal, possibly with a zone ("%eth0").
bool IsBracketedHost(Span s) {
    for (std::size_t i = 0; i < s.length; ++i) {
        char c = s.begin[i];
        if (!IsAlnum(c) && c != ':' && c != '.' && c != '%' && c != '-' && c != '_') {
            return false;
        }
    }
    return Contains(s, ':');
}

bool ParseSocketLocation(Span s, Target *target) {
    Span host{};
    Span port{};
    if (s.length > 0 && s.begin[0] == '[') {
        const char *close = static_cast<const char *>(std::memchr(s.begin, ']', s.length));
        if (close == nullptr) {
            return false;
        }
        host = Span{s.begin + 1, static_cast<std::size_t>(close - s.begin - 1)};
        std::size_t used = static_cast<std::size_t>(close - s.begin) + 1;
        if (used >= s.length || s.begin[used] != ':' || !IsBracketedHost(host)) {
            return false;
        }
        port = Span{s.begin + used + 1, s.length - used - 1};
    } else {
        const char *colon = static_cast<const char *>(std::memchr(s.begin, ':', s.length));
        if (colon == nullptr) {
            return false;
        }
        host = Span{s.begin, static_cast<std::size_t>(colon - s.begin)};
        port = Span{colon + 1, s.length - host.length - 1};
        if (!IsPlainHost(host)) {
            return false;
        }
    }
    long port_number = 0;
    if (!ParseNumber(port, 1, 65535, &port_number)) {
        return false;
    }
    target->transport = Transport::kTcp;
    target->tcp_port = static_cast<unsigned>(port_number);
    return CopyLocation(host, target);
}

bool ParseSerialLocation(Span s, Target *target) {
    // "xyz://" is some other kind of link this library does not speak; it
    // must not be taken for a device path.
    for (std::size_t i = 0; i + 2 < s.length; ++i) {
        if (s.begin[i] == ':' && s.begin[i + 1] == '/' && s.begin[i + 2] == '/') {
            return false;
        }
    }
    for (std::size_t i = 0; i < s.length; ++i) {
        unsigned char u = static_cast<unsigned char>(s.begin[i]);
        if (u < ' ' || u == 0x7F) {
            return false;
        }
    }
    target->transport = Transport::kSerial;
    return CopyLocation(s, target);
}

bool ParseSettings(Span s, Target *target) {
    bool baud_seen = false;
    bool timeout_seen = false;
    const char *cursor = s.begin;
    const char *end = s.begin + s.length;
    for (;;) {
        const char *amp = static_cast<const char *>(std::memchr(cursor, '&', end - cursor));
        const char *item_end = amp != nullptr ? amp : end;
        const char *equals = static_cast<const char *>(std::memchr(cursor, '=', item_end - cursor));
        if (equals == nullptr) {
            return false;
        }
        Span key{cursor, static_cast<std::size_t>(equals - cursor)};
        Span value{equals + 1, static_cast<std::size_t>(item_end - equals - 1)};
        long number = 0;
        if (key.length == 4 && std::memcmp(key.begin, "baud", 4) == 0) {
            if (baud_seen || target->transport != Transport::kSerial ||
                !ParseNumber(value, 1, 4000000, &number) || !IsStandardBaud(number)) {
                return false;
            }
            baud_seen = true;
            target->baud = number;
        } else if (key.length == 10 && std::memcmp(key.begin, "timeout_ms", 10) == 0) {
            if (timeout_seen || !ParseNumber(value, 0, kMaxTimeoutMs, &number)) {
                return false;
            }
            timeout_seen = true;
            target->timeout_ms = static_cast<int>(number);
        } else {
            return false;
        }
        if (amp == nullptr) {
            return true;
        }
        cursor = amp + 1;
    }
}

}  // namespace

bool IsStandardBaud(long baud) {
    for (long standard : kStandardBauds) {
        if (standard == baud) {
            return true;
        }
    }
    return false;
}

bool ParseTarget(const char *text, Target *target) {
    if (text == nullptr || target == nullptr) {
        return false;
    }
    *target = Target{};
    std::size_t length = std::strlen(text);
    const char *question = static_cast<const char *>(std::memchr(text, '?', length));
    Span location{text, question != nullptr ? static_cast<std::size_t>(question - text) : length};
    if (location.length == 0 || IsControlOrSpace(text[0])) {
        return false;
    }
    bool ok = false;
    if (location.length >= kSocketSchemeLength &&
        std::memcmp(text, kSocketScheme, kSocketSchemeLength) == 0) {
        ok = ParseSocketLocation(
            Span{text + kSocketSchemeLength, location.length - kSocketSchemeLength}, target);
    } else {
        ok = ParseSerialLocation(location, target);
    }
    if (!ok) {
        return false;
    }
    if (question == nullptr) {
        return true;
    }
    // "dev?" with nothing after it is a typo, not a request for defaults.
    return ParseSettings(Span{question + 1, length - location.length - 1}, target);
}

}  // namespace qor_comm
