// The target text is the one place where a host's typing meets the library:
// every accepted form must come out right, every malformed one refused.
#include "comm/target.h"

#include <gtest/gtest.h>

#include <string>

#include "qor_comm.h"

namespace {

using qor::comm::LocationForm;
using qor::comm::ParseTarget;
using qor::comm::Target;

constexpr LocationForm kSerial = LocationForm::kDevicePath;
constexpr LocationForm kTcp = LocationForm::kHostAndPort;

struct GoodCase {
    const char *text;
    LocationForm form;
    const char *location;
    unsigned tcp_port;
    long baud;
    int timeout_ms;
    int recovery_ms;
    int connect_timeout_ms;
    // Ten time-outs, or one plus what 256 characters take at the rate.
    int reply_timeout_ms;
};

const GoodCase kGood[] = {
    {"/dev/ttyUSB0", kSerial, "/dev/ttyUSB0", 0, 9600, 200, 200, 4000, 2000},
    {"/dev/ttyS3?baud=115200", kSerial, "/dev/ttyS3", 0, 115200, 200, 200, 4000, 2000},
    {"/dev/ttyS3?timeout_ms=50&baud=50", kSerial, "/dev/ttyS3", 0, 50, 50, 50, 4000, 51250},
    {"/dev/ttyS3?baud=300&bytesize=7&parity=E&stopbits=2", kSerial, "/dev/ttyS3", 0, 300, 200, 200,
     4000, 9587},
    {"/dev/ttyACM0?baud=4000000&timeout_ms=1", kSerial, "/dev/ttyACM0", 0, 4000000, 1, 1, 4000, 10},
    {"/dev/serial/by-id/usb-x_y-if00-port0?timeout_ms=60000", kSerial,
     "/dev/serial/by-id/usb-x_y-if00-port0", 0, 9600, 60000, 60000, 300000, 600000},
    {"/dev/ttyS0?recovery_ms=0", kSerial, "/dev/ttyS0", 0, 9600, 200, 0, 4000, 2000},
    {"/dev/ttyS0?recovery_ms=60000&timeout_ms=10", kSerial, "/dev/ttyS0", 0, 9600, 10, 60000, 4000,
     277},
    {"/dev/ttyS0?reply_timeout_ms=1&baud=50", kSerial, "/dev/ttyS0", 0, 50, 200, 200, 4000, 1},
    {"relative:name", kSerial, "relative:name", 0, 9600, 200, 200, 4000, 2000},
    {"localhost:4001", kSerial, "localhost:4001", 0, 9600, 200, 200, 4000, 2000},
    {"socket://127.0.0.1:5000", kTcp, "127.0.0.1", 5000, 9600, 200, 200, 4000, 2000},
    {"socket://device-server.local:4001?timeout_ms=1000", kTcp, "device-server.local", 4001, 9600,
     1000, 1000, 5000, 10000},
    {"socket://h:1?connect_timeout_ms=1&recovery_ms=7", kTcp, "h", 1, 9600, 200, 7, 1, 2000},
    {"socket://h:1?reply_timeout_ms=600000&timeout_ms=5", kTcp, "h", 1, 9600, 5, 5, 4000, 600000},
    {"socket://[::1]:65535", kTcp, "::1", 65535, 9600, 200, 200, 4000, 2000},
    {"socket://[fe80::1%eth0]:1", kTcp, "fe80::1%eth0", 1, 9600, 200, 200, 4000, 2000},
    {"socket://h:007", kTcp, "h", 7, 9600, 200, 200, 4000, 2000},
};

TEST(CommTarget, AcceptedFormsComeOutRight) {
    for (const GoodCase &c : kGood) {
        SCOPED_TRACE(c.text);
        Target target;
        ASSERT_TRUE(ParseTarget(c.text, &target));
        EXPECT_EQ(c.form, target.transport->form);
        EXPECT_STREQ(c.location, target.location);
        EXPECT_EQ(c.tcp_port, target.tcp_port);
        EXPECT_EQ(c.baud, target.baud);
        EXPECT_EQ(c.timeout_ms, target.timeout_ms);
        EXPECT_EQ(c.recovery_ms, target.recovery_ms);
        EXPECT_EQ(c.connect_timeout_ms, target.connect_timeout_ms);
        EXPECT_EQ(c.reply_timeout_ms, target.reply_timeout_ms);
    }
}

// Each malformed text, and a piece of the reason the parser gives for it.
struct BadCase {
    const char *text;
    const char *reason;
};

const BadCase kBad[] = {
    {"", "empty target"},
    {" /dev/ttyS0", "begins with a blank"},
    {"?baud=9600", "no device path"},
    {"/dev/ttyS0?", "\"?\" without options"},
    {"/dev/ttyS0?baud", "option \"baud\" has no value"},
    {"/dev/ttyS0?baud=", "baud= is not a positive integer"},
    {"/dev/ttyS0?baud=12345", "baud=12345 is not a standard rate"},
    {"/dev/ttyS0?baud=12", "baud=12 is not a standard rate"},
    {"/dev/ttyS0?baud=0", "baud=0 is not a standard rate"},
    {"/dev/ttyS0?baud=+9600", "baud=+9600 is not a positive integer"},
    {"/dev/ttyS0?baud=fast", "baud=fast is not a positive integer"},
    {"/dev/ttyS0?baud=9600x", "is not a positive integer"},
    {"/dev/ttyS0?baud=9600&", "stray"},
    {"/dev/ttyS0?&baud=9600", "stray"},
    {"/dev/ttyS0?baud=9600&baud=19200", "option \"baud\" given twice"},
    {"/dev/ttyS0?timeout_ms=-1", "timeout_ms=-1 is not a whole number"},
    {"/dev/ttyS0?timeout_ms=0", "timeout_ms=0 is out of range 1..60000"},
    {"/dev/ttyS0?timeout_ms=60001", "timeout_ms=60001 is out of range 1..60000"},
    {"/dev/ttyS0?reply_timeout_ms=0", "reply_timeout_ms=0 is out of range 1..600000"},
    {"socket://h:1?reply_timeout_ms=600001", "reply_timeout_ms=600001 is out of range 1..600000"},
    {"/dev/ttyS0?timeout_ms=99999999999999999999", "is out of range 1..60000"},
    {"/dev/ttyS0?recovery_ms=60001", "recovery_ms=60001 is out of range 0..60000"},
    {"/dev/ttyS0?guard_ms=60001", "guard_ms=60001 is out of range 0..60000"},
    {"socket://h:1?guard_ms=-1", "guard_ms=-1 is not a whole number of milliseconds"},
    {"/dev/ttyS0?timeout=50",
     "unknown option \"timeout\" (a serial device takes baud, bytesize, parity, stopbits, "
     "timeout_ms, reply_timeout_ms, recovery_ms, guard_ms, rs485, rs485_delay_before_ms, "
     "rs485_delay_after_ms, "
     "low_latency, exclusive)"},
    {"/dev/ttyS0?parity=even", "parity=even is not one of N, E, O"},
    {"/dev/ttyS0?parity=e", "parity=e is not one of N, E, O"},
    {"/dev/ttyS0?parity=", "parity= is not one of N, E, O"},
    {"/dev/ttyS0?bytesize=5", "bytesize=5 is not one of 7, 8"},
    {"/dev/ttyS0?bytesize=78", "bytesize=78 is not one of 7, 8"},
    {"/dev/ttyS0?stopbits=1.5", "stopbits=1.5 is not one of 1, 2"},
    {"/dev/ttyS0?rs485=yes", "rs485=yes is not one of 0, 1"},
    {"/dev/ttyS0?low_latency=2", "low_latency=2 is not one of 0, 1"},
    {"/dev/ttyS0?exclusive=no", "exclusive=no is not one of 0, 1"},
    {"socket://h:1?exclusive=0", "option \"exclusive\" does not apply to socket://"},
    {"/dev/ttyS0?rs485_delay_before_ms=1001&rs485=1", "out of range 0..1000"},
    {"/dev/ttyS0?rs485_delay_after_ms=5", "rs485_delay_after_ms needs rs485=1"},
    {"/dev/ttyS0?rs485=0&rs485_delay_before_ms=5", "rs485_delay_before_ms needs rs485=1"},
    {"/dev/ttyS0?parity=E&parity=O", "option \"parity\" given twice"},
    {"rfc2217://h:1?rs485=1",
     "option \"rs485\" does not apply to rfc2217:// (it takes baud, bytesize, parity, stopbits, "
     "timeout_ms, reply_timeout_ms, recovery_ms, guard_ms, connect_timeout_ms)"},
    {"rfc2217://h:1?low_latency=1", "does not apply to rfc2217://"},
    {"rfc2217://h:1?baud=12345", "baud=12345 is not a standard rate"},
    {"rfc2217://h", "expected HOST:PORT"},
    {"socket://h:1?parity=E", "option \"parity\" does not apply to socket://"},
    {"/dev/ttyS0?bad=1", "unknown option \"bad\""},
    {"/dev/ttyS0?BAUD=9600", "unknown option \"BAUD\""},
    {"/dev/ttyS0?connect_timeout_ms=100", "does not apply to a serial device"},
    {"/dev/tty\nS0", "control character"},
    {"tcp://127.0.0.1:5000", "unknown scheme"},
    {"SOCKET://127.0.0.1:5000", "unknown scheme"},
    {"socket://", "expected HOST:PORT"},
    {"socket://127.0.0.1", "expected HOST:PORT"},
    {"socket://127.0.0.1:", "port \"\" is not a number 1..65535"},
    {"socket://127.0.0.1:0", "port \"0\" is not a number"},
    {"socket://127.0.0.1:65536", "port \"65536\""},
    {"socket://127.0.0.1:12x", "port \"12x\""},
    {"socket://127.0.0.1:-1", "port \"-1\""},
    {"socket://:5000", "malformed host \"\""},
    {"socket://::1:5000", "an IPv6 address goes in brackets"},
    {"socket://[::1]", "expected HOST:PORT"},
    {"socket://[::1]5000", "expected HOST:PORT"},
    {"socket://[::1:5000", "expected HOST:PORT"},
    {"socket://[]:5000", "malformed host"},
    {"socket://[localhost]:5000", "malformed host \"localhost\""},
    {"socket://host name:5000", "malformed host \"host name\""},
    {"socket://user@host:5000", "malformed host"},
    {"socket://127.0.0.1:5000/path", "port \"5000/path\""},
    {"socket://127.0.0.1:5000?baud=9600",
     "option \"baud\" does not apply to socket:// (it "
     "takes timeout_ms, reply_timeout_ms, recovery_ms, guard_ms, connect_timeout_ms)"},
    {"socket://127.0.0.1:5000?timeout_ms=", "timeout_ms= is not a whole number"},
    {"socket://h:1?connect_timeout_ms=0", "connect_timeout_ms=0 is out of range 1..60000"},
};

// The line settings and what only a local device's driver does.
struct LineCase {
    const char *text;
    LocationForm form;
    long baud;
    int byte_size;
    char parity;
    int stop_bits;
    bool rs485;
    int delay_before_ms;
    int delay_after_ms;
    bool low_latency;
};

const LineCase kLineGood[] = {
    {"/dev/ttyUSB0", kSerial, 9600, 8, 'N', 1, false, 0, 0, false},
    {"/dev/ttyUSB0?bytesize=7&parity=E&stopbits=2", kSerial, 9600, 7, 'E', 2, false, 0, 0, false},
    {"/dev/ttyUSB0?parity=O&bytesize=8&stopbits=1", kSerial, 9600, 8, 'O', 1, false, 0, 0, false},
    {"/dev/ttyUSB0?rs485=1", kSerial, 9600, 8, 'N', 1, true, 0, 0, false},
    {"/dev/ttyUSB0?rs485=1&rs485_delay_before_ms=2&rs485_delay_after_ms=1000", kSerial, 9600, 8,
     'N', 1, true, 2, 1000, false},
    {"/dev/ttyUSB0?low_latency=1&rs485=0", kSerial, 9600, 8, 'N', 1, false, 0, 0, true},
    {"rfc2217://ds:4001", kTcp, 9600, 8, 'N', 1, false, 0, 0, false},
    {"rfc2217://[::1]:4001?baud=19200&bytesize=7&parity=O&stopbits=2&connect_timeout_ms=500", kTcp,
     19200, 7, 'O', 2, false, 0, 0, false},
};

TEST(CommTarget, LineSettingsComeOutRight) {
    for (const LineCase &c : kLineGood) {
        SCOPED_TRACE(c.text);
        Target target;
        ASSERT_TRUE(ParseTarget(c.text, &target));
        EXPECT_EQ(c.form, target.transport->form);
        EXPECT_EQ(c.baud, target.baud);
        EXPECT_EQ(c.byte_size, target.byte_size);
        EXPECT_EQ(c.parity, target.parity);
        EXPECT_EQ(c.stop_bits, target.stop_bits);
        EXPECT_EQ(c.rs485, target.rs485);
        EXPECT_EQ(c.delay_before_ms, target.rs485_delay_before_ms);
        EXPECT_EQ(c.delay_after_ms, target.rs485_delay_after_ms);
        EXPECT_EQ(c.low_latency, target.low_latency);
    }
}

TEST(CommTarget, MalformedTextIsRefusedWithItsReason) {
    for (const BadCase &c : kBad) {
        SCOPED_TRACE(c.text);
        Target target;
        char why[256] = "unchanged";
        EXPECT_FALSE(ParseTarget(c.text, &target, why, sizeof why));
        EXPECT_NE(std::string(why).find(c.reason), std::string::npos) << why;
    }
    Target target;
    EXPECT_FALSE(ParseTarget(nullptr, &target));
}

// The public check is the same parser: the same verdicts and reasons, cut
// to the caller's buffer, and nothing opened.
TEST(CommTarget, ThePublicCheckJudgesAsTheParserDoes) {
    for (const GoodCase &c : kGood) {
        char why[64] = "unchanged";
        EXPECT_EQ(1, QOR_CheckTarget(c.text, why, sizeof why)) << c.text << ": " << why;
        EXPECT_STREQ("", why);
    }
    for (const BadCase &c : kBad) {
        char why[256] = "unchanged";
        EXPECT_EQ(0, QOR_CheckTarget(c.text, why, sizeof why)) << c.text;
        EXPECT_NE(std::string(why).find(c.reason), std::string::npos) << why;
    }
    char small[6] = "xxxxx";
    EXPECT_EQ(0, QOR_CheckTarget("", small, sizeof small));
    EXPECT_STREQ("empty", small);
    EXPECT_EQ(0, QOR_CheckTarget(nullptr, nullptr, 0));
    EXPECT_EQ(1, QOR_CheckTarget("socket://127.0.0.1:1", nullptr, 0));
}

TEST(CommTarget, HostAndPortWithoutSchemeIsRecognised) {
    for (const char *text : {"localhost:4001", "10.0.0.7:4001", "[::1]:4001", "dev-srv:1"}) {
        EXPECT_TRUE(qor::comm::LooksLikeHostAndPort(text)) << text;
    }
    for (const char *text :
         {"/dev/ttyS0", "relative:name", "COM3", "host:0", "a/b:4001", "C:\\x:1", "host:4001:2"}) {
        EXPECT_FALSE(qor::comm::LooksLikeHostAndPort(text)) << text;
    }
}

TEST(CommTarget, OverlongTextIsRefusedNotTruncated) {
    std::string text = "/dev/ttyS0?" + std::string(qor::comm::kTargetTextCapacity, 'x');
    Target target;
    char why[256] = {};
    EXPECT_FALSE(ParseTarget(text.c_str(), &target, why, sizeof why));
    EXPECT_STREQ("longer than 511 characters", why);
}

TEST(CommTarget, OverlongLocationIsRefusedNotTruncated) {
    std::string path = "/dev/" + std::string(qor::comm::kLocationCapacity, 'x');
    Target target;
    EXPECT_FALSE(ParseTarget(path.c_str(), &target));
    std::string host = "socket://" + std::string(qor::comm::kLocationCapacity, 'h') + ":1";
    EXPECT_FALSE(ParseTarget(host.c_str(), &target));
    std::string fits = "/" + std::string(qor::comm::kLocationCapacity - 2, 'x');
    ASSERT_TRUE(ParseTarget(fits.c_str(), &target));
    EXPECT_EQ(fits, target.location);
}

TEST(CommTarget, EveryStandardRateIsAccepted) {
    for (long rate : qor::comm::kStandardBauds) {
        std::string text = "/dev/ttyS0?baud=" + std::to_string(rate);
        Target target;
        ASSERT_TRUE(ParseTarget(text.c_str(), &target)) << text;
        EXPECT_EQ(rate, target.baud);
    }
}

}  // namespace
