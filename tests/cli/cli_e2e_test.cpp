// The real qor executable against a real qor-sim process on a pseudo-
// terminal: what a user sees on stdout and stderr, and the exit code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_process.h"
#include "tests/support/run_program.h"

namespace {

using qor::test::Finished;
using qor::test::RunLimits;
using qor::test::RunProgram;

std::vector<std::string> LinesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> PtyArguments(std::vector<std::string> extra) {
    extra.insert(extra.begin(), "--pty");
    return extra;
}

// A qor-sim process serving a pseudo-terminal, and qor run against it.
class Sim {
  public:
    explicit Sim(std::vector<std::string> extra = {}) : process_(PtyArguments(std::move(extra))) {}

    bool Ready() const { return !process_.Where().empty(); }
    const std::string &Path() const { return process_.Where(); }

    // Runs qor with --link on this simulator's pty.
    Finished Qor(std::vector<std::string> args, const RunLimits &limits = {}) const {
        std::vector<std::string> words = {QOR_CLI_PATH, "--link", Path()};
        words.insert(words.end(), args.begin(), args.end());
        return RunProgram(words, limits);
    }

  private:
    qor::test::SimProcess process_;
};

Finished QorAlone(std::vector<std::string> args, const RunLimits &limits = {}) {
    args.insert(args.begin(), QOR_CLI_PATH);
    return RunProgram(args, limits);
}

// A shell line with "QOR" standing for the program and "PTY" for the
// simulator's pseudo-terminal, for redirections a user would type.
Finished Shell(std::string line, const std::string &pty) {
    for (const auto &[name, value] : {std::pair<std::string, std::string>{"QOR", QOR_CLI_PATH},
                                      std::pair<std::string, std::string>{"PTY", pty}}) {
        for (size_t at = line.find(name); at != std::string::npos; at = line.find(name, at)) {
            line.replace(at, name.size(), "'" + value + "'");
            at += value.size() + 2;
        }
    }
    return RunProgram({"/bin/sh", "-c", line});
}

bool Matches(const std::string &text, const std::string &pattern) {
    return std::regex_search(text, std::regex(pattern));
}

TEST(ToolsCli, ValueQueryPrintsTheReading) {
    Sim sim({"--steady"});
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor({"rd"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "72.10\n");
    EXPECT_EQ(r.err, "");
}

// Writes followed by read-backs, in order against one simulator, with the
// checksum off and on.
TEST(ToolsCli, WritesAndReadBacks) {
    Sim sim;
    ASSERT_TRUE(sim.Ready());
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
        const Finished r = sim.Qor(s.args);
        const std::string label = ::testing::PrintToString(s.args);
        EXPECT_EQ(r.exit_code, 0) << label << ": " << r.err;
        if (s.out != nullptr) {
            EXPECT_EQ(r.out, s.out) << label;
        }
    }
}

TEST(ToolsCli, DebugEchoesFramesOnStderr) {
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor({"--debug", "sb", "40"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "ok\n");
    EXPECT_NE(r.err.find("$1SB28"), std::string::npos) << r.err;
}

TEST(ToolsCli, ErrorReplyIsAModuleFault) {
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    // The simulator refuses a span trim of -100 % with "?1 RANGE".
    const Finished r = sim.Qor({"ts", "-100"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("qor: module fault (status 100, error 82 'R'): module 1 answered "
                         "\"?1 RANGE\""),
              std::string::npos)
        << r.err;
}

TEST(ToolsCli, ReplyShortOfTheInputBytesIsABadDiReply) {
    Sim sim;  // two input bytes
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor({"di", "4", "1", "0"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("qor: bad DI reply (status 200, error 2): module 1 answered \"*0000\", "
                         "not the 8 hex digits asked for (4 bytes)"),
              std::string::npos)
        << r.err;
}

TEST(ToolsCli, SilentModuleIsNoReply) {
    Sim sim({"--silent"});
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor({"--timeout", "100", "rd"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no reply"), std::string::npos) << r.err;
    EXPECT_LT(r.seconds, 5.0);
}

// A module that sends a second reply right behind the first: the link
// refuses the first, and the message says so and why, not that nothing came.
TEST(ToolsCli, RefusedReplyIsNamedAsSuch) {
    Sim sim({"--steady", "--garbage=*+00001.00\\r"});
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor({"--timeout", "100", "rd"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("reply refused (status 100, error 1): the link did not take the reply "
                         "\"*+00001.00\" to module 1 on "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("as this frame's: more input came right behind it\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("no reply"), std::string::npos) << r.err;
}

// Without --link, --timeout makes qor open the port's target from the
// environment itself.
TEST(ToolsCli, TimeoutOpensTheTargetNamedInTheEnvironment) {
    Sim sim({"--steady"});
    ASSERT_TRUE(sim.Ready());
    const Finished r =
        RunProgram({QOR_CLI_PATH, "--port", "2", "--timeout", "300", "rd"},
                   RunLimits{10000, 0, {"QOR_COMM_PORT2=" + sim.Path() + "?timeout_ms=5"}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "72.10\n");
}

TEST(ToolsCli, LinkThatCannotOpenIsALinkFault) {
    const Finished r = QorAlone({"--link", "/nonexistent/tty", "rd"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("link fault"), std::string::npos) << r.err;
}

// A program left running in the background, as a user leaves a gateway or a
// poll, until it has printed `ready` (its device is open then); stopped by
// its pid.
class Background {
  public:
    Background(const std::vector<std::string> &words, const std::string &ready) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            std::vector<char *> argv;
            for (const std::string &word : words) {
                argv.push_back(const_cast<char *>(word.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // Bounded only so that a program that never gets ready fails the test.
        for (int waits = 0; waits < 300 && output_.find(ready) == std::string::npos; ++waits) {
            struct pollfd ready_fd = {out[0], POLLIN, 0};
            char block[512];
            ssize_t got = poll(&ready_fd, 1, 100) > 0 ? read(out[0], block, sizeof block) : 0;
            if (got < 0 || (got == 0 && ready_fd.revents != 0)) {
                break;
            }
            output_.append(block, static_cast<size_t>(got));
        }
        out_ = out[0];
    }
    // SIGKILL: a gateway whose broker is nowhere would take its time to stop.
    ~Background() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        close(out_);
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    pid_t Pid() const { return pid_; }
    const std::string &Output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// The gateway's configuration for one link on `pty`, in a folder of its own
// (its spool lies beside it); its broker is nowhere, which does not keep it
// from polling.
std::string GatewayConfig(const std::string &pty) {
    char folder[] = "/tmp/qor-cli-gateway-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return "";
    }
    const std::string path = std::string(folder) + "/hall.toml";
    std::ofstream(path) << "[broker]\nhost = \"127.0.0.1\"\nport = 1\nclient_id = \"hall\"\n"
                        << "[[link]]\nname = \"bus\"\ntarget = \"" << pty << "\"\n"
                        << "[[link.module]]\naddress = \"1\"\nname = \"boiler\"\n"
                        << "poll = { rd = 200 }\n";
    return path;
}

// One port, one owner: a device a running program holds is refused to qor
// at once, naming the holder, instead of two programs taking each other's
// replies.
TEST(ToolsCli, ADeviceAnotherProgramHoldsIsRefusedNamingIt) {
    Sim sim({"--steady"});
    ASSERT_TRUE(sim.Ready());
    struct HolderCase {
        std::string name;
        std::vector<std::string> words;
        std::string ready;
    };
    std::vector<HolderCase> cases = {
        {"qor", {QOR_CLI_PATH, "--link", sim.Path(), "poll", "rd", "--interval", "100"}, "72.10"},
    };
#ifdef QOR_GATEWAY_PATH
    const std::string config = GatewayConfig(sim.Path());
    cases.push_back({"qor-gateway", {QOR_GATEWAY_PATH, config}, "open on"});
#endif
    for (const HolderCase &c : cases) {
        SCOPED_TRACE(c.name);
        Background holder(c.words, c.ready);
        ASSERT_NE(holder.Output().find(c.ready), std::string::npos) << holder.Output();
        const Finished r = sim.Qor({"rd"});
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_EQ(r.err, "qor: link fault on port 1 (" + sim.Path() +
                             "): port busy: " + sim.Path() + " is held by " + c.name + " (PID " +
                             std::to_string(holder.Pid()) + ")\n");
    }
#ifdef QOR_GATEWAY_PATH
    std::filesystem::remove_all(std::filesystem::path(config).parent_path());
#endif
}

TEST(ToolsCli, BadArgumentsExitTwoWithAHint) {
    const std::vector<std::vector<std::string>> cases = {
        {"sp", "12abc"},
        {"rb", "64"},
        {"frobnicate"},
        {"--address", "xy", "rd"},
        {},
        {"sp", "nan"},
        {"do", "1", "2", "3"},
        {"poll", "rd"},
        {"--port", "255", "--link", "/dev/null", "--link", "/dev/null", "poll", "rd", "--interval",
         "10"},
    };
    for (const auto &args : cases) {
        const Finished r = QorAlone(args);
        const std::string label = ::testing::PrintToString(args);
        EXPECT_EQ(r.exit_code, 2) << label;
        EXPECT_EQ(r.out, "") << label;
        const auto lines = LinesOf(r.err);
        ASSERT_EQ(lines.size(), 2u) << label << ": " << r.err;
        EXPECT_EQ(lines[0].rfind("qor: ", 0), 0u) << label;
        EXPECT_NE(lines[1].find("--help"), std::string::npos) << label;
    }
}

TEST(ToolsCli, HelpAndVersion) {
    Finished r = QorAlone({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string("qor ") + QOR_VERSION + "\n");
    r = QorAlone({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("QOR_COMM_PORT"), std::string::npos);
    r = QorAlone({"di", "--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Usage: qor [OPTIONS] di COUNT INDEX BIT"), std::string::npos) << r.out;
}

TEST(ToolsCli, ScanFindsTheSimulatedAddresses) {
    Sim sim({"--address", "1", "--address", "7", "--address", "~"});
    ASSERT_TRUE(sim.Ready());
    // 50 ms per character leaves a loaded machine time to answer.
    const Finished r = sim.Qor({"--timeout", "50", "scan"}, RunLimits{15000, 0, {}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = LinesOf(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(1  -?\d+\.\d\d)"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(7  -?\d+\.\d\d)"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(~  -?\d+\.\d\d)"))) << lines[2];
    EXPECT_EQ(lines[3], "3 modules answered");
}

TEST(ToolsCli, ScanWithNobodyThereExitsOne) {
    Sim sim({"--silent"});
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor({"--timeout", "5", "scan"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no module answered"), std::string::npos) << r.err;
}

// The simulator answers for "!", the first address, and goes away once the
// next frame came: the scan stops at the first frame that cannot be
// written, as a link fault.
TEST(ToolsCli, ScanWhoseLinkFailsMidwayIsALinkFault) {
    qor::test::SimStart start{qor::test::BuiltSimPath()};
    start.capture_log = true;
    qor::test::SimProcess sim(start, {"--pty", "--steady", "--log", "--address", "!"});
    ASSERT_FALSE(sim.Where().empty());
    std::thread stopper([&] {
        if (sim.WaitLog("sent") && sim.WaitLog("got")) {
            sim.Stop();
        }
    });
    const Finished r = RunProgram({QOR_CLI_PATH, "--link", sim.Where(), "--timeout", "50", "scan"});
    stopper.join();
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_EQ(r.out, "!  72.10\n");
    EXPECT_NE(r.err.find("qor: link fault (status 200, error 1)"), std::string::npos) << r.err;
}

TEST(ToolsCli, PollPrintsCountRows) {
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor({"poll", "rh", "--interval", "20", "--count", "3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = LinesOf(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "time,value,mode,status,error");
    const std::regex row(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,100\.00,latching,0,0)");
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], row)) << lines[i];
    }
}

// After its last row poll ends at once, without waiting out an interval.
TEST(ToolsCli, PollEndsAfterItsLastRow) {
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor({"poll", "rd", "--interval", "60000", "--count", "1"});
    EXPECT_EQ(r.exit_code, 0) << "killed at the 10 s deadline: " << r.err;
    EXPECT_EQ(LinesOf(r.out).size(), 2u) << r.out;
}

TEST(ToolsCli, PollStopsOnSigint) {
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    // Header plus two rows, then Ctrl-C: qor ends on its own, exit 0.
    const Finished r = sim.Qor({"poll", "rd", "--interval", "50"}, RunLimits{10000, 3, {}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = LinesOf(r.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "time,value,status,error");
    EXPECT_LT(r.seconds, 5.0);
}

// The library's echo is always on in the demo; --debug adds the
// simulator's log of the same exchanges.
TEST(ToolsCli, DemoRunsCleanAndStopsItsSimulator) {
    const struct {
        std::vector<std::string> args;
        bool simulator_log;
    } cases[] = {{{"demo"}, false}, {{"demo", "--debug"}, true}};
    for (const auto &c : cases) {
        const std::string label = ::testing::PrintToString(c.args);
        const Finished r = QorAlone(c.args);
        EXPECT_EQ(r.exit_code, 0) << label << r.out << r.err;
        EXPECT_EQ(r.out.find("UNEXPECTED"), std::string::npos) << label << r.out;
        EXPECT_NE(r.out.find("steps behaved as expected"), std::string::npos) << label << r.out;
        // The library's echo shows frames of both checksum settings.
        EXPECT_NE(r.err.find("$1RD\r"), std::string::npos) << label;
        const bool logged = r.err.find("qor-sim pty got \"$1RD\\r\"") != std::string::npos;
        EXPECT_EQ(logged, c.simulator_log) << label << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(\(pid (\d+)\))"))) << label;
        EXPECT_EQ(kill(std::stoi(m[1]), 0), -1) << label << ": simulator still running";
    }
}

// Each failure names its cause, as a newcomer would want to read it.
TEST(ToolsCli, MessagesNameTheCause) {
    const struct {
        std::vector<std::string> sim;  // empty: no simulator, qor alone
        std::vector<std::string> args;
        int exit_code;
        const char *err;  // a regular expression the standard error holds
    } cases[] = {
        {{"--silent"},
         {"--timeout", "50", "rd"},
         1,
         R"(^qor: no reply \(status 100, error 1\): module 1 did not answer on port 1 \(/dev/\S+\?timeout_ms=50\) within 50 ms\n$)"},
        {{"--steady"},
         {"--address", "7", "--timeout", "50", "rd"},
         1,
         "module 7 did not answer on port 1"},
        {{"--steady"}, {"ts", "-100"}, 1, R"(module 1 answered "\?1 RANGE")"},
        {{"--di-bytes", "3"},
         {"di", "2", "1", "0"},
         3,
         R"(bad DI reply \(status 200, error 2\): module 1 answered "\*[0-9A-F]{6}", not the 4 hex digits)"},
        {{"--no-number"},
         {"rd"},
         3,
         R"(^qor: no number \(status 200, error 2\): module 1 answered "\*", which holds no digit\n$)"},
        {{"--silent"},
         {"--timeout", "20", "--retries", "2", "rd"},
         1,
         R"(within 20 ms \(3 tries\))"},
        {{}, {"--link", "socket://", "rd"}, 2, R"(^qor: bad target "socket://": )"},
        {{}, {"--link", "/dev/null?baud=abc", "rd"}, 2, "baud=abc"},
        {{},
         {"--link", "/nonexistent/tty", "rd"},
         3,
         "link fault on port 1 \\(/nonexistent/tty\\): "},
        {{},
         {"--port", "200", "rd"},
         3,
         R"(link fault on port 200 \(/dev/ttyS199, default\): .*\n.*no --link was given)"},
        {{}, {"hii"}, 2, "did you mean 'hi'\\?"},
    };
    for (const auto &c : cases) {
        const std::string label = ::testing::PrintToString(c.args);
        Finished r;
        if (c.sim.empty()) {
            r = QorAlone(c.args);
        } else {
            Sim sim(c.sim);
            ASSERT_TRUE(sim.Ready()) << label;
            r = sim.Qor(c.args);
        }
        EXPECT_EQ(r.exit_code, c.exit_code) << label << ": " << r.err;
        EXPECT_TRUE(Matches(r.err, c.err)) << label << ": " << r.err;
    }
}

// --trace shows both directions with times; a reply's control characters
// reach the terminal escaped, never raw.
TEST(ToolsCli, TraceShowsEveryExchangeEscaped) {
    Sim sim({"--steady", "--garbage=\\x1b]0;pwned\\x07\\x1b[2J"});
    ASSERT_TRUE(sim.Ready());
    Finished r = sim.Qor({"--trace", "rd"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "72.10\n");
    const auto lines = LinesOf(r.err);
    ASSERT_EQ(lines.size(), 3u) << r.err;
    EXPECT_TRUE(Matches(lines[0], R"(^\+0\.000 ms  port 1  \+  opened /dev/)")) << lines[0];
    EXPECT_TRUE(Matches(lines[1], R"(^\+\d+\.\d{3} ms  port 1  >  \$1RD$)")) << lines[1];
    EXPECT_TRUE(Matches(
        lines[2], R"(^\+\d+\.\d{3} ms  port 1  <  \\x1b\]0;pwned\\x07\\x1b\[2J\*\+00072\.10$)"))
        << lines[2];
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
    // --debug is the same trace; a silent address ends in a time-out line.
    r = sim.Qor({"--debug", "--address", "7", "--timeout", "30", "rd"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(Matches(r.err, R"(port 1  >  \$7RD\n.*port 1  !  no reply in 30 ms\n)")) << r.err;
}

// A failed write to standard output ends qor with a message and code 4.
TEST(ToolsCli, OutputErrorsEndTheProgram) {
    Sim sim({"--steady"});
    ASSERT_TRUE(sim.Ready());
    const struct {
        const char *line;
        const char *err;
    } cases[] = {
        {"QOR --link PTY rd >/dev/full; echo \"exit $?\" >&2", "No space left on device"},
        {"QOR --link PTY poll rd --interval 10 >&-; echo \"exit $?\" >&2",
         "standard output is closed"},
        {"QOR --help >/dev/full; echo \"exit $?\" >&2", "No space left on device"},
    };
    for (const auto &c : cases) {
        const Finished r = Shell(c.line, sim.Path());
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.line << ": " << r.err;
        EXPECT_NE(r.err.find("exit 4"), std::string::npos) << c.line << ": " << r.err;
    }
}

// A reader that has seen enough is normal use: qor stops at once, quietly
// and with code 0, whether it notices while poll waits or when a write
// fails (EPIPE, or SIGPIPE whether the shell ignores it or not).
TEST(ToolsCli, ReaderGoingAwayEndsQuietly) {
    Sim sim({"--steady"});
    ASSERT_TRUE(sim.Ready());
    const struct {
        const char *line;
        const char *out;
    } cases[] = {
        {"{ QOR --link PTY poll rd --interval 20000; echo \"exit $?\" >&2; } | head -n 2",
         "time,value,status,error\n"},
        {"{ QOR --link PTY poll rd --interval 1; echo \"exit $?\" >&2; } | head -n 2", nullptr},
        // The reader is gone before qor starts: its first write fails.
        {"{ sleep 0.3; QOR --link PTY rd; echo \"exit $?\" >&2; } | true", ""},
        {"trap '' PIPE; { sleep 0.3; QOR --link PTY poll rd --interval 10; echo \"exit $?\" >&2; } "
         "| true",
         ""},
    };
    for (const auto &c : cases) {
        const Finished r = Shell(c.line, sim.Path());
        EXPECT_EQ(r.err, "exit 0\n") << c.line;
        if (c.out != nullptr) {
            EXPECT_EQ(r.out.substr(0, std::string(c.out).size()), c.out) << c.line;
        }
    }
}

TEST(ToolsCli, SeveralAddressesOneLineEach) {
    Sim sim({"--steady", "--address", "1", "--address", "2"});
    ASSERT_TRUE(sim.Ready());
    Finished r = sim.Qor({"--address", "1,2", "rd"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1  72.10\n2  72.10\n");
    // Module 9's silence costs the time-out and the recovery after it: short
    // enough for a quick test, long enough for modules 1 and 2 to answer on
    // a busy machine.
    r = sim.Qor({"--address", "1", "--address", "9", "--address", "2", "--timeout", "300", "rh"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "1  100.00 latching\n2  100.00 latching\n");
    EXPECT_NE(r.err.find("module 9 did not answer"), std::string::npos) << r.err;
}

// Several addresses or links that fail in different ways: each failure is
// reported, the exit code is the gravest of them (a link fault, 3, over a
// module fault, 1) in whatever order they came, and an address that fails
// does not stop the ones after it.
TEST(ToolsCli, MixedFailuresExitWithTheGravest) {
    Sim sim({"--steady", "--address", "1", "--address", "2", "--di-bytes", "3"});
    ASSERT_TRUE(sim.Ready());
    const char *silent = "module 9 did not answer";
    const char *bad_di = "qor: bad DI reply";
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::vector<const char *> errors;
        const char *out;
    } cases[] = {
        {{"--address", "9,1", "--timeout", "300", "di", "2", "1", "0"}, 3, {silent, bad_di}, ""},
        {{"--address", "1,9", "--timeout", "300", "di", "2", "1", "0"}, 3, {bad_di, silent}, ""},
        {{"--address", "9,2", "--timeout", "300", "ts", "-100"},
         1,
         {silent, "module 2 answered \"?2 RANGE\""},
         ""},
        {{"--address", "1,9,2", "--timeout", "300", "rd"}, 1, {silent}, "1  72.10\n2  72.10\n"},
    };
    for (const auto &c : cases) {
        const std::string label = ::testing::PrintToString(c.args);
        const Finished r = sim.Qor(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << label << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << label;
        size_t at = 0;
        for (const char *error : c.errors) {
            at = r.err.find(error, at);
            EXPECT_NE(at, std::string::npos) << label << ": " << error << " in " << r.err;
        }
        EXPECT_EQ(LinesOf(r.err).size(), c.errors.size()) << label << ": " << r.err;
    }
    // Links are opened in turn; the first that fails gives the exit code.
    const struct {
        const char *second;
        int exit_code;
        const char *error;
    } links[] = {
        {"/nonexistent/tty", 3, "qor: link fault on port 2 (/nonexistent/tty): "},
        {"socket://", 2, "qor: bad target \"socket://\""},
    };
    for (const auto &l : links) {
        const Finished r = QorAlone({"--link", sim.Path(), "--link", l.second, "poll", "rd",
                                     "--interval", "10", "--count", "1"});
        EXPECT_EQ(r.exit_code, l.exit_code) << l.second << ": " << r.err;
        EXPECT_EQ(r.out, "") << l.second;
        EXPECT_EQ(r.err.rfind(l.error, 0), 0u) << l.second << ": " << r.err;
    }
}

// --retries sends a frame again only while no module has answered; the
// simulator's log counts the frames that reached it (at an address of its
// own, so that no other program's frame on a reused terminal counts).
TEST(ToolsCli, RetriesRepeatOnlyFramesNoModuleAnswered) {
    const struct {
        std::vector<std::string> sim;
        std::vector<std::string> args;
        int exit_code;
        int frames;
        const char *tries;  // in the message, or nullptr for none
    } cases[] = {
        {{"--silent"}, {"--timeout", "20", "--retries", "2", "rd"}, 1, 3, "(3 tries)"},
        {{"--silent"}, {"--timeout", "20", "rd"}, 1, 1, nullptr},
        // Too long to be a reply: as good as none.
        {{"--overlong", "60"}, {"--timeout", "2000", "--retries", "1", "rd"}, 1, 2, "(2 tries)"},
        // WE, then TS refused with "?Q RANGE": an answer, never repeated.
        {{"--steady"}, {"--timeout", "2000", "--retries", "2", "ts", "-100"}, 1, 2, nullptr},
        {{"--silent"}, {"--timeout", "20", "--retries", "1", "ts", "-100"}, 1, 2, "(2 tries)"},
        {{"--steady"}, {"--timeout", "2000", "--retries", "2", "rd"}, 0, 1, nullptr},
        // A reset is never repeated, so --retries is refused before any frame.
        {{"--steady"}, {"--retries", "1", "rr"}, 2, 0, nullptr},
    };
    for (const auto &c : cases) {
        const std::string label =
            ::testing::PrintToString(c.sim) + ::testing::PrintToString(c.args);
        qor::test::SimStart start;
        start.program = qor::test::BuiltSimPath();
        start.capture_log = true;
        std::vector<std::string> sim_args = {"--pty", "--log", "--address", "Q"};
        sim_args.insert(sim_args.end(), c.sim.begin(), c.sim.end());
        qor::test::SimProcess sim(start, sim_args);
        ASSERT_FALSE(sim.Where().empty()) << label;
        std::vector<std::string> words = {QOR_CLI_PATH, "--link", sim.Where(), "--address", "Q"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        const Finished r = RunProgram(words);
        EXPECT_EQ(r.exit_code, c.exit_code) << label << ": " << r.err;
        int frames = 0;
        while (sim.WaitLog(" got \"$Q", 300)) {
            ++frames;
        }
        EXPECT_EQ(frames, c.frames) << label;
        EXPECT_EQ(r.err.find("tries)") != std::string::npos, c.tries != nullptr) << label << r.err;
        if (c.tries != nullptr) {
            EXPECT_NE(r.err.find(c.tries), std::string::npos) << label << ": " << r.err;
        }
    }
}

TEST(ToolsCli, PollSeveralQueriesAndAddresses) {
    Sim sim({"--steady", "--address", "1", "--address", "2"});
    ASSERT_TRUE(sim.Ready());
    const Finished r = sim.Qor(
        {"--address", "1,2", "poll", "rd", "rb", "5", "rh", "--interval", "10", "--count", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = LinesOf(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0],
              "time,1:rd,1:rd:status,1:rd:error,2:rd,2:rd:status,2:rd:error,"
              "1:rb 5,1:rb 5:status,1:rb 5:error,2:rb 5,2:rb 5:status,2:rb 5:error,"
              "1:rh,1:rh:mode,1:rh:status,1:rh:error,2:rh,2:rh:mode,2:rh:status,2:rh:error");
    const std::regex row(
        R"(\S+Z,72\.10,0,0,72\.10,0,0,0,0,0,0,0,0,100\.00,latching,0,0,100\.00,latching,0,0)");
    EXPECT_TRUE(std::regex_match(lines[1], row)) << lines[1];
}

// Two buses, each with a module that answers after 300 ms: polled side by
// side, the second frame goes out before the first reply comes back.
TEST(ToolsCli, PollRunsSeveralLinksAtOnce) {
    Sim first({"--steady", "--delay-ms", "300"});
    Sim second({"--steady", "--delay-ms", "300"});
    ASSERT_TRUE(first.Ready() && second.Ready());
    const Finished r = RunProgram({QOR_CLI_PATH, "--trace", "--timeout", "1000", "--link",
                                   first.Path(), "--link", second.Path(), "--port", "5", "poll",
                                   "rd", "--interval", "10", "--count", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = LinesOf(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0],
              "time,p5:1:rd,p5:1:rd:status,p5:1:rd:error,p6:1:rd,p6:1:rd:status,"
              "p6:1:rd:error");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\S+Z,72\.10,0,0,72\.10,0,0)")))
        << lines[1];
    const size_t sent = r.err.find("  >  $1RD", r.err.find("  >  $1RD") + 1);
    const size_t answered = r.err.find("  <  *+00072.10");
    ASSERT_NE(sent, std::string::npos) << r.err;
    EXPECT_LT(sent, answered) << r.err;
}

// On a terminal, scan says which address it is asking; script(1) gives it
// one.
TEST(ToolsCli, ScanShowsProgressOnATerminal) {
    Sim sim({"--silent"});
    ASSERT_TRUE(sim.Ready());
    const Finished r =
        Shell("script -qec \"QOR --link PTY --timeout 5 scan\" /dev/null", sim.Path());
    EXPECT_NE(r.out.find("\rscan: asking ! (1 of 93), 0 answered"), std::string::npos) << r.out;
    // "$" begins every frame and is no address: it is left out.
    EXPECT_NE(r.out.find("\rscan: asking # (3 of 93), 0 answered"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\rscan: asking $"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\rscan: asking % (4 of 93), 0 answered"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\rscan: asking ~ (93 of 93), 0 answered"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("qor: no module answered"), std::string::npos) << r.out;
}

TEST(ToolsCli, PortsListsTheSerialPorts) {
    const Finished r = QorAlone({"ports"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (const std::string &line : LinesOf(r.out)) {
        EXPECT_TRUE(Matches(line, R"(^(/dev/\S+|    /dev/serial/by-\S+)( |$))")) << line;
    }
    if (r.out.empty()) {
        EXPECT_EQ(r.err, "qor: no serial ports found\n");
    }
}

}  // namespace
