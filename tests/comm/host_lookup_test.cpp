// Host-name lookups are bounded by the connect time-out. A name server that
// does not answer cannot be had on demand, so this program defines
// getaddrinfo itself and exports it, so the library's calls land here: the
// name "silent.qor.test" waits until the test lets it go, "slow.qor.test"
// takes 1.2 s to give 127.0.0.1, "quick.qor.test" gives it at once, every
// other name goes to the C library (and "localhost" is counted). It plays
// a slow network the same way: while g_slow_connects is set, connect()
// returns only 5 ms after the connection was made.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

std::mutex g_gate_lock;
std::condition_variable g_gate_opened;
bool g_gate_open = false;
std::atomic<int> g_waiting{0};
std::atomic<bool> g_signals_blocked{true};
std::atomic<int> g_localhost_lookups{0};
std::atomic<bool> g_slow_connects{false};

}  // namespace

// A connection made, then 5 ms before the caller hears of it: what it
// hears (done, or in progress) is what the C library said.
extern "C" __attribute__((visibility("default"))) int connect(int fd,
                                                              const struct sockaddr *address,
                                                              socklen_t length) {
    using Function = int (*)(int, const struct sockaddr *, socklen_t);
    static auto next = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "connect"));
    int result = next(fd, address, length);
    int error = errno;
    if (g_slow_connects) {
        if (result != 0 && error == EINPROGRESS) {
            struct pollfd entry {};
            entry.fd = fd;
            entry.events = POLLOUT;
            poll(&entry, 1, 2000);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    errno = error;
    return result;
}

extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char *host,
                                                                  const char *service,
                                                                  const struct addrinfo *hints,
                                                                  struct addrinfo **result) {
    using Function =
        int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static auto next = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "getaddrinfo"));
    bool numeric = hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0;
    if (host != nullptr && !numeric && strcmp(host, "slow.qor.test") == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        return next("127.0.0.1", service, hints, result);
    }
    if (host != nullptr && !numeric && strcmp(host, "quick.qor.test") == 0) {
        return next("127.0.0.1", service, hints, result);
    }
    if (host != nullptr && strcmp(host, "localhost") == 0) {
        ++g_localhost_lookups;
    }
    if (host == nullptr || numeric || strcmp(host, "silent.qor.test") != 0) {
        return next(host, service, hints, result);
    }
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    if (sigismember(&mask, SIGINT) != 1 || sigismember(&mask, SIGTERM) != 1) {
        g_signals_blocked = false;
    }
    ++g_waiting;
    std::unique_lock<std::mutex> hold(g_gate_lock);
    g_gate_opened.wait_for(hold, std::chrono::seconds(20), [] { return g_gate_open; });
    --g_waiting;
    return EAI_NONAME;
}

namespace {

using namespace qor::test;

std::string PortError(int port) {
    char text[512];
    QOR_PortError(port, text, sizeof text);
    return text;
}

// The lookup and the connect share one deadline: 1.2 s spent looking the
// name up leave the connect 0.3 s of the 1.5 s.
TEST(CommLookup, SlowLookupLeavesTheConnectOnlyWhatRemains) {
    Blackhole blackhole;
    const std::string target = "socket://slow.qor.test:" + std::to_string(blackhole.Port());
    long long start = NowMs();
    errno = 0;
    EXPECT_EQ(0, QOR_OpenPort(62, (target + "?connect_timeout_ms=1500").c_str()));
    long long took = NowMs() - start;
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ("cannot connect to " + target + ": connect timed out after 1500 ms", PortError(62));
    EXPECT_GE(took, 1490);
    EXPECT_LT(took, 2500) << "1.5 s, and some for a busy machine; not 1.2 s more";
    QOR_ClosePort(62);
}

TEST(CommLookup, SilentNameServerEndsTheOpenAtTheConnectTimeout) {
    const std::string target = "socket://silent.qor.test:4001";
    long long start = NowMs();
    errno = 0;
    EXPECT_EQ(0, QOR_OpenPort(61, (target + "?connect_timeout_ms=200").c_str()));
    long long took = NowMs() - start;
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ("cannot connect to " + target + ": host lookup timed out after 200 ms",
              PortError(61));
    EXPECT_GE(took, 190);
    EXPECT_LT(took, 2000);
    EXPECT_TRUE(g_signals_blocked) << "the lookup thread could take the host's signals";

    // Lookups that never return are not piled up without end.
    for (int open = 0; open < 10; ++open) {
        QOR_OpenPort(61, (target + "?connect_timeout_ms=20").c_str());
    }
    EXPECT_EQ(2, g_waiting.load()) << "two lookups of one host at most are left running";
    EXPECT_EQ("cannot connect to " + target +
                  ": host lookup not started: earlier lookups that timed out have not returned",
              PortError(61));
    {
        std::lock_guard<std::mutex> hold(g_gate_lock);
        g_gate_open = true;
    }
    g_gate_opened.notify_all();
    ASSERT_TRUE(WaitFor([] { return g_waiting.load() == 0; }));

    // Once they have returned, names are looked up again.
    TcpListener listener;
    ASSERT_TRUE(WaitFor([&] {
        return QOR_OpenPort(61, ("socket://localhost:" + std::to_string(listener.Port())).c_str());
    })) << PortError(61);
    QOR_ClosePort(61);
}

// A host whose lookups never return uses up only its own places: another
// port's localhost target, and other names, are served on every call
// meanwhile, and localhost asks no name service at all.
TEST(CommLookup, SilentHostLeavesOtherHostsAndLocalhostAlone) {
    {
        // Shut again, should a test before this one in the process have
        // opened it (and seen its lookups return).
        std::lock_guard<std::mutex> hold(g_gate_lock);
        g_gate_open = false;
    }
    std::atomic<bool> done{false};
    std::thread silent([&] {
        while (!done) {
            QOR_OpenPort(65, "socket://silent.qor.test:4001?connect_timeout_ms=30");
        }
    });
    const std::string backlog =
        "cannot connect to socket://silent.qor.test:4001: host lookup not started: earlier "
        "lookups that timed out have not returned";
    ASSERT_TRUE(WaitFor([&] { return PortError(65) == backlog; })) << PortError(65);
    TcpListener listener;
    const std::string port = std::to_string(listener.Port());
    int failed = 0;
    for (int call = 0; call < 20; ++call) {
        const std::string target =
            std::string(call % 2 == 0 ? "socket://localhost:" : "socket://quick.qor.test:") + port +
            "?connect_timeout_ms=2000";
        failed += QOR_OpenPort(66, target.c_str()) == 1 ? 0 : 1;
        int server = listener.Accept();
        failed += SendFrame(66, "$1RD\r") ? 0 : 1;
        if (server >= 0) {
            failed += ReadLine(server) == "$1RD\r" ? 0 : 1;
            WriteAll(server, "*+00001.00\r");
            failed += ReceiveReply(66) == "*+00001.00\r" ? 0 : 1;
            close(server);
        }
    }
    done = true;
    silent.join();
    EXPECT_EQ(0, failed) << PortError(66);
    EXPECT_EQ(0, g_localhost_lookups.load()) << "localhost was looked up";
    EXPECT_EQ(backlog, PortError(65));
    EXPECT_EQ(2, g_waiting.load());
    {
        std::lock_guard<std::mutex> hold(g_gate_lock);
        g_gate_open = true;
    }
    g_gate_opened.notify_all();
    EXPECT_TRUE(WaitFor([] { return g_waiting.load() == 0; }));
    QOR_ClosePort(65);
    QOR_ClosePort(66);
}

// An RFC 2217 open whose connect used up all its time still offers the
// server its first request once, without waiting: a server with room takes
// it, and the open fails for what it was really waiting for, the server's
// answer, not as a write that took nothing.
TEST(CommLookup, AnOpenWithNoTimeLeftStillOffersItsFirstRequest) {
    TcpListener listener;
    const std::string target = "rfc2217://127.0.0.1:" + std::to_string(listener.Port());
    g_slow_connects = true;
    EXPECT_EQ(0, QOR_OpenPort(63, (target + "?connect_timeout_ms=2").c_str()));
    g_slow_connects = false;
    EXPECT_EQ("cannot connect to " + target +
                  ": no answer to the com port option (RFC 2217) within 2 ms; a raw TCP port "
                  "takes socket://",
              PortError(63));
    QOR_ClosePort(63);
}

}  // namespace
