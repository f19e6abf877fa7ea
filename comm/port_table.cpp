#include "comm/port_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comm/platform.h"

namespace qor::comm {

namespace {

// Held only while a slot is looked up, claimed or given back, or a target
// noted, never during I/O or a trace callback, so that calls on different
// ports run side by side. Taken after a port's lock, never before one.
std::mutex g_table_lock;
Port g_ports[kPortSlots];
// Port numbers closed by the host whose slot was given back, oldest first;
// guarded by g_table_lock. A number is here or in a slot, never both.
int g_closed[kClosedMemory];
int g_closed_count = 0;

// Takes `number` off the closed list; true when it was there.
bool TakeClosed(int number) {
    for (int i = 0; i < g_closed_count; ++i) {
        if (g_closed[i] == number) {
            std::memmove(&g_closed[i], &g_closed[i + 1],
                         sizeof g_closed[0] * static_cast<std::size_t>(g_closed_count - i - 1));
            --g_closed_count;
            return true;
        }
    }
    return false;
}

void KeepClosed(int number) {
    if (g_closed_count == kClosedMemory) {
        TakeClosed(g_closed[0]);
    }
    g_closed[g_closed_count++] = number;
}

bool IsClosedWithoutSlot(int number) {
    for (int i = 0; i < g_closed_count; ++i) {
        if (g_closed[i] == number) {
            return true;
        }
    }
    return false;
}

Port *FindSlot(int number, Claim claim) {
    std::lock_guard<std::mutex> table(g_table_lock);
    Port *unclaimed = nullptr;
    for (Port &port : g_ports) {
        if (port.claimed && port.number == number) {
            ++port.users;
            return &port;
        }
        if (!port.claimed && unclaimed == nullptr) {
            unclaimed = &port;
        }
    }
    if (claim == Claim::kNo || unclaimed == nullptr) {
        return nullptr;
    }
    unclaimed->claimed = true;
    unclaimed->number = number;
    unclaimed->users = 1;
    ResetCounts(*unclaimed);
    unclaimed->closed = TakeClosed(number);
    return unclaimed;
}

void ReleaseSlot(Port *port) {
    std::lock_guard<std::mutex> table(g_table_lock);
    // No call holds the port lock once users is 0, and none can start
    // without g_table_lock, so `idle` is stable here.
    if (--port->users == 0 && port->idle) {
        port->claimed = false;
        if (port->closed) {
            KeepClosed(port->number);
        }
    }
}

}  // namespace

PortCall::PortCall(int number, Claim claim) : port_(FindSlot(number, claim)), number_(number) {
    if (port_ != nullptr) {
        port_->lock.lock();
    }
}

PortCall::~PortCall() {
    if (port_ != nullptr) {
        port_->idle = port_->link == kNoLink && !HasTarget(*port_);
        port_->lock.unlock();
        ReleaseSlot(port_);
    }
}

void RememberTarget(Port &port, const Target &target, const char *text, TargetSource source) {
    port.target = target;
    port.was_open = false;
    std::lock_guard<std::mutex> table(g_table_lock);
    port.source = source;
    port.closed = false;
    std::snprintf(port.target_text, sizeof port.target_text, "%s", text);
}

void ForgetTarget(Port &port) {
    port.was_open = false;
    std::lock_guard<std::mutex> table(g_table_lock);
    port.source = TargetSource::kNone;
    port.target_text[0] = '\0';
}

void MarkClosed(Port &port) {
    ForgetTarget(port);
    std::lock_guard<std::mutex> table(g_table_lock);
    port.closed = true;
}

bool MarkClosedWithoutSlot(int number) {
    std::lock_guard<std::mutex> table(g_table_lock);
    for (const Port &port : g_ports) {
        if (port.claimed && port.number == number) {
            return false;
        }
    }
    if (!IsClosedWithoutSlot(number)) {
        KeepClosed(number);
    }
    return true;
}

TargetSource FindDefaultTarget(int number, char *text, std::size_t capacity) {
    char name[32];
    std::snprintf(name, sizeof name, "QOR_COMM_PORT%d", number);
    // Read at first use, not at load time, so that a host may set the
    // variable just before.
    if (const char *value = std::getenv(name)) {
        std::snprintf(text, capacity, "%s", value);
        return TargetSource::kEnvironment;
    }
    if (DefaultDevice(number, text, capacity)) {
        return TargetSource::kDevice;
    }
    text[0] = '\0';
    return TargetSource::kNone;
}

int CopyTarget(int number, char *text, int size) {
    char found[kTargetTextCapacity] = {};
    TargetSource source = TargetSource::kNone;
    bool closed = false;
    {
        std::lock_guard<std::mutex> table(g_table_lock);
        closed = IsClosedWithoutSlot(number);
        for (const Port &port : g_ports) {
            if (port.claimed && port.number == number) {
                closed = port.closed;
                source = port.source;
                std::snprintf(found, sizeof found, "%s", port.target_text);
            }
        }
    }
    if (source == TargetSource::kNone && !closed) {
        source = FindDefaultTarget(number, found, sizeof found);
    }
    if (text != nullptr && size > 0) {
        std::snprintf(text, static_cast<std::size_t>(size), "%s", found);
    }
    return static_cast<int>(source);
}

int CopyCounts(int number, QOR_LinkCounts *counts) {
    *counts = QOR_LinkCounts{};
    std::lock_guard<std::mutex> table(g_table_lock);
    for (const Port &port : g_ports) {
        if (port.claimed && port.number == number) {
            const Lateness &l = port.lateness;
            counts->late_inputs = l.late_inputs.load(std::memory_order_relaxed);
            counts->refused = l.refused.load(std::memory_order_relaxed);
            counts->quiet_raised = l.quiet_raised.load(std::memory_order_relaxed);
            counts->quiet_ms = l.quiet_ms.load(std::memory_order_relaxed);
            counts->guard_ms = l.guard_ms.load(std::memory_order_relaxed);
            return 1;
        }
    }
    return 0;
}

}  // namespace qor::comm
