// Result and help formatting. Values are formatted from an integer count of
// hundredths rather than with printf, so the output never depends on the
// locale and always matches the two decimals the module sent.
#include <cmath>
#include <cstdio>

#include "cli.h"

namespace qor_cli {
namespace {

const char *argHelp(ArgKind kind) {
    switch (kind) {
        case ArgKind::Value:
            return "VALUE   decimal number from -99999.99 to 99999.99, rounded to two decimals";
        case ArgKind::Mode:
            return "L|M     alarm mode: L latching, M momentary; left out, no letter is sent";
        case ArgKind::Byte:
            return "BYTE    output byte, 0..255 or 0x00..0xFF";
        case ArgKind::OptByte:
            return "BYTE    optional second byte: with two, the first is sent first";
        case ArgKind::DiCount:
            return "COUNT   number of input bytes the module sends, 1..24";
        case ArgKind::DiIndex:
            return "INDEX   which byte, 1 (the last one sent) to COUNT (the first)";
        case ArgKind::DiBit:
            return "BIT     bit of that byte, 0..7";
        case ArgKind::BitNumber:
            return "BIT     bit number, 0..63";
    }
    return "";
}

const char *argSyntax(ArgKind kind) {
    switch (kind) {
        case ArgKind::Value:
            return "VALUE";
        case ArgKind::Mode:
            return "[L|M]";
        case ArgKind::Byte:
            return "BYTE";
        case ArgKind::OptByte:
            return "[BYTE]";
        case ArgKind::DiCount:
            return "COUNT";
        case ArgKind::DiIndex:
            return "INDEX";
        case ArgKind::DiBit:
        case ArgKind::BitNumber:
            return "BIT";
    }
    return "";
}

const char *argExample(ArgKind kind) {
    switch (kind) {
        case ArgKind::Value:
            return "-3.46";
        case ArgKind::Mode:
            return "L";
        case ArgKind::Byte:
            return "0x0F";
        case ArgKind::OptByte:
            return "0xA5";
        case ArgKind::DiCount:
            return "2";
        case ArgKind::DiIndex:
            return "1";
        case ArgKind::DiBit:
            return "3";
        case ArgKind::BitNumber:
            return "5";
    }
    return "";
}

const char *resultHelp(ResultKind kind) {
    switch (kind) {
        case ResultKind::Value:
            return "the value with two decimals, e.g. 72.10";
        case ResultKind::Limit:
            return "the limit and its mode, e.g. \"100.00 latching\" (or momentary, none)";
        case ResultKind::Count:
            return "the count as an integer, e.g. 123";
        case ResultKind::Bit:
            return "the bit, 0 or 1";
        case ResultKind::None:
            return "ok";
    }
    return "";
}

std::string pad(std::string s, size_t width) {
    if (s.size() < width) {
        s.append(width - s.size(), ' ');
    }
    return s + ' ';
}

// The proleptic Gregorian date of a day count from 1970-01-01, in integer
// arithmetic over 400-year eras (146097 days each, era 0 starting on
// 0000-03-01 so that the leap day ends each year). The C runtime's gmtime is
// not used: Windows' refuses times before 1970.
struct CivilDate {
    long long year;
    int month;  // 1..12
    int day;    // 1..31
};

constexpr long long kMillisPerDay = 86400000;

CivilDate civilFromDays(long long days) {
    days += 719468;  // 0000-03-01 to 1970-01-01
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;  // 0..146096
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // 0..399
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthFromMarch = (5 * dayOfYear + 2) / 153;  // 0 = March .. 11 = February
    CivilDate date;
    date.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    date.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    date.year = yearOfEra + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

// What differs between Windows and POSIX systems: the serial device names,
// where the library's debug echo goes, and the demo, which needs a
// pseudo-terminal.
#ifdef _WIN32
constexpr const char *kDemoNote = " (POSIX only)";
constexpr const char *kDebugHelp =
    "  --debug         show every frame and reply; on Windows the library shows\n"
    "                  each in a message box and waits for OK\n";
constexpr const char *kTargetHelp =
    "  COM3                  a serial device: raw, 8N1, no flow control, 9600 baud\n"
    "  socket://HOST:PORT    a raw TCP connection to a serial device server\n"
    "  either followed by options, e.g. COM3?baud=19200&timeout_ms=100\n"
    "Without --link the link uses port N's target: the environment variable\n"
    "QOR_COMM_PORT<N> if set, else COM<N>. With --timeout, qor opens that target\n"
    "itself with timeout_ms set to MS (replacing one already there).\n";
#else
constexpr const char *kDemoNote = "";
constexpr const char *kDebugHelp =
    "  --debug         echo every frame and reply on standard error\n";
constexpr const char *kTargetHelp =
    "  /dev/ttyUSB0          a serial device: raw, 8N1, no flow control, 9600 baud\n"
    "  socket://HOST:PORT    a raw TCP connection to a serial device server\n"
    "  either followed by options, e.g. /dev/ttyUSB0?baud=19200&timeout_ms=100\n"
    "Without --link the link uses port N's target: the environment variable\n"
    "QOR_COMM_PORT<N> if set, else /dev/ttyS<N-1>. With --timeout, qor opens that\n"
    "target itself with timeout_ms set to MS (replacing one already there).\n";
#endif

const char *kFooter = "See 'qor --help' for options, targets, status meanings and exit codes.\n";

}  // namespace

std::string synopsis(const CommandRow &row) {
    std::string s = row.name;
    for (ArgKind k : row.args) {
        s += ' ';
        s += argSyntax(k);
    }
    return s;
}

std::string formatFixed2(double value) {
    if (!std::isfinite(value)) {
        return "nan";
    }
    const long long hundredths = std::llround(value * 100.0);
    const unsigned long long magnitude = hundredths < 0
                                             ? 0ULL - static_cast<unsigned long long>(hundredths)
                                             : static_cast<unsigned long long>(hundredths);
    std::string fraction = std::to_string(magnitude % 100);
    if (fraction.size() < 2) {
        fraction.insert(0, 1, '0');
    }
    return (hundredths < 0 ? "-" : "") + std::to_string(magnitude / 100) + "." + fraction;
}

std::string modeWord(int mode) {
    if (mode == 1) {
        return "latching";
    }
    if (mode == 0) {
        return "momentary";
    }
    return "none";
}

std::string formatResult(ResultKind kind, const Outcome &out) {
    switch (kind) {
        case ResultKind::Value:
            return formatFixed2(out.value);
        case ResultKind::Limit:
            return formatFixed2(out.value) + " " + modeWord(out.mode);
        case ResultKind::Count:
        case ResultKind::Bit:
            return std::to_string(out.count);
        case ResultKind::None:
            return "ok";
    }
    return "";
}

std::string describeFailure(int status, int error) {
    const std::string pair =
        "(status " + std::to_string(status) + ", error " + std::to_string(error);
    if (status == 100 && error == 1) {
        return "no reply " + pair + "): the module did not answer";
    }
    if (status == 100 && error == 2) {
        return "module fault " + pair + "): the reply's checksum did not match";
    }
    if (status == 100) {
        std::string code = pair;
        if (error > 32 && error < 127) {
            code += " '" + std::string(1, static_cast<char>(error)) + "'";
        }
        return "module fault " + code + "): the module answered with an error reply";
    }
    if (status == 200 && error == 1) {
        return "link fault " + pair + "): the frame could not be written to the link";
    }
    if (status == 200 && error == 2) {
        return "link fault " + pair + "): the DI reply held fewer hex digits than requested";
    }
    if (status == 200 && error == 3) {
        return "link fault " + pair +
               "): the arguments cannot be put into a frame, nothing was sent";
    }
    return "unexpected result " + pair + ")";
}

int exitCodeFor(int status) {
    if (status == 0) {
        return kExitOk;
    }
    return status == 200 ? kExitLinkFault : kExitModuleFault;
}

bool moduleAnswered(int status, int error) {
    return status == 0 || (status == 100 && error != 1);
}

std::string isoUtc(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const long long ms = time_point_cast<milliseconds>(when).time_since_epoch().count();
    // Floor division keeps times before 1970 correct too.
    long long days = ms / kMillisPerDay;
    long long inDay = ms % kMillisPerDay;
    if (inDay < 0) {
        inDay += kMillisPerDay;
        days -= 1;
    }
    const CivilDate date = civilFromDays(days);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ", date.year, date.month,
                  date.day, static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
                  static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
    return buf;
}

std::string csvHeader(ResultKind kind) {
    return kind == ResultKind::Limit ? "time,value,mode,status,error" : "time,value,status,error";
}

std::string csvRow(const std::string &time, ResultKind kind, const Outcome &out) {
    // A failed row leaves the value empty, so a plot never shows a fake 0.
    const bool ok = out.status == 0;
    std::string row = time + ",";
    if (kind == ResultKind::Limit) {
        row += ok ? formatFixed2(out.value) + "," + modeWord(out.mode) : std::string(",");
    } else if (ok) {
        row += formatResult(kind, out);
    }
    return row + "," + std::to_string(out.status) + "," + std::to_string(out.error);
}

std::string usageHint() {
    return "Try 'qor --help' for more information.";
}

std::string versionText() {
    return std::string("qor ") + QOR_VERSION;
}

std::string overviewHelp() {
    std::string s =
        "Usage: qor [OPTIONS] COMMAND [ARGS...]\n"
        "       qor [OPTIONS] scan\n"
        "       qor [OPTIONS] poll QUERY [ARGS...] --interval MS [--count N]\n"
        "       qor demo\n"
        "       qor COMMAND --help | qor --help | qor --version\n"
        "\n"
        "Sends one command to an addressable I/O module on a serial line (or a TCP\n"
        "serial server) and prints the module's answer.\n"
        "\n"
        "Commands, one per library call:\n";
    for (const CommandRow &c : commandTable()) {
        s += "  " + pad(synopsis(c), 20) + pad(c.summary, 46) + c.exportName + "\n";
    }
    s += "\n"
         "Tools:\n"
         "  scan                 ask every address '!'..'~' with RD, list the modules that answer\n"
         "  poll QUERY [ARGS]    repeat a query (rd nd rz rh rl re di rb), print timestamped CSV\n"
         "  demo                 start a simulator and tour every command family";
    s += kDemoNote;
    s += "\n"
         "  help [COMMAND]       this text, or one command's help\n"
         "\n"
         "Options (anywhere on the line; --name=value works too):\n"
         "  --port N        port number handed to the link, 1..255 (default 1)\n"
         "  --link TARGET   open the port on TARGET before the command (see Targets)\n"
         "  --address A     module address, one character '!'..'~' (default 1)\n"
         "  --checksum      add a checksum to every frame (modules then answer EC, RB\n"
         "                  and DI in their long layout)\n";
    s += kDebugHelp;
    s += "  --timeout MS    time-out for each reply character, 1..60000 ms\n"
         "                  (link default 200 ms; scan uses 30 ms unless given)\n"
         "  --interval MS   poll: time between rows, 1..86400000 ms\n"
         "  --count N       poll: stop after N rows (default: until Ctrl-C)\n"
         "  -h, --help      help; after a command, that command's help\n"
         "  --version       print the version\n"
         "  --              end of options (for a value such as -3.46 it is not needed)\n"
         "\n"
         "Arguments:\n";
    for (ArgKind k : {ArgKind::Value, ArgKind::Mode, ArgKind::Byte, ArgKind::DiCount,
                      ArgKind::DiIndex, ArgKind::DiBit, ArgKind::BitNumber}) {
        s += std::string("  ") + argHelp(k) + (k == ArgKind::DiBit ? " (di)" : "") +
             (k == ArgKind::BitNumber ? " (rb, sb, cb)" : "") + "\n";
    }
    s += "\n"
         "Targets (--link):\n";
    s += kTargetHelp;
    s += "\n"
         "Environment:\n"
         "  QOR_COMM_PORT<N>   target of port N, e.g. QOR_COMM_PORT1=socket://device-server:4001\n"
         "\n"
         "Output (standard output):\n"
         "  values with two decimals (72.10); rh and rl add the alarm mode (latching,\n"
         "  momentary or none); counts as integers; bits as 0 or 1; commands that return\n"
         "  no data print \"ok\".\n"
         "\n"
         "Failures are reported on standard error with the library's status and error:\n"
         "  100 1      no reply: the module did not answer within the time-out\n"
         "  100 2      the reply's checksum did not match\n"
         "  100 other  the module answered with an error reply; error is its code\n"
         "             character, e.g. 66 'B' for \"?1 BAD\"\n"
         "  200 1      the frame could not be written to the link\n"
         "  200 2      a DI reply held fewer hex digits than requested\n"
         "  200 3      the arguments cannot be put into a frame; nothing was sent\n"
         "\n"
         "Exit codes:\n"
         "  0  success\n"
         "  1  module fault (status 100: no reply, checksum mismatch, error reply)\n"
         "  2  bad arguments or usage\n"
         "  3  link fault (status 200, or the link could not be opened)\n";
    return s;
}

std::string commandHelp(std::string_view name) {
    if (name == "scan") {
        return std::string(
                   "Usage: qor [--port N | --link TARGET] [--timeout MS] [--checksum] scan\n"
                   "\n"
                   "Asks every printable address, '!' to '~', for a reading (RD) and lists\n"
                   "the addresses that answered, with the reading or the error reply. Any\n"
                   "reply, even an error reply, means a module is there. Each silent address\n"
                   "costs one time-out, 30 ms per character unless --timeout is given, so\n"
                   "a scan takes a few seconds.\n"
                   "Exit code: 0 when at least one module answered, 1 when none did, 3 when\n"
                   "the link could not be used.\n") +
               kFooter;
    }
    if (name == "poll") {
        return std::string(
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
                   "Exit code: 0 when polling ended, 3 when the link could not be opened.\n") +
               kFooter;
    }
    if (name == "demo") {
        return std::string(
                   "Usage: qor demo [--debug]\n"
                   "\n"
                   "Starts the module simulator (qor-sim, looked up next to qor and then on\n"
                   "PATH) on a pseudo-terminal, opens port 1 on it and tours every command\n"
                   "family through the library: readings, the event counter, alarm limits\n"
                   "set and read back, setpoint, digital outputs and inputs, bits, analog\n"
                   "output, a module that does not answer, and the same again with frame\n"
                   "checksums. Each step shows the library call, the frame and reply (on\n"
                   "standard error, from the library's debug echo) and the result.\n"
                   "The simulator is stopped at the end.\n"
                   "Windows has no pseudo-terminals: there qor demo only explains how to run\n"
                   "qor-sim --listen on a POSIX machine and reach it with\n"
                   "--link socket://HOST:PORT, and exits with 3.\n"
                   "Exit code: 0 when every step behaved as expected, 1 when one did not,\n"
                   "3 when the simulator could not be started or its port not opened.\n") +
               kFooter;
    }
    const CommandRow *row = findCommand(name);
    if (row == nullptr) {
        return "";
    }
    std::string s = "Usage: qor [OPTIONS] " + synopsis(*row) + "\n\n";
    std::string summary = row->summary;
    summary[0] = static_cast<char>(summary[0] - 'a' + 'A');
    s += summary + ". Library call: " + row->exportName + ".\n";
    if (!row->args.empty()) {
        s += "\nArguments:\n";
        for (ArgKind k : row->args) {
            s += std::string("  ") + argHelp(k) + "\n";
        }
    }
    s += std::string("\nPrints: ") + resultHelp(row->result) + "\n";
    std::string example = std::string("qor --address 1 ") + row->name;
    for (ArgKind k : row->args) {
        example += std::string(" ") + argExample(k);
    }
    s += "Example: " + example + "\n";
    if (row->query) {
        s += std::string("Can be repeated with: qor poll ") + row->name + " ... --interval MS\n";
    }
    return s + kFooter;
}

}  // namespace qor_cli
