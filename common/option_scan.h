// Command-line options read from a table, the same way for qor and qor-sim:
// "--name VALUE" or "--name=VALUE", flags without a value, "--" ending the
// options, and every other word kept in order for the caller. Numbers are
// read without the locale and must be the whole text.
#ifndef QOR_COMMON_OPTION_SCAN_H
#define QOR_COMMON_OPTION_SCAN_H

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::text {

enum class OptionValue {
    kNone,      // a flag: "--checksum"
    kRequired,  // "--port 2" or "--port=2"
    kOptional,  // "--garbage=TEXT", or the next word unless it is an option
};

struct OptionRow {
    const char *name;   // "--port"
    const char *alias;  // another spelling ("-h"), or nullptr
    OptionValue value;
    // Takes the option's value (nothing for a flag, or for an optional value
    // left out). False with a one-line message in error.
    std::function<bool(const std::optional<std::string> &value, std::string &error)> apply;
    // The rest of the line is not read (--help of a program whose help
    // wins over anything after it).
    bool ends_scan = false;
};

// Applies the options in args by the table and returns the other words, in
// order, in words. "-3.46" and "-.5" are words, not options. False with a
// one-line message in error on an unknown option, a missing value, a value
// given to a flag, or a value the row refuses.
bool ScanOptions(const std::vector<std::string> &args, const std::vector<OptionRow> &table,
                 std::vector<std::string> &words, std::string &error);

// Strict decimal integer in [min, max]: an optional sign, digits, nothing
// else.
bool ParseInteger(std::string_view text, long min, long max, long &out);

}  // namespace qor::text

#endif
