#include "common/option_scan.h"

#include <charconv>

#include "common/message_text.h"

namespace qor::text {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "-3" and "-.5" are values, "-x" is an option.
bool LooksLikeNegativeNumber(const std::string &arg) {
    return arg.size() > 1 && arg[0] == '-' && (IsDigit(arg[1]) || arg[1] == '.');
}

bool IsOptionWord(const std::string &arg) {
    return !arg.empty() && arg[0] == '-' && !LooksLikeNegativeNumber(arg);
}

const OptionRow *FindOption(const std::vector<OptionRow> &table, const std::string &name) {
    for (const OptionRow &row : table) {
        if (name == row.name || (row.alias != nullptr && name == row.alias)) {
            return &row;
        }
    }
    return nullptr;
}

std::vector<std::string> OptionNames(const std::vector<OptionRow> &table) {
    std::vector<std::string> names;
    for (const OptionRow &row : table) {
        names.emplace_back(row.name);
    }
    return names;
}

// The value of the option at args[i], taken from "--name=VALUE" or from the
// next word (which i then moves past).
bool TakeValue(const OptionRow &row, const std::vector<std::string> &args, size_t &i,
               std::optional<std::string> &value, std::string &error) {
    if (value) {
        if (row.value == OptionValue::kNone) {
            error = std::string(row.name) + " takes no value";
            return false;
        }
        return true;
    }
    const bool next_is_word = i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0;
    if (row.value == OptionValue::kRequired) {
        if (i + 1 >= args.size()) {
            error = std::string(row.name) + " needs a value";
            return false;
        }
        value = args[++i];
    } else if (row.value == OptionValue::kOptional && next_is_word) {
        value = args[++i];
    }
    return true;
}

}  // namespace

bool ScanOptions(const std::vector<std::string> &args, const std::vector<OptionRow> &table,
                 std::vector<std::string> &words, std::string &error) {
    words.clear();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--") {
            words.insert(words.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            return true;
        }
        if (!IsOptionWord(arg)) {
            words.push_back(arg);
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const size_t eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        const OptionRow *row = FindOption(table, name);
        if (row == nullptr) {
            error = "unknown option '" + Escape(arg) + "'" + DidYouMean(name, OptionNames(table));
            return false;
        }
        if (!TakeValue(*row, args, i, value, error) || !row->apply(value, error)) {
            return false;
        }
        if (row->ends_scan) {
            return true;
        }
    }
    return true;
}

bool ParseInteger(std::string_view text, long min, long max, long &out) {
    if (text.empty()) {
        return false;
    }
    // from_chars takes no '+'; a sign must still be followed by digits.
    if (text[0] == '+') {
        text.remove_prefix(1);
        if (text.empty() || !IsDigit(text[0])) {
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

}  // namespace qor::text
