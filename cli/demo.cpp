// qor demo: a guided tour for newcomers. Every step is written as the qor
// command line that would do the same, goes through the same parser and
// command table as a normal run, and checks its result, so the demo doubles
// as a quick self-test of library, link and simulator together.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/run.h"
#include "qor_comm.h"
#include "qor_dll.h"
#include "sim/sim_process.h"

namespace qor::cli {
namespace {

constexpr int kPort = 1;

enum class Expect { kSuccess, kOutput, kFailure };

struct Step {
    const char *heading;             // starts a new section when set
    std::vector<std::string> words;  // the equivalent qor command line
    const char *why;
    Expect expect;
    std::string output;              // Expect::kOutput
    int status = 0;                  // Expect::kFailure
    int error = -1;                  // Expect::kFailure, -1 for any
    std::optional<float> raw_value;  // bypasses the parser's range check
};

Step Ok(const char *heading, std::vector<std::string> words, const char *why) {
    return Step{heading, std::move(words), why, Expect::kSuccess, "", 0, -1, std::nullopt};
}

Step Prints(const char *heading, std::vector<std::string> words, const char *why,
            std::string text) {
    return Step{heading, std::move(words), why, Expect::kOutput, std::move(text), 0,
                -1,      std::nullopt};
}

Step Fails(const char *heading, std::vector<std::string> words, const char *why, int status,
           int error, std::optional<float> raw_value = std::nullopt) {
    return Step{heading, std::move(words), why, Expect::kFailure, "", status, error, raw_value};
}

const std::vector<Step> kTour = {
    Ok("Readings", {"rd"}, "the current reading"),
    Ok(nullptr, {"nd"}, "a fresh reading"),
    Ok(nullptr, {"cz"}, "take the current reading as zero, after WE"),
    Ok(nullptr, {"rz"}, "the reading relative to that zero"),
    Ok("Event counter", {"re"}, "how many readings were taken"),
    Ok(nullptr, {"ec"}, "read and clear the counter, after WE"),
    Prints(nullptr, {"re"}, "cleared, so zero now", "0"),
    Prints("Alarm limits", {"hi", "100", "L"}, "high limit 100.00, latching", "ok"),
    Prints(nullptr, {"rh"}, "read it back", "100.00 latching"),
    Prints(nullptr, {"lo", "-3.46", "M"}, "low limit -3.46, momentary", "ok"),
    Prints(nullptr, {"rl"}, "read it back", "-3.46 momentary"),
    Prints(nullptr, {"hi", "150"}, "no mode letter: the module keeps its mode", "ok"),
    Prints(nullptr, {"rh"}, "still latching", "150.00 latching"),
    Ok(nullptr, {"da"}, "disable alarms"),
    Ok(nullptr, {"ea"}, "enable alarms"),
    Ok("Setpoint and calibration", {"sp", "50"}, "setpoint 50.00"),
    Ok(nullptr, {"ts", "0"}, "span trim 0"),
    Ok(nullptr, {"tz", "0"}, "zero trim 0"),
    Ok(nullptr, {"ca"}, "calibrate"),
    Ok(nullptr, {"ce"}, "calibrate, second step"),
    Prints("Digital outputs and inputs", {"do", "0x0F", "0xA5"}, "two output bytes", "ok"),
    Prints(nullptr, {"di", "2", "1", "0"}, "last input byte (looped back 0xA5), bit 0", "1"),
    Prints(nullptr, {"di", "2", "1", "1"}, "same byte, bit 1", "0"),
    Prints(nullptr, {"di", "2", "2", "3"}, "first input byte (0x0F), bit 3", "1"),
    Prints(nullptr, {"do", "0x00"}, "one byte: only the low output byte changes", "ok"),
    Prints(nullptr, {"di", "2", "1", "0"}, "low byte now 0x00", "0"),
    Prints("Bits by number", {"sb", "5"}, "set bit 5", "ok"),
    Prints(nullptr, {"rb", "5"}, "read it", "1"),
    Prints(nullptr, {"cb", "5"}, "clear it", "ok"),
    Prints(nullptr, {"rb", "5"}, "read it again", "0"),
    Prints("Analog output", {"ao", "12.5"}, "analog output 12.50, no WE needed", "ok"),
    Fails("Things that go wrong", {"ts", "-100"},
          "a span trim of -100 % is refused by the module: error reply", 100, 'R'),
    Fails(nullptr, {"--address", "9", "rd"},
          "no module has address 9: nothing answers within the time-out", 100, 1),
    Fails(nullptr, {"sp", "0"},
          "library call with 100000.00, which does not fit the value field: nothing is sent", 200,
          3, 100000.0f),
    Ok("With checksums (QOR_EnableCmdChecksum(1))", {"--checksum", "rd"},
       "every frame ends in two checksum digits"),
    Ok(nullptr, {"--checksum", "ec"}, "EC is answered in the long layout"),
    Prints(nullptr, {"--checksum", "sb", "40"}, "set bit 40", "ok"),
    Prints(nullptr, {"--checksum", "rb", "40"}, "RB echoes the bit number", "1"),
    Prints(nullptr, {"--checksum", "di", "2", "2", "0"},
           "DI in the long layout; first byte still 0x0F", "1"),
    Prints(nullptr, {"--checksum", "hi", "100", "L"}, "a limit with a checksum", "ok"),
    Ok("Reset", {"rr"}, "reset the module, after WE"),
    Prints(nullptr, {"rb", "40"}, "the reset cleared the bits", "0"),
};

constexpr const char *kIntroduction =
    "Each step names the qor command line that does the same and the library call it\n"
    "makes. Then the library's debug echo (on standard error) shows every frame sent\n"
    "to the module, starting with $ (prompt, address, command letters, data, and a\n"
    "checksum when enabled), and every reply: * for an answer, ? for an error reply.\n"
    "Write commands go out after a WE (write enable) frame. '=' shows what qor prints.\n";

void Say(const std::string &text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);  // keep the order with the library's echo on stderr
}

// qor-sim next to this program, else the name alone, to be found on PATH.
qor::test::SimStart SimBesideSelf() {
    qor::test::SimStart start;
    start.program = "qor-sim";
    start.search_path = true;
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return start;
    }
    std::string path(buf, static_cast<size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + "qor-sim";
    if (access(path.c_str(), X_OK) == 0) {
        start.program = path;
        start.search_path = false;
    }
    return start;
}

// What the step printed, or how it failed, and whether that was expected.
bool Judge(const Step &step, const Invocation &invocation, const Outcome &o, std::string &result) {
    bool as_expected = false;
    if (o.status == 0) {
        const std::string printed = FormatResult(invocation.row->result, o);
        result = "= " + printed;
        as_expected = step.expect == Expect::kSuccess ||
                      (step.expect == Expect::kOutput && printed == step.output);
    } else {
        result = "= " + DescribeFailure(o.status, o.error);
        as_expected = step.expect == Expect::kFailure && o.status == step.status &&
                      (step.error < 0 || o.error == step.error);
    }
    if (!as_expected) {
        result += "\n  UNEXPECTED: wanted ";
        switch (step.expect) {
            case Expect::kSuccess:
                result += "success";
                break;
            case Expect::kOutput:
                result += "\"" + step.output + "\"";
                break;
            case Expect::kFailure:
                result += DescribeFailure(step.status, step.error < 0 ? 0 : step.error);
                break;
        }
    }
    return as_expected;
}

// Runs one step; returns whether it behaved as expected.
bool RunStep(const Step &step, size_t number) {
    if (step.heading != nullptr) {
        Say(std::string("\n== ") + step.heading + " ==\n");
    }
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(step.words, line, error) || line.action != Action::kCommand) {
        Say("! the demo's own step does not parse: " + error + "\n");
        return false;
    }
    Invocation invocation = line.invocation;
    std::string shown = "qor";
    for (const std::string &w : step.words) {
        shown += " " + w;
    }
    if (step.raw_value) {
        invocation.value = *step.raw_value;
        shown = std::string(invocation.row->export_name) + "(" + std::to_string(kPort) + ", '" +
                static_cast<char>(line.options.addresses.front()) + "', " +
                FormatFixed2(*step.raw_value) + ", ...)";
    }
    const std::string label = std::to_string(number);
    Say("[" + std::string(label.size() < 2 ? " " : "") + label + "] " + shown + "   -- " +
        step.why + " (" + invocation.row->export_name + ")\n");

    QOR_EnableCmdChecksum(line.options.checksum ? 1 : 0);
    Outcome o;
    invocation.row->call(kPort, line.options.addresses.front(), invocation, o);
    std::string result;
    const bool as_expected = Judge(step, invocation, o, result);
    Say(result + "\n");
    return as_expected;
}

}  // namespace

// The library's echo is always on in the demo: the frames are what it
// shows, from a simulator of its own. --trace (--debug) adds the
// simulator's log, the module's side of each exchange.
int RunDemo(const CommandLine &line) {
    std::vector<std::string> arguments = {"--pty", "--address", "1"};
    if (line.options.trace) {
        arguments.emplace_back("--log");
    }
    const qor::test::SimStart start = SimBesideSelf();
    qor::test::SimProcess sim(start, arguments);
    if (sim.Where().empty()) {
        ReportError("demo: cannot start qor-sim (looked next to qor and on PATH)");
        return kExitLinkFault;
    }
    const std::string target = sim.Where() + "?timeout_ms=200";
    if (!QOR_OpenPort(kPort, target.c_str())) {
        ReportError("demo: cannot open port " + std::to_string(kPort) + " on '" + target + "'");
        return kExitLinkFault;
    }
    Say("qor demo: started " + start.program + " (pid " + std::to_string(sim.Pid()) +
        "), module address 1, on " + sim.Where() + "\n" + kIntroduction);

    QOR_EnableDebug(1);
    size_t failures = 0;
    for (size_t i = 0; i < kTour.size(); ++i) {
        failures += RunStep(kTour[i], i + 1) ? 0 : 1;
    }
    QOR_EnableDebug(0);
    QOR_EnableCmdChecksum(0);
    QOR_ClosePort(kPort);
    sim.Stop();

    Say("\n" + std::to_string(kTour.size() - failures) + " of " + std::to_string(kTour.size()) +
        " steps behaved as expected; simulator stopped.\n");
    return failures == 0 ? kExitOk : kExitModuleFault;
}

}  // namespace qor::cli
