#include "comm/trace.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "comm/platform.h"

namespace qor::comm {

std::atomic<bool> g_trace_on{false};

namespace {

// Held only to read or change the registration and the counts, never while
// a callback runs.
std::mutex g_trace_lock;
std::condition_variable g_callbacks_done;
QOR_TraceFunction g_function = nullptr;
void *g_user = nullptr;
// Each registration is one generation; the callbacks still running are
// counted per generation (two counts suffice: a new registration waits for
// the previous generation to finish before it returns).
std::uint64_t g_generation = 0;
int g_running[2] = {0, 0};
// How deep this thread is inside callbacks: QOR_SetTrace from a callback
// must not wait for that very callback to finish.
thread_local int t_callback_depth = 0;

void Emit(QOR_TraceEvent &event) {
    QOR_TraceFunction function = nullptr;
    void *user = nullptr;
    int generation = 0;
    {
        std::lock_guard<std::mutex> hold(g_trace_lock);
        if (g_function == nullptr) {
            return;
        }
        function = g_function;
        user = g_user;
        generation = static_cast<int>(g_generation & 1);
        ++g_running[generation];
    }
    ++t_callback_depth;
    function(&event, user);
    --t_callback_depth;
    std::lock_guard<std::mutex> hold(g_trace_lock);
    if (--g_running[generation] == 0) {
        g_callbacks_done.notify_all();
    }
}

QOR_TraceEvent Event(int port, TraceKind kind) {
    QOR_TraceEvent event{};
    event.time_ns = MonotonicNs();
    event.port = port;
    event.kind = static_cast<int>(kind);
    return event;
}

}  // namespace

void EmitBytes(int port, TraceKind kind, const unsigned char *bytes, std::size_t count) {
    QOR_TraceEvent event = Event(port, kind);
    event.bytes = bytes;
    event.count = static_cast<int>(count);
    Emit(event);
}

void EmitWait(int port, TraceKind kind, int milliseconds) {
    QOR_TraceEvent event = Event(port, kind);
    event.milliseconds = milliseconds;
    Emit(event);
}

void EmitText(int port, TraceKind kind, const char *text) {
    QOR_TraceEvent event = Event(port, kind);
    event.text = text;
    Emit(event);
}

void EmitWaitText(int port, TraceKind kind, int milliseconds, const char *text) {
    QOR_TraceEvent event = Event(port, kind);
    event.milliseconds = milliseconds;
    event.text = text;
    Emit(event);
}

void SetTrace(QOR_TraceFunction function, void *user) {
    std::unique_lock<std::mutex> hold(g_trace_lock);
    int previous = static_cast<int>(g_generation & 1);
    g_function = function;
    g_user = user;
    ++g_generation;
    g_trace_on.store(function != nullptr, std::memory_order_relaxed);
    if (t_callback_depth == 0) {
        g_callbacks_done.wait(hold, [previous] { return g_running[previous] == 0; });
    }
}

}  // namespace qor::comm
