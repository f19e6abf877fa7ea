// The rfc2217:// transport against a com port server played by this test on
// 127.0.0.1: the negotiation and its failures, the line settings as they
// go on the wire, IAC doubled both ways, negotiation in the middle of data,
// the purge of a device server's buffer, and the trace showing the payload.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

using namespace qor::test;

constexpr int kPort = 8;
const std::string kIac = "\xFF";
const std::string kDont = kIac + "\xFE";
const std::string kWont = kIac + "\xFC";
const std::string kDo = kIac + "\xFD";
const std::string kWill = kIac + "\xFB";
const std::string kComPort = ",";  // option 44

class Rfc2217Link : public ::testing::Test {
  protected:
    void TearDown() override {
        QOR_ClosePort(kPort);
        if (server_ >= 0) {
            close(server_);
        }
    }
    std::string Target(const std::string &settings) const {
        return "rfc2217://127.0.0.1:" + std::to_string(listener_.Port()) + settings;
    }
    // Opens the port while the server plays its part; returns what the
    // open returned.
    int Open(const std::string &settings, const ComPortScript &script = {}) {
        auto server = std::async(std::launch::async, [this, script] {
            return PlayComPortServer(&listener_, script, &heard_);
        });
        int opened = QOR_OpenPort(kPort, Target(settings).c_str());
        code_ = errno;
        server_ = server.get();
        return opened;
    }
    std::string PortError() const {
        char text[512];
        QOR_PortError(kPort, text, sizeof text);
        return text;
    }

    TcpListener listener_;
    int server_ = -1;
    int code_ = 0;
    std::string heard_;
};

TEST_F(Rfc2217Link, OpenAsksForTheOptionAndSetsTheLine) {
    ASSERT_EQ(1, Open("?baud=19200&bytesize=7&parity=E&stopbits=2&timeout_ms=500"));
    // The com port option first, then the line, then a purge of what the
    // server kept; no modem-line control (SET-CONTROL, 5) at all.
    EXPECT_EQ(0u, heard_.find(kWill + kComPort));
    using Request = std::pair<int, std::string>;
    EXPECT_EQ(heard_.find('\x05'), std::string::npos);
    EXPECT_EQ(ComPortRequests(heard_), (std::vector<Request>{{1, std::string("\0\0\x4B\0", 4)},
                                                             {2, "\x07"},
                                                             {3, "\x03"},
                                                             {4, "\x02"},
                                                             {12, "\x01"}}));
    // Asked for an option it does not know (terminal type, 24), the client
    // declines; offered echo, it declines too.
    EXPECT_NE(heard_.find(kWont + "\x18"), std::string::npos);
    EXPECT_NE(heard_.find(kDont + "\x01"), std::string::npos);
}

TEST_F(Rfc2217Link, DefaultsAre9600And8N1) {
    ASSERT_EQ(1, Open(""));
    EXPECT_EQ(ComPortRequests(heard_).size(), 5u);
    EXPECT_EQ(ComPortRequests(heard_)[0].second, std::string("\0\0\x25\x80", 4));
    EXPECT_EQ(ComPortRequests(heard_)[1].second, "\x08");
    EXPECT_EQ(ComPortRequests(heard_)[2].second, "\x01");
    EXPECT_EQ(ComPortRequests(heard_)[3].second, "\x01");
}

// Each way a server can fail the negotiation, its text and errno.
TEST_F(Rfc2217Link, RefusedOrIgnoredSettingsFailTheOpenWithTheirReason) {
    struct Case {
        const char *what;
        ComPortScript script;
        int code;
        const char *text;
    };
    const Case cases[] = {
        {"refused option",
         {true, false, 0, ""},
         EPROTONOSUPPORT,
         ": the server refused the com port option (RFC 2217); a raw TCP port takes socket://"},
        {"ignored parity",
         {false, false, 3, ""},
         ETIMEDOUT,
         ": the server did not acknowledge parity=E (SET-PARITY) within 300 ms"},
        {"other rate",
         {false, false, 0, std::string("\0\0\x25\x80", 4)},
         EINVAL,
         ": the server refused baud=19200: it answered SET-BAUDRATE with baud=9600"},
        {"hung up", {false, true, 0, ""}, ECONNRESET, ": closed by the other end"},
        // Each setting is checked on its own, whatever the others did.
        {"ignored rate",
         {false, false, 1, ""},
         ETIMEDOUT,
         ": the server did not acknowledge baud=19200 (SET-BAUDRATE) within 300 ms"},
        {"ignored data bits",
         {false, false, 2, ""},
         ETIMEDOUT,
         ": the server did not acknowledge bytesize=7 (SET-DATASIZE) within 300 ms"},
        {"ignored stop bits",
         {false, false, 4, ""},
         ETIMEDOUT,
         ": the server did not acknowledge stopbits=2 (SET-STOPSIZE) within 300 ms"},
        {"other data bits",
         {false, false, 0, "\x08", 2},
         EINVAL,
         ": the server refused bytesize=7: it answered SET-DATASIZE with bytesize=8"},
        {"other parity",
         {false, false, 0, "\x01", 3},
         EINVAL,
         ": the server refused parity=E: it answered SET-PARITY with parity=N"},
        {"other stop bits",
         {false, false, 0, "\x01", 4},
         EINVAL,
         ": the server refused stopbits=2: it answered SET-STOPSIZE with stopbits=1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        long long start = NowMs();
        EXPECT_EQ(
            0, Open("?baud=19200&bytesize=7&parity=E&stopbits=2&connect_timeout_ms=300", c.script));
        EXPECT_LT(NowMs() - start, 2000);
        EXPECT_EQ(c.code, code_) << strerror(code_);
        EXPECT_EQ(PortError(), "cannot connect to " + Target("") + c.text);
        QOR_ClosePort(kPort);
        if (server_ >= 0) {
            close(server_);
            server_ = -1;
        }
    }
}

// A raw TCP port (or any server that takes the connection and says
// nothing) fails within the connect time-out, with a hint.
TEST_F(Rfc2217Link, SilentServerFailsWithinTheConnectTimeOut) {
    long long start = NowMs();
    EXPECT_EQ(0, QOR_OpenPort(kPort, Target("?connect_timeout_ms=300").c_str()));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_GE(NowMs() - start, 290);
    EXPECT_LT(NowMs() - start, 2000);
    EXPECT_EQ(PortError(), "cannot connect to " + Target("") +
                               ": no answer to the com port option (RFC 2217) within 300 ms; a "
                               "raw TCP port takes socket://");
}

// An open whose time runs out while it still has something to send the
// server (right after the connect, or with an answer to the server's
// negotiation) says what it was waiting for: no wait of "0 ms" is reported
// as a server that took nothing. A 1 ms open to this host's own listener
// ends in the connect, the com port option's answer, or that write, each
// on some of the tries.
TEST_F(Rfc2217Link, OpenThatRunsOutOfTimeNeverReportsAZeroWait) {
    const std::regex known(
        "cannot connect to rfc2217://127\\.0\\.0\\.1:[0-9]+: ("
        "connect timed out after 1 ms|"
        "no answer to the com port option \\(RFC 2217\\) within 1 ms; a raw "
        "TCP port takes socket://)");
    for (int attempt = 0; attempt < 300; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_EQ(0, QOR_OpenPort(kPort, Target("?connect_timeout_ms=1").c_str()));
        const std::string error = PortError();
        ASSERT_TRUE(std::regex_match(error, known)) << error;
        int accepted = listener_.Accept(0);
        if (accepted >= 0) {
            close(accepted);
        }
    }
}

// A server that never reads and keeps asking for an option (DO terminal
// type), each of which the client must refuse: the client's answers pile up
// until its writes stall. Until `until_ms` or the client is gone.
void Flood(int server, long long until_ms) {
    std::string requests;
    for (int i = 0; i < 1000; ++i) {
        requests += kDo + "\x18";
    }
    while (NowMs() < until_ms) {
        pollfd entry{server, POLLOUT, 0};
        if (poll(&entry, 1, 50) == 1 &&
            send(server, requests.data(), requests.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN) {
            return;
        }
    }
}

// The open's writes end at its deadline like its reads, and a server that
// took nothing is reported as such, not as one that closed.
TEST_F(Rfc2217Link, ServerThatStopsReadingFailsTheOpenAtItsDeadline) {
    listener_.ShrinkReceiveBuffer();
    auto server = std::async(std::launch::async, [this] {
        int fd = listener_.Accept();
        Flood(fd, NowMs() + 15000);
        return fd;
    });
    // The client's answers fill its buffers in well under a second; the
    // open's 4 s leave room for a busy machine.
    long long start = NowMs();
    EXPECT_EQ(0, QOR_OpenPort(kPort, Target("?timeout_ms=60000&connect_timeout_ms=4000").c_str()));
    long long took = NowMs() - start;
    code_ = errno;
    server_ = server.get();
    EXPECT_EQ(ETIMEDOUT, code_) << strerror(code_);
    EXPECT_GE(took, 3990);
    EXPECT_LT(took, 12000) << "4 s, and much for a busy machine; not the 60 s time-out";
    const std::string error = PortError();
    // Reported against the open's time: the stalled write itself waits only
    // what was left of it, which may be nothing.
    EXPECT_TRUE(
        std::regex_match(error, std::regex("cannot connect to rfc2217://127\\.0\\.0\\.1:[0-9]+: "
                                           "write timed out: the server took nothing more "
                                           "within the open's 4000 ms \\(connect_timeout_ms\\)")))
        << error;
}

// After a good open, answers to the server's negotiation that stall are a
// stalled write, not a link lost while reading.
TEST_F(Rfc2217Link, ServerThatStopsReadingLaterIsAStalledWrite) {
    listener_.ShrinkReceiveBuffer();
    ASSERT_EQ(1, Open("?timeout_ms=300"));
    auto flood = std::async(std::launch::async, [this] { Flood(server_, NowMs() + 20000); });
    for (int read = 0; read < 60 && PortError().empty(); ++read) {
        EXPECT_EQ(-1, QOR_ReadByte(kPort));
    }
    EXPECT_EQ("link to " + Target("") +
                  " lost while writing: write timed out: the server took "
                  "nothing for 300 ms",
              PortError());
    shutdown(server_, SHUT_RDWR);
    flood.get();
}

TEST_F(Rfc2217Link, EveryByteValuePassesBothWaysWithIacDoubledOnTheWire) {
    ASSERT_EQ(1, Open("?timeout_ms=500"));
    // The frame leaves in one piece, its IACs doubled.
    ASSERT_TRUE(SendFrame(kPort, "\xFF$1RD\xFF\r"));
    EXPECT_EQ("\xFF\xFF$1RD\xFF\xFF\r", ReadOnce(server_));
    // The reply holds every byte value, with negotiation and a server's
    // notice in the middle and a doubled IAC split between two sends.
    std::string reply;
    for (int value = 0; value < 256; ++value) {
        reply += static_cast<char>(value);
    }
    std::string wire = reply.substr(0, 100) + kDo + "\x63" + ComPortAnswer('\x6B', "\x30") + kIac +
                       "\xF1" + reply.substr(100, 155) + kIac;
    WriteAll(server_, wire);
    ASSERT_TRUE(WaitDelivered(server_));
    WriteAll(server_, kIac);
    for (int value = 0; value < 256; ++value) {
        ASSERT_EQ(value, QOR_ReadByte(kPort)) << "at index " << value;
    }
    EXPECT_EQ(kWont + "\x63", ReadOnce(server_));
}

TEST_F(Rfc2217Link, StaleInputIsPurgedAtTheServerAndAGoodExchangeCostsNothing) {
    ASSERT_EQ(1, Open("?timeout_ms=500"));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    EXPECT_EQ("$1RD\r", ReadOnce(server_));
    WriteAll(server_, "*+00001.00\r");
    EXPECT_EQ("*+00001.00\r", ReceiveReply(kPort));
    ASSERT_TRUE(SendFrame(kPort, "$1WE\r"));
    EXPECT_EQ("$1WE\r", ReadOnce(server_));
    WriteAll(server_, "*\r");  // never read by the host
    ASSERT_TRUE(WaitDelivered(server_));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    EXPECT_EQ(ComPortAnswer('\x0C', "\x01") + "$1RD\r", ReadBytes(server_, 12));
}

TEST_F(Rfc2217Link, TraceShowsThePayloadNotTheEscapes) {
    ASSERT_EQ(1, Open("?timeout_ms=500"));
    static std::vector<std::string> events;
    events.clear();
    QOR_SetTrace(
        [](const QOR_TraceEvent *event, void *) {
            if (event->bytes != nullptr) {
                events.emplace_back(reinterpret_cast<const char *>(event->bytes),
                                    static_cast<std::size_t>(event->count));
            }
        },
        nullptr);
    ASSERT_TRUE(SendFrame(kPort, "$1\xFFRD\r"));
    EXPECT_EQ("$1\xFF\xFFRD\r", ReadOnce(server_));
    WriteAll(server_, "*\xFF\xFF" + kDo + "\x03\r");
    EXPECT_EQ("*\xFF\r", ReceiveReply(kPort));
    QOR_SetTrace(nullptr, nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"$1\xFFRD\r", "*\xFF\r"}));
}

TEST_F(Rfc2217Link, ServerGoneIsNoticedAndTheNextFrameNegotiatesAfresh) {
    ASSERT_EQ(1, Open("?timeout_ms=200&baud=2400"));
    CloseAcknowledged(server_);
    server_ = -1;
    std::string heard;
    auto server = std::async(std::launch::async, [this, &heard] {
        return PlayComPortServer(&listener_, ComPortScript{}, &heard);
    });
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    server_ = server.get();
    ASSERT_GE(server_, 0);
    ASSERT_EQ(ComPortRequests(heard).size(), 5u);
    EXPECT_EQ(ComPortRequests(heard)[0].second, std::string("\0\0\x09\x60", 4));
    EXPECT_EQ("$1RD\r", ReadLine(server_));
}

}  // namespace
