// Runs the real qor-sim program and talks to it the way a host does: through
// its pseudo-terminal with termios, or through a TCP socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_process.h"
#include "tests/support/run_program.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string Checksummed(const std::string &frame) {
    unsigned sum = 0;
    for (char c : frame) {
        sum += static_cast<unsigned char>(c);
    }
    static const char kHex[] = "0123456789ABCDEF";
    return frame + kHex[(sum >> 4) & 15] + kHex[sum & 15];
}

// Reads from fd until done(buffer) holds, the peer closes, or the time is up.
std::string ReadUntil(int fd, const std::function<bool(const std::string &)> &done,
                      Clock::duration limit, bool *closed = nullptr) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (!done(got)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            if (closed != nullptr) {
                *closed = true;
            }
            break;
        }
    }
    return got;
}

bool EndsWithCr(const std::string &s) {
    return !s.empty() && s.back() == '\r';
}

// One qor-sim process with its log on a pipe (--log), stopped with SIGTERM.
class Sim {
  public:
    explicit Sim(const std::vector<std::string> &args, bool capture_log = false)
        : process_(Start(capture_log), WithLog(args, capture_log)) {}

    const std::string &FirstLine() const { return process_.Where(); }
    pid_t Pid() const { return process_.Pid(); }
    int Stop() { return process_.Stop(); }
    bool WaitLog(const std::string &text) { return process_.WaitLog(text); }

  private:
    static qor::test::SimStart Start(bool capture_log) {
        qor::test::SimStart start;
        start.program = qor::test::BuiltSimPath();
        start.capture_log = capture_log;
        return start;
    }
    static std::vector<std::string> WithLog(std::vector<std::string> args, bool log) {
        if (log) {
            args.insert(args.begin(), "--log");
        }
        return args;
    }

    qor::test::SimProcess process_;
};

// A host's end of the link.
class Host {
  public:
    static Host Pty(const std::string &path) {
        Host h;
        h.fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        EXPECT_GE(h.fd_, 0) << path;
        return h;
    }

    static Host Tcp(const std::string &host_port) {
        Host h;
        const std::size_t colon = host_port.rfind(':');
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(host_port.substr(colon + 1))));
        inet_pton(AF_INET, host_port.substr(0, colon).c_str(), &a.sin_addr);
        h.fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(h.fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << host_port;
        return h;
    }

    Host() = default;
    Host(Host &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Host &operator=(Host &&o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Host() { CloseLink(); }

    void CloseLink() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    int Fd() const { return fd_; }

    void Send(const std::string &frame) const {
        const std::string bytes = frame + "\r";
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void WriteRaw(const std::string &frame) const {
        const std::string bytes = frame + "\r";
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::string Reply(Clock::duration limit = 2s) const {
        return ReadUntil(fd_, EndsWithCr, limit);
    }
    std::string Bytes(std::size_t n, Clock::duration limit = 2s) const {
        return ReadUntil(
            fd_, [n](const std::string &s) { return s.size() >= n; }, limit);
    }
    std::string AnythingWithin(Clock::duration limit) const {
        return ReadUntil(
            fd_, [](const std::string &) { return false; }, limit);
    }

  private:
    int fd_ = -1;
};

const std::regex kReading(R"(\*[+-]\d{5}\.\d{2}\r)");

TEST(SimProcessPty, ServesARawTerminalAcrossClients) {
    Sim sim({"--pty", "--steady"});
    ASSERT_EQ(sim.FirstLine().rfind("/dev/", 0), 0u) << sim.FirstLine();
    {
        Host host = Host::Pty(sim.FirstLine());
        // The simulator left the line raw: no echo, no line editing, no
        // CR/NL translation in either direction.
        termios t{};
        ASSERT_EQ(tcgetattr(host.Fd(), &t), 0);
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);

        host.WriteRaw("$1RD");
        EXPECT_EQ(host.Reply(), "*+00072.10\r");
        host.WriteRaw(Checksummed("$1WE"));
        EXPECT_EQ(host.Reply(), "*\r");
        host.WriteRaw(Checksummed("$1HI+00123.45M"));
        EXPECT_EQ(host.Reply(), "*\r");
        host.WriteRaw(Checksummed("$1EC"));  // WE was used up
        EXPECT_EQ(host.Reply(), "?1 WRITE PROTECTED\r");
    }
    // A later client finds the same module state.
    Host again = Host::Pty(sim.FirstLine());
    again.WriteRaw("noise\n$1RH");
    EXPECT_EQ(again.Reply(), "*+00123.45M\r");
    again.WriteRaw(Checksummed("$1DI"));
    EXPECT_EQ(again.Reply(), Checksummed("*1DI0000") + "\r");
    again.CloseLink();
    const int status = sim.Stop();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SimProcessPty, RepliesForAClientThatLeftAreNotReadByTheNext) {
    // Without delay the reply is written before the close is seen; with a
    // delay the close comes first. Either way the next client must start
    // with an empty line.
    for (const char *delay : {"0", "200"}) {
        Sim sim({"--pty", "--delay-ms", delay}, true);
        {
            Host leaving = Host::Pty(sim.FirstLine());
            leaving.WriteRaw("$1RD");
            ASSERT_TRUE(sim.WaitLog("got \"$1RD\\r\"")) << delay;
        }
        ASSERT_TRUE(sim.WaitLog("client closed")) << delay;
        Host next = Host::Pty(sim.FirstLine());
        next.WriteRaw("$1RE");
        EXPECT_EQ(next.Reply(), "*0000001\r") << delay;
    }
}

TEST(SimProcessTcp, ClientsShareModulesAndOtherAddressesStayQuiet) {
    Sim sim({"--listen", "127.0.0.1:0", "--address", "1", "--address", "2", "--di-bytes", "3"});
    ASSERT_TRUE(std::regex_match(sim.FirstLine(), std::regex(R"(127\.0\.0\.1:\d+)")))
        << sim.FirstLine();
    Host a = Host::Tcp(sim.FirstLine());
    Host b = Host::Tcp(sim.FirstLine());

    a.Send("$2RD");
    EXPECT_TRUE(std::regex_match(a.Reply(), kReading));
    a.Send(Checksummed("$2WE"));
    EXPECT_EQ(a.Reply(), "*\r");
    a.Send(Checksummed("$2DO0102"));
    EXPECT_EQ(a.Reply(), "*\r");

    // Module 3 is not served: nothing comes back for it, so the first reply
    // B reads is the one from module 2, which sees the outputs A set.
    b.Send("$3RD");
    b.Send(Checksummed("$2DI"));
    EXPECT_EQ(b.Reply(), Checksummed("*2DI030102") + "\r");
    b.Send("$1DI");
    EXPECT_EQ(b.Reply(), "*030000\r");
    b.Send("$2EC");  // the WE was given to module 2 over A, then used by DO
    EXPECT_EQ(b.Reply(), "?2 WRITE PROTECTED\r");
    b.Send("$1XY");
    EXPECT_EQ(b.Reply(), "?1 UNKNOWN COMMAND\r");
}

struct FaultCase {
    const char *name;
    std::vector<std::string> args;
    std::string expect;           // exact bytes expected
    Clock::duration quiet_after;  // and nothing more for this long
    Clock::duration at_least;     // not earlier than this after the frame
};

TEST(SimProcessTcp, FaultOptionsShapeTheReply) {
    const std::string pad(50, '0');
    const FaultCase cases[] = {
        {"silent", {"--silent"}, "", 300ms, 0s},
        {"garbage", {"--garbage"}, "#~%\r*+00072.10\r", 0s, 0s},
        {"garbage text", {"--garbage", "xy\\n"}, "xy\n*+00072.10\r", 0s, 0s},
        {"truncate", {"--truncate"}, "*+00072.10", 200ms, 0s},
        {"overlong", {"--overlong", "60"}, "*+00072.10" + pad + "\r", 0s, 0s},
        {"delay", {"--delay-ms", "250"}, "*+00072.10\r", 0s, 250ms},
        // 5 frame and 11 reply characters at 1200 baud: 16 * 8.33 ms.
        {"baud", {"--baud", "1200"}, "*+00072.10\r", 0s, 130ms},
    };
    for (const FaultCase &c : cases) {
        std::vector<std::string> args = {"--listen", ":0", "--steady"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Sim sim(args);
        Host host = Host::Tcp(sim.FirstLine());
        const auto start = Clock::now();
        host.Send("$1RD");
        const std::string got = c.expect.empty() ? "" : host.Bytes(c.expect.size(), 3s);
        const auto took = Clock::now() - start;
        EXPECT_EQ(got, c.expect) << c.name;
        EXPECT_GE(took, c.at_least) << c.name;
        EXPECT_LT(took, 3s) << c.name;
        if (c.quiet_after > 0s) {
            EXPECT_EQ(host.AnythingWithin(c.quiet_after), "") << c.name;
        }
    }
}

// SIGUSR1 silences a running simulator and the next one brings it back, on
// the same connection.
TEST(SimProcessTcp, UserSignalTogglesSilence) {
    Sim sim({"--listen", ":0", "--steady"});
    Host host = Host::Tcp(sim.FirstLine());
    for (bool silent : {false, true, false, true, false}) {
        host.Send("$1RD");
        EXPECT_EQ(host.Reply(silent ? 300ms : 2s), silent ? "" : "*+00072.10\r");
        ASSERT_EQ(kill(sim.Pid(), SIGUSR1), 0);
        // The signal is taken asynchronously: a frame sent at once could
        // still meet the old state.
        std::this_thread::sleep_for(50ms);
    }
}

TEST(SimProcessTcp, DropAfterClosesEachConnectionAfterItsReplies) {
    Sim sim({"--listen", "0", "--drop-after", "2"});
    for (int round = 0; round < 2; ++round) {
        Host host = Host::Tcp(sim.FirstLine());
        host.Send("$1ACK");
        EXPECT_EQ(host.Reply(), "*\r");
        host.Send("$1ACK");
        EXPECT_EQ(host.Reply(), "*\r");
        bool closed = false;
        EXPECT_EQ(ReadUntil(
                      host.Fd(), [](const std::string &) { return false; }, 3s, &closed),
                  "");
        EXPECT_TRUE(closed) << round;
    }
}

// CPU seconds (user and system) a process has used so far.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // After the command name in parentheses: state is field 3, utime 14, stime 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int field = 3; field <= 13; ++field) {
        fields >> skipped;
    }
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Out of descriptors, accept fails while the listener stays readable: the
// simulator must leave it alone for a while instead of spinning, say so
// once, and serve again once descriptors are free.
TEST(SimProcessTcp, OutOfDescriptorsBacksOffAndRecovers) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QOR_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QOR_UNDER_SANITIZER 1
#endif
#endif
#ifdef QOR_UNDER_SANITIZER
    // The sanitizers' runtime opens descriptors of its own for its checks
    // (a pipe to test whether memory is readable), which fail here and
    // report errors the program does not have. clang says so through
    // __has_feature, gcc through __SANITIZE_*__.
    GTEST_SKIP() << "not under the sanitizers";
#endif
    // The simulator itself holds about six descriptors; 24 clients pass the
    // limit, and those it cannot take wait in the listen backlog.
    qor::test::SimStart start;
    start.program = "/bin/sh";
    start.capture_log = true;
    qor::test::SimProcess sim(start,
                              {"-c", "ulimit -n 24 && exec \"$0\" --listen 127.0.0.1:0 --steady",
                               qor::test::BuiltSimPath()});
    ASSERT_FALSE(sim.Where().empty());
    std::vector<Host> held;
    for (int i = 0; i < 24; ++i) {
        held.push_back(Host::Tcp(sim.Where()));
    }
    ASSERT_TRUE(sim.WaitLog("cannot accept a connection"));
    const double before = CpuSeconds(sim.Pid());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(CpuSeconds(sim.Pid()) - before, 0.5) << "the simulator spins";
    EXPECT_FALSE(sim.WaitLog("cannot accept a connection", 100)) << "logged more than once";

    held.clear();
    Host late = Host::Tcp(sim.Where());
    late.Send("$1RD");
    EXPECT_EQ(late.Reply(5s), "*+00072.10\r");
    EXPECT_TRUE(sim.WaitLog("accepting connections again"));
}

int RunToExit(const std::vector<std::string> &args, std::string &out) {
    std::vector<std::string> words = {qor::test::BuiltSimPath()};
    words.insert(words.end(), args.begin(), args.end());
    const qor::test::Finished r = qor::test::RunProgram(words, qor::test::RunLimits{5000, 0, {}});
    out = r.out;
    return r.exit_code;
}

TEST(SimProcessArgs, BadArgumentsExitWithTwoAndHelpWithZero) {
    const std::vector<std::vector<std::string>> bad = {{},
                                                       {"--bogus"},
                                                       {"--pty", "--listen", "0"},
                                                       {"--di-bytes", "25", "--pty"},
                                                       {"--address", "12", "--pty"},
                                                       {"--listen", "1.2.3.4:99999"}};
    for (const auto &args : bad) {
        std::string out;
        EXPECT_EQ(RunToExit(args, out), 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_EQ(out, "");
    }
    std::string out;
    EXPECT_EQ(RunToExit({"--help"}, out), 0);
    EXPECT_NE(out.find("--listen"), std::string::npos);
}

}  // namespace
