// Command-line parsing. Numbers go through std::from_chars, which ignores
// the locale, and every text must be consumed completely: "12abc", "1e3",
// "nan" and values outside a command's range are refused before anything is
// sent to a module.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

#include "cli.h"

namespace qor_cli {
namespace {

std::string lower(std::string_view text) {
    std::string s(text);
    for (char &c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "-3" and "-.5" are values, "-x" is an option.
bool looksLikeNegativeNumber(const std::string &arg) {
    return arg.size() > 1 && arg[0] == '-' && (isDigit(arg[1]) || arg[1] == '.');
}

bool isOptional(ArgKind kind) {
    return kind == ArgKind::Mode || kind == ArgKind::OptByte;
}

// Converts one positional argument; on failure explains the accepted range.
bool convertArg(const CommandRow &row, ArgKind kind, const std::string &text, Invocation &inv,
                std::string &error) {
    const std::string prefix = std::string(row.name) + ": ";
    long n = 0;
    switch (kind) {
        case ArgKind::Value: {
            double v = 0;
            if (!parseValue(text, v)) {
                error = prefix +
                        "VALUE must be a decimal number from -99999.99 to 99999.99, not '" + text +
                        "'";
                return false;
            }
            inv.value = static_cast<float>(v);
            return true;
        }
        case ArgKind::Mode: {
            const std::string m = lower(text);
            if (m != "l" && m != "m") {
                error = prefix + "the alarm mode must be L (latching) or M (momentary), not '" +
                        text + "'";
                return false;
            }
            inv.mode = m == "l" ? 1 : 0;
            return true;
        }
        case ArgKind::Byte:
        case ArgKind::OptByte: {
            int b = 0;
            if (!parseByte(text, b)) {
                error = prefix + "BYTE must be 0..255 or 0x00..0xFF, not '" + text + "'";
                return false;
            }
            inv.ints.push_back(b);
            return true;
        }
        case ArgKind::DiCount:
            if (!parseInteger(text, 1, 24, n)) {
                error = prefix + "COUNT must be a number of input bytes from 1 to 24, not '" +
                        text + "'";
                return false;
            }
            break;
        case ArgKind::DiIndex: {
            const long count = inv.ints.empty() ? 24 : inv.ints.back();
            if (!parseInteger(text, 1, count, n)) {
                error = prefix + "INDEX must be from 1 (last byte) to COUNT (" +
                        std::to_string(count) + "), not '" + text + "'";
                return false;
            }
            break;
        }
        case ArgKind::DiBit:
            if (!parseInteger(text, 0, 7, n)) {
                error = prefix + "BIT must be a bit of the byte, 0 to 7, not '" + text + "'";
                return false;
            }
            break;
        case ArgKind::BitNumber:
            if (!parseInteger(text, 0, 63, n)) {
                error = prefix + "BIT must be a bit number from 0 to 63, not '" + text + "'";
                return false;
            }
            break;
    }
    inv.ints.push_back(static_cast<int>(n));
    return true;
}

bool parseInvocation(const CommandRow &row, const std::vector<std::string> &args, Invocation &inv,
                     std::string &error) {
    size_t required = 0;
    for (ArgKind k : row.args) {
        required += isOptional(k) ? 0 : 1;
    }
    if (args.size() < required || args.size() > row.args.size()) {
        error = std::string(row.name) + ": expected '" + synopsis(row) + "', got " +
                std::to_string(args.size()) + " argument" + (args.size() == 1 ? "" : "s");
        return false;
    }
    inv = Invocation{};
    inv.row = &row;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!convertArg(row, row.args[i], args[i], inv, error)) {
            return false;
        }
    }
    return true;
}

struct Given {
    bool port = false, link = false, address = false, checksum = false, timeout = false,
         interval = false, count = false, help = false, version = false;
};

// Reads one "--name VALUE" or "--name=VALUE" option.
bool optionValue(const std::vector<std::string> &args, size_t &i, const std::string &name,
                 const std::optional<std::string> &inlineValue, std::string &value,
                 std::string &error) {
    if (inlineValue) {
        value = *inlineValue;
        return true;
    }
    if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

bool refuse(bool given, const char *option, const char *command, std::string &error) {
    if (given) {
        error = std::string(option) + " cannot be used with " + command;
    }
    return given;
}

}  // namespace

bool parseInteger(std::string_view text, long min, long max, long &out) {
    if (text.empty()) {
        return false;
    }
    // from_chars takes no '+'; a sign must still be followed by digits.
    if (text[0] == '+') {
        text.remove_prefix(1);
        if (text.empty() || !isDigit(text[0])) {
            return false;
        }
    }
    long v = 0;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v, 10);
    if (ec != std::errc() || ptr != end || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool parseByte(std::string_view text, int &out) {
    long v = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::string_view digits = text.substr(2);
        if (digits.size() > 2 || !std::all_of(digits.begin(), digits.end(), [](char c) {
                return std::isxdigit(static_cast<unsigned char>(c));
            })) {
            return false;
        }
        const char *end = digits.data() + digits.size();
        auto [ptr, ec] = std::from_chars(digits.data(), end, v, 16);
        if (ec != std::errc() || ptr != end) {
            return false;
        }
    } else if (text.empty() || !isDigit(text[0]) || !parseInteger(text, 0, 255, v)) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool parseValue(std::string_view text, double &out) {
    // Shape check first: [+-] digits [. digits], at least one digit.
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    const size_t start = i;
    size_t digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (isDigit(text[i])) {
            ++digits;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    double v = 0;
    const char *first = text.data() + start;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(first, end, v, std::chars_format::fixed);
    if (ec != std::errc() || ptr != end || !std::isfinite(v)) {
        return false;
    }
    if (start == 1 && text[0] == '-') {
        v = -v;
    }
    // The module's field holds five digits before the point; anything that
    // rounds to 100000.00 cannot be sent.
    if (std::fabs(v) >= 99999.995) {
        return false;
    }
    out = v;
    return true;
}

bool parseCommandLine(const std::vector<std::string> &args, CommandLine &out, std::string &error) {
    out = CommandLine{};
    Options &o = out.options;
    Given given;
    std::vector<std::string> positional;

    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || looksLikeNegativeNumber(arg)) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h") {
            given.help = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const size_t eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const bool flag =
            name == "--checksum" || name == "--debug" || name == "--help" || name == "--version";
        if (flag && inlineValue) {
            error = name + " takes no value";
            return false;
        }
        std::string value;
        long n = 0;
        if (name == "--checksum") {
            o.checksum = given.checksum = true;
        } else if (name == "--debug") {
            o.debug = true;
        } else if (name == "--help") {
            given.help = true;
        } else if (name == "--version") {
            given.version = true;
        } else if (name == "--port") {
            if (!optionValue(args, i, name, inlineValue, value, error)) {
                return false;
            }
            if (!parseInteger(value, 1, 255, n)) {
                error = "--port needs a port number from 1 to 255, not '" + value + "'";
                return false;
            }
            o.port = static_cast<int>(n);
            given.port = true;
        } else if (name == "--link") {
            if (!optionValue(args, i, name, inlineValue, value, error)) {
                return false;
            }
            if (value.empty()) {
                error = "--link needs a target such as /dev/ttyUSB0 or socket://HOST:PORT";
                return false;
            }
            o.link = value;
            given.link = true;
        } else if (name == "--address") {
            if (!optionValue(args, i, name, inlineValue, value, error)) {
                return false;
            }
            if (value.size() != 1 || value[0] < '!' || value[0] > '~') {
                error = "--address needs one printable character ('!' to '~'), not '" + value + "'";
                return false;
            }
            o.address = value[0];
            o.addressGiven = given.address = true;
        } else if (name == "--timeout") {
            if (!optionValue(args, i, name, inlineValue, value, error)) {
                return false;
            }
            if (!parseInteger(value, 1, 60000, n)) {
                error = "--timeout needs milliseconds from 1 to 60000, not '" + value + "'";
                return false;
            }
            o.timeoutMs = static_cast<int>(n);
            given.timeout = true;
        } else if (name == "--interval") {
            if (!optionValue(args, i, name, inlineValue, value, error)) {
                return false;
            }
            if (!parseInteger(value, 1, 86400000, n)) {
                error = "--interval needs milliseconds from 1 to 86400000, not '" + value + "'";
                return false;
            }
            o.intervalMs = static_cast<int>(n);
            given.interval = true;
        } else if (name == "--count") {
            if (!optionValue(args, i, name, inlineValue, value, error)) {
                return false;
            }
            if (!parseInteger(value, 1, 1000000000, n)) {
                error = "--count needs a number of rows from 1 to 1000000000, not '" + value + "'";
                return false;
            }
            o.count = n;
            given.count = true;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }

    if (given.version) {
        out.action = Action::Version;
        return true;
    }
    if (positional.empty()) {
        if (given.help) {
            out.action = Action::Help;
            return true;
        }
        error = "no command given";
        return false;
    }

    const std::string command = lower(positional[0]);
    if (command == "help") {
        out.action = Action::Help;
        if (positional.size() > 2) {
            error = "help takes at most one command name";
            return false;
        }
        if (positional.size() == 2) {
            out.helpTopic = lower(positional[1]);
            if (commandHelp(out.helpTopic).empty()) {
                error = "no help for unknown command '" + positional[1] + "'";
                return false;
            }
        }
        return true;
    }
    const bool known = command == "scan" || command == "poll" || command == "demo" ||
                       findCommand(command) != nullptr;
    if (!known) {
        error = "unknown command '" + positional[0] + "'";
        return false;
    }
    if (given.help) {
        out.action = Action::Help;
        out.helpTopic = command;
        return true;
    }
    const bool pollOnly = given.interval || given.count;

    if (command == "scan") {
        if (refuse(given.address, "--address", "scan (it asks every address)", error) ||
            refuse(pollOnly, "--interval/--count", "scan", error)) {
            return false;
        }
        if (positional.size() > 1) {
            error = "scan takes no arguments";
            return false;
        }
        out.action = Action::Scan;
        return true;
    }
    if (command == "demo") {
        if (refuse(given.port || given.link, "--port/--link", "demo (it starts its own simulator)",
                   error) ||
            refuse(given.address || given.timeout || given.checksum,
                   "--address/--timeout/--checksum", "demo", error) ||
            refuse(pollOnly, "--interval/--count", "demo", error)) {
            return false;
        }
        if (positional.size() > 1) {
            error = "demo takes no arguments";
            return false;
        }
        out.action = Action::Demo;
        return true;
    }
    if (command == "poll") {
        if (positional.size() < 2) {
            error = "poll needs a query command, e.g. 'poll rd --interval 1000'";
            return false;
        }
        const CommandRow *row = findCommand(lower(positional[1]));
        if (row == nullptr || !row->query) {
            error = "poll repeats a query (rd, nd, rz, rh, rl, re, di, rb), not '" + positional[1] +
                    "'";
            return false;
        }
        if (!given.interval) {
            error = "poll needs --interval MS";
            return false;
        }
        if (!parseInvocation(*row,
                             std::vector<std::string>(positional.begin() + 2, positional.end()),
                             out.invocation, error)) {
            return false;
        }
        out.action = Action::Poll;
        return true;
    }
    if (refuse(pollOnly, "--interval/--count", "a single command (see poll)", error)) {
        return false;
    }
    if (!parseInvocation(*findCommand(command),
                         std::vector<std::string>(positional.begin() + 1, positional.end()),
                         out.invocation, error)) {
        return false;
    }
    out.action = Action::Single;
    return true;
}

std::string defaultTarget(int port, const char *environmentValue) {
    if (environmentValue != nullptr && *environmentValue != '\0') {
        return environmentValue;
    }
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

std::string withTimeout(const std::string &target, int timeoutMs) {
    const size_t q = target.find('?');
    std::string base = target.substr(0, q);
    std::string kept;
    if (q != std::string::npos) {
        const std::string query = target.substr(q + 1);
        size_t pos = 0;
        while (pos <= query.size()) {
            size_t amp = query.find('&', pos);
            if (amp == std::string::npos) {
                amp = query.size();
            }
            const std::string item = query.substr(pos, amp - pos);
            if (!item.empty() && item.rfind("timeout_ms=", 0) != 0 && item != "timeout_ms") {
                kept += item + "&";
            }
            pos = amp + 1;
        }
    }
    return base + "?" + kept + "timeout_ms=" + std::to_string(timeoutMs);
}

}  // namespace qor_cli
