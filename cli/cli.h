// The command-line tool's model: the rows of its two tables (library
// commands and subcommands), the parsed command line, and the pure functions
// that turn arguments into calls and results into text. Nothing declared
// here touches the link, the terminal or the environment (run.h does), so
// the unit tests drive all of it directly.
#ifndef QOR_CLI_CLI_H
#define QOR_CLI_CLI_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue.h"
#include "common/message_text.h"
#include "common/option_scan.h"
#include "qor_comm.h"
#include "qor_dll.h"

namespace qor::cli {

// The shared option scanner and texts, used here as the tool's own.
using text::DidYouMean;
using text::Escape;
using text::Lower;
using text::OptionRow;
using text::OptionValue;
using text::ParseInteger;
using text::ScanOptions;

// Exit codes, also listed in the help text.
constexpr int kExitOk = 0;
constexpr int kExitModuleFault = 1;  // status 100: no reply, bad checksum, error reply
constexpr int kExitUsage = 2;        // the command line could not be understood
constexpr int kExitLinkFault = 3;    // status 200, or the link could not be opened
constexpr int kExitOutput = 4;       // standard output could not be written

// What one command argument is and what a command prints on success: the
// catalogue's kinds (catalogue/catalogue.h), with their limits there.
using catalogue::ArgKind;
using catalogue::ResultKind;

// The values a call produced; the table's adapter fills the fields its
// export returns.
struct Outcome {
    int status = 0;
    int error = 0;
    double value = 0.0;
    int mode = -1;        // RH/RL: QOR_MODE_LATCHING, QOR_MODE_MOMENTARY, -1 none
    long count = 0;       // RE/EC counts, DI/RB bits
    std::string reply;    // the module's last reply as read (from the trace), "" when none
    std::string refused;  // why the byte link refused that reply (from the trace), "" when not
    int attempts = 0;     // calls made, retries included
};

struct CommandRow;

// A command with its arguments converted, ready to call.
struct Invocation {
    const CommandRow *row = nullptr;
    float value = 0.0f;
    int mode = QOR_MODE_NO_LETTER;  // HI/LO: the letter to send, if any
    std::vector<int> ints;          // bytes, DI count/index/bit, bit number, in order
};

// One row per library export (command_table.cpp): the catalogue's row as
// the tool uses it, and the call it makes.
struct CommandRow {
    const char *name;         // as typed: "rd"
    const char *export_name;  // "QOR_RD"
    std::vector<ArgKind> args;
    ResultKind result;
    bool query;  // reads without changing anything (allowed in poll)
    // Why a second call after a lost reply could do harm, or nullptr when
    // the command is safe to repeat (--retries repeats only those).
    const char *repeat_hazard;
    const char *summary;
    void (*call)(int port, int address, const Invocation &invocation, Outcome &out);
    const catalogue::Command *entry = nullptr;  // the catalogue's row
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
    int port = 1;                        // the first link's; further links take the next
    std::vector<std::string> links;      // --link, in order; poll takes several
    std::vector<int> addresses = {'1'};  // --address, in order, each once
    bool checksum = false;
    bool trace = false;  // --trace (--debug): the byte link's events on standard error
    int retries = 0;
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
    bool retries = false;
    bool help = false;
    bool version = false;
};

struct SubcommandRow;

struct CommandLine {
    Action action = Action::kHelp;
    Options options;
    Given given;
    const SubcommandRow *subcommand = nullptr;  // kSubcommand
    Invocation invocation;                      // kCommand
    std::vector<Invocation> queries;            // poll, in the order given
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

// Sets timeout_ms in a target's option list, replacing an earlier one.
std::string WithTimeout(const std::string &target, int timeout_ms);
// The time-out per character a target sets (timeout_ms), else the byte
// link's default of 200 ms.
int TimeoutOf(const std::string &target);
// A link as messages name it: "port 1 (/dev/ttyS0, default)". source is a
// QOR_TARGET_... value of qor_comm.h.
std::string DescribeLink(int port, const std::string &target, int source);

// ---- results (result_format.cpp, calendar.cpp) ----

// Two decimals, rounded as the module's value field rounds: "72.10".
std::string FormatFixed2(double value);
std::string ModeWord(int mode);
std::string FormatResult(ResultKind kind, const Outcome &out);
// "module fault (status 100, error 66 'B'): the module answered with an error reply"
std::string DescribeFailure(int status, int error);

// What went wrong in one call, with what is known around it.
struct Failure {
    int status = 0;
    int error = 0;
    int address = '1';
    std::string link;                         // DescribeLink()
    int timeout_ms = QOR_DEFAULT_TIMEOUT_MS;  // the link's wait for each character
    std::string reply;                        // the module's reply as read, "" when none
    std::string refused;     // why the byte link refused that reply ("more input came right
                             // behind it"), "" when it did not
    std::string port_error;  // the byte link's failure text (QOR_PortError), "" when none
    int di_count = 0;        // DI: the input bytes asked for
    int attempts = 1;        // calls made, --retries included
};
// One line naming the cause: for no reply the link, address and time-out;
// for an error reply the module's own text ("?1 RANGE"); for a link fault
// the byte link's reason.
std::string DescribeFailure(const Failure &failure);
int ExitCodeFor(int status);
// A reply of any kind, even an error reply, proves a module at that address.
bool ModuleAnswered(int status, int error);
// A query as poll names its columns: "rd", "di 2 1 0".
std::string QueryName(const Invocation &invocation);
std::string CsvHeader(ResultKind kind);
std::string CsvRow(const std::string &time, ResultKind kind, const Outcome &out);
// One poll cell's columns, named by its prefix ("1:rd" or "p2:1:rd"):
// "1:rd,1:rd:status,1:rd:error" (rh, rl add "1:rh:mode" after the value).
std::string CsvCellHeader(const std::string &prefix, ResultKind kind);
// The same cell's fields, as CsvRow writes them after its time.
std::string CsvCell(ResultKind kind, const Outcome &out);

// ---- the byte link's trace, as --trace prints it (trace_text.cpp) ----

// What one trace event says: "+12.031 ms  port 1  >  $1RD". elapsed_ns is
// the time since the first event; reply_seen tells a time-out after part of
// a reply from one after none.
struct TraceEventView {
    long long elapsed_ns = 0;
    int port = 0;
    int kind = 0;  // QOR_TRACE_...
    std::string_view bytes;
    int milliseconds = 0;
    std::string_view text;
    bool reply_seen = false;
};
std::string TraceLine(const TraceEventView &event);

// ---- help (help_text.cpp) ----

// A command with its arguments, as the help shows it: "hi VALUE [L|M]".
std::string Synopsis(const CommandRow &row);
std::string OverviewHelp();
std::string CommandHelp(std::string_view name);  // empty when no such topic
std::string UsageHint();                         // "Try 'qor --help' ..."
std::string VersionText();

}  // namespace qor::cli

#endif
