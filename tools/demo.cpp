// qor demo: a guided tour for newcomers. Every step is written as the qor
// command line that would do the same, goes through the same parser and
// command table as a normal run, and checks its result, so the demo doubles
// as a quick self-test of library, link and simulator together.
#include "demo.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "qor_comm.h"
#include "qor_dll.h"

extern char **environ;

using namespace qor_cli;

namespace {

constexpr int kPort = 1;
constexpr int kStartTimeoutMs = 5000;

// The simulator child: started with its stdout on a pipe, stopped by pid.
class Simulator {
  public:
    Simulator() = default;
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;
    ~Simulator() { stop(); }

    // Starts "qor-sim --pty ..." and waits for the pty path on its first line.
    bool start(std::string &ptyPath, std::string &error) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            error = "cannot create a pipe";
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);

        const std::string beside = besideSelf();
        const std::string program = beside.empty() ? "qor-sim" : beside;
        std::vector<std::string> words = {program, "--pty", "--address", "1"};
        std::vector<char *> argv;
        for (std::string &w : words) {
            argv.push_back(w.data());
        }
        argv.push_back(nullptr);
        const int rc =
            beside.empty()
                ? posix_spawnp(&pid_, "qor-sim", &actions, nullptr, argv.data(), environ)
                : posix_spawn(&pid_, beside.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
        if (rc != 0) {
            pid_ = -1;
            error = "cannot start qor-sim (looked next to qor and on PATH)";
            return false;
        }
        program_ = program;
        if (!readFirstLine(ptyPath) || ptyPath.empty()) {
            error = "qor-sim did not report its pseudo-terminal";
            return false;
        }
        return true;
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!waitWithin(2000)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
            pid_ = -1;
        }
        if (out_ >= 0) {
            close(out_);
            out_ = -1;
        }
    }

    pid_t pid() const { return pid_; }
    const std::string &program() const { return program_; }

  private:
    static std::string besideSelf() {
        char buf[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) {
            return "";
        }
        std::string path(buf, static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return "";
        }
        path = path.substr(0, slash + 1) + "qor-sim";
        return access(path.c_str(), X_OK) == 0 ? path : "";
    }

    bool readFirstLine(std::string &line) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
        line.clear();
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                return false;
            }
            pollfd p{out_, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                return false;
            }
            char c = 0;
            const ssize_t n = read(out_, &c, 1);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;  // the simulator ended before saying where it listens
            }
            if (c == '\n') {
                return true;
            }
            if (c != '\r') {
                line += c;
            }
        }
    }

    bool waitWithin(int ms) {
        for (int waited = 0; waited <= ms; waited += 10) {
            const pid_t r = waitpid(pid_, nullptr, WNOHANG);
            if (r == pid_ || (r < 0 && errno == ECHILD)) {
                return true;
            }
            usleep(10000);
        }
        return false;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string program_;
};

enum class Expect { Success, Output, Failure };

struct Step {
    const char *heading;             // starts a new section when set
    std::vector<std::string> words;  // the equivalent qor command line
    const char *why;
    Expect expect;
    std::string output;             // Expect::Output
    int status = 0;                 // Expect::Failure
    int error = -1;                 // Expect::Failure, -1 for any
    std::optional<float> rawValue;  // bypasses the parser's range check
};

std::vector<Step> tour() {
    auto ok = [](const char *heading, std::vector<std::string> w, const char *why) {
        return Step{heading, std::move(w), why, Expect::Success, "", 0, -1, std::nullopt};
    };
    auto out = [](const char *heading, std::vector<std::string> w, const char *why,
                  std::string text) {
        return Step{heading, std::move(w), why,         Expect::Output, std::move(text),
                    0,       -1,           std::nullopt};
    };
    auto fails = [](const char *heading, std::vector<std::string> w, const char *why, int status,
                    int error) {
        return Step{heading, std::move(w), why, Expect::Failure, "", status, error, std::nullopt};
    };
    auto withRawValue = [](Step step, float value) {
        step.rawValue = value;
        return step;
    };
    std::vector<Step> steps = {
        ok("Readings", {"rd"}, "the current reading"),
        ok(nullptr, {"nd"}, "a fresh reading"),
        ok(nullptr, {"cz"}, "take the current reading as zero, after WE"),
        ok(nullptr, {"rz"}, "the reading relative to that zero"),
        ok("Event counter", {"re"}, "how many readings were taken"),
        ok(nullptr, {"ec"}, "read and clear the counter, after WE"),
        out(nullptr, {"re"}, "cleared, so zero now", "0"),
        out("Alarm limits", {"hi", "100", "L"}, "high limit 100.00, latching", "ok"),
        out(nullptr, {"rh"}, "read it back", "100.00 latching"),
        out(nullptr, {"lo", "-3.46", "M"}, "low limit -3.46, momentary", "ok"),
        out(nullptr, {"rl"}, "read it back", "-3.46 momentary"),
        out(nullptr, {"hi", "150"}, "no mode letter: the module keeps its mode", "ok"),
        out(nullptr, {"rh"}, "still latching", "150.00 latching"),
        ok(nullptr, {"da"}, "disable alarms"),
        ok(nullptr, {"ea"}, "enable alarms"),
        ok("Setpoint and calibration", {"sp", "50"}, "setpoint 50.00"),
        ok(nullptr, {"ts", "0"}, "span trim 0"),
        ok(nullptr, {"tz", "0"}, "zero trim 0"),
        ok(nullptr, {"ca"}, "calibrate"),
        ok(nullptr, {"ce"}, "calibrate, second step"),
        out("Digital outputs and inputs", {"do", "0x0F", "0xA5"}, "two output bytes", "ok"),
        out(nullptr, {"di", "2", "1", "0"}, "last input byte (looped back 0xA5), bit 0", "1"),
        out(nullptr, {"di", "2", "1", "1"}, "same byte, bit 1", "0"),
        out(nullptr, {"di", "2", "2", "3"}, "first input byte (0x0F), bit 3", "1"),
        out(nullptr, {"do", "0x00"}, "one byte: only the low output byte changes", "ok"),
        out(nullptr, {"di", "2", "1", "0"}, "low byte now 0x00", "0"),
        out("Bits by number", {"sb", "5"}, "set bit 5", "ok"),
        out(nullptr, {"rb", "5"}, "read it", "1"),
        out(nullptr, {"cb", "5"}, "clear it", "ok"),
        out(nullptr, {"rb", "5"}, "read it again", "0"),
        out("Analog output", {"ao", "12.5"}, "analog output 12.50, no WE needed", "ok"),
        fails("Things that go wrong", {"ts", "-100"},
              "a span trim of -100 % is refused by the module: error reply", 100, 'R'),
        fails(nullptr, {"--address", "9", "rd"},
              "no module has address 9: nothing answers within the time-out", 100, 1),
        withRawValue(fails(nullptr, {"sp", "0"},
                           "library call with 100000.00, which does not fit the value field: "
                           "nothing is sent",
                           200, 3),
                     100000.0f),
        ok("With checksums (QOR_EnableCmdChecksum(1))", {"--checksum", "rd"},
           "every frame ends in two checksum digits"),
        ok(nullptr, {"--checksum", "ec"}, "EC is answered in the long layout"),
        out(nullptr, {"--checksum", "sb", "40"}, "set bit 40", "ok"),
        out(nullptr, {"--checksum", "rb", "40"}, "RB echoes the bit number", "1"),
        out(nullptr, {"--checksum", "di", "2", "2", "0"},
            "DI in the long layout; first byte still 0x0F", "1"),
        out(nullptr, {"--checksum", "hi", "100", "L"}, "a limit with a checksum", "ok"),
        ok("Reset", {"rr"}, "reset the module, after WE"),
        out(nullptr, {"rb", "40"}, "the reset cleared the bits", "0"),
    };
    return steps;
}

std::string joined(const std::vector<std::string> &words) {
    std::string s = "qor";
    for (const std::string &w : words) {
        s += " " + w;
    }
    return s;
}

void say(const std::string &text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);  // keep the order with the library's echo on stderr
}

// Runs one step; returns whether it behaved as expected.
bool runStep(const Step &step, size_t number) {
    if (step.heading != nullptr) {
        say(std::string("\n== ") + step.heading + " ==\n");
    }
    CommandLine cl;
    std::string error;
    if (!parseCommandLine(step.words, cl, error) || cl.action != Action::Single) {
        say("! the demo's own step does not parse: " + error + "\n");
        return false;
    }
    Invocation inv = cl.invocation;
    std::string shown = joined(step.words);
    if (step.rawValue) {
        inv.value = *step.rawValue;
        shown = std::string(inv.row->exportName) + "(" + std::to_string(kPort) + ", '" +
                static_cast<char>(cl.options.address) + "', " + formatFixed2(*step.rawValue) +
                ", ...)";
    }
    const std::string label = std::to_string(number);
    say("[" + std::string(label.size() < 2 ? " " : "") + label + "] " + shown + "   -- " +
        step.why + " (" + inv.row->exportName + ")\n");

    QOR_EnableCmdChecksum(cl.options.checksum ? 1 : 0);
    Outcome o;
    inv.row->call(kPort, cl.options.address, inv, o);

    bool asExpected = false;
    std::string result;
    if (o.status == 0) {
        result = "= " + formatResult(inv.row->result, o);
        asExpected =
            step.expect == Expect::Success ||
            (step.expect == Expect::Output && formatResult(inv.row->result, o) == step.output);
    } else {
        result = "= " + describeFailure(o.status, o.error);
        asExpected = step.expect == Expect::Failure && o.status == step.status &&
                     (step.error < 0 || o.error == step.error);
    }
    if (!asExpected) {
        result += "\n  UNEXPECTED: wanted ";
        switch (step.expect) {
            case Expect::Success:
                result += "success";
                break;
            case Expect::Output:
                result += "\"" + step.output + "\"";
                break;
            case Expect::Failure:
                result += describeFailure(step.status, step.error < 0 ? 0 : step.error);
                break;
        }
    }
    say(result + "\n");
    return asExpected;
}

}  // namespace

int runDemo(bool /*debug: the echo is always on in the demo*/) {
    Simulator sim;
    std::string pty;
    std::string error;
    if (!sim.start(pty, error)) {
        std::fprintf(stderr, "qor: demo: %s\n", error.c_str());
        return kExitLinkFault;
    }
    const std::string target = pty + "?timeout_ms=200";
    if (!QOR_OpenPort(kPort, target.c_str())) {
        std::fprintf(stderr, "qor: demo: cannot open port %d on '%s'\n", kPort, target.c_str());
        return kExitLinkFault;
    }
    say("qor demo: started " + sim.program() + " (pid " + std::to_string(sim.pid()) +
        "), module address 1, on " + pty +
        "\n"
        "Each step names the qor command line that does the same and the library call it\n"
        "makes. Then the library's debug echo (on standard error) shows every frame sent\n"
        "to the module, starting with $ (prompt, address, command letters, data, and a\n"
        "checksum when enabled), and every reply: * for an answer, ? for an error reply.\n"
        "Write commands go out after a WE (write enable) frame. '=' shows what qor prints.\n");

    QOR_EnableDebug(1);
    int failures = 0;
    const std::vector<Step> steps = tour();
    for (size_t i = 0; i < steps.size(); ++i) {
        failures += runStep(steps[i], i + 1) ? 0 : 1;
    }
    QOR_EnableDebug(0);
    QOR_EnableCmdChecksum(0);
    QOR_ClosePort(kPort);
    sim.stop();

    say("\n" + std::to_string(steps.size() - static_cast<size_t>(failures)) + " of " +
        std::to_string(steps.size()) + " steps behaved as expected; simulator stopped.\n");
    return failures == 0 ? kExitOk : kExitModuleFault;
}
