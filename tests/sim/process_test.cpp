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
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string checksummed(const std::string &frame) {
    unsigned sum = 0;
    for (char c : frame) {
        sum += static_cast<unsigned char>(c);
    }
    static const char hex[] = "0123456789ABCDEF";
    return frame + hex[(sum >> 4) & 15] + hex[sum & 15];
}

// Reads from fd until done(buffer) holds, the peer closes, or the time is up.
std::string read_until(int fd, const std::function<bool(const std::string &)> &done,
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

bool ends_with_cr(const std::string &s) {
    return !s.empty() && s.back() == '\r';
}

// One qor-sim process: started with its arguments, ready once it printed
// its first line, stopped with SIGTERM.
class Sim {
  public:
    explicit Sim(const std::vector<std::string> &args, bool capture_log = false) {
        int out[2];
        int err[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || (capture_log && pipe2(err, O_CLOEXEC) != 0)) {
            ADD_FAILURE() << "pipe";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (capture_log) {
            posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        }
        std::vector<std::string> all = {QOR_SIM_PATH};
        if (capture_log) {
            all.push_back("--log");
        }
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, QOR_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
            ADD_FAILURE() << "cannot start " << QOR_SIM_PATH;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
        if (capture_log) {
            close(err[1]);
            err_ = err[0];
        }
        const std::string line = read_until(
            out_, [](const std::string &s) { return s.find('\n') != std::string::npos; }, 5s);
        first_ = line.substr(0, line.find('\n'));
    }

    ~Sim() {
        stop();
        if (out_ >= 0) {
            close(out_);
        }
        if (err_ >= 0) {
            close(err_);
        }
    }

    const std::string &first_line() const { return first_; }
    pid_t pid() const { return pid_; }

    // SIGTERM, then the wait status (-1 when it did not end within 5 s).
    int stop() {
        if (pid_ <= 0) {
            return status_;
        }
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = st;
                return st;
            }
            std::this_thread::sleep_for(5ms);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }

    // Reads the --log output until text shows up.
    bool wait_log(const std::string &text) {
        log_ += read_until(
            err_, [&](const std::string &s) { return (log_ + s).find(text) != std::string::npos; },
            5s);
        const std::size_t at = log_.find(text);
        if (at == std::string::npos) {
            return false;
        }
        log_.erase(0, at + text.size());
        return true;
    }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string first_;
    std::string log_;
};

// A host's end of the link.
class Host {
  public:
    static Host pty(const std::string &path) {
        Host h;
        h.fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        EXPECT_GE(h.fd_, 0) << path;
        return h;
    }

    static Host tcp(const std::string &host_port) {
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
    ~Host() { close_link(); }

    void close_link() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    int fd() const { return fd_; }

    void send(const std::string &frame) {
        const std::string bytes = frame + "\r";
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void write_raw(const std::string &frame) {
        const std::string bytes = frame + "\r";
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::string reply(Clock::duration limit = 2s) { return read_until(fd_, ends_with_cr, limit); }
    std::string bytes(std::size_t n, Clock::duration limit = 2s) {
        return read_until(
            fd_, [n](const std::string &s) { return s.size() >= n; }, limit);
    }
    std::string anything_within(Clock::duration limit) {
        return read_until(
            fd_, [](const std::string &) { return false; }, limit);
    }

  private:
    int fd_ = -1;
};

const std::regex kReading(R"(\*[+-]\d{5}\.\d{2}\r)");

TEST(SimProcessPty, ServesARawTerminalAcrossClients) {
    Sim sim({"--pty", "--steady"});
    ASSERT_EQ(sim.first_line().rfind("/dev/", 0), 0u) << sim.first_line();
    {
        Host host = Host::pty(sim.first_line());
        // The simulator left the line raw: no echo, no line editing, no
        // CR/NL translation in either direction.
        termios t{};
        ASSERT_EQ(tcgetattr(host.fd(), &t), 0);
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);

        host.write_raw("$1RD");
        EXPECT_EQ(host.reply(), "*+00072.10\r");
        host.write_raw(checksummed("$1WE"));
        EXPECT_EQ(host.reply(), "*\r");
        host.write_raw(checksummed("$1HI+00123.45M"));
        EXPECT_EQ(host.reply(), "*\r");
        host.write_raw(checksummed("$1EC"));  // WE was used up
        EXPECT_EQ(host.reply(), "?1 WRITE PROTECTED\r");
    }
    // A later client finds the same module state.
    Host again = Host::pty(sim.first_line());
    again.write_raw("noise\n$1RH");
    EXPECT_EQ(again.reply(), "*+00123.45M\r");
    again.write_raw(checksummed("$1DI"));
    EXPECT_EQ(again.reply(), checksummed("*1DI0000") + "\r");
    again.close_link();
    const int status = sim.stop();
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
            Host leaving = Host::pty(sim.first_line());
            leaving.write_raw("$1RD");
            ASSERT_TRUE(sim.wait_log("got \"$1RD\\r\"")) << delay;
        }
        ASSERT_TRUE(sim.wait_log("client closed")) << delay;
        Host next = Host::pty(sim.first_line());
        next.write_raw("$1RE");
        EXPECT_EQ(next.reply(), "*0000001\r") << delay;
    }
}

TEST(SimProcessTcp, ClientsShareModulesAndOtherAddressesStayQuiet) {
    Sim sim({"--listen", "127.0.0.1:0", "--address", "1", "--address", "2", "--di-bytes", "3"});
    ASSERT_TRUE(std::regex_match(sim.first_line(), std::regex(R"(127\.0\.0\.1:\d+)")))
        << sim.first_line();
    Host a = Host::tcp(sim.first_line());
    Host b = Host::tcp(sim.first_line());

    a.send("$2RD");
    EXPECT_TRUE(std::regex_match(a.reply(), kReading));
    a.send(checksummed("$2WE"));
    EXPECT_EQ(a.reply(), "*\r");
    a.send(checksummed("$2DO0102"));
    EXPECT_EQ(a.reply(), "*\r");

    // Module 3 is not served: nothing comes back for it, so the first reply
    // B reads is the one from module 2, which sees the outputs A set.
    b.send("$3RD");
    b.send(checksummed("$2DI"));
    EXPECT_EQ(b.reply(), checksummed("*2DI030102") + "\r");
    b.send("$1DI");
    EXPECT_EQ(b.reply(), "*030000\r");
    b.send("$2EC");  // the WE was given to module 2 over A, then used by DO
    EXPECT_EQ(b.reply(), "?2 WRITE PROTECTED\r");
    b.send("$1XY");
    EXPECT_EQ(b.reply(), "?1 UNKNOWN COMMAND\r");
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
        Host host = Host::tcp(sim.first_line());
        const auto start = Clock::now();
        host.send("$1RD");
        const std::string got = c.expect.empty() ? "" : host.bytes(c.expect.size(), 3s);
        const auto took = Clock::now() - start;
        EXPECT_EQ(got, c.expect) << c.name;
        EXPECT_GE(took, c.at_least) << c.name;
        EXPECT_LT(took, 3s) << c.name;
        if (c.quiet_after > 0s) {
            EXPECT_EQ(host.anything_within(c.quiet_after), "") << c.name;
        }
    }
}

// SIGUSR1 silences a running simulator and the next one brings it back, on
// the same connection.
TEST(SimProcessTcp, UserSignalTogglesSilence) {
    Sim sim({"--listen", ":0", "--steady"});
    Host host = Host::tcp(sim.first_line());
    for (bool silent : {false, true, false, true, false}) {
        host.send("$1RD");
        EXPECT_EQ(host.reply(silent ? 300ms : 2s), silent ? "" : "*+00072.10\r");
        ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
        // The signal is taken asynchronously: a frame sent at once could
        // still meet the old state.
        std::this_thread::sleep_for(50ms);
    }
}

TEST(SimProcessTcp, DropAfterClosesEachConnectionAfterItsReplies) {
    Sim sim({"--listen", "0", "--drop-after", "2"});
    for (int round = 0; round < 2; ++round) {
        Host host = Host::tcp(sim.first_line());
        host.send("$1ACK");
        EXPECT_EQ(host.reply(), "*\r");
        host.send("$1ACK");
        EXPECT_EQ(host.reply(), "*\r");
        bool closed = false;
        EXPECT_EQ(read_until(
                      host.fd(), [](const std::string &) { return false; }, 3s, &closed),
                  "");
        EXPECT_TRUE(closed) << round;
    }
}

int run_to_exit(const std::vector<std::string> &args, std::string &out) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> all = {QOR_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, QOR_SIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (rc != 0) {
        close(pipe_fds[0]);
        return -1;
    }
    out = read_until(
        pipe_fds[0], [](const std::string &) { return false; }, 5s);
    close(pipe_fds[0]);
    int status = 0;
    const auto deadline = Clock::now() + 5s;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
        EXPECT_EQ(run_to_exit(args, out), 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_EQ(out, "");
    }
    std::string out;
    EXPECT_EQ(run_to_exit({"--help"}, out), 0);
    EXPECT_NE(out.find("--listen"), std::string::npos);
}

}  // namespace
