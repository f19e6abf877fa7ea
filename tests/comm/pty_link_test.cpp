// The serial transport over a real pseudo-terminal: the test holds the
// master as the module would, the library opens the slave path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

using namespace qor::test;

constexpr int kPort = 3;

class PtyLink : public ::testing::Test {
  protected:
    void TearDown() override {
        QOR_ClosePort(kPort);
        if (watcher_ >= 0) {
            close(watcher_);
        }
    }

    void Open(const std::string &settings = "?timeout_ms=100") {
        ASSERT_EQ(1, QOR_OpenPort(kPort, (pty_.Slave() + settings).c_str()));
        // A second descriptor on the slave, only to see how much input waits
        // there, so that the test knows its bytes crossed the pty.
        watcher_ = open(pty_.Slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        ASSERT_GE(watcher_, 0);
    }
    // The module's side of one transaction: takes the frame, answers.
    void Answer(const std::string &frame, const std::string &reply) {
        ASSERT_EQ(frame, ReadLine(pty_.Master()));
        WriteAll(pty_.Master(), reply);
        ASSERT_TRUE(WaitFor([&] {
            int waiting = 0;
            return ioctl(watcher_, FIONREAD, &waiting) == 0 &&
                   waiting >= static_cast<int>(reply.size());
        }));
    }

    Pty pty_;
    int watcher_ = -1;
};

TEST_F(PtyLink, FrameArrivesInOnePieceUntranslated) {
    Open("?baud=115200&timeout_ms=100");
    // Output processing would expand the tab and turn LF into CR LF.
    const std::string frame = "$1HI+00100.00L\t\nDC\r";
    ASSERT_TRUE(SendFrame(kPort, frame));
    EXPECT_EQ(frame, ReadOnce(pty_.Master()));
    EXPECT_TRUE(NothingMore(pty_.Master()));
}

// The line settings reach the terminal. A pseudo-terminal keeps the rate,
// the stop bits and odd parity's PARODD, but always reports 8 data bits
// and no parity enable, so those two are seen only on real ports.
TEST_F(PtyLink, LineSettingsReachTheTerminal) {
    struct Case {
        const char *settings;
        speed_t speed;
        bool two_stop_bits;
        bool odd;
    };
    for (const Case &c : {Case{"", B9600, false, false},
                          Case{"?baud=19200&bytesize=7&parity=O&stopbits=2", B19200, true, true},
                          Case{"?baud=115200&parity=E", B115200, false, false}}) {
        SCOPED_TRACE(c.settings);
        ASSERT_EQ(1, QOR_OpenPort(kPort, (pty_.Slave() + c.settings).c_str()));
        // The master's termios calls act on the slave.
        struct termios tio {};
        ASSERT_EQ(0, tcgetattr(pty_.Master(), &tio));
        EXPECT_EQ(c.speed, cfgetospeed(&tio));
        EXPECT_EQ(c.speed, cfgetispeed(&tio));
        EXPECT_EQ(c.two_stop_bits, (tio.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(c.odd, (tio.c_cflag & PARODD) != 0);
        QOR_ClosePort(kPort);
    }
}

// Whatever the line was set to before, the port makes it raw, 8 data bits,
// no parity, one stop bit, at the rate asked for.
TEST_F(PtyLink, LineIsRawEightBitsNoParityOneStopBitAtTheRateAsked) {
    termios before{};
    ASSERT_EQ(0, tcgetattr(pty_.Master(), &before));
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB;
    before.c_iflag |= ICRNL | IXON;
    before.c_lflag |= ICANON | ECHO;
    cfsetspeed(&before, B1200);
    ASSERT_EQ(0, tcsetattr(pty_.Master(), TCSANOW, &before));
    Open("?baud=19200&timeout_ms=100");
    termios line{};
    ASSERT_EQ(0, tcgetattr(watcher_, &line));
    EXPECT_EQ(B19200, cfgetospeed(&line));
    EXPECT_EQ(B19200, cfgetispeed(&line));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), line.c_cflag & CSIZE);
    EXPECT_EQ(0u, line.c_cflag & (PARENB | CSTOPB));
    EXPECT_EQ(0u, line.c_iflag & (ICRNL | IXON));
    EXPECT_EQ(0u, line.c_lflag & (ICANON | ECHO));
}

// An output buffer that is full when the frame goes out, but that the far
// end empties within the time-out, holds the frame up without failing it.
TEST_F(PtyLink, FullOutputBufferEmptiedInTimeHoldsTheFrameUp) {
    Open("?timeout_ms=3000");
    const std::string block(256, 'x');
    std::size_t filled = 0;
    for (ssize_t n = 0; (n = write(watcher_, block.data(), block.size())) > 0;) {
        filled += static_cast<std::size_t>(n);
    }
    ASSERT_GT(filled, 0u);
    std::thread module([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(std::string(filled, 'x') + "$1RD\r", ReadBytes(pty_.Master(), filled + 5));
    });
    EXPECT_TRUE(SendFrame(kPort, "$1RD\r"));
    module.join();
}

TEST_F(PtyLink, EveryByteValueComesBackInOrder) {
    Open();
    ASSERT_TRUE(SendFrame(kPort, "$1DI\r"));
    // ^C, ^D, XON/XOFF, CR, LF, DEL and bytes with the top bit set are data
    // here, not line control.
    std::string reply;
    for (int value = 0; value < 256; ++value) {
        reply += static_cast<char>(value);
    }
    Answer("$1DI\r", reply);
    for (int value = 0; value < 256; ++value) {
        ASSERT_EQ(value, QOR_ReadByte(kPort)) << "at index " << value;
    }
}

TEST_F(PtyLink, SilenceGivesMinusOneAfterTheTimeout) {
    Open();
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    long long start = NowMs();
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    EXPECT_GE(NowMs() - start, 90);
    EXPECT_LT(NowMs() - start, 2000);
}

// What the link reported of each wait: the time-outs and the waits for a
// quiet line, with their milliseconds.
std::mutex g_waits_lock;
std::vector<int> g_timeout_waits;
std::vector<int> g_quiet_waits;

void KeepWaits(const QOR_TraceEvent *event, void * /*user*/) {
    std::lock_guard<std::mutex> hold(g_waits_lock);
    if (event->kind == QOR_TRACE_TIMEOUT) {
        g_timeout_waits.push_back(event->milliseconds);
    } else if (event->kind == QOR_TRACE_RECOVERY) {
        g_quiet_waits.push_back(event->milliseconds);
    }
}

// A line that keeps delivering characters and never a CR. The drip follows
// the link rather than a clock: a character goes out once the link has
// taken the one before, so that the line never falls silent for the 10 s
// time-out however busy the machine is, and only reply_timeout_ms can end
// a reply, as a time-out. Each frame after one then waits for a quiet line
// that never comes: one wait per frame, at most four recovery periods,
// though the link raised its quiet period meanwhile (to four periods
// itself, whose four would be 3.2 s).
TEST_F(PtyLink, DrippingLineEndsEachReplyAtTheReplyBound) {
    constexpr int kTimeoutMs = 10000;
    constexpr int kReplyMs = 400;
    constexpr int kRecoveryMs = 200;
    Open("?timeout_ms=10000&reply_timeout_ms=400&recovery_ms=200");
    g_timeout_waits.clear();
    g_quiet_waits.clear();
    QOR_SetTrace(KeepWaits, nullptr);
    std::atomic<bool> stop{false};
    std::thread drip([&] {
        // From the first frame on: input before it would be late input,
        // and make that frame wait for a quiet line too.
        EXPECT_EQ("$1RD\r", ReadLine(pty_.Master()));
        while (!stop) {
            WriteAll(pty_.Master(), "x");
            int waiting = 1;
            while (!stop && ioctl(watcher_, FIONREAD, &waiting) == 0 && waiting > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (int call = 0; call < 3; ++call) {
        SCOPED_TRACE(call);
        ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
        // The reply is read once the line has a character for it.
        ASSERT_TRUE(WaitFor([&] {
            int waiting = 0;
            return ioctl(watcher_, FIONREAD, &waiting) == 0 && waiting > 0;
        }));
        long long start = NowMs();
        int bytes = 0;
        int got = 0;
        while (bytes < 5000 && (got = QOR_ReadByte(kPort)) != -1) {
            ++bytes;
        }
        long long took = NowMs() - start;
        EXPECT_EQ(-1, got) << "the reply never ended";
        EXPECT_GE(bytes, 1);
        // Whole milliseconds on two clocks: one may be lost.
        EXPECT_GE(took, kReplyMs - 1);
    }
    stop = true;
    drip.join();
    QOR_SetTrace(nullptr, nullptr);
    std::lock_guard<std::mutex> hold(g_waits_lock);
    ASSERT_EQ(3u, g_timeout_waits.size());
    for (int waited : g_timeout_waits) {
        EXPECT_LT(waited, kTimeoutMs) << "ended by the reply's bound, not by silence";
    }
    ASSERT_EQ(2u, g_quiet_waits.size()) << "one wait for a quiet line for each later frame";
    for (int waited : g_quiet_waits) {
        EXPECT_LT(waited, 4 * kRecoveryMs + 1000) << "800 ms at most, and some for a busy machine";
    }
    QOR_LinkCounts counts{};
    ASSERT_EQ(1, QOR_PortCounts(kPort, &counts));
    EXPECT_GT(counts.quiet_ms, kRecoveryMs) << "raised, yet the wait kept its bound";
}

TEST_F(PtyLink, CharactersBeforeCrAreSentBeforeWaitingForAReply) {
    Open();
    ASSERT_TRUE(SendFrame(kPort, "$1RD"));
    EXPECT_TRUE(NothingMore(pty_.Master()));
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    EXPECT_EQ("$1RD", ReadBytes(pty_.Master(), 4));
}

// Input that arrived since the last reply was taken belongs to no frame yet
// to come: an answer to a frame nobody read, a reply after its time-out.
TEST_F(PtyLink, InputWaitingWhenAFrameStartsIsDiscarded) {
    Open();
    ASSERT_TRUE(SendFrame(kPort, "$1WE\r"));
    Answer("$1WE\r", "*\r");  // not read by the host
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(pty_.Master()));
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    WriteAll(pty_.Master(), "*+00001.00\r");  // too late
    ASSERT_TRUE(WaitFor([&] {
        int waiting = 0;
        return ioctl(watcher_, FIONREAD, &waiting) == 0 && waiting >= 11;
    }));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Answer("$1RD\r", "*+00002.00\r");
    EXPECT_EQ("*+00002.00\r", ReceiveReply(kPort));
}

// A burst of noise longer than one read takes, ending in something like a
// reply, is discarded whole when the next frame starts: with recovery off,
// so that no quiet-period wait mops up what the discard left.
TEST_F(PtyLink, AllInputWaitingWhenAFrameStartsIsDiscarded) {
    Open("?timeout_ms=100&recovery_ms=0");
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Answer("$1RD\r", "*+00001.00\r");
    EXPECT_EQ("*+00001.00\r", ReceiveReply(kPort));
    const std::string burst = std::string(2000, '~') + "*+00009.00\r";
    WriteAll(pty_.Master(), burst);
    ASSERT_TRUE(WaitFor([&] {
        int waiting = 0;
        return ioctl(watcher_, FIONREAD, &waiting) == 0 &&
               waiting >= static_cast<int>(burst.size());
    }));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Answer("$1RD\r", "*+00002.00\r");
    EXPECT_EQ("*+00002.00\r", ReceiveReply(kPort));
}

// Input right behind a reply, in the same read, refuses the reply: its
// pairing with the frame is in doubt.
TEST_F(PtyLink, RestOfAReadBlockIsDiscardedWhenTheNextFrameStarts) {
    Open();
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Answer("$1RD\r", "*A\rJUNK");  // noise in the same read block as the reply
    EXPECT_EQ("*A", ReceiveReply(kPort));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Answer("$1RD\r", "*B\r");
    EXPECT_EQ("*B\r", ReceiveReply(kPort));
}

// Unplugging is seen at once (not after the time-out), and a device reached
// through a stable name (as /dev/serial/by-id links are) that comes back is
// reopened from the remembered target.
TEST_F(PtyLink, VanishedDeviceFailsAndIsReopenedWhenItReturns) {
    char dir_template[] = "/tmp/qor_comm_testXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string dir = dir_template;
    const std::string link = dir + "/module";
    ASSERT_EQ(0, symlink(pty_.Slave().c_str(), link.c_str()));
    ASSERT_EQ(1, QOR_OpenPort(kPort, (link + "?timeout_ms=5000").c_str()));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(pty_.Master()));

    Pty replacement;  // allocated first, so it cannot take the old number
    pty_.CloseMaster();
    long long start = NowMs();
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    EXPECT_FALSE(SendFrame(kPort, "$1RD\r"));
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    EXPECT_LT(NowMs() - start, 2000);

    ASSERT_EQ(0, symlink(replacement.Slave().c_str(), (dir + "/next").c_str()));
    ASSERT_EQ(0, rename((dir + "/next").c_str(), link.c_str()));
    EXPECT_TRUE(SendFrame(kPort, "$1RD\r"));
    EXPECT_EQ("$1RD\r", ReadLine(replacement.Master()));
    WriteAll(replacement.Master(), "*+00001.00\r");
    EXPECT_EQ("*+00001.00\r", ReceiveReply(kPort));

    QOR_ClosePort(kPort);
    unlink(link.c_str());
    rmdir(dir.c_str());
}

}  // namespace

namespace {

using namespace qor::test;

constexpr int kRecoveryPort = 4;

// A reply that comes after its time-out, but before the line has been quiet
// for the recovery period, is discarded; with recovery off it is taken for
// the next frame's reply, which is what recovery is for, unless the guard
// sees the second reply behind it and refuses it.
TEST(PtyRecovery, LateReplyWithinTheRecoveryPeriodIsNotTakenForTheNextFrame) {
    struct Case {
        const char *settings;
        const char *taken;
    };
    for (const Case &c : {Case{"?timeout_ms=100&recovery_ms=1000", "*B\r"},
                          Case{"?timeout_ms=100&recovery_ms=0", "*A"}}) {
        SCOPED_TRACE(c.settings);
        Pty pty;
        ASSERT_EQ(1, QOR_OpenPort(kRecoveryPort, (pty.Slave() + c.settings).c_str()));
        ASSERT_TRUE(SendFrame(kRecoveryPort, "$1RD\r"));
        ASSERT_EQ("$1RD\r", ReadLine(pty.Master()));
        EXPECT_EQ(-1, QOR_ReadByte(kRecoveryPort));
        // The module answers the first frame late, then the second at once.
        std::thread module([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            WriteAll(pty.Master(), "*A\r");
            EXPECT_EQ("$1RE\r", ReadLine(pty.Master()));
            WriteAll(pty.Master(), "*B\r");
        });
        ASSERT_TRUE(SendFrame(kRecoveryPort, "$1RE\r"));
        EXPECT_EQ(c.taken, ReceiveReply(kRecoveryPort));
        module.join();
        QOR_ClosePort(kRecoveryPort);
    }
}

// Input during the recovery wait starts the quiet period again: a late
// reply that follows noise is discarded too, though it comes after the first
// quiet period would have ended.
TEST(PtyRecovery, InputDuringTheRecoveryWaitStartsTheQuietPeriodAgain) {
    Pty pty;
    ASSERT_EQ(
        1, QOR_OpenPort(kRecoveryPort, (pty.Slave() + "?timeout_ms=100&recovery_ms=1000").c_str()));
    ASSERT_TRUE(SendFrame(kRecoveryPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(pty.Master()));
    EXPECT_EQ(-1, QOR_ReadByte(kRecoveryPort));
    std::thread module([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        WriteAll(pty.Master(), "#");
        std::this_thread::sleep_for(std::chrono::milliseconds(750));
        WriteAll(pty.Master(), "*A\r");
        EXPECT_EQ("$1RE\r", ReadLine(pty.Master()));
        WriteAll(pty.Master(), "*B\r");
    });
    ASSERT_TRUE(SendFrame(kRecoveryPort, "$1RE\r"));
    EXPECT_EQ("*B\r", ReceiveReply(kRecoveryPort));
    module.join();
    QOR_ClosePort(kRecoveryPort);
}

// (A recovery period well above the chatter's gaps, so that a busy machine
// delaying the chatter does not end the wait early.)
TEST(PtyRecovery, ChatteringLineHoldsTheFrameBackOnlyFourRecoveryPeriods) {
    Pty pty;
    ASSERT_EQ(
        1, QOR_OpenPort(kRecoveryPort, (pty.Slave() + "?timeout_ms=100&recovery_ms=400").c_str()));
    ASSERT_TRUE(SendFrame(kRecoveryPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(pty.Master()));
    EXPECT_EQ(-1, QOR_ReadByte(kRecoveryPort));
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        while (!stop) {
            WriteAll(pty.Master(), "#");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    long long start = NowMs();
    EXPECT_TRUE(SendFrame(kRecoveryPort, "$1RD\r"));
    long long took = NowMs() - start;
    stop = true;
    chatter.join();
    EXPECT_GE(took, 400);
    EXPECT_LT(took, 3500) << "1600 ms at most, and some for a busy machine";
    EXPECT_EQ("$1RD\r", ReadLine(pty.Master()));
    QOR_ClosePort(kRecoveryPort);
}

}  // namespace

namespace {

using namespace qor::test;

constexpr int kLatePort = 5;

std::mutex g_events_lock;
std::vector<std::pair<int, std::string>> g_events;  // kind, text or milliseconds

void KeepLatenessEvents(const QOR_TraceEvent *event, void * /*user*/) {
    std::lock_guard<std::mutex> hold(g_events_lock);
    if (event->kind == QOR_TRACE_REFUSED) {
        g_events.emplace_back(event->kind, event->text);
    } else if (event->kind == QOR_TRACE_QUIET_PERIOD) {
        g_events.emplace_back(event->kind, std::to_string(event->milliseconds));
    }
}

QOR_LinkCounts CountsOf(int port) {
    QOR_LinkCounts counts{};
    EXPECT_EQ(1, QOR_PortCounts(port, &counts));
    return counts;
}

// After a time-out the link is wary: the module answers the first frame
// late, right when the second has gone out, and the answer to the second
// follows gap_ms later. Within the guard the first reply is refused (the
// call would report no reply); after it, or with the guard off, it is taken.
TEST(PtyLateReplies, GuardRefusesAReplyThatAnotherFollowsWithinIt) {
    // gap_ms < 0: the second reply comes only once the call has taken a
    // reply, so that nothing can follow the first within the guard however
    // late a busy machine lets the link read.
    struct Case {
        const char *settings;
        int gap_ms;
        const char *taken;
        long long refused;
    };
    QOR_SetTrace(KeepLatenessEvents, nullptr);
    for (const Case &c : {Case{"?timeout_ms=50&recovery_ms=0&guard_ms=600", 5, "*A", 1},
                          Case{"?timeout_ms=50&recovery_ms=0&guard_ms=20", -1, "*A\r", 0},
                          Case{"?timeout_ms=50&recovery_ms=0&guard_ms=0", -1, "*A\r", 0}}) {
        SCOPED_TRACE(c.settings);
        g_events.clear();
        Pty pty;
        ASSERT_EQ(1, QOR_OpenPort(kLatePort, (pty.Slave() + c.settings).c_str()));
        ASSERT_TRUE(SendFrame(kLatePort, "$1RD\r"));
        ASSERT_EQ("$1RD\r", ReadLine(pty.Master()));
        EXPECT_EQ(-1, QOR_ReadByte(kLatePort));
        std::atomic<bool> taken{false};
        std::thread module([&] {
            EXPECT_EQ("$2RD\r", ReadLine(pty.Master()));
            WriteAll(pty.Master(), "*A\r");
            if (c.gap_ms >= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.gap_ms));
            } else {
                WaitFor([&] { return taken.load(); });
            }
            WriteAll(pty.Master(), "*B\r");
        });
        ASSERT_TRUE(SendFrame(kLatePort, "$2RD\r"));
        EXPECT_EQ(c.taken, ReceiveReply(kLatePort));
        taken = true;
        module.join();
        QOR_LinkCounts counts = CountsOf(kLatePort);
        EXPECT_EQ(c.refused, counts.refused);
        if (c.refused > 0) {
            std::lock_guard<std::mutex> hold(g_events_lock);
            ASSERT_FALSE(g_events.empty());
            EXPECT_EQ(QOR_TRACE_REFUSED, g_events[0].first);
            EXPECT_NE(std::string::npos, g_events[0].second.find("600 ms guard"))
                << g_events[0].second;
        }
        QOR_ClosePort(kLatePort);
    }
    QOR_SetTrace(nullptr, nullptr);
}

// A link that opened, or has been calm for ten time-outs since its last
// trouble, runs no guard: the second reply behind the first is not waited
// for, and the first is taken.
TEST_F(PtyLink, CalmLinkRunsNoGuard) {
    Open("?timeout_ms=20&guard_ms=600");
    EXPECT_EQ(0, CountsOf(kPort).guard_ms) << "a link starts calm";
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(pty_.Master()));
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    EXPECT_EQ(600, CountsOf(kPort).guard_ms) << "a time-out makes it wary";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    std::thread module([&] {
        EXPECT_EQ("$1RD\r", ReadLine(pty_.Master()));
        WriteAll(pty_.Master(), "*A\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        WriteAll(pty_.Master(), "*B\r");
    });
    EXPECT_EQ("*A\r", ReceiveReply(kPort));
    module.join();
    EXPECT_EQ(0, CountsOf(kPort).guard_ms);
    EXPECT_EQ(0, CountsOf(kPort).refused);
}

// Late input before a frame doubles the quiet period, at most once per
// frame, up to four times recovery_ms; a calm stretch of ten time-outs
// brings it back. Each step: the quiet period and counts after the frame.
// The late steps must follow each other within the calm stretch, which a
// busy machine can stretch out: with a time-out of 100 ms it is a second,
// not the 200 ms a loaded scheduler has been seen to overrun.
TEST_F(PtyLink, LateInputRaisesTheQuietPeriodUpToItsBoundUntilTheLinkIsCalm) {
    Open("?timeout_ms=100&recovery_ms=40");
    QOR_SetTrace(KeepLatenessEvents, nullptr);
    g_events.clear();
    EXPECT_EQ(40, CountsOf(kPort).quiet_ms);
    struct Step {
        bool late;
        int quiet_ms;
        long long late_inputs;
        long long raised;
    };
    for (const Step &s : {Step{true, 80, 1, 1}, Step{true, 160, 2, 2}, Step{true, 160, 3, 2},
                          Step{false, 40, 3, 2}}) {
        if (s.late) {
            WriteAll(pty_.Master(), "*X\r");
            ASSERT_TRUE(WaitFor([&] {
                int waiting = 0;
                return ioctl(watcher_, FIONREAD, &waiting) == 0 && waiting >= 3;
            }));
        } else {
            // The calm stretch itself: ten time-outs without trouble.
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
        ASSERT_EQ("$1RD\r", ReadLine(pty_.Master()));
        QOR_LinkCounts counts = CountsOf(kPort);
        EXPECT_EQ(s.quiet_ms, counts.quiet_ms);
        EXPECT_EQ(s.late_inputs, counts.late_inputs);
        EXPECT_EQ(s.raised, counts.quiet_raised);
    }
    QOR_SetTrace(nullptr, nullptr);
    std::lock_guard<std::mutex> hold(g_events_lock);
    std::vector<std::string> periods;
    for (const auto &[kind, text] : g_events) {
        periods.push_back(text);
    }
    EXPECT_EQ(periods, (std::vector<std::string>{"80", "160", "40"}));
}

std::vector<std::string> g_refusals_and_waits;  // "REFUSED why", "RECOVERY"

void KeepRefusalsAndWaits(const QOR_TraceEvent *event, void * /*user*/) {
    std::lock_guard<std::mutex> hold(g_events_lock);
    if (event->kind == QOR_TRACE_REFUSED) {
        g_refusals_and_waits.push_back(std::string("REFUSED ") + event->text);
    } else if (event->kind == QOR_TRACE_RECOVERY) {
        g_refusals_and_waits.emplace_back("RECOVERY");
    }
}

// qor_dll's word on a reply out of its command's form ("*0000003", a count,
// read for a reading): a calm link keeps it, to be read leniently; a link
// that has just failed refuses it as the guard refuses one: counted,
// traced, the quiet period raised, and the next frame waits for a quiet
// line, since the frame's own reply may yet come.
TEST_F(PtyLink, ReplyOutOfFormIsRefusedOnlyOnALineThatHasJustFailed) {
    Open("?timeout_ms=50&recovery_ms=100");
    g_refusals_and_waits.clear();
    QOR_SetTrace(KeepRefusalsAndWaits, nullptr);
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Answer("$1RD\r", "*0000003\r");
    EXPECT_EQ("*0000003\r", ReceiveReply(kPort));
    EXPECT_EQ(0, QOR_ReplyOutOfForm(kPort)) << "a calm line";
    EXPECT_EQ(0, CountsOf(kPort).refused);
    // An RE goes unanswered; the RD after it gets the count.
    ASSERT_TRUE(SendFrame(kPort, "$1RE\r"));
    ASSERT_EQ("$1RE\r", ReadLine(pty_.Master()));
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Answer("$1RD\r", "*0000003\r");
    EXPECT_EQ("*0000003\r", ReceiveReply(kPort)) << "nothing follows it within the guard";
    EXPECT_EQ(1, QOR_ReplyOutOfForm(kPort));
    QOR_LinkCounts counts = CountsOf(kPort);
    EXPECT_EQ(1, counts.refused);
    EXPECT_EQ(200, counts.quiet_ms);
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(pty_.Master()));
    QOR_SetTrace(nullptr, nullptr);
    std::lock_guard<std::mutex> hold(g_events_lock);
    EXPECT_EQ(
        g_refusals_and_waits,
        (std::vector<std::string>{
            "RECOVERY",
            "REFUSED reply refused: not in its command's form, on a line that has just failed",
            "RECOVERY"}));
}

TEST(PtyLateReplies, CountsOfAPortNotInUseAreZero) {
    QOR_LinkCounts counts{};
    counts.refused = 9;
    EXPECT_EQ(0, QOR_PortCounts(7777, &counts));
    EXPECT_EQ(0, counts.refused);
    // Nor is a reply refused on a port this library does not drive.
    EXPECT_EQ(0, QOR_ReplyOutOfForm(7777));
    EXPECT_EQ(0, QOR_PortCounts(7777, &counts));
}

}  // namespace
