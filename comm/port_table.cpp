// The exported functions: a fixed table of ports keyed by the host's port
// number, each with its own lock, its own output and input buffers and the
// target it was opened on.
//
// Output is collected and sent in one piece when the frame's CR is written
// (or before the next read), so a frame reaches the module as one block
// rather than as single characters with gaps a module might time out on.
// Input is read in blocks and handed out one character at a time.
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

#include "link_ops.h"
#include "qor_comm.h"
#include "target.h"

namespace qor_comm {

namespace {

constexpr int kPortSlots = 64;
constexpr std::size_t kOutputCapacity = 256;
constexpr std::size_t kInputCapacity = 256;
constexpr unsigned char kCarriageReturn = 13;

struct Port {
    // Held for the whole of each call on this port.
    std::mutex lock;

    // Guarded by g_table_lock.
    bool claimed = false;
    int number = 0;
    int users = 0;  // calls that found this slot and have not finished

    // Guarded by `lock`.
    bool has_target = false;
    Target target;
    const LinkOps *ops = nullptr;
    LinkHandle link = kNoLink;
    int timeout_ms = kDefaultTimeoutMs;
    // A frame has been started (stale input discarded) and its CR not yet
    // written.
    bool in_frame = false;
    std::size_t output_length = 0;
    std::size_t input_next = 0;
    std::size_t input_length = 0;
    // Neither a link nor a target to reopen: the slot can be given to
    // another port number. Written under `lock`, read under g_table_lock
    // once no call is using the slot.
    bool idle = true;
    unsigned char output[kOutputCapacity] = {};
    unsigned char input[kInputCapacity] = {};
};

// Held only while a slot is looked up, claimed or given back, never during
// I/O, so that calls on different ports run side by side.
std::mutex g_table_lock;
Port g_ports[kPortSlots];

Port *FindSlot(int number, bool claim) {
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
    if (!claim || unclaimed == nullptr) {
        return nullptr;
    }
    unclaimed->claimed = true;
    unclaimed->number = number;
    unclaimed->users = 1;
    return unclaimed;
}

void ReleaseSlot(Port *port) {
    std::lock_guard<std::mutex> table(g_table_lock);
    // No call holds the port lock once users is 0, and none can start
    // without g_table_lock, so `idle` is stable here.
    if (--port->users == 0 && port->idle) {
        port->claimed = false;
    }
}

// One call's use of a port: finds (or claims) the slot and holds its lock.
class PortCall {
  public:
    PortCall(int number, bool claim) : port_(FindSlot(number, claim)) {
        if (port_ != nullptr) {
            port_->lock.lock();
        }
    }
    ~PortCall() {
        if (port_ != nullptr) {
            port_->idle = port_->link == kNoLink && !port_->has_target;
            port_->lock.unlock();
            ReleaseSlot(port_);
        }
    }
    PortCall(const PortCall &) = delete;
    PortCall &operator=(const PortCall &) = delete;

    Port *port() const { return port_; }
    int number() const { return port_->number; }
    // Each call opens the link at most once, so that a missing device costs
    // one failed open per call, never a loop.
    bool open_attempted = false;

  private:
    Port *port_;
};

void CloseLink(Port &port) {
    if (port.link != kNoLink) {
        port.ops->close(port.link);
        port.link = kNoLink;
    }
    port.in_frame = false;
    port.output_length = 0;
    port.input_next = 0;
    port.input_length = 0;
}

const LinkOps &OpsFor(const Target &target) {
    return target.transport == Transport::kTcp ? TcpLink() : SerialLink();
}

bool OpenLink(Port &port, const Target &target) {
    const LinkOps &ops = OpsFor(target);
    LinkHandle link = kNoLink;
    if (!ops.open(target, &link)) {
        return false;
    }
    port.ops = &ops;
    port.link = link;
    port.timeout_ms = target.timeout_ms;
    return true;
}

// The target of a port nobody opened: QOR_COMM_PORT<n> when set, else the
// system's n-th serial device. Read now, not at load time, so that a host
// may set the variable just before first use.
bool TargetFromEnvironment(int number, Target *target) {
    char name[32];
    snprintf(name, sizeof name, "QOR_COMM_PORT%d", number);
    const char *text = getenv(name);
    if (text != nullptr) {
        return ParseTarget(text, target);
    }
    char device[kLocationCapacity];
    return DefaultDevice(number, device, sizeof device) && ParseTarget(device, target);
}

// Makes sure the port has a link: reopens the remembered target, or opens
// the port the first time from the environment. The environment's target is
// remembered only once it opened, so a port that failed looks again next
// time.
bool EnsureOpen(PortCall &call) {
    Port &port = *call.port();
    if (port.link != kNoLink) {
        return true;
    }
    if (call.open_attempted) {
        return false;
    }
    call.open_attempted = true;
    if (port.has_target) {
        return OpenLink(port, port.target);
    }
    Target target;
    if (!TargetFromEnvironment(call.number(), &target) || !OpenLink(port, target)) {
        return false;
    }
    port.target = target;
    port.has_target = true;
    return true;
}

// A new frame begins: whatever the link delivered since the last reply was
// read (a late reply to an earlier frame, noise) must not be taken for the
// reply to this one.
bool StartFrame(PortCall &call) {
    Port &port = *call.port();
    if (!EnsureOpen(call)) {
        return false;
    }
    port.input_next = 0;
    port.input_length = 0;
    if (port.ops->drain_input(port.link, port.input, sizeof port.input)) {
        port.in_frame = true;
        return true;
    }
    // Found gone (a server that closed while we were idle): one fresh try,
    // if this call has not opened the link already.
    CloseLink(port);
    if (!EnsureOpen(call) || !port.ops->drain_input(port.link, port.input, sizeof port.input)) {
        CloseLink(port);
        return false;
    }
    port.in_frame = true;
    return true;
}

bool FlushOutput(Port &port) {
    if (port.output_length == 0) {
        return true;
    }
    bool written = port.ops->write(port.link, port.output, port.output_length, port.timeout_ms);
    port.output_length = 0;
    if (!written) {
        CloseLink(port);
    }
    return written;
}

}  // namespace

}  // namespace qor_comm

using qor_comm::CloseLink;
using qor_comm::PortCall;

extern "C" {

int QOR_WriteByte(int port_number, int character) {
    PortCall call(port_number, true);
    qor_comm::Port *port = call.port();
    if (port == nullptr) {
        return 0;
    }
    if (!port->in_frame && !qor_comm::StartFrame(call)) {
        return 0;
    }
    unsigned char byte = static_cast<unsigned char>(character & 0xFF);
    port->output[port->output_length++] = byte;
    if (byte == qor_comm::kCarriageReturn) {
        port->in_frame = false;
        return qor_comm::FlushOutput(*port) ? 1 : 0;
    }
    if (port->output_length == sizeof port->output) {
        return qor_comm::FlushOutput(*port) ? 1 : 0;
    }
    return 1;
}

int QOR_ReadByte(int port_number) {
    PortCall call(port_number, true);
    qor_comm::Port *port = call.port();
    if (port == nullptr) {
        return -1;
    }
    // A frame without its CR yet is sent before its reply is awaited.
    if (port->output_length > 0 && !qor_comm::FlushOutput(*port)) {
        return -1;
    }
    port->in_frame = false;
    if (port->input_next < port->input_length) {
        return port->input[port->input_next++];
    }
    if (!qor_comm::EnsureOpen(call)) {
        return -1;
    }
    long got = port->ops->read(port->link, port->input, sizeof port->input, port->timeout_ms);
    if (got < 0) {
        CloseLink(*port);
        return -1;
    }
    if (got == 0) {
        return -1;
    }
    port->input_length = static_cast<std::size_t>(got);
    port->input_next = 1;
    return port->input[0];
}

int QOR_OpenPort(int port_number, const char *target_text) {
    qor_comm::Target target;
    // A bad target changes nothing: the port stays as it was.
    if (!qor_comm::ParseTarget(target_text, &target)) {
        return 0;
    }
    PortCall call(port_number, true);
    qor_comm::Port *port = call.port();
    if (port == nullptr) {
        return 0;
    }
    // The old link goes first: it may be the very device being reopened,
    // which an exclusive lock would otherwise refuse.
    CloseLink(*port);
    // The target is kept even when it does not open now, so that later calls
    // keep trying the device the host asked for rather than a default one.
    port->target = target;
    port->has_target = true;
    call.open_attempted = true;
    return qor_comm::OpenLink(*port, target) ? 1 : 0;
}

void QOR_ClosePort(int port_number) {
    PortCall call(port_number, false);
    qor_comm::Port *port = call.port();
    if (port == nullptr) {
        return;
    }
    CloseLink(*port);
    port->has_target = false;
}

}  // extern "C"
