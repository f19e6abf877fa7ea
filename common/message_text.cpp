// Texts for messages: typed words and replies made safe to print, and "did
// you mean ...": the names closest to a mistyped word, by edit distance
// with a swap of two neighbouring letters counting as one edit ("sacn" is one
// edit from "scan").
#include "common/message_text.h"

#include <algorithm>
#include <string>
#include <vector>

namespace qor::text {
namespace {

size_t EditDistance(std::string_view a, std::string_view b) {
    // Three rows of the table: two back are needed for the swap.
    std::vector<size_t> before(b.size() + 1);
    std::vector<size_t> last(b.size() + 1);
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        last[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                row[j] = std::min(row[j], before[j - 2] + 1);
            }
        }
        before.swap(last);
        last.swap(row);
    }
    return last[b.size()];
}

}  // namespace

std::string Escape(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char &c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

std::string DidYouMean(std::string_view word, const std::vector<std::string> &names) {
    // Short words are one edit from too much: "xx" would match every
    // two-letter command.
    const size_t allowed = word.size() <= 3 ? 1 : 2;
    size_t best = allowed + 1;
    std::vector<std::string> closest;
    for (const std::string &name : names) {
        const size_t d = EditDistance(word, name);
        if (d < best) {
            best = d;
            closest.clear();
        }
        if (d <= allowed && d == best &&
            std::find(closest.begin(), closest.end(), name) == closest.end()) {
            closest.push_back(name);
        }
    }
    if (closest.empty() || best == 0) {
        return "";
    }
    std::string text = "; did you mean ";
    const size_t shown = std::min<size_t>(closest.size(), 3);
    for (size_t i = 0; i < shown; ++i) {
        text += (i == 0 ? "" : i + 1 == shown ? " or " : ", ") + ("'" + closest[i] + "'");
    }
    return text + "?";
}

}  // namespace qor::text
