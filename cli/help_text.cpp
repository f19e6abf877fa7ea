// The help: the overview, built from both tables, and each command's own
// help, built from its row.
#include <string>

#include "cli/cli.h"

namespace qor::cli {
namespace {

// "1..24": an integer argument's limits, from the catalogue.
std::string Range(ArgKind kind) {
    const catalogue::ArgInfo &arg = catalogue::ArgOf(kind);
    return std::to_string(arg.low) + ".." + std::to_string(arg.high);
}

std::string ArgHelp(ArgKind kind) {
    switch (kind) {
        case ArgKind::kValue:
            return "VALUE   decimal number from -" + FormatFixed2(catalogue::kValueMax) + " to " +
                   FormatFixed2(catalogue::kValueMax) + ", rounded to two decimals";
        case ArgKind::kMode:
            return "L|M     alarm mode: L latching, M momentary; left out, no letter is sent";
        case ArgKind::kByte:
            return "BYTE    output byte, " + Range(kind) + " or 0x00..0xFF";
        case ArgKind::kOptByte:
            return "BYTE    optional second byte: with two, the first is sent first";
        case ArgKind::kDiCount:
            return "COUNT   number of input bytes the module sends, " + Range(kind);
        case ArgKind::kDiIndex:
            return "INDEX   which byte, 1 (the last one sent) to COUNT (the first)";
        case ArgKind::kDiBit:
            return "BIT     bit of that byte, " + Range(kind);
        case ArgKind::kBitNumber:
            return "BIT     bit number, " + Range(kind);
    }
    return "";
}

const char *ArgSyntax(ArgKind kind) {
    return catalogue::ArgOf(kind).word;
}

const char *ArgExample(ArgKind kind) {
    switch (kind) {
        case ArgKind::kValue:
            return "-3.46";
        case ArgKind::kMode:
            return "L";
        case ArgKind::kByte:
            return "0x0F";
        case ArgKind::kOptByte:
            return "0xA5";
        case ArgKind::kDiCount:
            return "2";
        case ArgKind::kDiIndex:
            return "1";
        case ArgKind::kDiBit:
            return "3";
        case ArgKind::kBitNumber:
            return "5";
    }
    return "";
}

const char *ResultHelp(ResultKind kind) {
    switch (kind) {
        case ResultKind::kValue:
            return "the value with two decimals, e.g. 72.10";
        case ResultKind::kLimit:
            return "the limit and its mode, e.g. \"100.00 latching\" (or momentary, none)";
        case ResultKind::kCount:
            return "the count as an integer, e.g. 123";
        case ResultKind::kBit:
            return "the bit, 0 or 1";
        case ResultKind::kNone:
            return "ok";
    }
    return "";
}

std::string Pad(std::string s, size_t width) {
    if (s.size() < width) {
        s.append(width - s.size(), ' ');
    }
    return s + ' ';
}

// What differs between Windows and POSIX systems: the serial device names
// and where the library's debug echo goes.
#ifdef _WIN32
constexpr const char *kTargetHelp =
    "  COM3                  a serial device: raw, 8N1, no flow control, 9600 baud\n"
    "  socket://HOST:PORT    a raw TCP connection to a serial device server\n"
    "  rfc2217://HOST:PORT   a device server with the com port option (RFC 2217)\n"
    "  each followed by options, e.g. COM3?baud=19200&timeout_ms=100; COM and\n"
    "  rfc2217 take bytesize=7|8, parity=N|E|O, stopbits=1|2; COM rs485=1\n"
    "Without --link the link uses port N's target: the environment variable\n"
    "QOR_COMM_PORT<N> if set, else COM<N>; messages mark it \"(default)\".\n"
    "--timeout sets timeout_ms in the target to MS (replacing one already there).\n"
    "A malformed target is a usage error (exit code 2).\n";
#else
constexpr const char *kTargetHelp =
    "  /dev/ttyUSB0          a serial device: raw, 8N1, no flow control, 9600 baud\n"
    "  socket://HOST:PORT    a raw TCP connection to a serial device server\n"
    "  rfc2217://HOST:PORT   a device server with the com port option (RFC 2217)\n"
    "  each followed by options, e.g. /dev/ttyUSB0?baud=19200&timeout_ms=100;\n"
    "  devices and rfc2217 take bytesize=7|8, parity=N|E|O, stopbits=1|2;\n"
    "  devices rs485=1, low_latency=1, exclusive=0 (man qor_dll lists them all)\n"
    "A device is held for one program; another's is refused as \"port busy\".\n"
    "Without --link the link uses port N's target: the environment variable\n"
    "QOR_COMM_PORT<N> if set, else /dev/ttyS<N-1>; messages mark it \"(default)\".\n"
    "'qor ports' lists the serial ports. --timeout sets timeout_ms in the target\n"
    "to MS (replacing one already there). A malformed target is a usage error\n"
    "(exit code 2).\n";
#endif

constexpr const char *kFooter =
    "See 'qor --help' for options, targets, status meanings and exit codes.\n";

constexpr const char *kUsage =
    "Usage: qor [OPTIONS] COMMAND [ARGS...]\n"
    "       qor [OPTIONS] scan\n"
    "       qor [OPTIONS] poll QUERY [ARGS...]... --interval MS [--count N]\n"
    "       qor ports\n"
    "       qor demo\n"
    "       qor COMMAND --help | qor --help | qor --version\n"
    "\n"
    "Sends one command to an addressable I/O module on a serial line (or a TCP\n"
    "serial server) and prints the module's answer.\n";

constexpr const char *kOptionsHelp =
    "Options (anywhere on the line; --name=value works too):\n"
    "  --port N        port number handed to the link, 1..255 (default 1)\n"
    "  --link TARGET   open the port on TARGET before the command (see Targets);\n"
    "                  poll takes several, on ports N, N+1, ...\n"
    "  --address A     module address, one character '!'..'~' but not '$',\n"
    "                  which begins every frame (default 1); a list (1,2,5) or\n"
    "                  the option repeated runs the command on each, one line\n"
    "                  per address (\"2  72.10\")\n"
    "  --checksum      add a checksum to every frame (modules then answer EC, RB\n"
    "                  and DI in their long layout)\n"
    "  --trace         show every event of the link on standard error, with the\n"
    "                  time since the first: \"+12.031 ms  port 1  >  $1RD\",\n"
    "                  \"<  *+00072.10\", \"!  no reply in 200 ms\"; control\n"
    "                  characters escaped (\\r, \\x1b)\n"
    "  --debug         the same as --trace\n";

constexpr const char *kMoreOptionsHelp =
    "  --timeout MS    time-out for each reply character, 1..60000 ms\n"
    "                  (link default 200 ms; scan uses 30 ms unless given)\n"
    "  --retries N     after no reply or a frame not written, try again up to N\n"
    "                  times, 0..10 (default 0); only commands safe to repeat:\n"
    "                  not ec, ca, ce, cz, rr (their help says why)\n"
    "  --interval MS   poll: time between rows, 1..86400000 ms\n"
    "  --count N       poll: stop after N rows (default: until Ctrl-C)\n"
    "  -h, --help      help; after a command, that command's help\n"
    "  --version       print the version\n"
    "  --              end of options (for a value such as -3.46 it is not needed)\n";

constexpr const char *kOutcomesHelp =
    "Environment:\n"
    "  QOR_COMM_PORT<N>   target of port N, e.g. QOR_COMM_PORT1=socket://device-server:4001\n"
    "\n"
    "Output (standard output):\n"
    "  values with two decimals (72.10); rh and rl add the alarm mode (latching,\n"
    "  momentary or none); counts as integers; bits as 0 or 1; commands that return\n"
    "  no data print \"ok\".\n"
    "\n"
    "Failures are reported on standard error with the library's status and error\n"
    "(the names of include/qor_dll.h) and their cause:\n"
    "  100 1      QOR_ERROR_NO_REPLY: no reply; the message names the link, the\n"
    "             address and the time-out (\"reply refused\": the byte link\n"
    "             refused the reply that came, and the message says why)\n"
    "  100 2      QOR_ERROR_REPLY_CHECKSUM: the reply's checksum did not match\n"
    "  100 other  the module answered with an error reply, which is quoted\n"
    "             (\"?1 RANGE\"); error is its code character, here 82 'R'\n"
    "  200 1      QOR_ERROR_NOT_WRITTEN: the frame could not be written to the\n"
    "             link; the link's own reason follows\n"
    "  200 2      QOR_ERROR_REPLY_FIELD: the reply's field does not hold what the\n"
    "             command reads: a DI reply without exactly the hex digits asked\n"
    "             for, or a reading or count whose field holds no digit (\"*\")\n"
    "  200 3      QOR_ERROR_ARGUMENTS_REFUSED: the arguments cannot be put into a\n"
    "             frame; nothing was sent\n"
    "Status 100 is QOR_STATUS_REPLY_FAULT, 200 QOR_STATUS_LINK_FAULT.\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  module fault (status 100: no reply, checksum mismatch, error reply)\n"
    "  2  bad arguments or usage, a malformed link target\n"
    "  3  link fault (status 200, or the link could not be opened)\n"
    "  4  standard output could not be written (closed, full, reader gone)\n"
    "With several addresses the most severe of their codes.\n";

std::string CommandList() {
    std::string s = "Commands, one per library call:\n";
    for (const CommandRow &c : CommandTable()) {
        s += "  " + Pad(Synopsis(c), 20) + Pad(c.summary, 46) + c.export_name + "\n";
    }
    s += "\nTools:\n";
    for (const SubcommandRow &row : SubcommandTable()) {
        s += "  " + Pad(row.synopsis, 20) + row.summary + "\n";
    }
    return s;
}

std::string ArgumentList() {
    std::string s = "Arguments:\n";
    for (ArgKind k : {ArgKind::kValue, ArgKind::kMode, ArgKind::kByte, ArgKind::kDiCount,
                      ArgKind::kDiIndex, ArgKind::kDiBit, ArgKind::kBitNumber}) {
        s += "  " + ArgHelp(k) + (k == ArgKind::kDiBit ? " (di)" : "") +
             (k == ArgKind::kBitNumber ? " (rb, sb, cb)" : "") + "\n";
    }
    return s;
}

// 'qor NAME --help' for a library command, from its row.
std::string LibraryCommandHelp(const CommandRow &row) {
    std::string s = "Usage: qor [OPTIONS] " + Synopsis(row) + "\n\n";
    std::string summary = row.summary;
    summary[0] = static_cast<char>(summary[0] - 'a' + 'A');
    s += summary + ". Library call: " + row.export_name + ".\n";
    if (!row.args.empty()) {
        s += "\nArguments:\n";
        for (ArgKind k : row.args) {
            s += "  " + ArgHelp(k) + "\n";
        }
    }
    s += std::string("\nPrints: ") + ResultHelp(row.result) + "\n";
    std::string example = std::string("qor --address 1 ") + row.name;
    for (ArgKind k : row.args) {
        example += std::string(" ") + ArgExample(k);
    }
    s += "Example: " + example + "\n";
    if (row.query) {
        s += std::string("Can be repeated with: qor poll ") + row.name + " ... --interval MS\n";
    }
    if (row.repeat_hazard == nullptr) {
        s += "--retries may repeat it after no reply: it is safe to repeat.\n";
    } else {
        s += std::string("--retries cannot be used with it: ") + row.repeat_hazard + ".\n";
    }
    return s + kFooter;
}

}  // namespace

std::string Synopsis(const CommandRow &row) {
    std::string s = row.name;
    for (ArgKind k : row.args) {
        s += ' ';
        s += ArgSyntax(k);
    }
    return s;
}

std::string UsageHint() {
    return "Try 'qor --help' for more information.";
}

std::string VersionText() {
    return std::string("qor ") + QOR_VERSION;
}

std::string OverviewHelp() {
    return std::string(kUsage) + "\n" + CommandList() + "\n" + kOptionsHelp + kMoreOptionsHelp +
           "\n" + ArgumentList() + "\nTargets (--link):\n" + kTargetHelp + "\n" + kOutcomesHelp;
}

std::string CommandHelp(std::string_view name) {
    if (const SubcommandRow *row = FindSubcommand(name)) {
        return row->help != nullptr ? std::string(row->help) + kFooter : "";
    }
    const CommandRow *row = FindCommand(name);
    return row != nullptr ? LibraryCommandHelp(*row) : "";
}

}  // namespace qor::cli
