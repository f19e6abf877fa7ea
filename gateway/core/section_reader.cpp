#include "gateway/core/section_reader.h"

#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

#include "common/message_text.h"
#include "gateway/core/log.h"

namespace qor::gateway {

namespace {

std::string Key(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

}  // namespace

void ConfigProblems::Add(unsigned line, std::string reason) {
    list_.push_back({line, std::move(reason)});
}

std::vector<std::string> ConfigProblems::Lines(const std::string &path) const {
    std::vector<ConfigProblem> sorted = list_;
    std::stable_sort(
        sorted.begin(), sorted.end(),
        [](const ConfigProblem &a, const ConfigProblem &b) { return a.line < b.line; });
    std::vector<std::string> lines;
    lines.reserve(sorted.size());
    // A reason quotes the file's own text, escaped where it was taken in;
    // what a parser's words may hold is escaped here, so that one problem
    // is always one line.
    for (const ConfigProblem &p : sorted) {
        std::string reason = HasControl(p.reason) ? text::Escape(p.reason) : p.reason;
        lines.push_back(path + ":" + std::to_string(p.line) + ": " + reason);
    }
    return lines;
}

unsigned LineOf(const toml::node &node) {
    return node.source().begin.line;
}

SectionReader::SectionReader(const toml::node &node, std::string title, ConfigProblems &problems)
    : table_(node.as_table()),
      title_(std::move(title)),
      line_(LineOf(node)),
      problems_(problems),
      problems_before_(problems.Count()) {
    if (table_ == nullptr) {
        problems_.Add(line_, title_ + " must be a table");
    }
}

const toml::node *SectionReader::Get(std::string_view key) const {
    return table_ != nullptr ? table_->get(key) : nullptr;
}

// A misspelt key would otherwise be ignored, its setting silently left at
// the default.
void SectionReader::Known(const std::vector<std::string_view> &keys) {
    if (table_ == nullptr) {
        return;
    }
    std::vector<std::string> names(keys.begin(), keys.end());
    for (const auto &[key, node] : *table_) {
        if (std::find(keys.begin(), keys.end(), key.str()) != keys.end()) {
            continue;
        }
        std::string hint = text::DidYouMean(key.str(), names);
        RefuseAt(node, key.str(), "unknown key " + Quoted(key.str()) + " in " + title_ + hint);
        for (const std::string &name : names) {
            if (hint.find("'" + name + "'") != std::string::npos) {
                suggested_.push_back(name);
            }
        }
    }
}

// A required key that a mistyped one stands for has been reported with
// that key already.
const toml::node *SectionReader::Need(std::string_view key, const std::string &who) {
    const toml::node *node = Get(key);
    bool suggested = std::find(suggested_.begin(), suggested_.end(), key) != suggested_.end();
    if (node == nullptr && table_ != nullptr && suggested) {
        refused_.emplace_back(key);
    } else if (node == nullptr && table_ != nullptr) {
        Refuse(key, (who.empty() ? title_ : who) + " needs " + Key(key));
    }
    return node;
}

bool SectionReader::Text(std::string_view key, std::string *out) {
    const toml::node *node = Get(key);
    return node == nullptr || Text(*node, key, out);
}

bool SectionReader::Text(const toml::node &node, std::string_view key, std::string *out) {
    if (!node.is_string()) {
        RefuseAt(node, key, Key(key) + " must be a string");
        return false;
    }
    *out = node.as_string()->get();
    return true;
}

bool SectionReader::Flag(std::string_view key, bool *out) {
    const toml::node *node = Get(key);
    if (node != nullptr && !node->is_boolean()) {
        RefuseAt(*node, key, Key(key) + " must be true or false");
        return false;
    }
    *out = node != nullptr ? node->as_boolean()->get() : *out;
    return true;
}

bool SectionReader::Number(std::string_view key, double *out) {
    const toml::node *node = Get(key);
    return node == nullptr || Number(*node, key, out);
}

bool SectionReader::Number(const toml::node &node, std::string_view key, double *out) {
    double value = node.is_number() ? node.value<double>().value_or(0) : 0;
    if (!node.is_number() || !std::isfinite(value)) {
        RefuseAt(node, key, Key(key) + " must be a number");
        return false;
    }
    *out = value;
    return true;
}

bool SectionReader::Whole(std::string_view key, long long lo, long long hi, long long *out) {
    const toml::node *node = Get(key);
    return node == nullptr || Whole(*node, key, lo, hi, out);
}

bool SectionReader::Whole(const toml::node &node, std::string_view key, long long lo, long long hi,
                          long long *out) {
    if (!node.is_integer() || node.as_integer()->get() < lo || node.as_integer()->get() > hi) {
        RefuseAt(node, key,
                 Key(key) + " must be an integer from " + std::to_string(lo) + " to " +
                     std::to_string(hi));
        return false;
    }
    *out = node.as_integer()->get();
    return true;
}

bool SectionReader::Choice(std::string_view key, const std::vector<std::string_view> &words,
                           std::size_t *out) {
    std::string text;
    const toml::node *node = Get(key);
    if (node == nullptr || !Text(*node, key, &text)) {
        return node == nullptr;
    }
    auto it = std::find(words.begin(), words.end(), text);
    if (it == words.end()) {
        std::string list;
        for (std::size_t i = 0; i < words.size(); ++i) {
            list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + Key(words[i]);
        }
        RefuseAt(*node, key, Key(key) + " must be " + list);
        return false;
    }
    *out = static_cast<std::size_t>(it - words.begin());
    return true;
}

// Topic levels joined by '/', as MQTT topic names allow (UTF-8, no
// wildcards), and without '$', empty levels or control characters.
bool SectionReader::TopicPrefix(std::string_view key, std::string *out) {
    std::string prefix;
    const toml::node *node = Get(key);
    if (node == nullptr || !Text(*node, key, &prefix)) {
        return node == nullptr;
    }
    std::stringstream levels(prefix);
    std::string level;
    bool ok = !prefix.empty() && prefix.size() <= 1024 && prefix.front() != '/' &&
              prefix.back() != '/' && prefix.front() != '$' && !HasControl(prefix) &&
              ValidUtf8(prefix);
    while (ok && std::getline(levels, level, '/')) {
        ok = !level.empty() && level.find_first_of("+#") == std::string::npos;
    }
    if (!ok) {
        Refuse(key, Key(key) +
                        " must be topic levels joined by '/', without '+', '#', a leading '$', "
                        "control characters or empty levels");
        return false;
    }
    *out = prefix;
    return true;
}

// Files are checked now, so that --check finds a missing one. Only regular
// files: a device or a pipe named by mistake would be read forever.
bool SectionReader::File(std::string_view key, const std::string &base_dir, std::string *out) {
    std::string name;
    const toml::node *node = Get(key);
    if (node == nullptr || !Text(*node, key, &name)) {
        return node == nullptr;
    }
    std::string path = ResolvePath(base_dir, name);
    struct stat info {};
    if (access(path.c_str(), R_OK) != 0 || stat(path.c_str(), &info) != 0) {
        const int why = errno;
        Refuse(key,
               "cannot read " + std::string(key) + " " + Quoted(path) + ": " + std::strerror(why));
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        Refuse(key, std::string(key) + " " + Quoted(path) + " is not a regular file");
        return false;
    }
    *out = path;
    return true;
}

void SectionReader::Refuse(std::string_view key, const std::string &reason) {
    const toml::node *node = Get(key);
    refused_.emplace_back(key);
    problems_.Add(node != nullptr ? LineOf(*node) : line_, reason);
}

void SectionReader::RefuseAt(const toml::node &at, std::string_view key,
                             const std::string &reason) {
    refused_.emplace_back(key);
    problems_.Add(LineOf(at), reason);
}

void SectionReader::Refuse(const std::string &reason) {
    problems_.Add(line_, reason);
}

bool SectionReader::Refused(std::string_view key) const {
    return std::find(refused_.begin(), refused_.end(), key) != refused_.end();
}

bool HasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool ValidUtf8(const std::string &text) {
    return mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

std::string ResolvePath(const std::string &base_dir, const std::string &file) {
    if (file.empty() || file.front() == '/' || base_dir.empty()) {
        return file;
    }
    return base_dir + "/" + file;
}

std::vector<std::string> WordsOf(const std::string &list) {
    std::vector<std::string> words;
    std::istringstream in(list);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

}  // namespace qor::gateway
