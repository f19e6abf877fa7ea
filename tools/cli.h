// The command-line tool's model: the rows of its two tables (library
// commands and subcommands), the parsed command line, and the pure functions
// that turn arguments into calls and results into text. Nothing declared
// here touches the link, the terminal or the environment (run.h does), so
// the unit tests drive all of it directly.
#ifndef QOR_TOOLS_CLI_H
#define QOR_TOOLS_CLI_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::cli {

// Exit codes, also listed in the help text.
constexpr int kExitOk = 0;
constexpr int kExitModuleFault = 1;  // status 100: no reply, bad checksum, error reply
constexpr int kExitUsage = 2;        // the command line could not be understood
constexpr int kExitLinkFault = 3;    // status 200, or the link could not be opened

// What one command argument is; the parser checks each against its range.
enum class ArgKind {
    kValue,      // decimal number, |x| <= 99999.99
    kMode,       // optional trailing "L" or "M"
    kByte,       // 0..255, decimal or 0x hex
    kOptByte,    // optional second byte
    kDiCount,    // 1..24 input bytes
    kDiIndex,    // 1..count, 1 is the last byte of the reply
    kDiBit,      // 0..7
    kBitNumber,  // 0..63
};

// What a command prints on success.
enum class ResultKind {
    kValue,  // "72.10"
    kLimit,  // "100.00 latching"
    kCount,  // "123"
    kBit,    // "0" or "1"
    kNone,   // "ok"
};

// The values a call produced; the table's adapter fills the fields its
// export returns.
struct Outcome {
    int status = 0;
    int error = 0;
    double value = 0.0;
    int mode = -1;   // RH/RL: 1 latching, 0 momentary, -1 none
    long count = 0;  // RE/EC counts, DI/RB bits
};

struct CommandRow;

// A command with its arguments converted, ready to call.
struct Invocation {
    const CommandRow *row = nullptr;
    float value = 0.0f;
    int mode = 2;           // HI/LO: 1 "L", 0 "M", 2 no letter
    std::vector<int> ints;  // bytes, DI count/index/bit, bit number, in order
};

// One row per library export (command_table.cpp).
struct CommandRow {
    const char *name;         // as typed: "rd"
    const char *export_name;  // "QOR_RD"
    std::vector<ArgKind> args;
    ResultKind result;
    bool query;  // reads without changing anything (allowed in poll)
    const char *summary;
    void (*call)(int port, int address, const Invocation &invocation, Outcome &out);
};

const std::vector<CommandRow> &CommandTable();
const CommandRow *FindCommand(std::string_view name);

enum class Action {
    kHelp,        // the overview, or help_topic's help
    kVersion,     // --version
    kCommand,     // one library command: invocation
    kSubcommand,  // a row of the subcommand table: subcommand
};

struct Options {
    int port = 1;
    std::optional<std::string> link;
    int address = '1';
    bool checksum = false;
    bool debug = false;
    std::optional<int> timeout_ms;
    std::optional<int> interval_ms;  // poll only
    std::optional<long> count;       // poll only
};

// Which options the line named, for the checks of each subcommand.
struct Given {
    bool port = false;
    bool link = false;
    bool address = false;
    bool checksum = false;
    bool timeout = false;
    bool interval = false;
    bool count = false;
    bool help = false;
    bool version = false;
};

struct SubcommandRow;

struct CommandLine {
    Action action = Action::kHelp;
    Options options;
    Given given;
    const SubcommandRow *subcommand = nullptr;  // kSubcommand
    Invocation invocation;                      // kCommand, and poll's query
    std::string help_topic;                     // kHelp: empty for the overview
};

// One row per subcommand, the tools beside the library commands
// (subcommand_table.cpp): adding one is a row and its functions.
struct SubcommandRow {
    const char *name;      // "poll"
    const char *synopsis;  // "poll QUERY [ARGS]", as the overview lists it
    const char *summary;   // the overview's line
    const char *help;      // 'qor NAME --help', before the common footer
    // Checks the words after the name and the options given, and fills in
    // the command line. False with a one-line message in error.
    bool (*parse)(const std::vector<std::string> &words, CommandLine &line, std::string &error);
    // Runs it and returns the exit code (run.h); null for help, which needs
    // nothing but the text.
    int (*run)(const CommandLine &line);
};

const std::vector<SubcommandRow> &SubcommandTable();
const SubcommandRow *FindSubcommand(std::string_view name);

// ---- parsing (arguments.cpp, command_line.cpp) ----

// Decimal "0..255" or hex "0x00".."0xFF".
bool ParseByte(std::string_view text, int &out);
// Plain decimal notation ("-3.46", "+100", ".5"); no exponent, NaN or
// infinity; magnitude small enough for the module's value field.
bool ParseValue(std::string_view text, double &out);
// The arguments of one library command, checked against its row.
bool ParseInvocation(const CommandRow &row, const std::vector<std::string> &args,
                     Invocation &invocation, std::string &error);

// args excludes the program name. Returns false with a one-line message in
// error when the command line is not usable.
bool ParseCommandLine(const std::vector<std::string> &args, CommandLine &out, std::string &error);

// ---- link targets (link_target.cpp) ----

// The link target for --port N without --link: the environment's
// QOR_COMM_PORT<n> (passed in, null when unset), else the port's serial
// device: COM<n> on Windows, /dev/ttyS<n-1> elsewhere.
std::string DefaultTarget(int port, const char *environment_value);
// Sets timeout_ms in a target's option list, replacing an earlier one.
std::string WithTimeout(const std::string &target, int timeout_ms);

// ---- results (result_format.cpp, calendar.cpp) ----

// Two decimals, rounded as the module's value field rounds: "72.10".
std::string FormatFixed2(double value);
std::string ModeWord(int mode);
std::string FormatResult(ResultKind kind, const Outcome &out);
// "module fault (status 100, error 66 'B'): the module answered with an error reply"
std::string DescribeFailure(int status, int error);
int ExitCodeFor(int status);
// A reply of any kind, even an error reply, proves a module at that address.
bool ModuleAnswered(int status, int error);
// "2024-05-01T12:34:56.789Z"
std::string IsoUtc(std::chrono::system_clock::time_point when);
std::string CsvHeader(ResultKind kind);
std::string CsvRow(const std::string &time, ResultKind kind, const Outcome &out);

// ---- help (help_text.cpp) ----

// A command with its arguments, as the help shows it: "hi VALUE [L|M]".
std::string Synopsis(const CommandRow &row);
std::string OverviewHelp();
std::string CommandHelp(std::string_view name);  // empty when no such topic
std::string UsageHint();                         // "Try 'qor --help' ..."
std::string VersionText();

}  // namespace qor::cli

#endif
