// The ports: a fixed table keyed by the host's port number, each with its
// own lock, its own output and input buffers and the target it was opened
// on. port_table.cpp finds and claims places; port_io.cpp opens links and
// moves the bytes.
#ifndef QOR_COMM_PORT_TABLE_H
#define QOR_COMM_PORT_TABLE_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "comm/link_ops.h"
#include "comm/reply_guard.h"
#include "comm/target.h"
#include "qor_comm.h"

namespace qor::comm {

constexpr int kPortSlots = 64;
constexpr std::size_t kOutputCapacity = 256;
constexpr std::size_t kInputCapacity = 256;

enum class TargetSource {
    kNone = QOR_TARGET_NONE,
    kOpened = QOR_TARGET_OPENED,
    kEnvironment = QOR_TARGET_ENVIRONMENT,
    kDevice = QOR_TARGET_DEVICE,
};

struct Port {
    // Held for the whole of each call on this port.
    std::mutex lock;

    // Guarded by the table lock (port_table.cpp).
    bool claimed = false;
    int number = 0;
    int users = 0;  // calls that found this slot and have not finished
    // Guarded by the table lock for readers; written with `lock` held too,
    // so a call on this port may read them under `lock` alone.
    TargetSource source = TargetSource::kNone;
    char target_text[kTargetTextCapacity] = {};
    // Closed by the host (QOR_ClosePort): calls fail until the next
    // QOR_OpenPort, rather than fall back to the default target. Written
    // like `source`; kept in the table's list of closed numbers while the
    // slot is given back.
    bool closed = false;

    // Guarded by `lock`.
    Target target;  // meaningful when source is not kNone
    const LinkOps *ops = nullptr;
    LinkHandle link = kNoLink;
    // The link has been open since the target was set: the next open is a
    // reopen.
    bool was_open = false;
    // A frame has been started (stale input discarded) and its CR not yet
    // written.
    bool in_frame = false;
    // The last exchange failed (a read timed out, or the host stopped
    // reading a reply before its CR): the next frame waits for a quiet line.
    bool recovery_due = false;
    // The last byte handed out was not a CR.
    bool mid_reply = false;
    // A reply is being read: its reads end by reply_deadline_ms (on
    // MonotonicMs). Begun by the first read after a frame or a time-out.
    bool in_reply = false;
    std::int64_t reply_deadline_ms = 0;
    std::size_t output_length = 0;
    std::size_t input_next = 0;
    std::size_t input_length = 0;
    std::size_t traced_length = 0;
    // Neither a link nor a target to reopen: the slot can be given to
    // another port number. Written under `lock`, read under the table lock
    // once no call is using the slot.
    bool idle = true;
    unsigned char output[kOutputCapacity] = {};
    unsigned char input[kInputCapacity] = {};
    // The reply bytes handed out since the last CR, while tracing.
    unsigned char traced[kInputCapacity] = {};
    // Late replies: the guard, the quiet period and their counts.
    Lateness lateness;
};

enum class Claim { kNo, kYes };

// One call's use of a port: finds (or claims) the slot and holds its lock.
class PortCall {
  public:
    PortCall(int number, Claim claim);
    ~PortCall();
    PortCall(const PortCall &) = delete;
    PortCall &operator=(const PortCall &) = delete;

    Port *PortState() const { return port_; }
    int Number() const { return number_; }
    // Each call opens the link at most once, so that a missing device costs
    // one failed open per call, never a loop.
    bool open_attempted = false;
    // The system code of the call's last failure, for QOR_OpenPort.
    int failure_code = 0;

  private:
    Port *port_;
    int number_;
};

// The port has a target to open or reopen. Read under the port's lock.
inline bool HasTarget(const Port &port) {
    return port.source != TargetSource::kNone;
}

// Sets or forgets the port's target, and where it came from. Setting one
// ends a close.
void RememberTarget(Port &port, const Target &target, const char *text, TargetSource source);
void ForgetTarget(Port &port);

// QOR_ClosePort's mark: the port forgets its target and stays closed until
// a target is set again.
void MarkClosed(Port &port);
// The same for a port number that has no slot (the table is full); false
// when a slot has been claimed for it meanwhile, which must then be marked.
bool MarkClosedWithoutSlot(int number);

// The target a port nobody opened takes on first use: the variable
// QOR_COMM_PORT<n>, read now, else the default device; kNone for neither.
TargetSource FindDefaultTarget(int number, char *text, std::size_t capacity);

// How many port numbers closed while they had no slot are remembered as
// closed; beyond that the number closed longest ago is forgotten (and
// takes the default rule again).
constexpr int kClosedMemory = 1024;

// QOR_PortTarget: see qor_comm.h.
int CopyTarget(int number, char *text, int size);

// QOR_PortCounts: see qor_comm.h.
int CopyCounts(int number, QOR_LinkCounts *counts);

}  // namespace qor::comm

#endif  // QOR_COMM_PORT_TABLE_H
