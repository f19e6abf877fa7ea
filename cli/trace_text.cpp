// The lines of --trace: one per event of the byte link's trace hook, with
// the time since the first event, the port, and the event's words as every
// front end words them (common/trace_words.h): a direction mark and the
// bytes escaped, so that a reply cannot retitle or clear the terminal.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "common/trace_words.h"

namespace qor::cli {

std::string TraceLine(const TraceEventView &event) {
    char time[48];
    std::snprintf(time, sizeof time, "+%.3f ms", static_cast<double>(event.elapsed_ns) / 1e6);
    return std::string(time) + "  port " + std::to_string(event.port) + "  " +
           text::TraceWords(event.kind, event.bytes, event.milliseconds, event.text,
                            event.reply_seen);
}

}  // namespace qor::cli
