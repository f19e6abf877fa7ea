// The command-line tool's model: the command table's row type, the parsed
// command line, and the pure functions that turn arguments into calls and
// results into text. Nothing declared here touches the link, the terminal or
// the environment, so the unit tests drive all of it directly.
#ifndef QOR_TOOLS_CLI_H
#define QOR_TOOLS_CLI_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor_cli {

// Exit codes, also listed in the help text.
constexpr int kExitOk = 0;
constexpr int kExitModuleFault = 1;  // status 100: no reply, bad checksum, error reply
constexpr int kExitUsage = 2;        // the command line could not be understood
constexpr int kExitLinkFault = 3;    // status 200, or the link could not be opened

// What one command argument is; the parser checks each against its range.
enum class ArgKind {
    Value,      // decimal number, |x| <= 99999.99
    Mode,       // optional trailing "L" or "M"
    Byte,       // 0..255, decimal or 0x hex
    OptByte,    // optional second byte
    DiCount,    // 1..24 input bytes
    DiIndex,    // 1..count, 1 is the last byte of the reply
    DiBit,      // 0..7
    BitNumber,  // 0..63
};

// What a command prints on success.
enum class ResultKind {
    Value,  // "72.10"
    Limit,  // "100.00 latching"
    Count,  // "123"
    Bit,    // "0" or "1"
    None,   // "ok"
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

// One row per library export.
struct CommandRow {
    const char *name;        // as typed: "rd"
    const char *exportName;  // "QOR_RD"
    std::vector<ArgKind> args;
    ResultKind result;
    bool query;  // reads without changing anything (allowed in poll)
    const char *summary;
    void (*call)(int port, int address, const Invocation &inv, Outcome &out);
};

// The command table (command_table.cpp).
const std::vector<CommandRow> &commandTable();

// A command with its arguments, as the help shows it: "hi VALUE [L|M]".
std::string synopsis(const CommandRow &row);
const CommandRow *findCommand(std::string_view name);

enum class Action { Help, Version, Single, Scan, Poll, Demo };

struct Options {
    int port = 1;
    std::optional<std::string> link;
    int address = '1';
    bool addressGiven = false;
    bool checksum = false;
    bool debug = false;
    std::optional<int> timeoutMs;
    std::optional<int> intervalMs;  // poll only
    std::optional<long> count;      // poll only
};

struct CommandLine {
    Action action = Action::Help;
    Options options;
    Invocation invocation;  // Single and Poll
    std::string helpTopic;  // Help: empty for the overview, else a command name
};

// ---- parsing (cli_args.cpp) ----

// Strict, locale-independent number parsing: the whole text must be the
// number, and it must lie in [min, max].
bool parseInteger(std::string_view text, long min, long max, long &out);
// Decimal "0..255" or hex "0x00".."0xFF".
bool parseByte(std::string_view text, int &out);
// Plain decimal notation ("-3.46", "+100", ".5"); no exponent, NaN or
// infinity; magnitude small enough for the module's value field.
bool parseValue(std::string_view text, double &out);

// args excludes the program name. Returns false with a one-line message in
// error when the command line is not usable.
bool parseCommandLine(const std::vector<std::string> &args, CommandLine &out, std::string &error);

// The link target for --port N without --link: the environment's
// QOR_COMM_PORT<n> (passed in, null when unset), else the port's serial
// device: COM<n> on Windows, /dev/ttyS<n-1> elsewhere.
std::string defaultTarget(int port, const char *environmentValue);
// Sets timeout_ms in a target's option list, replacing an earlier one.
std::string withTimeout(const std::string &target, int timeoutMs);

// ---- formatting (cli_format.cpp) ----

// Two decimals, rounded as the module's value field rounds: "72.10".
std::string formatFixed2(double value);
std::string modeWord(int mode);
std::string formatResult(ResultKind kind, const Outcome &out);
// "module fault (status 100, error 66 'B'): the module answered with an error reply"
std::string describeFailure(int status, int error);
int exitCodeFor(int status);
// A reply of any kind, even an error reply, proves a module at that address.
bool moduleAnswered(int status, int error);
// "2024-05-01T12:34:56.789Z"
std::string isoUtc(std::chrono::system_clock::time_point when);
std::string csvHeader(ResultKind kind);
std::string csvRow(const std::string &time, ResultKind kind, const Outcome &out);

std::string overviewHelp();
std::string commandHelp(std::string_view name);  // empty when no such topic
std::string usageHint();                         // "Try 'qor --help' ..."
std::string versionText();

}  // namespace qor_cli

#endif
