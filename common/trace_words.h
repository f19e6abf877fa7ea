// The words for each event of the byte link's trace hook, as qor --trace,
// qor-gateway --verbose and the Python package's logger show them: one table
// of forms, so that the three say the same thing the same way. The Python
// package reads the same forms from its generated catalogue.
#ifndef QOR_COMMON_TRACE_WORDS_H
#define QOR_COMMON_TRACE_WORDS_H

#include <string>
#include <string_view>

#include "qor_comm.h"

namespace qor::text {

// One event kind's words. A form's fields: {bytes} the frame or reply
// escaped, without the CR that ends it; {raw} the bytes escaped whole;
// {count} how many bytes; {ms} the event's milliseconds; {text} its text
// escaped.
struct TraceForm {
    int kind;                 // QOR_TRACE_...
    const char *form;         // "!  no reply in {ms} ms"
    const char *after_reply;  // the form once part of a reply came, nullptr: the same
};

constexpr TraceForm kTraceForms[] = {
    {QOR_TRACE_WRITE, ">  {bytes}", nullptr},
    {QOR_TRACE_READ, "<  {bytes}", nullptr},
    {QOR_TRACE_TIMEOUT, "!  no reply in {ms} ms", "!  nothing more in {ms} ms"},
    {QOR_TRACE_DISCARD, "~  discarded {count} bytes: {raw}", nullptr},
    {QOR_TRACE_RECOVERY, "=  waited {ms} ms for a quiet line", nullptr},
    {QOR_TRACE_OPEN, "+  opened {text}", nullptr},
    {QOR_TRACE_REOPEN, "+  reopened {text}", nullptr},
    {QOR_TRACE_OPEN_FAILED, "!  open failed: {text}", nullptr},
    {QOR_TRACE_CLOSE, "-  closed", nullptr},
    {QOR_TRACE_LINK_LOST, "!  link lost: {text}", nullptr},
    {QOR_TRACE_REFUSED, "!  {text}", nullptr},
    {QOR_TRACE_QUIET_PERIOD, "=  quiet period {ms} ms, {text}", nullptr},
};

// The words of a kind the table does not know.
constexpr const char *kUnknownTraceForm = "?  event {kind}";

// One event in words: "!  no reply in 200 ms". reply_seen tells a time-out
// after part of a reply from one after none.
std::string TraceWords(int kind, std::string_view bytes, int milliseconds, std::string_view text,
                       bool reply_seen);

}  // namespace qor::text

#endif  // QOR_COMMON_TRACE_WORDS_H
