// The run's trace callback. It always keeps each port's last reply, so that
// a failure can quote the module's own words ("?1 RANGE"); with --trace it
// also prints every event. It runs on the calling thread while the byte
// link holds that port's lock, so it only takes its own lock and writes.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "cli/run.h"
#include "qor_comm.h"

namespace qor::cli {
namespace {

struct PortState {
    std::string reply;        // since the port's last frame
    bool reply_seen = false;  // a READ came since that frame
    std::string refused;      // why the byte link refused a reply since that frame
};

std::mutex g_lock;
std::map<int, PortState> g_ports;
bool g_print = false;
long long g_first_ns = -1;

// From the first '*' or '?', as the library reads a reply: what comes
// before is noise or an echo. Without either, all of it.
std::string ReplyText(const unsigned char *bytes, int count) {
    std::string text(reinterpret_cast<const char *>(bytes), static_cast<size_t>(count));
    const size_t start = text.find_first_of("*?");
    if (start != std::string::npos) {
        text.erase(0, start);
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    return text;
}

void OnEvent(const QOR_TraceEvent *event, void * /*user*/) {
    const std::lock_guard<std::mutex> hold(g_lock);
    PortState &state = g_ports[event->port];
    const bool reply_seen = state.reply_seen;
    if (event->kind == QOR_TRACE_WRITE) {
        state = PortState{};
    } else if (event->kind == QOR_TRACE_READ && event->count > 0) {
        state.reply = ReplyText(event->bytes, event->count);
        state.reply_seen = true;
    } else if (event->kind == QOR_TRACE_REFUSED) {
        state.refused = event->text != nullptr ? event->text : "";
        if (state.refused.empty()) {
            state.refused = "reply refused";
        }
    }
    if (!g_print) {
        return;
    }
    if (g_first_ns < 0) {
        g_first_ns = event->time_ns;
    }
    TraceEventView view;
    view.elapsed_ns = event->time_ns - g_first_ns;
    view.port = event->port;
    view.kind = event->kind;
    if (event->bytes != nullptr) {
        view.bytes = std::string_view(reinterpret_cast<const char *>(event->bytes),
                                      static_cast<size_t>(event->count));
    }
    view.milliseconds = event->milliseconds;
    view.text = event->text != nullptr ? std::string_view(event->text) : std::string_view();
    view.reply_seen = reply_seen;
    const std::string line = TraceLine(view) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace

TraceSession::TraceSession(bool print) {
    {
        const std::lock_guard<std::mutex> hold(g_lock);
        g_print = print;
        g_first_ns = -1;
    }
    QOR_SetTrace(OnEvent, nullptr);
}

TraceSession::~TraceSession() {
    // Waits for a callback still running: none runs after this.
    QOR_SetTrace(nullptr, nullptr);
}

std::string LastReply(int port) {
    const std::lock_guard<std::mutex> hold(g_lock);
    const auto it = g_ports.find(port);
    return it == g_ports.end() ? std::string() : it->second.reply;
}

std::string LastRefusal(int port) {
    const std::lock_guard<std::mutex> hold(g_lock);
    const auto it = g_ports.find(port);
    return it == g_ports.end() ? std::string() : it->second.refused;
}

}  // namespace qor::cli
