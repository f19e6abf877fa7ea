// The words of --trace: one line per event of the byte link's trace hook,
// with the time since the first event, the port, a direction mark and the
// bytes escaped, so that a reply cannot retitle or clear the terminal.
#include <cstdio>
#include <string>

#include "cli.h"
#include "option_scan.h"
#include "qor_comm.h"

namespace qor::cli {
namespace {

// A frame or reply without the CR that ends it; a reply cut short shows
// that it has none.
std::string Bytes(std::string_view bytes) {
    if (!bytes.empty() && bytes.back() == '\r') {
        return Escape(bytes.substr(0, bytes.size() - 1));
    }
    return Escape(bytes);
}

// The mark and the words for each kind of event.
std::string Words(const TraceEventView &e) {
    const std::string ms = std::to_string(e.milliseconds) + " ms";
    const std::string text = Escape(e.text);
    switch (e.kind) {
        case QOR_TRACE_WRITE:
            return ">  " + Bytes(e.bytes);
        case QOR_TRACE_READ:
            return "<  " + Bytes(e.bytes);
        case QOR_TRACE_TIMEOUT:
            return e.reply_seen ? "!  nothing more in " + ms : "!  no reply in " + ms;
        case QOR_TRACE_DISCARD:
            return "~  discarded " + std::to_string(e.bytes.size()) + " bytes: " + Escape(e.bytes);
        case QOR_TRACE_RECOVERY:
            return "=  waited " + ms + " for a quiet line";
        case QOR_TRACE_OPEN:
            return "+  opened " + text;
        case QOR_TRACE_REOPEN:
            return "+  reopened " + text;
        case QOR_TRACE_OPEN_FAILED:
            return "!  open failed: " + text;
        case QOR_TRACE_CLOSE:
            return "-  closed";
        case QOR_TRACE_LINK_LOST:
            return "!  link lost: " + text;
        case QOR_TRACE_REFUSED:
            return "!  " + text;
        case QOR_TRACE_QUIET_PERIOD:
            return "=  quiet period " + ms + ", " + text;
        default:
            return "?  event " + std::to_string(e.kind);
    }
}

}  // namespace

std::string TraceLine(const TraceEventView &event) {
    char time[48];
    std::snprintf(time, sizeof time, "+%.3f ms", static_cast<double>(event.elapsed_ns) / 1e6);
    return std::string(time) + "  port " + std::to_string(event.port) + "  " + Words(event);
}

}  // namespace qor::cli
