// "HOST:PORT" texts, taken apart one way for the byte link's targets, the
// simulator's --listen and the gateway's brokers and listeners: an IPv6
// address goes in brackets ("[::1]:502"), a port is decimal digits, and
// what a host may be is the caller's to judge (a name for a broker, a
// numeric address for a listener). Header only, without allocation or
// exceptions: the byte link, a library of its own that links nothing of
// common/, parses targets with it under its port locks.
#ifndef QOR_COMMON_HOST_PORT_H
#define QOR_COMMON_HOST_PORT_H

#include <string_view>

namespace qor::text {

enum class HostPortFault {
    kNone,
    kNoPort,       // no ":PORT" where the caller needs one
    kBadPort,      // not digits only, or outside the caller's range
    kBadBrackets,  // "[" without its "]", or anything but ":PORT" after the "]"
};

// Whether a text without ":PORT" is a host alone (a broker takes the
// configured port) or a mistake.
enum class PortRule { kRequired, kOptional };

struct HostPort {
    std::string_view host;       // without its brackets; empty in ":502"
    std::string_view port_text;  // as written; empty when there is none
    unsigned port = 0;
    bool bracketed = false;
    bool has_port = false;
};

namespace host_port_detail {

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only; a number too long to hold comes out above 65535.
constexpr bool ParsePort(std::string_view text, unsigned lowest, unsigned *port) {
    unsigned value = 0;
    for (char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
        value = value > 65535 ? value : value * 10 + static_cast<unsigned>(c - '0');
    }
    *port = value;
    return !text.empty() && value >= lowest && value <= 65535;
}

constexpr HostPortFault SplitBracketed(std::string_view text, PortRule rule, HostPort *out) {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
        return HostPortFault::kBadBrackets;
    }
    out->bracketed = true;
    out->host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (rest.empty()) {
        return rule == PortRule::kOptional ? HostPortFault::kNone : HostPortFault::kNoPort;
    }
    if (rest.front() != ':') {
        return HostPortFault::kBadBrackets;
    }
    out->has_port = true;
    out->port_text = rest.substr(1);
    return HostPortFault::kNone;
}

// Without brackets the port follows the last colon ("::1:8080" is ::1 and
// 8080, as listeners have always read it). Where the port may be left out,
// a text of several colons is an IPv6 address alone, as "::1" is.
constexpr HostPortFault SplitPlain(std::string_view text, PortRule rule, HostPort *out) {
    std::size_t colon = text.rfind(':');
    bool one_colon = colon != std::string_view::npos && text.find(':') == colon;
    if (colon == std::string_view::npos || (rule == PortRule::kOptional && !one_colon)) {
        out->host = text;
        return rule == PortRule::kOptional ? HostPortFault::kNone : HostPortFault::kNoPort;
    }
    out->host = text.substr(0, colon);
    out->has_port = true;
    out->port_text = text.substr(colon + 1);
    return HostPortFault::kNone;
}

}  // namespace host_port_detail

// Takes text apart into *out. lowest is the smallest port taken: 1 for a
// port to connect to or listen on, 0 where 0 asks the system for a free
// one. On kBadPort the host is filled in, so that a caller can judge the
// host first.
constexpr HostPortFault SplitHostPort(std::string_view text, HostPort *out, PortRule rule,
                                      unsigned lowest = 1) {
    *out = HostPort{};
    HostPortFault fault = !text.empty() && text.front() == '['
                              ? host_port_detail::SplitBracketed(text, rule, out)
                              : host_port_detail::SplitPlain(text, rule, out);
    if (fault == HostPortFault::kNone && out->has_port &&
        !host_port_detail::ParsePort(out->port_text, lowest, &out->port)) {
        return HostPortFault::kBadPort;
    }
    return fault;
}

constexpr bool IsAsciiAlnum(char c) {
    return host_port_detail::IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A host name or an IPv4 address: letters, digits and the marks names use.
constexpr bool IsHostName(std::string_view host) {
    for (char c : host) {
        if (!IsAsciiAlnum(c) && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return !host.empty();
}

// What may stand in brackets: an IPv6 address, perhaps with its zone
// ("fe80::1%eth0").
constexpr bool IsIpv6Text(std::string_view host) {
    for (char c : host) {
        if (!IsAsciiAlnum(c) && c != ':' && c != '.' && c != '%' && c != '-' && c != '_') {
            return false;
        }
    }
    return host.find(':') != std::string_view::npos;
}

// Whether text reads as a host and a port to connect to: "localhost:4001"
// or "[::1]:4001", nothing of a path about it. A device path that is
// really this lacks its scheme.
constexpr bool LooksLikeHostAndPort(std::string_view text) {
    HostPort parts;
    if (text.find_first_of("/\\") != std::string_view::npos ||
        SplitHostPort(text, &parts, PortRule::kRequired) != HostPortFault::kNone) {
        return false;
    }
    return parts.bracketed ? IsIpv6Text(parts.host) : IsHostName(parts.host);
}

}  // namespace qor::text

#endif
