// The whole command line: the options (from a table, option_scan.h), then
// the first word, which names a library command (command_table.cpp) or a
// subcommand (subcommand_table.cpp). Options may stand anywhere.
#include <cctype>
#include <string>

#include "cli.h"
#include "option_scan.h"

namespace qor::cli {
namespace {

std::string Lower(std::string_view text) {
    std::string s(text);
    for (char &c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

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

std::vector<OptionRow> OptionTable(Options &o, Given &given) {
    std::vector<OptionRow> rows = {
        FlagOption("--checksum", nullptr, given.checksum),
        FlagOption("--debug", nullptr, o.debug),
        FlagOption("--help", "-h", given.help),
        FlagOption("--version", nullptr, given.version),
        NumberOption("--port", 1, 255, "a port number from 1 to 255", given.port,
                     [&o](long n) { o.port = static_cast<int>(n); }),
        NumberOption("--timeout", 1, 60000, "milliseconds from 1 to 60000", given.timeout,
                     [&o](long n) { o.timeout_ms = static_cast<int>(n); }),
        NumberOption("--interval", 1, 86400000, "milliseconds from 1 to 86400000", given.interval,
                     [&o](long n) { o.interval_ms = static_cast<int>(n); }),
        NumberOption("--count", 1, 1000000000, "a number of rows from 1 to 1000000000", given.count,
                     [&o](long n) { o.count = n; }),
    };
    rows.push_back({"--link", nullptr, OptionValue::kRequired,
                    [&o, &given](const std::optional<std::string> &value, std::string &error) {
                        if (value->empty()) {
                            error =
                                "--link needs a target such as /dev/ttyUSB0 or "
                                "socket://HOST:PORT";
                            return false;
                        }
                        o.link = *value;
                        return given.link = true;
                    }});
    rows.push_back({"--address", nullptr, OptionValue::kRequired,
                    [&o, &given](const std::optional<std::string> &value, std::string &error) {
                        if (value->size() != 1 || (*value)[0] < '!' || (*value)[0] > '~') {
                            error =
                                "--address needs one printable character ('!' to '~'), "
                                "not '" +
                                *value + "'";
                            return false;
                        }
                        o.address = (*value)[0];
                        return given.address = true;
                    }});
    return rows;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string> &args, CommandLine &out, std::string &error) {
    out = CommandLine{};
    std::vector<std::string> words;
    if (!ScanOptions(args, OptionTable(out.options, out.given), words, error)) {
        return false;
    }
    out.options.checksum = out.given.checksum;
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
        error = "unknown command '" + words[0] + "'";
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
    if (out.given.interval || out.given.count) {
        error = "--interval/--count cannot be used with a single command (see poll)";
        return false;
    }
    out.action = Action::kCommand;
    return ParseInvocation(*command, words, out.invocation, error);
}

}  // namespace qor::cli
