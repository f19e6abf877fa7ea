// The functions of qor_comm.h.
#include <cstdio>

#include "comm/failure.h"
#include "comm/platform.h"
#include "comm/port_io.h"
#include "comm/port_list.h"
#include "comm/trace.h"
#include "qor_comm.h"

namespace qor::comm {

namespace {

constexpr unsigned char kCarriageReturn = 13;

// A call that found no place in the port table.
int NoteNoPlace(int number) {
    Failure failure;
    failure.reason = Reason::kNoSlot;
    char reason[256];
    DescribeReason(failure, reason, sizeof reason);
    char text[kFailureTextCapacity];
    FormatText(text, sizeof text, "port %d: %s", number, reason);
    RecordFailure(number, text);
    return SystemCodeFor(failure);
}

int RefuseTarget(int number, const char *text, const char *why) {
    char failure[kFailureTextCapacity];
    FormatText(failure, sizeof failure, "bad target \"%.200s\": %s", text ? text : "(null)", why);
    RecordFailure(number, failure);
    if (TraceOn()) {
        EmitText(number, TraceKind::kOpenFailed, failure);
    }
    return CodeForReason(Reason::kBadTarget);
}

// QOR_OpenPort, leaving the system code for the host in *code.
int OpenPort(int number, const char *text, int *code) {
    Target target;
    char why[kFailureTextCapacity / 2];
    // A bad target changes nothing: the port stays as it was.
    if (!ParseTarget(text, &target, why, sizeof why)) {
        *code = RefuseTarget(number, text, why);
        return 0;
    }
    PortCall call(number, Claim::kYes);
    if (call.PortState() == nullptr) {
        *code = NoteNoPlace(number);
        return 0;
    }
    // The old link goes first: it may be the very device being reopened,
    // which an exclusive lock would otherwise refuse.
    CloseLink(call, true);
    // The target is kept even when it does not open now, so that later calls
    // keep trying the device the host asked for rather than a default one.
    if (OpenLink(call, target, text)) {
        return 1;
    }
    *code = call.failure_code;
    return 0;
}

}  // namespace

}  // namespace qor::comm

using qor::comm::Claim;
using qor::comm::PortCall;

extern "C" {

int QOR_WriteByte(int number, int character) {
    PortCall call(number, Claim::kYes);
    qor::comm::Port *port = call.PortState();
    if (port == nullptr) {
        qor::comm::NoteNoPlace(number);
        return 0;
    }
    if (!port->in_frame && !qor::comm::StartFrame(call)) {
        return 0;
    }
    unsigned char byte = static_cast<unsigned char>(character & 0xFF);
    port->output[port->output_length++] = byte;
    if (byte == qor::comm::kCarriageReturn) {
        port->in_frame = false;
        return qor::comm::FlushOutput(call) ? 1 : 0;
    }
    if (port->output_length == sizeof port->output) {
        return qor::comm::FlushOutput(call) ? 1 : 0;
    }
    return 1;
}

int QOR_ReadByte(int number) {
    PortCall call(number, Claim::kYes);
    if (call.PortState() == nullptr) {
        qor::comm::NoteNoPlace(number);
        return -1;
    }
    return qor::comm::NextByte(call);
}

int QOR_ReplyOutOfForm(int number) {
    // A port this library does not drive (a host's own link serves it) is
    // never claimed for it.
    PortCall call(number, Claim::kNo);
    return call.PortState() != nullptr && qor::comm::RefuseReplyOutOfForm(call) ? 1 : 0;
}

int QOR_OpenPort(int number, const char *target) {
    int code = 0;
    int opened = qor::comm::OpenPort(number, target, &code);
    if (!opened) {
        // Last, so that no unlocking or tracing overwrites it.
        qor::comm::SetSystemCode(code);
    }
    return opened;
}

void QOR_ClosePort(int number) {
    // A full table leaves the number without a slot; it is then marked
    // closed on the table's list, unless a slot came free for it meanwhile.
    for (;;) {
        PortCall call(number, Claim::kYes);
        if (call.PortState() != nullptr) {
            qor::comm::CloseLink(call, true);
            qor::comm::MarkClosed(*call.PortState());
            return;
        }
        if (qor::comm::MarkClosedWithoutSlot(number)) {
            return;
        }
    }
}

int QOR_PortError(int number, char *text, int size) {
    return qor::comm::CopyFailure(number, text, size);
}

int QOR_PortTarget(int number, char *text, int size) {
    return qor::comm::CopyTarget(number, text, size);
}

void QOR_SetTrace(QOR_TraceFunction function, void *user) {
    qor::comm::SetTrace(function, user);
}

int QOR_PortCounts(int number, QOR_LinkCounts *counts) {
    return qor::comm::CopyCounts(number, counts);
}

int QOR_ListPorts(QOR_PortInfo *ports, int capacity) {
    return qor::comm::ListPorts(nullptr, ports, capacity);
}

}  // extern "C"
