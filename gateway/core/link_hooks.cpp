#include "gateway/core/link_hooks.h"

#include <map>
#include <mutex>

#include "common/message_text.h"
#include "common/trace_words.h"
#include "gateway/core/log.h"
#include "qor_comm.h"
#include "qor_dll.h"

namespace qor::gateway {

namespace {

// What the trace told about one port: the link's name for the log, and the
// module's error reply of the port's current transaction.
struct TracedPort {
    std::string link_name;
    std::string error_reply;
    bool reply_seen = false;  // a reply began since the port's last frame
};

// One trace callback serves the whole process; it is installed once and
// stays, so that no port ever waits for it to be swapped.
std::mutex traced_mutex;
std::map<int, TracedPort> traced_ports;
bool trace_installed = false;

// The bytes as a line: a final CR dropped, the rest escaped as qor's
// messages escape them, so that nothing a link delivers reaches the log
// raw.
std::string Printable(const unsigned char *bytes, int count) {
    if (count > 0 && bytes[count - 1] == '\r') {
        --count;
    }
    return text::Escape(
        std::string_view(reinterpret_cast<const char *>(bytes), static_cast<std::size_t>(count)));
}

// The event in the words every front end uses (common/trace_words.h).
std::string Describe(const QOR_TraceEvent &event, bool reply_seen) {
    std::string_view bytes;
    if (event.bytes != nullptr && event.count > 0) {
        bytes = std::string_view(reinterpret_cast<const char *>(event.bytes),
                                 static_cast<std::size_t>(event.count));
    }
    return text::TraceWords(event.kind, bytes, event.milliseconds,
                            event.text != nullptr ? event.text : "", reply_seen);
}

// Runs under the port's lock in the byte link, on the poller's thread; it
// takes only the gateway's own lock and calls nothing of the libraries.
void OnTraceEvent(const QOR_TraceEvent *event, void * /*user*/) {
    std::lock_guard<std::mutex> lock(traced_mutex);
    auto found = traced_ports.find(event->port);
    if (found == traced_ports.end()) {
        return;
    }
    TracedPort &port = found->second;
    const bool reply_seen = port.reply_seen;
    if (event->kind == QOR_TRACE_WRITE) {
        port.error_reply.clear();
        port.reply_seen = false;
    } else if (event->kind == QOR_TRACE_READ && event->count > 0) {
        port.reply_seen = true;
        if (event->bytes[0] == '?') {
            port.error_reply = Printable(event->bytes, event->count);
        }
    }
    if (Verbose()) {
        Log(Level::kTrace, "link " + port.link_name + ": " + Describe(*event, reply_seen));
    }
}

}  // namespace

std::string ModuleErrorText(int port, int status, int error) {
    bool module_error = status == QOR_STATUS_REPLY_FAULT && error != QOR_ERROR_NO_REPLY &&
                        error != QOR_ERROR_REPLY_CHECKSUM;
    if (!module_error) {
        return "";
    }
    {
        std::lock_guard<std::mutex> lock(traced_mutex);
        auto found = traced_ports.find(port);
        if (found != traced_ports.end() && !found->second.error_reply.empty()) {
            return found->second.error_reply;
        }
    }
    // Without the reply itself, the error code's character is what is known.
    if (error > ' ' && error < 127) {
        return std::string(1, static_cast<char>(error));
    }
    return "code " + std::to_string(error);
}

std::string LinkFailureText(int port, int status, int error) {
    char reason[512];
    if (QOR_PortError(port, reason, sizeof reason) > 0) {
        return reason;
    }
    if (status == QOR_STATUS_LINK_FAULT && error == QOR_ERROR_NOT_WRITTEN) {
        return "frame not written (port cannot be opened, or the link failed)";
    }
    if (status == QOR_STATUS_REPLY_FAULT && error == QOR_ERROR_NO_REPLY) {
        return "no complete reply within the link's time-out";
    }
    return "status " + std::to_string(status) + ", error " + std::to_string(error);
}

bool InstallLinkTrace(int port, const std::string &link_name) {
    bool install = false;
    {
        std::lock_guard<std::mutex> lock(traced_mutex);
        traced_ports[port] = TracedPort{link_name, "", false};
        install = !trace_installed;
        trace_installed = true;
    }
    // Outside the lock: setting the callback waits for a running one, which
    // takes that lock.
    if (install) {
        QOR_SetTrace(OnTraceEvent, nullptr);
    }
    return true;
}

void RemoveLinkTrace(int port) {
    std::lock_guard<std::mutex> lock(traced_mutex);
    traced_ports.erase(port);
}

}  // namespace qor::gateway
