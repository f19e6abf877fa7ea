// Texts for messages, shared by the front ends: words that reached us from
// outside made safe to print, and "did you mean ..." for a mistyped name
// (the command line's options and commands, the gateway's configuration
// keys and names).
#ifndef QOR_COMMON_MESSAGE_TEXT_H
#define QOR_COMMON_MESSAGE_TEXT_H

#include <string>
#include <string_view>
#include <vector>

namespace qor::text {

// Text that reached us from outside (replies, targets, typed words) made
// safe for a terminal: "\r", "\n", "\t", "\\", other bytes outside
// printable ASCII as "\x1b".
std::string Escape(std::string_view text);

// The text in lower case (ASCII letters only, whatever the host's locale).
std::string Lower(std::string_view text);

// "; did you mean 'hi'?" when word is a likely typo of one of the names
// (one edit away, or two for words longer than three letters), else "".
std::string DidYouMean(std::string_view word, const std::vector<std::string> &names);

}  // namespace qor::text

#endif
