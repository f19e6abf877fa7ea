// One row per subcommand: the parser, the help and main all read this
// table, so adding a subcommand means one row, its help text and its
// functions (a parse function here, a run function declared in run.h).
#include <algorithm>
#include <cctype>

#include "cli.h"
#include "run.h"

namespace qor::cli {
namespace {

std::string Lower(std::string_view text) {
    std::string s(text);
    for (char &c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

// True, after saying so in error, when an option was given that the
// command cannot use.
bool Refuse(bool given, const char *option, const char *command, std::string &error) {
    if (given) {
        error = std::string(option) + " cannot be used with " + command;
    }
    return given;
}

bool ParseScan(const std::vector<std::string> &words, CommandLine &line, std::string &error) {
    const Given &g = line.given;
    if (Refuse(g.address, "--address", "scan (it asks every address)", error) ||
        Refuse(g.interval || g.count, "--interval/--count", "scan", error)) {
        return false;
    }
    if (!words.empty()) {
        error = "scan takes no arguments";
        return false;
    }
    return true;
}

bool ParsePoll(const std::vector<std::string> &words, CommandLine &line, std::string &error) {
    if (words.empty()) {
        error = "poll needs a query command, e.g. 'poll rd --interval 1000'";
        return false;
    }
    const CommandRow *row = FindCommand(Lower(words[0]));
    if (row == nullptr || !row->query) {
        error = "poll repeats a query (rd, nd, rz, rh, rl, re, di, rb), not '" + words[0] + "'";
        return false;
    }
    if (!line.given.interval) {
        error = "poll needs --interval MS";
        return false;
    }
    return ParseInvocation(*row, std::vector<std::string>(words.begin() + 1, words.end()),
                           line.invocation, error);
}

bool ParseDemo(const std::vector<std::string> &words, CommandLine &line, std::string &error) {
    const Given &g = line.given;
    if (Refuse(g.port || g.link, "--port/--link", "demo (it starts its own simulator)", error) ||
        Refuse(g.address || g.timeout || g.checksum, "--address/--timeout/--checksum", "demo",
               error) ||
        Refuse(g.interval || g.count, "--interval/--count", "demo", error)) {
        return false;
    }
    if (!words.empty()) {
        error = "demo takes no arguments";
        return false;
    }
    return true;
}

bool ParseHelp(const std::vector<std::string> &words, CommandLine &line, std::string &error) {
    line.action = Action::kHelp;
    line.subcommand = nullptr;
    if (words.size() > 1) {
        error = "help takes at most one command name";
        return false;
    }
    if (words.size() == 1) {
        line.help_topic = Lower(words[0]);
        if (CommandHelp(line.help_topic).empty()) {
            error = "no help for unknown command '" + words[0] + "'";
            return false;
        }
    }
    return true;
}

constexpr const char *kScanHelp =
    "Usage: qor [--port N | --link TARGET] [--timeout MS] [--checksum] scan\n"
    "\n"
    "Asks every printable address, '!' to '~', for a reading (RD) and lists\n"
    "the addresses that answered, with the reading or the error reply. Any\n"
    "reply, even an error reply, means a module is there. Each silent address\n"
    "costs one time-out, 30 ms per character unless --timeout is given, so\n"
    "a scan takes a few seconds.\n"
    "Exit code: 0 when at least one module answered, 1 when none did, 3 when\n"
    "the link could not be used.\n";

constexpr const char *kPollHelp =
    "Usage: qor [OPTIONS] poll QUERY [ARGS...] --interval MS [--count N]\n"
    "\n"
    "Repeats a query every MS milliseconds and prints one CSV row per query:\n"
    "  time,value,status,error              (rh, rl: time,value,mode,status,error)\n"
    "  2024-05-01T12:34:56.789Z,72.10,0,0\n"
    "time is UTC with milliseconds; a failed query leaves the value empty and\n"
    "shows its status and error. Stops after N rows or on Ctrl-C (SIGINT; on\n"
    "Windows Ctrl-C or Ctrl-Break).\n"
    "QUERY is one of rd nd rz rh rl re di rb, with its own arguments, e.g.\n"
    "  qor poll di 2 1 3 --interval 500 --count 10\n"
    "Exit code: 0 when polling ended, 3 when the link could not be opened.\n";

constexpr const char *kDemoHelp =
    "Usage: qor demo [--debug]\n"
    "\n"
    "Starts the module simulator (qor-sim, looked up next to qor and then on\n"
    "PATH) on a pseudo-terminal, opens port 1 on it and tours every command\n"
    "family through the library: readings, the event counter, alarm limits\n"
    "set and read back, setpoint, digital outputs and inputs, bits, analog\n"
    "output, a module that does not answer, and the same again with frame\n"
    "checksums. Each step shows the library call, the frame and reply (on\n"
    "standard error, from the library's debug echo) and the result.\n"
    "With --debug the simulator's own log joins the echo on standard error:\n"
    "each frame as the module received it and each reply as it went out.\n"
    "The simulator is stopped at the end.\n"
    "Windows has no pseudo-terminals: there qor demo only explains how to run\n"
    "qor-sim --listen on a POSIX machine and reach it with\n"
    "--link socket://HOST:PORT, and exits with 3.\n"
    "Exit code: 0 when every step behaved as expected, 1 when one did not,\n"
    "3 when the simulator could not be started or its port not opened.\n";

// What differs on Windows: the demo needs a pseudo-terminal.
#ifdef _WIN32
constexpr const char *kDemoSummary = "start a simulator and tour every command family (POSIX only)";
#else
constexpr const char *kDemoSummary = "start a simulator and tour every command family";
#endif

}  // namespace

const std::vector<SubcommandRow> &SubcommandTable() {
    static const std::vector<SubcommandRow> kTable = {
        {"scan", "scan", "ask every address '!'..'~' with RD, list the modules that answer",
         kScanHelp, ParseScan, RunScan},
        {"poll", "poll QUERY [ARGS]",
         "repeat a query (rd nd rz rh rl re di rb), print timestamped CSV", kPollHelp, ParsePoll,
         RunPoll},
        {"demo", "demo", kDemoSummary, kDemoHelp, ParseDemo, RunDemo},
        {"help", "help [COMMAND]", "this text, or one command's help", nullptr, ParseHelp, nullptr},
    };
    return kTable;
}

const SubcommandRow *FindSubcommand(std::string_view name) {
    const auto &table = SubcommandTable();
    auto it = std::find_if(table.begin(), table.end(),
                           [&](const SubcommandRow &row) { return name == row.name; });
    return it == table.end() ? nullptr : &*it;
}

}  // namespace qor::cli
