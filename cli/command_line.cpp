// The whole command line: the options (from a table, option_scan.h), then
// the first word, which names a library command (command_table.cpp) or a
// subcommand (subcommand_table.cpp). Options may stand anywhere.
#include <algorithm>
#include <cctype>
#include <string>

#include "cli/cli.h"
#include "common/message_text.h"
#include "common/option_scan.h"

namespace qor::cli {
namespace {

// An option with a number in [min, max]; refusals read "--port needs a
// port number from 1 to 255, not 'x'".
OptionRow NumberOption(const char *name, long min, long max, const char *what, bool &given,
                       std::function<void(long)> store) {
    auto apply = [=, &given](const std::optional<std::string> &value, std::string &error) {
        long n = 0;
        if (!ParseInteger(*value, min, max, n)) {
            error = std::string(name) + " needs " + what + ", not '" + *value + "'";
            return false;
        }
        store(n);
        given = true;
        return true;
    };
    return {name, nullptr, OptionValue::kRequired, apply};
}

OptionRow FlagOption(const char *name, const char *alias, bool &flag) {
    return {name, alias, OptionValue::kNone,
            [&flag](const std::optional<std::string> &, std::string &) { return flag = true; }};
}

bool IsAddress(std::string_view text) {
    return text.size() == 1 && text[0] >= '!' && text[0] <= '~';
}

// "$" begins every frame: "$$RD" would reach the modules as a frame for
// module "R", so the library refuses it (200/3), and so does the option.
bool NamesPrompt(const std::vector<int> &addresses) {
    return std::find(addresses.begin(), addresses.end(), '$') != addresses.end();
}

// "1" is one address, even ","; "1,2,5" a list of them.
bool ParseAddressList(const std::string &value, std::vector<int> &out) {
    if (IsAddress(value)) {
        out.push_back(value[0]);
        return true;
    }
    size_t start = 0;
    for (size_t comma = 0; comma != std::string::npos; start = comma + 1) {
        comma = value.find(',', start);
        const std::string_view piece = std::string_view(value).substr(
            start, comma == std::string::npos ? comma : comma - start);
        if (!IsAddress(piece)) {
            return false;
        }
        out.push_back(piece[0]);
    }
    return true;
}

// Repeated, --address adds up: each address once, in the order given.
bool AddAddresses(const std::string &value, Options &o, Given &given, std::string &error) {
    std::vector<int> added;
    if (!ParseAddressList(value, added)) {
        error =
            "--address needs one printable character ('!' to '~') or a list such as 1,2,5, "
            "not '" +
            Escape(value) + "'";
        return false;
    }
    if (NamesPrompt(added)) {
        error =
            "--address cannot be $: every frame begins with it, so \"$$RD\" would be a frame "
            "for module R";
        return false;
    }
    if (!given.address) {
        o.addresses.clear();
    }
    for (int a : added) {
        if (std::find(o.addresses.begin(), o.addresses.end(), a) != o.addresses.end()) {
            error = "--address " + std::string(1, static_cast<char>(a)) + " is given twice";
            return false;
        }
        o.addresses.push_back(a);
    }
    return given.address = true;
}

OptionRow AddressOption(Options &o, Given &given) {
    return {"--address", nullptr, OptionValue::kRequired,
            [&o, &given](const std::optional<std::string> &value, std::string &error) {
                return AddAddresses(*value, o, given, error);
            }};
}

OptionRow LinkOption(Options &o, Given &given) {
    return {"--link", nullptr, OptionValue::kRequired,
            [&o, &given](const std::optional<std::string> &value, std::string &error) {
                if (value->empty()) {
                    error = "--link needs a target such as /dev/ttyUSB0 or socket://HOST:PORT";
                    return false;
                }
                o.links.push_back(*value);
                return given.link = true;
            }};
}

// Port numbers qor gives links: --port, and one more for each further --link.
constexpr int kLastPort = 255;

// Several links take the ports from --port up, which must all be in range.
bool CheckPortRange(const Options &o, std::string &error) {
    const long last = o.port + static_cast<long>(o.links.size()) - 1;
    if (last <= kLastPort) {
        return true;
    }
    error = "--link is given " + std::to_string(o.links.size()) + " times, which takes ports " +
            std::to_string(o.port) + " to " + std::to_string(last) + "; ports go up to " +
            std::to_string(kLastPort) + ": give --port " +
            std::to_string(kLastPort + 1 - static_cast<long>(o.links.size())) + " or lower";
    return false;
}

std::vector<OptionRow> OptionTable(Options &o, Given &given) {
    return {
        FlagOption("--checksum", nullptr, given.checksum),
        // The library's own echo wrote replies to the terminal unescaped;
        // --debug now shows the same exchanges through the trace.
        FlagOption("--trace", "--debug", o.trace),
        FlagOption("--help", "-h", given.help),
        FlagOption("--version", nullptr, given.version),
        NumberOption("--port", 1, kLastPort, "a port number from 1 to 255", given.port,
                     [&o](long n) { o.port = static_cast<int>(n); }),
        NumberOption("--timeout", 1, 60000, "milliseconds from 1 to 60000", given.timeout,
                     [&o](long n) { o.timeout_ms = static_cast<int>(n); }),
        NumberOption("--retries", 0, 10, "a number of retries from 0 to 10", given.retries,
                     [&o](long n) { o.retries = static_cast<int>(n); }),
        NumberOption("--interval", 1, 86400000, "milliseconds from 1 to 86400000", given.interval,
                     [&o](long n) { o.interval_ms = static_cast<int>(n); }),
        NumberOption("--count", 1, 1000000000, "a number of rows from 1 to 1000000000", given.count,
                     [&o](long n) { o.count = n; }),
        LinkOption(o, given),
        AddressOption(o, given),
    };
}

std::vector<std::string> AllCommandNames() {
    std::vector<std::string> names;
    for (const CommandRow &row : CommandTable()) {
        names.emplace_back(row.name);
    }
    for (const SubcommandRow &row : SubcommandTable()) {
        names.emplace_back(row.name);
    }
    return names;
}

// The checks a single library command adds to the options.
bool CheckCommandOptions(const CommandLine &line, const CommandRow &row, std::string &error) {
    if (line.given.interval || line.given.count) {
        error = "--interval/--count cannot be used with a single command (see poll)";
        return false;
    }
    if (line.options.links.size() > 1) {
        error = "--link is given " + std::to_string(line.options.links.size()) +
                " times; only poll uses several links";
        return false;
    }
    if (line.options.retries > 0 && row.repeat_hazard != nullptr) {
        error = std::string("--retries cannot be used with ") + row.name + ": " + row.repeat_hazard;
        return false;
    }
    return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string> &args, CommandLine &out, std::string &error) {
    out = CommandLine{};
    std::vector<std::string> words;
    if (!ScanOptions(args, OptionTable(out.options, out.given), words, error)) {
        return false;
    }
    out.options.checksum = out.given.checksum;
    if (!CheckPortRange(out.options, error)) {
        return false;
    }
    if (out.given.version) {
        out.action = Action::kVersion;
        return true;
    }
    if (words.empty()) {
        if (out.given.help) {
            out.action = Action::kHelp;
            return true;
        }
        error = "no command given";
        return false;
    }
    const std::string name = Lower(words[0]);
    const SubcommandRow *subcommand = FindSubcommand(name);
    const CommandRow *command = FindCommand(name);
    if (subcommand == nullptr && command == nullptr) {
        error = "unknown command '" + Escape(words[0]) + "'" + DidYouMean(name, AllCommandNames());
        return false;
    }
    if (out.given.help && name != "help") {
        out.action = Action::kHelp;
        out.help_topic = name;
        return true;
    }
    words.erase(words.begin());
    if (subcommand != nullptr) {
        out.action = Action::kSubcommand;
        out.subcommand = subcommand;
        return subcommand->parse(words, out, error);
    }
    if (!CheckCommandOptions(out, *command, error)) {
        return false;
    }
    out.action = Action::kCommand;
    return ParseInvocation(*command, words, out.invocation, error);
}

}  // namespace qor::cli
