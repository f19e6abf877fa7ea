// The trace hook of qor_comm.h: one process-wide callback, called for the
// events of every port. Without a callback the only cost is TraceOn(), one
// relaxed atomic load.
#ifndef QOR_COMM_TRACE_H
#define QOR_COMM_TRACE_H

#include <atomic>
#include <cstddef>

#include "qor_comm.h"

namespace qor::comm {

enum class TraceKind {
    kOpen = QOR_TRACE_OPEN,
    kOpenFailed = QOR_TRACE_OPEN_FAILED,
    kClose = QOR_TRACE_CLOSE,
    kReopen = QOR_TRACE_REOPEN,
    kWrite = QOR_TRACE_WRITE,
    kRead = QOR_TRACE_READ,
    kTimeout = QOR_TRACE_TIMEOUT,
    kDiscard = QOR_TRACE_DISCARD,
    kRecovery = QOR_TRACE_RECOVERY,
    kLinkLost = QOR_TRACE_LINK_LOST,
    kRefused = QOR_TRACE_REFUSED,
    kQuietPeriod = QOR_TRACE_QUIET_PERIOD,
};

extern std::atomic<bool> g_trace_on;

inline bool TraceOn() {
    return g_trace_on.load(std::memory_order_relaxed);
}

// Calls the callback, if one is registered, with an event stamped now.
void EmitBytes(int port, TraceKind kind, const unsigned char *bytes, std::size_t count);
void EmitWait(int port, TraceKind kind, int milliseconds);
void EmitText(int port, TraceKind kind, const char *text);
void EmitWaitText(int port, TraceKind kind, int milliseconds, const char *text);

// QOR_SetTrace: see qor_comm.h.
void SetTrace(QOR_TraceFunction function, void *user);

}  // namespace qor::comm

#endif  // QOR_COMM_TRACE_H
