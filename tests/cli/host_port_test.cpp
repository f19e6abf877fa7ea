// common/host_port.h: every form the byte link, the simulator and the
// gateway take or refuse, in one table per rule.
#include "common/host_port.h"

#include <gtest/gtest.h>

#include <string>

namespace qor::text {
namespace {

struct SplitCase {
    const char *text;
    PortRule rule;
    unsigned lowest;
    HostPortFault fault;
    const char *host;  // when the host was taken apart
    unsigned port;
    bool has_port;
};

constexpr PortRule kNeed = PortRule::kRequired;
constexpr PortRule kMay = PortRule::kOptional;

const SplitCase kSplits[] = {
    {"127.0.0.1:502", kNeed, 1, HostPortFault::kNone, "127.0.0.1", 502, true},
    {"plc.example:65535", kNeed, 1, HostPortFault::kNone, "plc.example", 65535, true},
    {"[::1]:8080", kNeed, 1, HostPortFault::kNone, "::1", 8080, true},
    {"[fe80::1%eth0]:4001", kNeed, 1, HostPortFault::kNone, "fe80::1%eth0", 4001, true},
    // Without brackets the port follows the last colon, as listeners read it.
    {"::1:8080", kNeed, 1, HostPortFault::kNone, "::1", 8080, true},
    {":502", kNeed, 1, HostPortFault::kNone, "", 502, true},
    {"00080", kNeed, 1, HostPortFault::kNoPort, "00080", 0, false},
    {"h:00080", kNeed, 1, HostPortFault::kNone, "h", 80, true},
    {"h:0", kNeed, 0, HostPortFault::kNone, "h", 0, true},
    {"h:0", kNeed, 1, HostPortFault::kBadPort, "h", 0, true},
    {"h:65536", kNeed, 1, HostPortFault::kBadPort, "h", 0, true},
    {"h:99999999999999999999", kNeed, 1, HostPortFault::kBadPort, "h", 0, true},
    {"h:", kNeed, 1, HostPortFault::kBadPort, "h", 0, true},
    {"h:+80", kNeed, 0, HostPortFault::kBadPort, "h", 0, true},
    {"h:-1", kNeed, 0, HostPortFault::kBadPort, "h", 0, true},
    {"h:80/x", kNeed, 1, HostPortFault::kBadPort, "h", 0, true},
    {"a b:x", kNeed, 1, HostPortFault::kBadPort, "a b", 0, true},
    {"h", kNeed, 1, HostPortFault::kNoPort, "h", 0, false},
    {"", kNeed, 1, HostPortFault::kNoPort, "", 0, false},
    {"[::1]", kNeed, 1, HostPortFault::kNoPort, "::1", 0, false},
    {"[::1]5000", kNeed, 1, HostPortFault::kBadBrackets, "::1", 0, false},
    {"[::1:5000", kNeed, 1, HostPortFault::kBadBrackets, "", 0, false},
    {"[]:5000", kNeed, 1, HostPortFault::kNone, "", 5000, true},
    // Where the port may be left out: a host alone, IPv6 with or without
    // brackets.
    {"broker.example", kMay, 1, HostPortFault::kNone, "broker.example", 0, false},
    {"broker.example:8883", kMay, 1, HostPortFault::kNone, "broker.example", 8883, true},
    {"::1", kMay, 1, HostPortFault::kNone, "::1", 0, false},
    {"fe80::1:1883", kMay, 1, HostPortFault::kNone, "fe80::1:1883", 0, false},
    {"[::1]", kMay, 1, HostPortFault::kNone, "::1", 0, false},
    {"[::1]:1885", kMay, 1, HostPortFault::kNone, "::1", 1885, true},
    {"b:0", kMay, 1, HostPortFault::kBadPort, "b", 0, true},
    {"[::1", kMay, 1, HostPortFault::kBadBrackets, "", 0, false},
    {"[::1]x", kMay, 1, HostPortFault::kBadBrackets, "::1", 0, false},
};

TEST(HostPort, TakesEachFormApartOrSaysWhyNot) {
    for (const SplitCase &c : kSplits) {
        SCOPED_TRACE(c.text);
        HostPort parts;
        EXPECT_EQ(SplitHostPort(c.text, &parts, c.rule, c.lowest), c.fault);
        EXPECT_EQ(std::string(parts.host), c.host);
        EXPECT_EQ(parts.has_port, c.has_port);
        if (c.fault == HostPortFault::kNone) {
            EXPECT_EQ(parts.port, c.port);
        }
    }
}

TEST(HostPort, TellsAHostAndPortFromADevicePath) {
    const struct {
        const char *text;
        bool host_and_port;
    } cases[] = {
        {"127.0.0.1:34001", true}, {"localhost:4001", true}, {"device-server_2.plant:4001", true},
        {"[::1]:4001", true},      {"/dev/ttyUSB0", false},  {"dev/ttyS0", false},
        {"COM3", false},           {"ttyUSB0", false},       {"./host:4001", false},
        {"host\\x:4001", false},   {"localhost:0", false},   {"localhost:70000", false},
        {"localhost:", false},     {"::1:4001", false},      {"[localhost]:4001", false},
        {"user@host:4001", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(LooksLikeHostAndPort(c.text), c.host_and_port) << c.text;
    }
}

// Usable where the byte link needs it: in constant expressions, without
// allocation.
static_assert(LooksLikeHostAndPort("localhost:4001"));
static_assert(!IsHostName("") && IsHostName("a-b.c_d") && !IsHostName("a b"));
static_assert(IsIpv6Text("fe80::1%eth0") && !IsIpv6Text("10.0.0.1"));

}  // namespace
}  // namespace qor::text
