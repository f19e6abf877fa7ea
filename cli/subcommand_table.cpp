// One row per subcommand: the parser, the help and main all read this
// table, so adding a subcommand means one row, its help text and its
// functions (a parse function here, a run function declared in run.h).
#include <algorithm>
#include <cctype>

#include "cli/cli.h"
#include "cli/run.h"
#include "common/message_text.h"

namespace qor::cli {
namespace {

// True, after saying so in error, when an option was given that the
// command cannot use.
bool Refuse(bool given, const char *option, const char *command, std::string &error) {
    if (given) {
        error = std::string(option) + " cannot be used with " + command;
    }
    return given;
}

bool OneLink(const CommandLine &line, const char *command, std::string &error) {
    if (line.options.links.size() > 1) {
        error = std::string("--link is given ") + std::to_string(line.options.links.size()) +
                " times; " + command + " uses one link (poll takes several)";
        return false;
    }
    return true;
}

bool ParseScan(const std::vector<std::string> &words, CommandLine &line, std::string &error) {
    const Given &g = line.given;
    if (Refuse(g.address, "--address", "scan (it asks every address)", error) ||
        Refuse(g.interval || g.count, "--interval/--count", "scan", error) ||
        Refuse(g.retries, "--retries", "scan (a silent address is the answer it looks for)",
               error) ||
        !OneLink(line, "scan", error)) {
        return false;
    }
    if (!words.empty()) {
        error = "scan takes no arguments";
        return false;
    }
    return true;
}

// Splits "rd di 2 1 0 re" into its queries, each with its arguments.
bool SplitQueries(const std::vector<std::string> &words, std::vector<std::vector<std::string>> &out,
                  std::string &error) {
    const std::string repeats =
        "poll repeats a query (" + catalogue::Words(true, ", ") + "), not '";
    for (const std::string &word : words) {
        const CommandRow *row = FindCommand(Lower(word));
        if (row != nullptr) {
            if (!row->query) {
                error = repeats + word + "'";
                return false;
            }
            out.push_back({row->name});
        } else if (!out.empty()) {
            out.back().push_back(word);
        } else {
            std::vector<std::string> queries;
            for (const CommandRow &query : CommandTable()) {
                if (query.query) {
                    queries.emplace_back(query.name);
                }
            }
            error = repeats + Escape(word) + "'" + DidYouMean(Lower(word), queries);
            return false;
        }
    }
    return true;
}

bool ParsePoll(const std::vector<std::string> &words, CommandLine &line, std::string &error) {
    if (words.empty()) {
        error = "poll needs a query command, e.g. 'poll rd --interval 1000'";
        return false;
    }
    std::vector<std::vector<std::string>> groups;
    if (!SplitQueries(words, groups, error)) {
        return false;
    }
    if (!line.given.interval) {
        error = "poll needs --interval MS";
        return false;
    }
    std::vector<std::string> seen;
    for (const std::vector<std::string> &group : groups) {
        Invocation query;
        const std::vector<std::string> args(group.begin() + 1, group.end());
        if (!ParseInvocation(*FindCommand(group[0]), args, query, error)) {
            return false;
        }
        const std::string name = QueryName(query);
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
            error = "poll: '" + name + "' is given twice";
            return false;
        }
        seen.push_back(name);
        line.queries.push_back(query);
    }
    return true;
}

bool ParseDemo(const std::vector<std::string> &words, CommandLine &line, std::string &error) {
    const Given &g = line.given;
    if (Refuse(g.port || g.link, "--port/--link", "demo (it starts its own simulator)", error) ||
        Refuse(g.address || g.timeout || g.checksum, "--address/--timeout/--checksum", "demo",
               error) ||
        Refuse(g.interval || g.count || g.retries, "--interval/--count/--retries", "demo", error)) {
        return false;
    }
    if (!words.empty()) {
        error = "demo takes no arguments";
        return false;
    }
    return true;
}

bool ParsePorts(const std::vector<std::string> &words, CommandLine &line, std::string &error) {
    const Given &g = line.given;
    if (Refuse(g.port || g.link || g.address, "--port/--link/--address", "ports (it opens no port)",
               error) ||
        Refuse(g.timeout || g.checksum || g.retries, "--timeout/--checksum/--retries", "ports",
               error) ||
        Refuse(g.interval || g.count, "--interval/--count", "ports", error)) {
        return false;
    }
    if (!words.empty()) {
        error = "ports takes no arguments";
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
            std::vector<std::string> names;
            for (const CommandRow &row : CommandTable()) {
                names.emplace_back(row.name);
            }
            for (const SubcommandRow &row : SubcommandTable()) {
                names.emplace_back(row.name);
            }
            error = "no help for unknown command '" + Escape(words[0]) + "'" +
                    DidYouMean(line.help_topic, names);
            return false;
        }
    }
    return true;
}

constexpr const char *kScanHelp =
    "Usage: qor [--port N | --link TARGET] [--timeout MS] [--checksum] [--trace] scan\n"
    "\n"
    "Asks every printable address, '!' to '~' but '$' (which begins every\n"
    "frame), for a reading (RD) and lists the addresses that answered, with the\n"
    "reading or the module's error reply, each as soon as it answers. Any\n"
    "reply, even an error reply, means a module is there. Each silent address\n"
    "costs one time-out, 30 ms per character\n"
    "unless --timeout is given, so a scan takes a few seconds; on a terminal a\n"
    "progress line on standard error shows the address being asked, and with\n"
    "--trace every frame is shown instead.\n"
    "Exit code: 0 when at least one module answered, 1 when none did, 3 when\n"
    "the link could not be used.\n";

constexpr const char *kPollHelp =
    "Usage: qor [OPTIONS] poll QUERY [ARGS...] [QUERY [ARGS...]...] --interval MS\n"
    "                [--count N]\n"
    "\n"
    "Repeats queries every MS milliseconds and prints one CSV row each time.\n"
    "One query of one module (one --address):\n"
    "  time,value,status,error              (rh, rl: time,value,mode,status,error)\n"
    "  2024-05-01T12:34:56.789Z,72.10,0,0\n"
    "Several queries or addresses (--address 1,2): three columns per query and\n"
    "address, named ADDRESS:QUERY, queries in the order given, each for every\n"
    "address (rh, rl add ADDRESS:QUERY:mode after the value):\n"
    "  time,1:rd,1:rd:status,1:rd:error,2:rd,2:rd:status,2:rd:error,1:re,...\n"
    "Several --link options poll their buses side by side, one thread each, on\n"
    "ports N, N+1, ... (--port N, default 1); the columns then begin with the\n"
    "port: p1:1:rd, p2:1:rd. time is UTC with milliseconds, taken as the row\n"
    "starts; a failed query leaves its value empty and shows its status and\n"
    "error. Stops after N rows, on Ctrl-C (SIGINT; on Windows Ctrl-C or\n"
    "Ctrl-Break), or at once when standard output is closed by its reader.\n"
    "QUERY is one of @QUERIES@, with its own arguments, e.g.\n"
    "  qor --address 1,2 poll rd di 2 1 3 --interval 500 --count 10\n"
    "Exit code: 0 when polling ended, 3 when a link could not be opened, 4\n"
    "when standard output could not be written.\n";

constexpr const char *kPortsHelp =
    "Usage: qor ports\n"
    "\n"
    "Lists the machine's serial ports, one a line: the device to give --link,\n"
    "its driver, and for USB adapters the vendor and product ids, maker,\n"
    "product and serial number; the stable /dev/serial/by-id name, when there\n"
    "is one, follows on a line of its own:\n"
    "  /dev/ttyUSB0  ftdi_sio  USB 0403:6001 FTDI FT232R USB UART A10K1X2Q\n"
    "      /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1X2Q-if00-port0\n"
    "Serial ports the kernel reserves without hardware behind them are left\n"
    "out. No port is opened.\n"
    "Exit code: 0, also when there are none (standard error says so), 3 when\n"
    "the system's list cannot be read.\n";

constexpr const char *kDemoHelp =
    "Usage: qor demo [--trace]\n"
    "\n"
    "Starts the module simulator (qor-sim, looked up next to qor and then on\n"
    "PATH) on a pseudo-terminal, opens port 1 on it and tours every command\n"
    "family through the library: readings, the event counter, alarm limits\n"
    "set and read back, setpoint, digital outputs and inputs, bits, analog\n"
    "output, a module that does not answer, and the same again with frame\n"
    "checksums. Each step shows the library call, the frame and reply (on\n"
    "standard error, from the library's debug echo) and the result.\n"
    "With --trace (or --debug) the simulator's own log joins the echo on\n"
    "standard error: each frame as the module received it and each reply as\n"
    "it went out.\n"
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

// A text with the catalogue's queries put in for @QUERIES@.
std::string WithQueries(std::string text) {
    const std::string mark = "@QUERIES@";
    text.replace(text.find(mark), mark.size(), catalogue::Words(true, " "));
    return text;
}

}  // namespace

const std::vector<SubcommandRow> &SubcommandTable() {
    static const std::string kPollSummary =
        WithQueries("repeat queries (@QUERIES@), print timestamped CSV");
    static const std::string kPollHelpText = WithQueries(kPollHelp);
    static const std::vector<SubcommandRow> kTable = {
        {"scan", "scan", "ask every address '!'..'~' but '$' with RD, list the modules that answer",
         kScanHelp, ParseScan, RunScan},
        {"poll", "poll QUERY [ARGS]...", kPollSummary.c_str(), kPollHelpText.c_str(), ParsePoll,
         RunPoll},
        {"ports", "ports", "list the machine's serial ports", kPortsHelp, ParsePorts, RunPorts},
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
