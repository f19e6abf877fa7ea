// The real qor executable against a real qor-sim process on a pseudo-
// terminal: what a user sees on stdout and stderr, and the exit code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Finished {
    int exitCode = -1;  // -1: killed at the deadline
    std::string out;
    std::string err;
    double seconds = 0;
};

std::vector<char *> argvOf(std::vector<std::string> &words) {
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// Runs a program to its end (or kills it at the deadline), collecting both
// output streams. With interruptAfterLines > 0, SIGINT goes to the program
// once that many lines have appeared on its stdout. extraEnv entries
// ("NAME=value") come before, and so override, the inherited environment.
Finished runProgram(std::vector<std::string> words, int deadlineMs = 10000,
                    int interruptAfterLines = 0, std::vector<std::string> extraEnv = {}) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return {};
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char *> argv = argvOf(words);
    pid_t pid = -1;
    const auto start = Clock::now();
    std::vector<char *> envp = argvOf(extraEnv);
    envp.pop_back();
    for (char **e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    Finished r;
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        ADD_FAILURE() << "cannot start " << words[0];
        return r;
    }
    const auto deadline = start + std::chrono::milliseconds(deadlineMs);
    bool interrupted = false;
    bool killed = false;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        const int n = ::poll(fds, 2, killed ? 1000 : static_cast<int>(left));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 && killed) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
        if (interruptAfterLines > 0 && !interrupted &&
            std::count(r.out.begin(), r.out.end(), '\n') >= interruptAfterLines) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    }
    for (pollfd &p : fds) {
        if (p.fd >= 0) {
            close(p.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.exitCode = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return r;
}

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A qor-sim process serving a pseudo-terminal, stopped by pid at the end.
class Sim {
  public:
    explicit Sim(std::vector<std::string> extra = {}) {
        std::vector<std::string> words = {QOR_SIM_PATH, "--pty"};
        words.insert(words.end(), extra.begin(), extra.end());
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char *> argv = argvOf(words);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        out_ = out[0];
        // Readiness: the first stdout line is the pty path.
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (pid_ > 0 && Clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            char c;
            if (read(out_, &c, 1) != 1) {
                break;
            }
            if (c == '\n') {
                ready_ = true;
                break;
            }
            path_ += c;
        }
    }
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            close(out_);
        }
    }
    bool ready() const { return ready_ && !path_.empty(); }
    const std::string &path() const { return path_; }

    // Runs qor with --link on this simulator's pty.
    Finished qor(std::vector<std::string> args, int deadlineMs = 10000,
                 int interruptAfter = 0) const {
        std::vector<std::string> words = {QOR_CLI_PATH, "--link", path_};
        words.insert(words.end(), args.begin(), args.end());
        return runProgram(words, deadlineMs, interruptAfter);
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool ready_ = false;
    std::string path_;
};

Finished qorAlone(std::vector<std::string> args) {
    args.insert(args.begin(), QOR_CLI_PATH);
    return runProgram(args);
}

TEST(ToolsCli, ValueQueryPrintsTheReading) {
    Sim sim({"--steady"});
    ASSERT_TRUE(sim.ready());
    const Finished r = sim.qor({"rd"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "72.10\n");
    EXPECT_EQ(r.err, "");
}

// Writes followed by read-backs, in order against one simulator, with the
// checksum off and on.
TEST(ToolsCli, WritesAndReadBacks) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    const struct {
        std::vector<std::string> args;
        const char *out;
    } steps[] = {
        {{"hi", "100", "L"}, "ok\n"},
        {{"rh"}, "100.00 latching\n"},
        {{"lo", "-3.46", "M"}, "ok\n"},
        {{"rl"}, "-3.46 momentary\n"},
        {{"do", "0x0F", "0xA5"}, "ok\n"},
        {{"di", "2", "1", "0"}, "1\n"},  // the simulator loops outputs back
        {{"di", "2", "2", "4"}, "0\n"},
        {{"sb", "5"}, "ok\n"},
        {{"rb", "5"}, "1\n"},
        {{"--checksum", "rb", "5"}, "1\n"},
        {{"--checksum", "cb", "5"}, "ok\n"},
        {{"rb", "5"}, "0\n"},
        {{"ec"}, "0\n"},
        {{"rd"}, nullptr},
        {{"--checksum", "ec"}, "1\n"},
        {{"--checksum", "di", "2", "1", "0"}, "1\n"},
        {{"--checksum", "hi", "7.5"}, "ok\n"},
        {{"rh"}, "7.50 latching\n"},
        {{"ao", "12.5"}, "ok\n"},
    };
    for (const auto &s : steps) {
        const Finished r = sim.qor(s.args);
        const std::string label = ::testing::PrintToString(s.args);
        EXPECT_EQ(r.exitCode, 0) << label << ": " << r.err;
        if (s.out != nullptr) {
            EXPECT_EQ(r.out, s.out) << label;
        }
    }
}

TEST(ToolsCli, DebugEchoesFramesOnStderr) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    const Finished r = sim.qor({"--debug", "sb", "40"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "ok\n");
    EXPECT_NE(r.err.find("$1SB28"), std::string::npos) << r.err;
}

TEST(ToolsCli, ErrorReplyIsAModuleFault) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    // The simulator refuses a span trim of -100 % with "?1 RANGE".
    const Finished r = sim.qor({"ts", "-100"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("qor: module fault (status 100, error 82 'R'): the module answered with "
                         "an error reply"),
              std::string::npos)
        << r.err;
}

TEST(ToolsCli, SilentModuleIsNoReply) {
    Sim sim({"--silent"});
    ASSERT_TRUE(sim.ready());
    const Finished r = sim.qor({"--timeout", "100", "rd"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no reply"), std::string::npos) << r.err;
    EXPECT_LT(r.seconds, 5.0);
}

// Without --link, --timeout makes qor open the port's target from the
// environment itself.
TEST(ToolsCli, TimeoutOpensTheTargetNamedInTheEnvironment) {
    Sim sim({"--steady"});
    ASSERT_TRUE(sim.ready());
    const Finished r = runProgram({QOR_CLI_PATH, "--port", "2", "--timeout", "300", "rd"}, 10000, 0,
                                  {"QOR_COMM_PORT2=" + sim.path() + "?timeout_ms=5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "72.10\n");
}

TEST(ToolsCli, LinkThatCannotOpenIsALinkFault) {
    const Finished r = qorAlone({"--link", "/nonexistent/tty", "rd"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("link fault"), std::string::npos) << r.err;
}

TEST(ToolsCli, BadArgumentsExitTwoWithAHint) {
    const std::vector<std::vector<std::string>> cases = {
        {"sp", "12abc"}, {"rb", "64"},          {"frobnicate"}, {"--address", "xy", "rd"}, {},
        {"sp", "nan"},   {"do", "1", "2", "3"}, {"poll", "rd"},
    };
    for (const auto &args : cases) {
        const Finished r = qorAlone(args);
        const std::string label = ::testing::PrintToString(args);
        EXPECT_EQ(r.exitCode, 2) << label;
        EXPECT_EQ(r.out, "") << label;
        const auto lines = linesOf(r.err);
        ASSERT_EQ(lines.size(), 2u) << label << ": " << r.err;
        EXPECT_EQ(lines[0].rfind("qor: ", 0), 0u) << label;
        EXPECT_NE(lines[1].find("--help"), std::string::npos) << label;
    }
}

TEST(ToolsCli, HelpAndVersion) {
    Finished r = qorAlone({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "qor 1.0.0.1\n");
    r = qorAlone({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("QOR_COMM_PORT"), std::string::npos);
    r = qorAlone({"di", "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Usage: qor [OPTIONS] di COUNT INDEX BIT"), std::string::npos) << r.out;
}

TEST(ToolsCli, ScanFindsTheSimulatedAddresses) {
    Sim sim({"--address", "1", "--address", "7"});
    ASSERT_TRUE(sim.ready());
    // 50 ms per character leaves a loaded machine time to answer.
    const Finished r = sim.qor({"--timeout", "50", "scan"}, 15000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(1  -?\d+\.\d\d)"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(7  -?\d+\.\d\d)"))) << lines[1];
    EXPECT_EQ(lines[2], "2 modules answered");
}

TEST(ToolsCli, ScanWithNobodyThereExitsOne) {
    Sim sim({"--silent"});
    ASSERT_TRUE(sim.ready());
    const Finished r = sim.qor({"--timeout", "5", "scan"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no module answered"), std::string::npos) << r.err;
}

TEST(ToolsCli, PollPrintsCountRows) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    const Finished r = sim.qor({"poll", "rh", "--interval", "20", "--count", "3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "time,value,mode,status,error");
    const std::regex row(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,100\.00,latching,0,0)");
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], row)) << lines[i];
    }
}

TEST(ToolsCli, PollStopsOnSigint) {
    Sim sim;
    ASSERT_TRUE(sim.ready());
    // Header plus two rows, then Ctrl-C: qor ends on its own, exit 0.
    const Finished r = sim.qor({"poll", "rd", "--interval", "50"}, 10000, 3);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto lines = linesOf(r.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "time,value,status,error");
    EXPECT_LT(r.seconds, 5.0);
}

TEST(ToolsCli, DemoRunsCleanAndStopsItsSimulator) {
    const Finished r = qorAlone({"demo"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("UNEXPECTED"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("steps behaved as expected"), std::string::npos) << r.out;
    // The library's echo shows frames of both checksum settings.
    EXPECT_NE(r.err.find("$1RD\r"), std::string::npos);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(\(pid (\d+)\))")));
    EXPECT_EQ(kill(std::stoi(m[1]), 0), -1) << "simulator still running";
}

}  // namespace
