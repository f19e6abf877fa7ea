#include "common/trace_words.h"

#include "common/message_text.h"

namespace qor::text {
namespace {

// The bytes of a frame or reply without the CR that ends it; a reply cut
// short shows that it has none.
std::string Bytes(std::string_view bytes) {
    if (!bytes.empty() && bytes.back() == '\r') {
        bytes.remove_suffix(1);
    }
    return Escape(bytes);
}

std::string Fill(std::string_view form, int kind, std::string_view bytes, int milliseconds,
                 std::string_view text) {
    std::string out;
    while (!form.empty()) {
        const std::size_t open = form.find('{');
        const std::size_t close = form.find('}', open);
        if (open == std::string_view::npos || close == std::string_view::npos) {
            out += form;
            break;
        }
        out += form.substr(0, open);
        const std::string_view field = form.substr(open + 1, close - open - 1);
        if (field == "bytes") {
            out += Bytes(bytes);
        } else if (field == "raw") {
            out += Escape(bytes);
        } else if (field == "count") {
            out += std::to_string(bytes.size());
        } else if (field == "ms") {
            out += std::to_string(milliseconds);
        } else if (field == "text") {
            out += Escape(text);
        } else if (field == "kind") {
            out += std::to_string(kind);
        }
        form.remove_prefix(close + 1);
    }
    return out;
}

}  // namespace

std::string TraceWords(int kind, std::string_view bytes, int milliseconds, std::string_view text,
                       bool reply_seen) {
    for (const TraceForm &row : kTraceForms) {
        if (row.kind == kind) {
            const char *form =
                reply_seen && row.after_reply != nullptr ? row.after_reply : row.form;
            return Fill(form, kind, bytes, milliseconds, text);
        }
    }
    return Fill(kUnknownTraceForm, kind, bytes, milliseconds, text);
}

}  // namespace qor::text
