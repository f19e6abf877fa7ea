// The real libraries end to end: libqor_dll over libqor_comm, on a
// pseudo-terminal and on TCP, against a real qor-sim process; where the
// build found ser2net, also through that device server in front of the
// simulator's pseudo-terminal, raw (socket://) and with the com port option
// (rfc2217://).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qor_comm.h"
#include "qor_dll.h"
#include "sim/sim_process.h"
#if defined(QOR_SER2NET_PATH)
#include "tests/e2e/ser2net_process.h"
#endif

namespace {

using qor::test::NowMs;
using qor::test::SimProcess;

const int kM = '1';  // the simulated module's address

// kRaw and kRfc2217: a device server (ser2net) in front of the simulator's
// pseudo-terminal, with the accepter of that kind.
enum class Transport { kPty, kTcp, kRaw, kRfc2217 };

std::string TargetFor(const SimProcess &sim, Transport transport, const std::string &options) {
    std::string base = transport == Transport::kTcp ? "socket://" + sim.Where() : sim.Where();
    return options.empty() ? base : base + "?" + options;
}

std::vector<std::string> ServeArguments(Transport transport, std::vector<std::string> more) {
    std::vector<std::string> args{transport == Transport::kTcp ? "--listen" : "--pty"};
    if (transport == Transport::kTcp) {
        args.push_back("127.0.0.1:0");
    }
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

class Families : public ::testing::TestWithParam<std::tuple<Transport, bool>> {
  protected:
    void SetUp() override {
        transport_ = std::get<0>(GetParam());
        checksum_ = std::get<1>(GetParam());
        sim_ = std::make_unique<SimProcess>(ServeArguments(transport_, {"--steady"}));
        ASSERT_FALSE(sim_->Where().empty()) << "the simulator did not start";
        std::string target = TargetFor(*sim_, transport_, "");
#if defined(QOR_SER2NET_PATH)
        if (transport_ == Transport::kRaw || transport_ == Transport::kRfc2217) {
            using qor::test::Accepter;
            server_ = std::make_unique<qor::test::Ser2net>(std::vector<qor::test::Ser2netPort>{
                {transport_ == Transport::kRaw ? Accepter::kRaw : Accepter::kRfc2217,
                 sim_->Where()}});
            ASSERT_TRUE(server_->Running()) << server_->Log();
            target = server_->Target(0, transport_ == Transport::kRfc2217 ? "?baud=19200" : "");
        }
#endif
        ASSERT_EQ(QOR_OpenPort(port_, target.c_str()), 1) << target;
        QOR_EnableCmdChecksum(checksum_);
#if defined(QOR_SER2NET_PATH)
        if (server_ != nullptr) {
            // ser2net opens its line when the link connects: the first
            // answer is waited for, as a busy machine may not give it within
            // a time-out. (RH changes nothing the tests count.)
            int mode = -7;
            status_ = -7;
            for (long long end = qor::test::NowMs() + 20000;
                 status_ != 0 && qor::test::NowMs() < end;) {
                QOR_RH(port_, kM, &mode, &status_, &error_);
            }
            ASSERT_EQ(status_, 0) << "no answer through ser2net";
            status_ = error_ = -7;
        }
#endif
    }
    void TearDown() override {
        QOR_EnableCmdChecksum(0);
        QOR_ClosePort(port_);
    }
    void ExpectOk(const char *what) const {
        EXPECT_EQ(status_, 0) << what << " error " << error_;
        EXPECT_EQ(error_, 0) << what;
    }

    Transport transport_;
    bool checksum_;
    std::unique_ptr<SimProcess> sim_;
#if defined(QOR_SER2NET_PATH)
    std::unique_ptr<qor::test::Ser2net> server_;
#endif
    int port_ = 41;
    int status_ = -7, error_ = -7;
};

TEST_P(Families, ValueQueries) {
    EXPECT_FLOAT_EQ(QOR_RD(port_, kM, &status_, &error_), 72.1f);
    ExpectOk("RD");
    float fresh = QOR_ND(port_, kM, &status_, &error_);
    ExpectOk("ND");
    EXPECT_TRUE(std::isfinite(fresh));
    QOR_RZ(port_, kM, &status_, &error_);
    ExpectOk("RZ");
    int mode = -7;
    QOR_RH(port_, kM, &mode, &status_, &error_);
    ExpectOk("RH");
    EXPECT_NE(mode, -1);
    mode = -7;
    QOR_RL(port_, kM, &mode, &status_, &error_);
    ExpectOk("RL");
    EXPECT_NE(mode, -1);
    // The module counts its readings: RD and ND so far.
    EXPECT_EQ(QOR_RE(port_, kM, &status_, &error_), 2);
    ExpectOk("RE");
    EXPECT_EQ(QOR_EC(port_, kM, &status_, &error_), 2);
    ExpectOk("EC");
    EXPECT_EQ(QOR_RE(port_, kM, &status_, &error_), 0) << "EC did not clear the counter";
    ExpectOk("RE after EC");
}

TEST_P(Families, CommandsAfterWriteEnable) {
    EXPECT_EQ(QOR_HI(port_, kM, QOR_MODE_LATCHING, 123.45f, &status_, &error_), 0);
    ExpectOk("HI");
    int mode = -7;
    EXPECT_FLOAT_EQ(QOR_RH(port_, kM, &mode, &status_, &error_), 123.45f);
    EXPECT_EQ(mode, QOR_MODE_LATCHING);
    EXPECT_EQ(QOR_LO(port_, kM, QOR_MODE_MOMENTARY, -12.5f, &status_, &error_), 0);
    EXPECT_FLOAT_EQ(QOR_RL(port_, kM, &mode, &status_, &error_), -12.5f);
    EXPECT_EQ(mode, QOR_MODE_MOMENTARY);
    // No letter: the module keeps the mode it had.
    EXPECT_EQ(QOR_HI(port_, kM, QOR_MODE_NO_LETTER, 150.0f, &status_, &error_), 0);
    EXPECT_FLOAT_EQ(QOR_RH(port_, kM, &mode, &status_, &error_), 150.0f);
    EXPECT_EQ(mode, QOR_MODE_LATCHING);
    for (auto command : {QOR_CA, QOR_CE, QOR_CZ, QOR_DA, QOR_EA, QOR_RR}) {
        EXPECT_EQ(command(port_, kM, &status_, &error_), 0);
        ExpectOk("after WE");
    }
    for (auto command : {QOR_SP, QOR_TS, QOR_TZ}) {
        EXPECT_EQ(command(port_, kM, 1.25f, &status_, &error_), 0);
        ExpectOk("value after WE");
    }
}

TEST_P(Families, BitsBytesAndAnalogOutput) {
    EXPECT_EQ(QOR_AO(port_, kM, 72.1f, &status_, &error_), 0);
    ExpectOk("AO");
    EXPECT_EQ(QOR_DO(port_, kM, 0x0F, 0xA5, 2, &status_, &error_), 0);
    ExpectOk("DO");
    QOR_DI(port_, kM, 2, 1, 0, &status_, &error_);
    ExpectOk("DI");
    EXPECT_EQ(QOR_SB(port_, kM, 40, &status_, &error_), 0);
    EXPECT_EQ(QOR_RB(port_, kM, 40, &status_, &error_), 1);
    ExpectOk("RB");
    EXPECT_EQ(QOR_CB(port_, kM, 40, &status_, &error_), 0);
    EXPECT_EQ(QOR_RB(port_, kM, 40, &status_, &error_), 0);
    ExpectOk("RB after CB");
}

TEST_P(Families, ModuleErrorsAndUnframableArguments) {
    // Another address on the same link stays silent.
    EXPECT_EQ(QOR_RD(port_, '9', &status_, &error_), 0.0f);
    EXPECT_EQ(status_, 100);
    EXPECT_EQ(error_, 1);
    EXPECT_EQ(QOR_SP(port_, kM, 1e6f, &status_, &error_), 200);
    EXPECT_EQ(error_, 3);
    // The module still answers: the refused call sent nothing.
    EXPECT_FLOAT_EQ(QOR_RD(port_, kM, &status_, &error_), 72.1f);
}

const char *TransportName(Transport transport) {
    switch (transport) {
        case Transport::kPty:
            return "Pty";
        case Transport::kTcp:
            return "Tcp";
        case Transport::kRaw:
            return "DeviceServerRaw";
        default:
            return "DeviceServerRfc2217";
    }
}

INSTANTIATE_TEST_SUITE_P(Links, Families,
                         ::testing::Combine(::testing::Values(Transport::kPty, Transport::kTcp
#if defined(QOR_SER2NET_PATH)
                                                              ,
                                                              Transport::kRaw, Transport::kRfc2217
#endif
                                                              ),
                                            ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(TransportName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) ? "WithChecksum" : "");
                         });

class Faults : public ::testing::TestWithParam<Transport> {
  protected:
    void Start(std::vector<std::string> more, const std::string &options = "timeout_ms=100") {
        sim_ = std::make_unique<SimProcess>(ServeArguments(GetParam(), more));
        ASSERT_FALSE(sim_->Where().empty());
        ASSERT_EQ(QOR_OpenPort(port_, TargetFor(*sim_, GetParam(), options).c_str()), 1);
    }
    void TearDown() override { QOR_ClosePort(port_); }

    std::unique_ptr<SimProcess> sim_;
    int port_ = 42;
    int status_ = -7, error_ = -7;
};

TEST_P(Faults, SilentModuleEndsWithinTheTimeOut) {
    Start({"--silent"});
    long long start = NowMs();
    EXPECT_EQ(QOR_RD(port_, kM, &status_, &error_), 0.0f);
    long long took = NowMs() - start;
    EXPECT_EQ(status_, 100);
    EXPECT_EQ(error_, 1);
    EXPECT_GE(took, 90);
    EXPECT_LT(took, 2000) << "a silent module must not hold the call";
}

TEST_P(Faults, LateReplyIsNotTakenForTheNextOne) {
    // Every reply comes 300 ms late, after the 100 ms time-out.
    Start({"--steady", "--delay-ms", "300"});
    QOR_RD(port_, kM, &status_, &error_);
    ASSERT_EQ(status_, 100);
    qor::test::SleepMs(450);  // the late "*+00072.10" is now waiting on the link
    int count = QOR_RE(port_, kM, &status_, &error_);
    EXPECT_EQ(status_, 100) << "the late reply to RD was taken as the count " << count;
    EXPECT_EQ(count, 0);
}

TEST_P(Faults, ReplyWithinTheRecoveryPeriodIsNeverTakenForAnother) {
    // Every reply comes 150 ms late, after the 100 ms time-out: no call
    // takes the reply to the call before it (the three replies differ:
    // 72.10, 100.00 L, and the count of readings the module gave, one RD a
    // round). A call fails as a time-out, or, on
    // a machine so busy that its wait ends only after its own reply came,
    // takes that reply; what it never does is pass on another's. (The
    // recovery period is longer than the default, so that a slow machine
    // cannot push a reply past it.)
    Start({"--steady", "--delay-ms", "150"}, "timeout_ms=100&recovery_ms=600");
    auto expect_own = [&](double value, double own, const char *what) {
        if (status_ == 0) {
            EXPECT_EQ(value, own) << what << " took another call's reply";
        } else {
            EXPECT_EQ(status_, 100) << what;
            EXPECT_EQ(value, 0.0) << what;
        }
    };
    for (int round = 0; round < 2; ++round) {
        int mode = -7;
        expect_own(QOR_RD(port_, kM, &status_, &error_), 72.1f, "RD");
        expect_own(QOR_RH(port_, kM, &mode, &status_, &error_), 100.0f, "RH");
        expect_own(QOR_RE(port_, kM, &status_, &error_), round + 1, "RE");
    }
}

TEST_P(Faults, GarbageBeforeTheReplyIsSkipped) {
    Start({"--steady", "--garbage=#~\\r\\x01"});
    EXPECT_FLOAT_EQ(QOR_RD(port_, kM, &status_, &error_), 72.1f);
    EXPECT_EQ(status_, 0);
}

TEST_P(Faults, TruncatedReplyIsNoReply) {
    Start({"--steady", "--truncate"});
    EXPECT_EQ(QOR_RD(port_, kM, &status_, &error_), 0.0f);
    EXPECT_EQ(status_, 100);
    EXPECT_EQ(error_, 1);
}

TEST_P(Faults, OverlongReplyIsNoReplyAndTheNextReplyIsClean) {
    Start({"--steady", "--overlong", "80"}, "timeout_ms=200");
    EXPECT_EQ(QOR_RD(port_, kM, &status_, &error_), 0.0f);
    EXPECT_EQ(status_, 100);
    EXPECT_EQ(error_, 1);
}

TEST_P(Faults, AcceptedReplyWithoutNumberIsNoReading) {
    Start({"--steady", "--no-number"});
    int mode = -7;
    EXPECT_EQ(QOR_RD(port_, kM, &status_, &error_), 0.0f);
    EXPECT_EQ(status_, 200);
    EXPECT_EQ(error_, 2);
    EXPECT_EQ(QOR_RL(port_, kM, &mode, &status_, &error_), 0.0f);
    EXPECT_EQ(status_, 200);
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(QOR_EC(port_, kM, &status_, &error_), 0);
    EXPECT_EQ(status_, 200);
    EXPECT_EQ(error_, 2);
    // Commands without a number in their reply are untouched.
    EXPECT_EQ(QOR_CZ(port_, kM, &status_, &error_), 0);
    EXPECT_EQ(error_, 0);
}

// The most input bytes a short DI reply carries, and one more.
TEST_P(Faults, InputsUpToTheLargestByteCount) {
    Start({"--steady", "--di-bytes", "24"});
    // Input byte k above 2 holds k: byte 24 is 0x18.
    EXPECT_EQ(QOR_DI(port_, kM, 24, 24, 3, &status_, &error_), 1);
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(QOR_DI(port_, kM, 24, 24, 2, &status_, &error_), 0);
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(QOR_DI(port_, kM, 25, 24, 3, &status_, &error_), 0);
    EXPECT_EQ(status_, 200);
    EXPECT_EQ(error_, 3);
}

TEST_P(Faults, SeveralModulesShareTheLink) {
    Start({"--steady", "--address", "1", "--address", "B"});
    EXPECT_FLOAT_EQ(QOR_RD(port_, '1', &status_, &error_), 72.1f);
    EXPECT_EQ(status_, 0);
    EXPECT_FLOAT_EQ(QOR_RD(port_, 'B', &status_, &error_), 72.1f);
    EXPECT_EQ(status_, 0);
    QOR_RD(port_, '2', &status_, &error_);
    EXPECT_EQ(status_, 100);
}

INSTANTIATE_TEST_SUITE_P(Links, Faults, ::testing::Values(Transport::kPty, Transport::kTcp),
                         [](const auto &info) {
                             return std::string(info.param == Transport::kPty ? "Pty" : "Tcp");
                         });

TEST(Recovery, DeviceServerGoneAndBackIsReconnected) {
    auto sim = std::make_unique<SimProcess>(ServeArguments(Transport::kTcp, {"--steady"}));
    std::string address = sim->Where();
    ASSERT_FALSE(address.empty());
    const int port = 43;
    ASSERT_EQ(QOR_OpenPort(port, ("socket://" + address + "?timeout_ms=100").c_str()), 1);
    int status;
    int error;
    EXPECT_FLOAT_EQ(QOR_RD(port, kM, &status, &error), 72.1f);

    sim->Stop();
    long long start = NowMs();
    QOR_RD(port, kM, &status, &error);
    EXPECT_NE(status, 0);
    QOR_RD(port, kM, &status, &error);
    EXPECT_NE(status, 0);
    EXPECT_LT(NowMs() - start, 3000) << "a vanished peer must fail fast";

    sim = std::make_unique<SimProcess>(std::vector<std::string>{"--listen", address, "--steady"});
    ASSERT_EQ(sim->Where(), address);
    float value = 0;
    for (int attempt = 0; attempt < 20 && status != 0; ++attempt) {
        value = QOR_RD(port, kM, &status, &error);
    }
    EXPECT_EQ(status, 0) << "never reconnected";
    EXPECT_FLOAT_EQ(value, 72.1f);
    QOR_ClosePort(port);
}

// A device server that closes each connection after two replies. Once it
// has (the library's connection idle, nothing in flight), the next call
// finds the connection gone, opens a new one and succeeds: every call does.
TEST(Recovery, ConnectionDroppedByThePeerIsReopened) {
    qor::test::SimStart start{qor::test::BuiltSimPath()};
    start.capture_log = true;
    SimProcess sim(start,
                   ServeArguments(Transport::kTcp, {"--steady", "--log", "--drop-after", "2"}));
    ASSERT_FALSE(sim.Where().empty());
    const int port = 44;
    ASSERT_EQ(QOR_OpenPort(port, ("socket://" + sim.Where() + "?timeout_ms=100").c_str()), 1);
    for (int round = 0; round < 4; ++round) {
        for (int call = 0; call < 2; ++call) {
            int status = -7;
            int error = -7;
            EXPECT_FLOAT_EQ(QOR_RD(port, kM, &status, &error), 72.1f);
            EXPECT_EQ(status, 0) << "round " << round << ", call " << call << ", error " << error;
        }
        ASSERT_TRUE(sim.WaitLog("closed")) << "round " << round;
    }
    QOR_ClosePort(port);
}

// What a command-line tool prints from the trace: each frame and each
// reply as one line, although the protocol library reads a reply one
// character at a time, and a module's error reply as it came.
TEST(TraceEndToEnd, FramesAndRepliesShowOnceEachWithTheModulesErrorText) {
    SimProcess sim({"--pty", "--steady"});
    ASSERT_FALSE(sim.Where().empty());
    const int port = 47;
    ASSERT_EQ(QOR_OpenPort(port, sim.Where().c_str()), 1);
    static std::vector<std::string> lines;
    lines.clear();
    QOR_SetTrace(
        [](const QOR_TraceEvent *event, void *) {
            const char *mark = event->kind == QOR_TRACE_WRITE  ? "> "
                               : event->kind == QOR_TRACE_READ ? "< "
                                                               : "! ";
            lines.push_back(mark + std::string(reinterpret_cast<const char *>(event->bytes),
                                               static_cast<std::size_t>(event->count)));
        },
        nullptr);
    int status = -7;
    int error = -7;
    EXPECT_EQ(QOR_TS(port, kM, -150.0f, &status, &error), 100);
    QOR_SetTrace(nullptr, nullptr);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"> $1WE\r", "< *\r", "> $1TS-00150.00\r", "< ?1 RANGE\r"}));
    QOR_ClosePort(port);
}

// A pseudo-terminal in raw mode standing in for a line: returns its master
// (-1 when none could be had) and names its slave in `slave`.
int RawPtyMaster(char *slave, std::size_t capacity) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, capacity) != 0) {
        return -1;
    }
    struct termios tio {};
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    return master;
}

// An address that would break its own frame is refused before anything
// reaches the line: "$" (a frame's prompt: "$$RD" is a frame for module
// "R") and CR (a frame's end), also with the eighth bit set, which the
// library masks away. The first bytes the line then sees are the frame of
// the call that follows.
TEST(FrameBreakingAddress, IsRefusedWithNothingWritten) {
    char slave[128] = {};
    const int master = RawPtyMaster(slave, sizeof slave);
    ASSERT_GE(master, 0);
    const int port = 52;
    ASSERT_EQ(QOR_OpenPort(port, (std::string(slave) + "?timeout_ms=100").c_str()), 1);
    int status = -7;
    int error = -7;
    for (int address : {int{'$'}, int{'\r'}, 0x80 | '$', 0x80 | '\r'}) {
        SCOPED_TRACE(address);
        EXPECT_EQ(QOR_RD(port, address, &status, &error), 0.0f);
        EXPECT_EQ(status, QOR_STATUS_LINK_FAULT);
        EXPECT_EQ(error, QOR_ERROR_ARGUMENTS_REFUSED);
        EXPECT_EQ(QOR_CA(port, address, &status, &error), QOR_STATUS_LINK_FAULT);
        EXPECT_EQ(error, QOR_ERROR_ARGUMENTS_REFUSED);
        EXPECT_EQ(QOR_DO(port, address, 1, 2, 2, &status, &error), QOR_STATUS_LINK_FAULT);
        EXPECT_EQ(error, QOR_ERROR_ARGUMENTS_REFUSED);
    }
    std::string heard;
    std::thread module([&] {
        for (long long end = NowMs() + 5000;
             heard.find('\r') == std::string::npos && NowMs() < end;) {
            pollfd entry{master, POLLIN, 0};
            char c = 0;
            if (poll(&entry, 1, 100) == 1 && read(master, &c, 1) == 1) {
                heard += c;
            }
        }
        EXPECT_EQ(write(master, "*+00072.10\r", 11), 11);
    });
    EXPECT_FLOAT_EQ(QOR_RD(port, '#', &status, &error), 72.1f);
    EXPECT_EQ(status, 0) << "other characters stay addresses";
    module.join();
    EXPECT_EQ(heard, "$#RD\r");
    QOR_ClosePort(port);
    close(master);
}

// Reads the frames written to `master` and answers each with the next of
// `replies` ("" for none), until all were answered or 5 s passed; returns
// the frames.
std::vector<std::string> PlayModule(int master, const std::vector<std::string> &replies) {
    std::vector<std::string> heard;
    std::string frame;
    for (long long end = NowMs() + 5000; heard.size() < replies.size() && NowMs() < end;) {
        pollfd entry{master, POLLIN, 0};
        char c = 0;
        if (poll(&entry, 1, 100) != 1 || read(master, &c, 1) != 1) {
            continue;
        }
        frame += c;
        if (c == '\r') {
            const std::string &reply = replies[heard.size()];
            EXPECT_EQ(write(master, reply.data(), reply.size()),
                      static_cast<ssize_t>(reply.size()));
            heard.push_back(frame);
            frame.clear();
        }
    }
    return heard;
}

// Short replies carry no address: an RE count that comes late, in place of
// an RD's own reply, reads as a number. On a calm line the field is read
// leniently, as ever ("*0000003" is 3.0); on a line that has just failed,
// where a late reply is what such a reply most likely is, the library
// holds it to the reading's form and the call reports no reply.
TEST(LateReplyOfAnotherCommand, IsNoReadingOnALineThatHasJustFailed) {
    char slave[128] = {};
    const int master = RawPtyMaster(slave, sizeof slave);
    ASSERT_GE(master, 0);
    const int port = 53;
    ASSERT_EQ(QOR_OpenPort(port, (std::string(slave) + "?timeout_ms=100").c_str()), 1);
    std::vector<std::string> heard;
    std::thread module([&] {
        heard = PlayModule(master, {"*0000003\r", "", "*0000003\r", "*+00072.10\r"});
    });
    int status = -7;
    int error = -7;
    EXPECT_FLOAT_EQ(QOR_RD(port, kM, &status, &error), 3.0f);
    EXPECT_EQ(status, 0) << "a calm line";
    EXPECT_EQ(QOR_RE(port, kM, &status, &error), 0);
    EXPECT_EQ(status, QOR_STATUS_REPLY_FAULT);
    EXPECT_EQ(QOR_RD(port, kM, &status, &error), 0.0f);
    EXPECT_EQ(status, QOR_STATUS_REPLY_FAULT);
    EXPECT_EQ(error, QOR_ERROR_NO_REPLY);
    EXPECT_FLOAT_EQ(QOR_RD(port, kM, &status, &error), 72.1f);
    EXPECT_EQ(status, 0) << "a reply in form";
    module.join();
    EXPECT_EQ(heard, (std::vector<std::string>{"$1RD\r", "$1RE\r", "$1RD\r", "$1RD\r"}));
    QOR_LinkCounts counts{};
    ASSERT_EQ(QOR_PortCounts(port, &counts), 1);
    EXPECT_EQ(counts.refused, 1);
    QOR_ClosePort(port);
    close(master);
}

// A module behind an adapter that hears what it sends, as two-wire RS-485
// adapters do: every frame comes back on the line before the reply. The
// reply reader skips what precedes the reply's "*" or "?", so nothing else
// is needed for such adapters.
TEST(EchoingAdapter, FramesHeardBackBeforeEachReplyAreSkipped) {
    char slave[128] = {};
    const int master = RawPtyMaster(slave, sizeof slave);
    ASSERT_GE(master, 0);
    const int port = 49;
    ASSERT_EQ(QOR_OpenPort(port, (std::string(slave) + "?timeout_ms=500").c_str()), 1);
    std::vector<std::string> heard;
    std::thread module([&] {
        std::string frame;
        for (long long end = NowMs() + 5000; heard.size() < 4 && NowMs() < end;) {
            pollfd entry{master, POLLIN, 0};
            char c = 0;
            if (poll(&entry, 1, 100) != 1 || read(master, &c, 1) != 1) {
                continue;
            }
            frame += c;
            if (c == '\r') {
                const char *reply = frame.find("RD") != std::string::npos   ? "*+00072.10\r"
                                    : frame.find("RE") != std::string::npos ? "?1 CHECKSUM\r"
                                                                            : "*\r";
                std::string line = frame + reply;  // the echo, then the module
                EXPECT_EQ(write(master, line.data(), line.size()),
                          static_cast<ssize_t>(line.size()));
                heard.push_back(frame);
                frame.clear();
            }
        }
    });
    int status = -7;
    int error = -7;
    EXPECT_FLOAT_EQ(QOR_RD(port, kM, &status, &error), 72.1f);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(QOR_HI(port, kM, 1, 100.0f, &status, &error), 0);
    EXPECT_EQ(status, 0);
    QOR_RE(port, kM, &status, &error);
    EXPECT_EQ(status, 100) << "the module's error reply, after the echo";
    module.join();
    EXPECT_EQ(heard, (std::vector<std::string>{"$1RD\r", "$1WE\r", "$1HI+00100.00L\r", "$1RE\r"}));
    QOR_ClosePort(port);
    close(master);
}

// A line that drips a character every 150 ms and never a CR: with the
// default 200 ms time-out every character is in time, and only the reply's
// bound (ten time-outs by default) ends the call, as no reply.
TEST(DrippingLine, EachCallEndsWithinTheReplyBound) {
    char slave[128] = {};
    const int master = RawPtyMaster(slave, sizeof slave);
    ASSERT_GE(master, 0);
    const int port = 50;
    ASSERT_EQ(QOR_OpenPort(port, slave), 1);
    std::atomic<bool> stop{false};
    std::thread drip([&] {
        while (!stop) {
            EXPECT_EQ(write(master, "7", 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
    for (int call = 0; call < 2; ++call) {
        int status = -7;
        int error = -7;
        long long start = NowMs();
        QOR_RD(port, kM, &status, &error);
        long long took = NowMs() - start;
        EXPECT_EQ(status, QOR_STATUS_REPLY_FAULT);
        EXPECT_EQ(error, QOR_ERROR_NO_REPLY);
        // The second call first waits for a quiet line, at most 4 x 200 ms.
        EXPECT_LT(took, (call == 0 ? 0 : 800) + 2000 + 200 + 2000) << "call " << call;
    }
    stop = true;
    drip.join();
    QOR_ClosePort(port);
    close(master);
}

// After QOR_ClosePort a call fails as a frame that could not be written,
// even though the port's variable names a working module, until the port
// is opened again.
TEST(ClosedPort, CallsFailUntilItIsOpenedAgain) {
    SimProcess sim({"--pty", "--steady"});
    ASSERT_FALSE(sim.Where().empty());
    const int port = 51;
    ASSERT_EQ(QOR_OpenPort(port, sim.Where().c_str()), 1);
    QOR_ClosePort(port);
    ASSERT_EQ(setenv("QOR_COMM_PORT51", sim.Where().c_str(), 1), 0);
    int status = -7;
    int error = -7;
    QOR_RD(port, kM, &status, &error);
    EXPECT_EQ(status, QOR_STATUS_LINK_FAULT);
    EXPECT_EQ(error, QOR_ERROR_NOT_WRITTEN);
    char text[256];
    QOR_PortError(port, text, sizeof text);
    EXPECT_STREQ(text, "port 51 was closed (QOR_ClosePort); QOR_OpenPort opens it again");
    ASSERT_EQ(QOR_OpenPort(port, sim.Where().c_str()), 1);
    EXPECT_FLOAT_EQ(QOR_RD(port, kM, &status, &error), 72.1f);
    EXPECT_EQ(status, 0);
    QOR_ClosePort(port);
    unsetenv("QOR_COMM_PORT51");
}

TEST(LazyOpen, PortComesFromTheEnvironmentOnFirstUse) {
    SimProcess sim({"--pty", "--steady"});
    ASSERT_FALSE(sim.Where().empty());
    ASSERT_EQ(setenv("QOR_COMM_PORT45", sim.Where().c_str(), 1), 0);
    int status;
    int error;
    EXPECT_FLOAT_EQ(QOR_RD(45, kM, &status, &error), 72.1f);
    EXPECT_EQ(status, 0);
    QOR_ClosePort(45);
    unsetenv("QOR_COMM_PORT45");
}

}  // namespace

namespace {

TEST(ConcurrencyEndToEnd, ThreadsSharingOnePortEachGetTheirOwnReplies) {
    SimProcess sim({"--pty", "--steady", "--address", "1", "--address", "2"});
    ASSERT_FALSE(sim.Where().empty());
    const int port = 46;
    ASSERT_EQ(QOR_OpenPort(port, sim.Where().c_str()), 1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                int status;
                int error;
                if (t % 2 == 0) {
                    float value = QOR_RD(port, t < 2 ? '1' : '2', &status, &error);
                    wrong += (status != 0 || value != 72.1f);
                } else {
                    // Counts and bits interleave with the readings: a reply
                    // taken by the wrong call would not parse the same.
                    int bit = QOR_DI(port, '1', 2, 2, 0, &status, &error);
                    wrong += (status != 0 || bit != 0);
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    QOR_ClosePort(port);
}

// A device server that takes the connection and then never answers: the
// kernel completes the handshake into the backlog, nobody ever reads.
class SilentListener {
  public:
    SilentListener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
            listen(fd_, 4) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~SilentListener() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int Port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(ConcurrencyEndToEnd, ASilentPortDoesNotHoldUpAnotherPort) {
    SilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    SimProcess sim({"--pty", "--steady"});
    ASSERT_FALSE(sim.Where().empty());
    const int silent_port = 47;
    const int healthy_port = 48;
    std::string target = "socket://127.0.0.1:" + std::to_string(silent.Port()) + "?timeout_ms=3000";
    ASSERT_EQ(QOR_OpenPort(silent_port, target.c_str()), 1);
    ASSERT_EQ(QOR_OpenPort(healthy_port, sim.Where().c_str()), 1);

    std::atomic<bool> silent_done{false};
    int silent_status = -7;
    int silent_error = -7;
    std::thread waiting([&] {
        QOR_RD(silent_port, kM, &silent_status, &silent_error);
        silent_done = true;
    });
    // The silent call waits three seconds for a reply; the healthy port's
    // readings, each a few milliseconds, are all done long before.
    int wrong = 0;
    for (int i = 0; i < 10; ++i) {
        int status = -7;
        int error = -7;
        wrong += QOR_RD(healthy_port, kM, &status, &error) != 72.1f || status != 0;
    }
    bool healthy_first = !silent_done;
    waiting.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(healthy_first) << "the healthy port waited for the silent one";
    EXPECT_EQ(silent_status, QOR_STATUS_REPLY_FAULT);
    EXPECT_EQ(silent_error, QOR_ERROR_NO_REPLY);
    QOR_ClosePort(silent_port);
    QOR_ClosePort(healthy_port);
}

}  // namespace
