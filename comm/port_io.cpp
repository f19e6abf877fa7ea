// Output is collected and sent in one piece when the frame's CR is written
// (or before the next read), so a frame reaches the module as one block
// rather than as single characters with gaps a module might time out on.
// Input is read in blocks and handed out one character at a time.
#include "comm/port_io.h"

#include <cstdio>
#include <cstring>

#include "comm/failure.h"
#include "comm/platform.h"
#include "comm/trace.h"

namespace qor::comm {

namespace {

constexpr unsigned char kCarriageReturn = 13;
// A line that keeps chattering holds a frame back at most this many times
// recovery_ms, whatever the quiet period in force; then the frame goes out
// anyway.
constexpr int kRecoveryLimit = 4;
// Discarding stops after this many reads even if input keeps coming, so
// that a chattering line cannot keep a call forever.
constexpr int kMaxDiscardReads = 256;

// "/dev/ttyUSB0" or "socket://[::1]:4001": how failures name a target.
void NameTarget(const Target &target, char *text, std::size_t capacity) {
    if (target.transport->form == LocationForm::kDevicePath) {
        FormatText(text, capacity, "%s", target.location);
        return;
    }
    bool bracketed = std::strchr(target.location, ':') != nullptr;
    FormatText(text, capacity, "%s%s%s%s:%u", target.transport->scheme, bracketed ? "[" : "",
               target.location, bracketed ? "]" : "", target.tcp_port);
}

void DescribeOpenFailure(const Target &target, const Failure &why, char *text,
                         std::size_t capacity) {
    char name[kTargetTextCapacity];
    NameTarget(target, name, sizeof name);
    char reason[256];
    if (why.reason == Reason::kBaudUnsupported) {
        FormatText(reason, sizeof reason, "the device does not support %ld baud with %d%c%d",
                   target.baud, target.byte_size, target.parity, target.stop_bits);
    } else {
        DescribeReason(why, reason, sizeof reason);
    }
    if (why.reason == Reason::kBusy) {
        // The holder is the news; "cannot open" would say it twice.
        FormatText(text, capacity, "port busy: %s is held by %s", name,
                   why.detail[0] != '\0' ? why.detail : "another program");
        return;
    }
    bool device = target.transport->form == LocationForm::kDevicePath;
    // "localhost:4001" is a valid relative device path, so it is tried as
    // one; when there is no such device, the likelier meaning is offered.
    bool hint = device && why.reason == Reason::kNoDevice && LooksLikeHostAndPort(target.location);
    FormatText(text, capacity, "%s %s: %s%s%s%s", device ? "cannot open" : "cannot connect to",
               name, reason, hint ? "; did you mean socket://" : "", hint ? target.location : "",
               hint ? "?" : "");
}

// A failure of a link in use: with a system code, the system's reason;
// without one, `otherwise`.
Failure InUseFailure(int code, Reason otherwise, int waited_ms) {
    Failure failure;
    failure.reason = code != 0 ? Reason::kSystem : otherwise;
    failure.code = code;
    failure.waited_ms = waited_ms;
    return failure;
}

// A read (or take_waiting) that failed: a stalled answer to the far end is
// a write that stalled, whatever the read was for.
Failure ReadFailure(const Port &port, int code) {
    if (code == kWriteStalledCode) {
        Failure failure = InUseFailure(0, Reason::kWriteStalled, port.target.timeout_ms);
        FormatText(failure.detail, sizeof failure.detail, "the server");
        return failure;
    }
    return InUseFailure(code, Reason::kClosedByPeer, 0);
}

const char *WhenReadFailed(int code, const char *when) {
    return code == kWriteStalledCode ? "while writing" : when;
}

void ResetExchange(Port &port) {
    port.in_frame = false;
    port.recovery_due = false;
    port.mid_reply = false;
    port.in_reply = false;
    port.output_length = 0;
    port.input_next = 0;
    port.input_length = 0;
    port.traced_length = 0;
}

// Emits the reply bytes handed out since the last READ event.
void TraceReplySoFar(PortCall &call) {
    Port &port = *call.PortState();
    if (port.traced_length > 0 && TraceOn()) {
        EmitBytes(call.Number(), TraceKind::kRead, port.traced, port.traced_length);
    }
    port.traced_length = 0;
}

// The link failed in use: it is closed, and the failure noted and traced.
void LoseLink(PortCall &call, const char *when, const Failure &failure) {
    Port &port = *call.PortState();
    char name[kTargetTextCapacity];
    NameTarget(port.target, name, sizeof name);
    char reason[256];
    DescribeReason(failure, reason, sizeof reason);
    char text[kFailureTextCapacity];
    FormatText(text, sizeof text, "link to %s lost %s: %s", name, when, reason);
    NoteFailure(call, text, SystemCodeFor(failure));
    if (TraceOn()) {
        EmitText(call.Number(), TraceKind::kLinkLost, text);
    }
    CloseLink(call, false);
}

// An open that failed: noted for QOR_PortError and traced.
void FailOpen(PortCall &call, const char *text, int code) {
    NoteFailure(call, text, code);
    if (TraceOn()) {
        EmitText(call.Number(), TraceKind::kOpenFailed, text);
    }
}

// Opens the port's remembered target.
bool OpenRemembered(PortCall &call) {
    Port &port = *call.PortState();
    Failure why;
    LinkHandle link = kNoLink;
    if (!port.target.transport->ops->open(port.target, &link, &why)) {
        char text[kFailureTextCapacity];
        DescribeOpenFailure(port.target, why, text, sizeof text);
        FailOpen(call, text, SystemCodeFor(why));
        return false;
    }
    port.ops = port.target.transport->ops;
    port.link = link;
    ResetExchange(port);
    NoteOpened(port,
               port.target.transport->form == LocationForm::kDevicePath && IsPseudoTerminal(link));
    ClearFailure(call.Number());
    if (TraceOn()) {
        EmitText(call.Number(), port.was_open ? TraceKind::kReopen : TraceKind::kOpen,
                 port.target_text);
    }
    port.was_open = true;
    return true;
}

// The first open of a port nobody opened. Its target is remembered only
// once it opened, so that a port that failed looks again next time.
bool OpenDefault(PortCall &call) {
    char text[kFailureTextCapacity];
    if (call.PortState()->closed) {
        // The host closed it: another device under the same number (the
        // default one) would be a surprise, and could disturb that device.
        FormatText(text, sizeof text,
                   "port %d was closed (QOR_ClosePort); QOR_OpenPort opens it again",
                   call.Number());
        NoteFailure(call, text, CodeForReason(Reason::kBadTarget));
        return false;
    }
    char found[kTargetTextCapacity + 1];  // one more: too long is refused, not cut
    TargetSource source = FindDefaultTarget(call.Number(), found, sizeof found);
    if (source == TargetSource::kNone) {
        FormatText(text, sizeof text,
                   "port %d has no target: QOR_COMM_PORT%d is not set, and ports below 1 "
                   "have no default device",
                   call.Number(), call.Number());
        FailOpen(call, text, CodeForReason(Reason::kBadTarget));
        return false;
    }
    Target target;
    char why[kFailureTextCapacity / 2];
    if (!ParseTarget(found, &target, why, sizeof why)) {
        FormatText(text, sizeof text, "bad target \"%.200s\" in QOR_COMM_PORT%d: %s", found,
                   call.Number(), why);
        FailOpen(call, text, CodeForReason(Reason::kBadTarget));
        return false;
    }
    RememberTarget(*call.PortState(), target, found, source);
    if (OpenRemembered(call)) {
        return true;
    }
    ForgetTarget(*call.PortState());
    return false;
}

// Makes sure the port has a link: reopens the remembered target, or opens
// the port the first time from the default rule.
bool EnsureOpen(PortCall &call) {
    Port &port = *call.PortState();
    if (port.link != kNoLink) {
        return true;
    }
    if (call.open_attempted) {
        return false;
    }
    call.open_attempted = true;
    return HasTarget(port) ? OpenRemembered(call) : OpenDefault(call);
}

// What the host left unread of the last block read; true when there was
// some.
bool DiscardBuffered(PortCall &call) {
    Port &port = *call.PortState();
    bool stale = port.input_next < port.input_length;
    if (stale && TraceOn()) {
        EmitBytes(call.Number(), TraceKind::kDiscard, port.input + port.input_next,
                  port.input_length - port.input_next);
    }
    port.input_next = 0;
    port.input_length = 0;
    return stale;
}

// What has arrived and not been read; *stale tells whether there was some.
// False when the link was found gone.
bool DiscardWaiting(PortCall &call, bool *stale) {
    Port &port = *call.PortState();
    for (int reads = 0; reads < kMaxDiscardReads; ++reads) {
        int code = 0;
        long got = port.ops->take_waiting(port.link, port.input, sizeof port.input, &code);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            LoseLink(call, WhenReadFailed(code, "before a frame"), ReadFailure(port, code));
            return false;
        }
        *stale = true;
        if (TraceOn()) {
            EmitBytes(call.Number(), TraceKind::kDiscard, port.input,
                      static_cast<std::size_t>(got));
        }
    }
    return true;
}

// The whole wait for a quiet line before one frame: however often input
// starts the quiet period again, however far it was raised, and whether one
// wait or two (recovery, then late input found after it) make it up, a line
// that never goes quiet holds a frame back until `deadline_ms`, then the
// frame goes out anyway. Begun by the first wait, so that a frame that
// waits for nothing costs nothing.
struct QuietWait {
    bool begun = false;
    std::int64_t started_ms = 0;
    std::int64_t deadline_ms = 0;
};

// After a failed exchange, a reply may still be on its way: waits until the
// line has been quiet for the quiet period, discarding what comes, but not
// past the wait's deadline. False when the link was found gone.
bool Recover(PortCall &call, QuietWait &wait) {
    Port &port = *call.PortState();
    const int quiet_ms = QuietPeriodMs(port);
    const std::int64_t started = MonotonicMs();
    if (!wait.begun) {
        wait.begun = true;
        wait.started_ms = started;
        wait.deadline_ms =
            started + static_cast<std::int64_t>(kRecoveryLimit) * port.target.recovery_ms;
    }
    bool late = false;
    std::int64_t quiet_until = started + quiet_ms;
    for (std::int64_t now = started; now < quiet_until && now < wait.deadline_ms;
         now = MonotonicMs()) {
        std::int64_t end = quiet_until < wait.deadline_ms ? quiet_until : wait.deadline_ms;
        int code = 0;
        long got = port.ops->read(port.link, port.input, sizeof port.input,
                                  static_cast<int>(end - now), &code);
        if (got < 0) {
            LoseLink(call, WhenReadFailed(code, "while waiting for a quiet line"),
                     ReadFailure(port, code));
            return false;
        }
        if (got > 0) {
            if (TraceOn()) {
                EmitBytes(call.Number(), TraceKind::kDiscard, port.input,
                          static_cast<std::size_t>(got));
            }
            if (!late) {
                late = true;
                NoteLateInput(call, "during a recovery wait");
            }
            quiet_until = MonotonicMs() + quiet_ms;
        }
    }
    return true;
}

// One trace event for the frame's whole wait for a quiet line.
void TraceQuietWait(PortCall &call, const QuietWait &wait) {
    if (wait.begun && TraceOn()) {
        EmitWait(call.Number(), TraceKind::kRecovery,
                 static_cast<int>(MonotonicMs() - wait.started_ms));
    }
}

// Asks a far end that buffers input (a device server) to drop what it
// still holds of stale input. False when the link was found gone.
bool PurgeFarEnd(PortCall &call) {
    Port &port = *call.PortState();
    int code = 0;
    if (port.ops->purge == nullptr || port.ops->purge(port.link, port.target.timeout_ms, &code)) {
        return true;
    }
    LoseLink(call, "before a frame",
             InUseFailure(code, Reason::kWriteStalled, port.target.timeout_ms));
    return false;
}

// Clears the line for a new frame: whatever the link delivered since the
// last reply was read (a late reply to an earlier frame, noise) must not be
// taken for the reply to this one. False when the link was found gone.
bool PrepareLine(PortCall &call) {
    Port &port = *call.PortState();
    TraceReplySoFar(call);
    RelaxQuietPeriod(call);
    if (port.mid_reply) {
        // The host stopped reading a reply before its CR: the rest of it
        // may still be coming.
        port.recovery_due = true;
        port.mid_reply = false;
        NoteExchangeFailed(call);
    }
    bool stale = DiscardBuffered(call) || port.recovery_due;
    const bool recovery_on = port.target.recovery_ms > 0;
    QuietWait wait;
    if (port.recovery_due && recovery_on && !Recover(call, wait)) {
        return false;
    }
    port.recovery_due = false;
    bool late = false;
    if (!DiscardWaiting(call, &late)) {
        return false;
    }
    if (late) {
        // A reply came after its exchange ended; more of it, or the replies
        // queued behind it, may follow: the frame waits for a quiet line,
        // within what is left of the same wait.
        NoteLateInput(call, "waiting before a frame");
        if (recovery_on && !Recover(call, wait)) {
            return false;
        }
    }
    TraceQuietWait(call, wait);
    // A successful exchange leaves nothing stale and costs nothing here.
    return !(stale || late) || PurgeFarEnd(call);
}

// A complete reply that the guard refused: traced with its CR and the
// reason, and the exchange failed as by a time-out.
int RefuseReply(PortCall &call, unsigned char byte, const char *why) {
    Port &port = *call.PortState();
    if (TraceOn()) {
        if (port.traced_length < sizeof port.traced) {
            port.traced[port.traced_length++] = byte;
        }
        TraceReplySoFar(call);
        EmitText(call.Number(), TraceKind::kRefused, why);
    }
    port.traced_length = 0;
    port.mid_reply = false;
    port.recovery_due = true;
    // As after a time-out, a further read begins a reply of its own, with
    // the whole of reply_timeout_ms.
    port.in_reply = false;
    NoteRefused(call);
    return -1;
}

int HandOut(PortCall &call, unsigned char byte) {
    Port &port = *call.PortState();
    NoteReplyByte(port, byte);
    char why[160];
    if (byte == kCarriageReturn && !AcceptReplyEnd(call, why, sizeof why)) {
        return RefuseReply(call, byte, why);
    }
    port.mid_reply = byte != kCarriageReturn;
    if (TraceOn()) {
        port.traced[port.traced_length++] = byte;
        if (!port.mid_reply || port.traced_length == sizeof port.traced) {
            TraceReplySoFar(call);
        }
    }
    return byte;
}

// How long the next read may wait: the time-out, cut short by what is left
// of the reply's bound (0 when it is used up). The first read after a frame
// or a time-out begins a reply.
int ReadWaitMs(Port &port) {
    const std::int64_t now = MonotonicMs();
    if (!port.in_reply) {
        port.in_reply = true;
        port.reply_deadline_ms = now + port.target.reply_timeout_ms;
    }
    const std::int64_t left = port.reply_deadline_ms - now;
    if (left <= 0) {
        return 0;
    }
    return left < port.target.timeout_ms ? static_cast<int>(left) : port.target.timeout_ms;
}

// A read that gave nothing: the link is gone (got < 0), or nothing came
// within `waited_ms`, which fails the exchange.
void ReadEnded(PortCall &call, long got, int code, int waited_ms) {
    Port &port = *call.PortState();
    TraceReplySoFar(call);
    if (got < 0) {
        LoseLink(call, WhenReadFailed(code, "while reading"), ReadFailure(port, code));
        return;
    }
    port.in_reply = false;
    port.recovery_due = true;
    port.mid_reply = false;
    NoteExchangeFailed(call);
    if (TraceOn()) {
        EmitWait(call.Number(), TraceKind::kTimeout, waited_ms);
    }
}

}  // namespace

bool OpenLink(PortCall &call, const Target &target, const char *text) {
    RememberTarget(*call.PortState(), target, text, TargetSource::kOpened);
    call.open_attempted = true;
    return OpenRemembered(call);
}

void CloseLink(PortCall &call, bool traced) {
    Port &port = *call.PortState();
    if (port.link != kNoLink) {
        port.ops->close(port.link);
        port.link = kNoLink;
        if (traced && TraceOn()) {
            EmitWait(call.Number(), TraceKind::kClose, 0);
        }
    }
    ResetExchange(port);
}

void NoteFailure(PortCall &call, const char *text, int code) {
    RecordFailure(call.Number(), text);
    call.failure_code = code;
}

bool StartFrame(PortCall &call) {
    if (!EnsureOpen(call)) {
        return false;
    }
    // Found gone (a server that closed while we were idle): one fresh try,
    // if this call has not opened the link already.
    if (!PrepareLine(call) && !(EnsureOpen(call) && PrepareLine(call))) {
        return false;
    }
    call.PortState()->in_frame = true;
    return true;
}

bool FlushOutput(PortCall &call) {
    Port &port = *call.PortState();
    if (port.output_length == 0) {
        return true;
    }
    std::size_t length = port.output_length;
    port.output_length = 0;
    int code = 0;
    NoteFrameSent(port, length);
    if (port.ops->write(port.link, port.output, length, port.target.timeout_ms, &code)) {
        port.in_reply = false;
        if (TraceOn()) {
            EmitBytes(call.Number(), TraceKind::kWrite, port.output, length);
        }
        return true;
    }
    LoseLink(call, "while writing",
             InUseFailure(code, Reason::kWriteStalled, port.target.timeout_ms));
    return false;
}

bool RefuseReplyOutOfForm(PortCall &call) {
    Port &port = *call.PortState();
    if (port.link == kNoLink || !LineJustFailed(port)) {
        return false;
    }
    if (TraceOn()) {
        EmitText(call.Number(), TraceKind::kRefused,
                 "reply refused: not in its command's form, on a line that has just failed");
    }
    // Its own reply may yet come, late.
    port.recovery_due = true;
    NoteRefused(call);
    return true;
}

int NextByte(PortCall &call) {
    Port &port = *call.PortState();
    // A frame without its CR yet is sent before its reply is awaited.
    if (port.output_length > 0 && !FlushOutput(call)) {
        return -1;
    }
    port.in_frame = false;
    if (port.input_next < port.input_length) {
        return HandOut(call, port.input[port.input_next++]);
    }
    if (!EnsureOpen(call)) {
        return -1;
    }
    int code = 0;
    const int wait_ms = ReadWaitMs(port);
    long got =
        wait_ms > 0 ? port.ops->read(port.link, port.input, sizeof port.input, wait_ms, &code) : 0;
    if (got <= 0) {
        ReadEnded(call, got, code, wait_ms);
        return -1;
    }
    port.input_length = static_cast<std::size_t>(got);
    port.input_next = 1;
    return HandOut(call, port.input[0]);
}

}  // namespace qor::comm
