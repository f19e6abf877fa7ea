// The trace hook over real pseudo-terminals and sockets: what a host would
// print line by line, in order, and when the callback may and may not run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

using namespace qor::test;

constexpr int kPort = 13;

// One event as a line: kind, then bytes, wait or text, e.g. "WRITE $1RD\r".
struct Recorder {
    std::mutex lock;
    std::vector<std::string> lines;
    long long last_ns = 0;
    bool in_order = true;

    static void Record(const QOR_TraceEvent *event, void *user) {
        static const char *const kNames[] = {
            "?",       "OPEN",    "OPEN_FAILED", "CLOSE",     "REOPEN",  "WRITE",       "READ",
            "TIMEOUT", "DISCARD", "RECOVERY",    "LINK_LOST", "REFUSED", "QUIET_PERIOD"};
        auto *self = static_cast<Recorder *>(user);
        std::string line = kNames[event->kind];
        if (event->bytes != nullptr) {
            line += " " + std::string(reinterpret_cast<const char *>(event->bytes),
                                      static_cast<std::size_t>(event->count));
        }
        if (event->kind == QOR_TRACE_TIMEOUT || event->kind == QOR_TRACE_QUIET_PERIOD) {
            line += " " + std::to_string(event->milliseconds);
        }
        if (event->text != nullptr) {
            line += " " + std::string(event->text);
        }
        std::lock_guard<std::mutex> hold(self->lock);
        self->in_order = self->in_order && event->time_ns >= self->last_ns;
        self->last_ns = event->time_ns;
        self->lines.push_back(event->port == kPort ? line : "other port: " + line);
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> hold(lock);
        std::vector<std::string> taken;
        taken.swap(lines);
        return taken;
    }
};

class Trace : public ::testing::Test {
  protected:
    void SetUp() override { QOR_SetTrace(Recorder::Record, &recorder_); }
    void TearDown() override {
        QOR_SetTrace(nullptr, nullptr);
        QOR_ClosePort(kPort);
        if (watcher_ >= 0) {
            close(watcher_);
        }
    }
    void OpenPty(const std::string &settings) {
        target_ = pty_.Slave() + settings;
        ASSERT_EQ(1, QOR_OpenPort(kPort, target_.c_str()));
        watcher_ = open(pty_.Slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        ASSERT_GE(watcher_, 0);
    }
    // The far end writes `bytes`; returns once they are waiting for the host.
    void Deliver(const std::string &bytes) {
        int before = Waiting();
        WriteAll(pty_.Master(), bytes);
        ASSERT_TRUE(WaitFor([&] { return Waiting() >= before + static_cast<int>(bytes.size()); }));
    }
    int Waiting() const {
        int waiting = 0;
        return ioctl(watcher_, FIONREAD, &waiting) == 0 ? waiting : -1;
    }

    Recorder recorder_;
    Pty pty_;
    std::string target_;
    int watcher_ = -1;
};

using Lines = std::vector<std::string>;

TEST_F(Trace, OneLinePerFrameReplyTimeOutAndDiscardInTheOrderTheyHappen) {
    OpenPty("?timeout_ms=100");
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(pty_.Master()));
    Deliver("*+000");  // the reply in two pieces is still one line
    EXPECT_EQ('*', QOR_ReadByte(kPort));
    Deliver("72.10\r");
    EXPECT_EQ("+00072.10\r", ReceiveReply(kPort));
    ASSERT_TRUE(SendFrame(kPort, "$1RE\r"));
    EXPECT_EQ("", ReceiveReply(kPort));  // silence
    Deliver("*LATE\r");
    ASSERT_TRUE(SendFrame(kPort, "$1RB00\r"));
    QOR_ClosePort(kPort);
    Lines lines = recorder_.Take();
    ASSERT_EQ(10u, lines.size());
    EXPECT_EQ((Lines{"OPEN " + target_, "WRITE $1RD\r", "READ *+00072.10\r", "WRITE $1RE\r",
                     "TIMEOUT 100", "DISCARD *LATE\r",
                     "QUIET_PERIOD 200 raised: late input during a recovery wait"}),
              Lines(lines.begin(), lines.begin() + 7));
    EXPECT_EQ(0u, lines[7].rfind("RECOVERY", 0)) << lines[7];
    EXPECT_EQ((Lines{"WRITE $1RB00\r", "CLOSE"}), Lines(lines.begin() + 8, lines.end()));
    EXPECT_TRUE(recorder_.in_order);
}

// Input behind a reply refuses it, and is discarded before the next frame.
TEST_F(Trace, UnreadInputIsDiscardedWithItsBytesAndACutReplyBringsRecovery) {
    OpenPty("?timeout_ms=100&recovery_ms=50");
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Deliver("*A\rJUNK");
    EXPECT_EQ("*A", ReceiveReply(kPort));
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Deliver("*+00072.10\r");
    for (int taken = 0; taken < 3; ++taken) {
        QOR_ReadByte(kPort);  // the host stops reading after "*+0"
    }
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    Lines lines = recorder_.Take();
    ASSERT_EQ(12u, lines.size());
    EXPECT_EQ((Lines{"OPEN " + target_, "WRITE $1RD\r", "READ *A\r",
                     "REFUSED reply refused: more input came right behind it",
                     "QUIET_PERIOD 100 raised: a reply was refused", "DISCARD JUNK"}),
              Lines(lines.begin(), lines.begin() + 6));
    EXPECT_EQ(0u, lines[6].rfind("RECOVERY", 0)) << lines[6];
    EXPECT_EQ((Lines{"WRITE $1RD\r", "READ *+0", "DISCARD 0072.10\r"}),
              Lines(lines.begin() + 7, lines.begin() + 10));
    EXPECT_EQ(0u, lines[10].rfind("RECOVERY", 0)) << lines[10];
    EXPECT_EQ("WRITE $1RD\r", lines[11]);
}

TEST_F(Trace, LostLinksReopensAndFailedOpensAreReported) {
    TcpListener listener;
    target_ = listener.Target("?timeout_ms=100");
    ASSERT_EQ(1, QOR_OpenPort(kPort, target_.c_str()));
    int server = listener.Accept();
    ASSERT_GE(server, 0);
    CloseAcknowledged(server);
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    server = listener.Accept();
    EXPECT_EQ(0, QOR_OpenPort(kPort, "/nonexistent/ttyQOR"));
    EXPECT_EQ(0, QOR_OpenPort(kPort, "/dev/ttyS0?bad=1"));
    EXPECT_EQ(
        (Lines{"OPEN " + target_,
               "LINK_LOST link to " + listener.Target() +
                   " lost before a frame: closed by the other end",
               "REOPEN " + target_, "WRITE $1RD\r", "CLOSE",
               "OPEN_FAILED cannot open /nonexistent/ttyQOR: no such device",
               "OPEN_FAILED bad target \"/dev/ttyS0?bad=1\": unknown option \"bad\" (a serial "
               "device takes baud, bytesize, parity, stopbits, timeout_ms, reply_timeout_ms, "
               "recovery_ms, guard_ms, rs485, rs485_delay_before_ms, rs485_delay_after_ms, "
               "low_latency, exclusive)"}),
        recorder_.Take());
    close(server);
}

TEST_F(Trace, NothingIsCalledOnceTheCallbackIsRemoved) {
    OpenPty("?timeout_ms=50");
    QOR_SetTrace(nullptr, nullptr);
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    EXPECT_EQ("", ReceiveReply(kPort));
    EXPECT_EQ((Lines{"OPEN " + target_}), recorder_.Take());
}

// The callback runs under the port's lock: what it is allowed to call must
// not wait for that lock.
TEST_F(Trace, CallbackMayAskForTheFailureTheTargetAndChangeTheTrace) {
    static std::string seen;
    seen.clear();
    QOR_SetTrace(
        [](const QOR_TraceEvent *event, void *) {
            char text[QOR_TARGET_TEXT_SIZE];
            QOR_PortTarget(event->port, text, sizeof text);
            seen += text;
            QOR_PortError(event->port, text, sizeof text);
            seen += "|";
            seen += text;
            QOR_SetTrace(nullptr, nullptr);  // from inside: does not wait for itself
        },
        nullptr);
    EXPECT_EQ(0, QOR_OpenPort(kPort, "/nonexistent/ttyQOR"));
    EXPECT_EQ("/nonexistent/ttyQOR|cannot open /nonexistent/ttyQOR: no such device", seen);
}

// A host frees what its callback uses once QOR_SetTrace has returned, so
// that must wait for a callback still running in another thread.
TEST_F(Trace, RemovingTheCallbackWaitsForOneStillRunning) {
    struct Slow {
        std::atomic<bool> started{false};
        std::atomic<bool> finished{false};
    } slow;
    QOR_SetTrace(
        [](const QOR_TraceEvent *, void *user) {
            auto *s = static_cast<Slow *>(user);
            s->started = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            s->finished = true;
        },
        &slow);
    std::thread opener([] { QOR_OpenPort(kPort, "/nonexistent/ttyQOR"); });
    ASSERT_TRUE(WaitFor([&] { return slow.started.load(); }));
    QOR_SetTrace(nullptr, nullptr);
    EXPECT_TRUE(slow.finished);
    opener.join();
}

}  // namespace

namespace {

// A call holds its port from start to end, its trace callback included:
// another thread's read of the same port waits, and never runs while the
// first call's bytes are in use.
TEST_F(Trace, ACallOnThePortWaitsForTheOneWhoseTraceIsRunning) {
    OpenPty("?timeout_ms=50");
    struct Held {
        std::atomic<bool> writing{false};
        std::atomic<bool> release{false};
    } held;
    QOR_SetTrace(
        [](const QOR_TraceEvent *event, void *user) {
            auto *h = static_cast<Held *>(user);
            if (event->kind == QOR_TRACE_WRITE) {
                h->writing = true;
                while (!h->release) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        },
        &held);
    std::thread writer([] { SendFrame(kPort, "$1RD\r"); });
    ASSERT_TRUE(WaitFor([&] { return held.writing.load(); }));
    std::atomic<bool> read{false};
    std::thread reader([&] {
        QOR_ReadByte(kPort);
        read = true;
    });
    // Unheld, the read would end after its 50 ms time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(read) << "a read ran in the middle of another call on its port";
    held.release = true;
    writer.join();
    reader.join();
    QOR_SetTrace(nullptr, nullptr);
}

}  // namespace
