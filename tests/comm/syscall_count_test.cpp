// Counts the system calls the library makes per transaction. This program
// defines write, send, read, recv, poll and ioctl itself and exports them,
// so the library's calls land here first; each counts (on the calling
// thread, while a measurement runs) and passes the call on to the C library.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

struct Counts {
    int writes = 0;
    int reads = 0;
    int polls = 0;
    int ioctls = 0;
};

thread_local bool t_counting = false;
thread_local Counts t_counts;

template <typename Function>
Function Next(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define QOR_TEST_EXPORT __attribute__((visibility("default")))

extern "C" {

QOR_TEST_EXPORT ssize_t write(int fd, const void *bytes, size_t count) {
    static auto next = Next<ssize_t (*)(int, const void *, size_t)>("write");
    t_counts.writes += t_counting;
    return next(fd, bytes, count);
}

QOR_TEST_EXPORT ssize_t send(int fd, const void *bytes, size_t count, int flags) {
    static auto next = Next<ssize_t (*)(int, const void *, size_t, int)>("send");
    t_counts.writes += t_counting;
    return next(fd, bytes, count, flags);
}

QOR_TEST_EXPORT ssize_t read(int fd, void *bytes, size_t count) {
    static auto next = Next<ssize_t (*)(int, void *, size_t)>("read");
    t_counts.reads += t_counting;
    return next(fd, bytes, count);
}

QOR_TEST_EXPORT ssize_t recv(int fd, void *bytes, size_t count, int flags) {
    static auto next = Next<ssize_t (*)(int, void *, size_t, int)>("recv");
    t_counts.reads += t_counting;
    return next(fd, bytes, count, flags);
}

QOR_TEST_EXPORT int poll(struct pollfd *fds, nfds_t count, int timeout) {
    static auto next = Next<int (*)(struct pollfd *, nfds_t, int)>("poll");
    t_counts.polls += t_counting;
    return next(fds, count, timeout);
}

QOR_TEST_EXPORT int ioctl(int fd, unsigned long request, ...) {
    static auto next = Next<int (*)(int, unsigned long, ...)>("ioctl");
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    t_counts.ioctls += t_counting;
    return next(fd, request, argument);
}

}  // extern "C"

namespace {

using namespace qor::test;

template <typename Work>
Counts Measure(Work work) {
    t_counts = Counts{};
    t_counting = true;
    work();
    t_counting = false;
    return t_counts;
}

// Three transactions of "$1RD" CR and an 11-character reply that is
// completely there before the host reads: one write for the frame, one
// poll and one read for the reply; the only other call allowed is the
// look for stale input (a read on a socket, an ioctl on a terminal). No
// recovery wait follows a good exchange, and a trace callback adds no call.
void CountTransactions(int port, int far_end, const std::function<bool()> &reply_arrived) {
    const std::string frame = "$1RD\r";
    const std::string reply = "*+00072.10\r";
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Counts sending = Measure([&] { EXPECT_TRUE(SendFrame(port, frame)); });
        EXPECT_EQ(1, sending.writes);
        EXPECT_EQ(1, sending.reads + sending.ioctls);
        EXPECT_EQ(0, sending.polls);
        EXPECT_EQ(frame, ReadOnce(far_end));
        WriteAll(far_end, reply);
        ASSERT_TRUE(WaitFor(reply_arrived));
        std::string received;
        Counts receiving = Measure([&] { received = ReceiveReply(port); });
        EXPECT_EQ(reply, received);
        EXPECT_EQ(0, receiving.writes);
        EXPECT_EQ(1, receiving.reads);
        EXPECT_EQ(1, receiving.polls);
        EXPECT_EQ(0, receiving.ioctls);
    }
}

void CountTracedTransactions(int port, int far_end, const std::function<bool()> &reply_arrived) {
    int events = 0;
    QOR_SetTrace([](const QOR_TraceEvent *, void *user) { ++*static_cast<int *>(user); }, &events);
    CountTransactions(port, far_end, reply_arrived);
    QOR_SetTrace(nullptr, nullptr);
    EXPECT_EQ(6, events);  // a frame and a reply, three times
}

TEST(CommSyscalls, PtyTransactionTakesOneWriteOnePollOneRead) {
    Pty pty;
    // A second descriptor on the slave shows when the reply has crossed.
    int watcher = open(pty.Slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    ASSERT_GE(watcher, 0);
    ASSERT_EQ(1, QOR_OpenPort(5, (pty.Slave() + "?timeout_ms=1000").c_str()));
    auto reply_arrived = [watcher] {
        int waiting = 0;
        return ioctl(watcher, FIONREAD, &waiting) == 0 && waiting >= 11;
    };
    CountTransactions(5, pty.Master(), reply_arrived);
    CountTracedTransactions(5, pty.Master(), reply_arrived);
    QOR_ClosePort(5);
    close(watcher);
}

TEST(CommSyscalls, TcpTransactionTakesOneSendOnePollOneRead) {
    TcpListener listener;
    ASSERT_EQ(1, QOR_OpenPort(6, listener.Target("?timeout_ms=1000").c_str()));
    int server = listener.Accept();
    ASSERT_GE(server, 0);
    CountTransactions(6, server, [server] { return WaitDelivered(server); });
    CountTracedTransactions(6, server, [server] { return WaitDelivered(server); });
    QOR_ClosePort(6);
    close(server);
}

// Telnet changes nothing in the count: the frame, IACs doubled, still
// leaves in one send, and a good exchange sends no purge.
TEST(CommSyscalls, Rfc2217TransactionTakesOneSendOnePollOneRead) {
    TcpListener listener;
    std::string heard;
    auto server = std::async(std::launch::async, [&listener, &heard] {
        return PlayComPortServer(&listener, ComPortScript{}, &heard);
    });
    const std::string target = "rfc2217://127.0.0.1:" + std::to_string(listener.Port());
    ASSERT_EQ(1, QOR_OpenPort(6, (target + "?timeout_ms=1000").c_str()));
    int server_fd = server.get();
    ASSERT_GE(server_fd, 0);
    // The open returns once the settings it needs are confirmed; the
    // server's last answers may still be on their way (on a busy machine
    // they come in a segment of their own). One exchange first takes them,
    // so that the counts are those of transactions alone.
    ASSERT_TRUE(WaitDelivered(server_fd));
    ASSERT_TRUE(SendFrame(6, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadOnce(server_fd));
    WriteAll(server_fd, "*+00072.10\r");
    ASSERT_EQ("*+00072.10\r", ReceiveReply(6));
    CountTransactions(6, server_fd, [server_fd] { return WaitDelivered(server_fd); });
    CountTracedTransactions(6, server_fd, [server_fd] { return WaitDelivered(server_fd); });
    QOR_ClosePort(6);
    close(server_fd);
}

// Only a failed exchange makes the next frame wait for a quiet line: polls
// and reads until the recovery period has passed without input.
TEST(CommSyscalls, OnlyAFailedExchangeMakesTheNextFrameWait) {
    Pty pty;
    ASSERT_EQ(1, QOR_OpenPort(5, (pty.Slave() + "?timeout_ms=20").c_str()));
    ASSERT_TRUE(SendFrame(5, "$1RD\r"));
    EXPECT_EQ(-1, QOR_ReadByte(5));
    Counts after_failure = Measure([&] { EXPECT_TRUE(SendFrame(5, "$1RD\r")); });
    EXPECT_GE(after_failure.polls, 1);
    WriteAll(pty.Master(), "*\r");
    EXPECT_EQ("*\r", ReceiveReply(5));
    Counts after_success = Measure([&] { EXPECT_TRUE(SendFrame(5, "$1RD\r")); });
    EXPECT_EQ(0, after_success.polls);
    QOR_ClosePort(5);
}

TEST(CommSyscalls, FrameLongerThanTheBufferTakesOneWritePerBufferful) {
    Pty pty;
    ASSERT_EQ(1, QOR_OpenPort(5, pty.Slave().c_str()));
    const std::string frame = std::string(599, 'A') + "\r";
    Counts sending = Measure([&] { EXPECT_TRUE(SendFrame(5, frame)); });
    EXPECT_EQ(3, sending.writes);  // 256 + 256 + 88
    EXPECT_EQ(frame, ReadBytes(pty.Master(), frame.size()));
    QOR_ClosePort(5);
}

}  // namespace
