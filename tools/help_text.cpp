// The help: the overview, built from both tables, and each command's own
// help, built from its row.
#include <string>

#include "cli.h"

namespace qor::cli {
namespace {

const char *ArgHelp(ArgKind kind) {
    switch (kind) {
        case ArgKind::kValue:
            return "VALUE   decimal number from -99999.99 to 99999.99, rounded to two decimals";
        case ArgKind::kMode:
            return "L|M     alarm mode: L latching, M momentary; left out, no letter is sent";
        case ArgKind::kByte:
            return "BYTE    output byte, 0..255 or 0x00..0xFF";
        case ArgKind::kOptByte:
            return "BYTE    optional second byte: with two, the first is sent first";
        case ArgKind::kDiCount:
            return "COUNT   number of input bytes the module sends, 1..24";
        case ArgKind::kDiIndex:
            return "INDEX   which byte, 1 (the last one sent) to COUNT (the first)";
        case ArgKind::kDiBit:
            return "BIT     bit of that byte, 0..7";
        case ArgKind::kBitNumber:
            return "BIT     bit number, 0..63";
    }
    return "";
}

const char *ArgSyntax(ArgKind kind) {
    switch (kind) {
        case ArgKind::kValue:
            return "VALUE";
        case ArgKind::kMode:
            return "[L|M]";
        case ArgKind::kByte:
            return "BYTE";
        case ArgKind::kOptByte:
            return "[BYTE]";
        case ArgKind::kDiCount:
            return "COUNT";
        case ArgKind::kDiIndex:
            return "INDEX";
        case ArgKind::kDiBit:
        case ArgKind::kBitNumber:
            return "BIT";
    }
    return "";
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
constexpr const char *kDebugHelp =
    "  --debug         show every frame and reply; on Windows the library shows\n"
    "                  each in a message box and waits for OK\n";
constexpr const char *kTargetHelp =
    "  COM3                  a serial device: raw, 8N1, no flow control, 9600 baud\n"
    "  socket://HOST:PORT    a raw TCP connection to a serial device server\n"
    "  rfc2217://HOST:PORT   a device server with the com port option (RFC 2217)\n"
    "  each followed by options, e.g. COM3?baud=19200&timeout_ms=100; COM and\n"
    "  rfc2217 take bytesize=7|8, parity=N|E|O, stopbits=1|2; COM rs485=1\n"
    "Without --link the link uses port N's target: the environment variable\n"
    "QOR_COMM_PORT<N> if set, else COM<N>. With --timeout, qor opens that target\n"
    "itself with timeout_ms set to MS (replacing one already there).\n";
#else
constexpr const char *kDebugHelp =
    "  --debug         echo every frame and reply on standard error\n";
constexpr const char *kTargetHelp =
    "  /dev/ttyUSB0          a serial device: raw, 8N1, no flow control, 9600 baud\n"
    "  socket://HOST:PORT    a raw TCP connection to a serial device server\n"
    "  rfc2217://HOST:PORT   a device server with the com port option (RFC 2217)\n"
    "  each followed by options, e.g. /dev/ttyUSB0?baud=19200&timeout_ms=100;\n"
    "  devices and rfc2217 take bytesize=7|8, parity=N|E|O, stopbits=1|2;\n"
    "  devices rs485=1, low_latency=1 (man qor_dll lists every option)\n"
    "Without --link the link uses port N's target: the environment variable\n"
    "QOR_COMM_PORT<N> if set, else /dev/ttyS<N-1>. With --timeout, qor opens that\n"
    "target itself with timeout_ms set to MS (replacing one already there).\n";
#endif

constexpr const char *kFooter =
    "See 'qor --help' for options, targets, status meanings and exit codes.\n";

constexpr const char *kUsage =
    "Usage: qor [OPTIONS] COMMAND [ARGS...]\n"
    "       qor [OPTIONS] scan\n"
    "       qor [OPTIONS] poll QUERY [ARGS...] --interval MS [--count N]\n"
    "       qor demo\n"
    "       qor COMMAND --help | qor --help | qor --version\n"
    "\n"
    "Sends one command to an addressable I/O module on a serial line (or a TCP\n"
    "serial server) and prints the module's answer.\n";

constexpr const char *kOptionsHelp =
    "Options (anywhere on the line; --name=value works too):\n"
    "  --port N        port number handed to the link, 1..255 (default 1)\n"
    "  --link TARGET   open the port on TARGET before the command (see Targets)\n"
    "  --address A     module address, one character '!'..'~' (default 1)\n"
    "  --checksum      add a checksum to every frame (modules then answer EC, RB\n"
    "                  and DI in their long layout)\n";

constexpr const char *kMoreOptionsHelp =
    "  --timeout MS    time-out for each reply character, 1..60000 ms\n"
    "                  (link default 200 ms; scan uses 30 ms unless given)\n"
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
        s += std::string("  ") + ArgHelp(k) + (k == ArgKind::kDiBit ? " (di)" : "") +
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
            s += std::string("  ") + ArgHelp(k) + "\n";
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
    return std::string(kUsage) + "\n" + CommandList() + "\n" + kOptionsHelp + kDebugHelp +
           kMoreOptionsHelp + "\n" + ArgumentList() + "\nTargets (--link):\n" + kTargetHelp + "\n" +
           kOutcomesHelp;
}

std::string CommandHelp(std::string_view name) {
    if (const SubcommandRow *row = FindSubcommand(name)) {
        return row->help != nullptr ? std::string(row->help) + kFooter : "";
    }
    const CommandRow *row = FindCommand(name);
    return row != nullptr ? LibraryCommandHelp(*row) : "";
}

}  // namespace qor::cli
