// The target text is the one place where a host's typing meets the library:
// every accepted form must come out right, every malformed one refused.
#include "target.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qor_comm::ParseTarget;
using qor_comm::Target;
using qor_comm::Transport;

struct GoodCase {
    const char *text;
    Transport transport;
    const char *location;
    unsigned tcp_port;
    long baud;
    int timeout_ms;
};

const GoodCase kGood[] = {
    {"/dev/ttyUSB0", Transport::kSerial, "/dev/ttyUSB0", 0, 9600, 200},
    {"/dev/ttyS3?baud=115200", Transport::kSerial, "/dev/ttyS3", 0, 115200, 200},
    {"/dev/ttyS3?timeout_ms=50&baud=50", Transport::kSerial, "/dev/ttyS3", 0, 50, 50},
    {"/dev/ttyACM0?baud=4000000&timeout_ms=0", Transport::kSerial, "/dev/ttyACM0", 0, 4000000, 0},
    {"/dev/serial/by-id/usb-x_y-if00-port0?timeout_ms=60000", Transport::kSerial,
     "/dev/serial/by-id/usb-x_y-if00-port0", 0, 9600, 60000},
    {"relative:name", Transport::kSerial, "relative:name", 0, 9600, 200},
    {"socket://127.0.0.1:5000", Transport::kTcp, "127.0.0.1", 5000, 9600, 200},
    {"socket://device-server.local:4001?timeout_ms=1000", Transport::kTcp, "device-server.local",
     4001, 9600, 1000},
    {"socket://[::1]:65535", Transport::kTcp, "::1", 65535, 9600, 200},
    {"socket://[fe80::1%eth0]:1", Transport::kTcp, "fe80::1%eth0", 1, 9600, 200},
    {"socket://h:007", Transport::kTcp, "h", 7, 9600, 200},
};

TEST(CommTarget, AcceptedFormsComeOutRight) {
    for (const GoodCase &c : kGood) {
        SCOPED_TRACE(c.text);
        Target target;
        ASSERT_TRUE(ParseTarget(c.text, &target));
        EXPECT_EQ(c.transport, target.transport);
        EXPECT_STREQ(c.location, target.location);
        EXPECT_EQ(c.tcp_port, target.tcp_port);
        EXPECT_EQ(c.baud, target.baud);
        EXPECT_EQ(c.timeout_ms, target.timeout_ms);
    }
}

const char *const kBad[] = {"",
                            " /dev/ttyS0",
                            "?baud=9600",
                            "/dev/ttyS0?",
                            "/dev/ttyS0?baud",
                            "/dev/ttyS0?baud=",
                            "/dev/ttyS0?baud=12345",
                            "/dev/ttyS0?baud=0",
                            "/dev/ttyS0?baud=+9600",
                            "/dev/ttyS0?baud=9600x",
                            "/dev/ttyS0?baud=9600&",
                            "/dev/ttyS0?&baud=9600",
                            "/dev/ttyS0?baud=9600&baud=19200",
                            "/dev/ttyS0?timeout_ms=-1",
                            "/dev/ttyS0?timeout_ms=60001",
                            "/dev/ttyS0?timeout_ms=99999999999999999999",
                            "/dev/ttyS0?parity=even",
                            "/dev/ttyS0?BAUD=9600",
                            "/dev/tty\nS0",
                            "tcp://127.0.0.1:5000",
                            "SOCKET://127.0.0.1:5000",
                            "socket://",
                            "socket://127.0.0.1",
                            "socket://127.0.0.1:",
                            "socket://127.0.0.1:0",
                            "socket://127.0.0.1:65536",
                            "socket://127.0.0.1:12x",
                            "socket://127.0.0.1:-1",
                            "socket://:5000",
                            "socket://::1:5000",
                            "socket://[::1]",
                            "socket://[::1]5000",
                            "socket://[::1:5000",
                            "socket://[]:5000",
                            "socket://[localhost]:5000",
                            "socket://host name:5000",
                            "socket://user@host:5000",
                            "socket://127.0.0.1:5000/path",
                            "socket://127.0.0.1:5000?baud=9600",
                            "socket://127.0.0.1:5000?timeout_ms="};

TEST(CommTarget, MalformedTextIsRefused) {
    for (const char *text : kBad) {
        SCOPED_TRACE(text);
        Target target;
        EXPECT_FALSE(ParseTarget(text, &target));
    }
    Target target;
    EXPECT_FALSE(ParseTarget(nullptr, &target));
}

TEST(CommTarget, OverlongLocationIsRefusedNotTruncated) {
    std::string path = "/dev/" + std::string(qor_comm::kLocationCapacity, 'x');
    Target target;
    EXPECT_FALSE(ParseTarget(path.c_str(), &target));
    std::string host = "socket://" + std::string(qor_comm::kLocationCapacity, 'h') + ":1";
    EXPECT_FALSE(ParseTarget(host.c_str(), &target));
    std::string fits = "/" + std::string(qor_comm::kLocationCapacity - 2, 'x');
    ASSERT_TRUE(ParseTarget(fits.c_str(), &target));
    EXPECT_EQ(fits, target.location);
}

TEST(CommTarget, EveryStandardRateIsAccepted) {
    for (long rate : {50L,      75L,      110L,     134L,     150L,     200L,    300L,     600L,
                      1200L,    1800L,    2400L,    4800L,    9600L,    19200L,  38400L,   57600L,
                      115200L,  230400L,  460800L,  500000L,  576000L,  921600L, 1000000L, 1152000L,
                      1500000L, 2000000L, 2500000L, 3000000L, 3500000L, 4000000L}) {
        std::string text = "/dev/ttyS0?baud=" + std::to_string(rate);
        Target target;
        ASSERT_TRUE(ParseTarget(text.c_str(), &target)) << text;
        EXPECT_EQ(rate, target.baud);
    }
}

}  // namespace
