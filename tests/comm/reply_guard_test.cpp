// The checks at a reply's end, against a port's state alone: the guard each
// kind of link gets, and replies that came sooner than the wire allows.
#include "comm/reply_guard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comm/port_table.h"
#include "comm/target.h"

namespace {

using namespace qor::comm;

struct GuardCase {
    const char *target;
    bool pseudo_terminal;
    int guard_ms;  // while wary
};

// 20 ms, plus four character times where the rate is known (at 9600 baud
// 8N1 a character takes 1.04 ms); guard_ms replaces the whole.
TEST(ReplyGuard, GuardFollowsTheLinesRateOrGuardMs) {
    int number = 9100;
    for (const GuardCase &c :
         {GuardCase{"/dev/ttyS0", false, 25}, GuardCase{"/dev/ttyS0?baud=115200", false, 21},
          GuardCase{"/dev/ttyS0?baud=300&parity=E", false, 167}, GuardCase{"/dev/pts/3", true, 20},
          GuardCase{"rfc2217://127.0.0.1:1?baud=9600", false, 25},
          GuardCase{"socket://127.0.0.1:1", false, 20},
          GuardCase{"/dev/ttyS0?guard_ms=7", false, 7},
          GuardCase{"socket://127.0.0.1:1?guard_ms=0", false, 0}}) {
        SCOPED_TRACE(c.target);
        PortCall call(number++, Claim::kYes);
        Port &port = *call.PortState();
        ASSERT_TRUE(ParseTarget(c.target, &port.target));
        NoteOpened(port, c.pseudo_terminal);
        EXPECT_EQ(0, port.lateness.guard_ms.load()) << "a link starts calm";
        NoteExchangeFailed(call);
        EXPECT_EQ(c.guard_ms, port.lateness.guard_ms.load());
        EXPECT_EQ(port.target.recovery_ms, port.lateness.quiet_ms.load());
    }
}

struct WireCase {
    const char *target;
    bool pseudo_terminal;
    int took_ms;  // from the frame to the reply's CR
    bool taken;
};

// "$1RD" CR and "*+00072.10" CR: 16 characters, 16.7 ms at 9600 baud and
// 1.4 ms at 115200. Only a serial line this host drives is held to it.
TEST(ReplyGuard, ReplySoonerThanTheWireCarriesItIsRefused) {
    int number = 9200;
    for (const WireCase &c :
         {WireCase{"/dev/ttyS0", false, 1, false}, WireCase{"/dev/ttyS0", false, 14, false},
          WireCase{"/dev/ttyS0", false, 17, true},
          WireCase{"/dev/ttyS0?baud=115200", false, 2, true}, WireCase{"/dev/pts/3", true, 0, true},
          WireCase{"rfc2217://127.0.0.1:1", false, 0, true},
          WireCase{"socket://127.0.0.1:1", false, 0, true}}) {
        SCOPED_TRACE(std::string(c.target) + " after " + std::to_string(c.took_ms) + " ms");
        PortCall call(number++, Claim::kYes);
        Port &port = *call.PortState();
        ASSERT_TRUE(ParseTarget(c.target, &port.target));
        NoteOpened(port, c.pseudo_terminal);
        NoteFrameSent(port, 5);
        port.lateness.frame_sent_ns -= static_cast<std::int64_t>(c.took_ms) * 1000000;
        for (char ch : std::string("$1RD\r*+00072.10\r").substr(5)) {
            NoteReplyByte(port, static_cast<unsigned char>(ch));
        }
        char why[160] = "";
        EXPECT_EQ(c.taken, AcceptReplyEnd(call, why, sizeof why));
        if (!c.taken) {
            EXPECT_NE(nullptr, std::strstr(why, "sooner than the line carries both")) << why;
        }
    }
}

// The CR of an echoed frame or of noise ends no reply: nothing is checked.
TEST(ReplyGuard, CarriageReturnOutsideAReplyIsNotChecked) {
    PortCall call(9300, Claim::kYes);
    Port &port = *call.PortState();
    ASSERT_TRUE(ParseTarget("/dev/ttyS0", &port.target));
    NoteOpened(port, false);
    NoteFrameSent(port, 5);
    for (char ch : std::string("$1RD\r")) {
        NoteReplyByte(port, static_cast<unsigned char>(ch));
    }
    char why[160] = "";
    EXPECT_TRUE(AcceptReplyEnd(call, why, sizeof why));
}

}  // namespace
