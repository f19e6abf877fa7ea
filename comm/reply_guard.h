// Late replies: what the link learns about replies that come after their
// exchange ended, and the checks that keep such a reply from being taken for
// the answer to a later frame.
//
// - The guard: while the link is wary (after a time-out, a reply cut off,
//   late input or a refused reply, for kCalmTimeouts time-outs), a complete reply
//   is handed out only when nothing else arrives within the guard time
//   after it; input that follows means two replies for one frame, and the
//   reply is refused. On a calm link the guard looks only at what arrived
//   together with the reply, which costs no system call.
// - Plausible timing: where this host drives a line of known rate (a serial
//   device that is not a pseudo-terminal), a reply complete sooner than the
//   wire could carry the frame and the reply is refused.
// - Adaptive recovery: late input (waiting when a frame starts, or arriving
//   during a recovery wait), a refused reply, or a second failed exchange
//   in a row on a link that saw late input lately doubles the quiet period of the recovery wait,
//   from recovery_ms up to kQuietLimit times it, at most once per frame; after a calm stretch
//   without any of these it returns to recovery_ms.
#ifndef QOR_COMM_REPLY_GUARD_H
#define QOR_COMM_REPLY_GUARD_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qor_comm.h"

namespace qor::comm {

struct Port;
class PortCall;

// The guard's allowance for a module's turnaround and the delivery of its
// first characters (a USB adapter's latency timer, a device server's
// network), on top of four character times where the rate is known.
constexpr int kDefaultGuardMs = 20;
// The quiet period grows to at most this many times recovery_ms.
constexpr int kQuietLimit = 4;
// The link stays wary, and its quiet period raised, until it has gone this
// many time-outs without a sign of lateness.
constexpr int kCalmTimeouts = 10;
// Late input or a refused reply is remembered for this many time-outs: two
// failed exchanges in a row meanwhile raise the quiet period too.
constexpr int kLateMemoryTimeouts = 50;

struct Lateness {
    // Read by QOR_PortCounts without the port's lock.
    std::atomic<long long> late_inputs{0};
    std::atomic<long long> refused{0};
    std::atomic<long long> quiet_raised{0};
    std::atomic<int> quiet_ms{0};
    std::atomic<int> guard_ms{0};

    // Guarded by the port's lock.
    bool rate_known = false;         // serial, not a pseudo-terminal; rfc2217://
    bool wire_checked = false;       // replies are checked against the wire time
    std::int64_t char_ns = 0;        // one character's wire time, where known
    std::int64_t wary_until_ms = 0;  // the guard runs until then
    std::int64_t frame_sent_ns = 0;  // just before the frame was written
    std::size_t frame_chars = 0;
    bool raised_this_frame = false;
    int unanswered = 0;  // failed exchanges since the last complete reply
    std::int64_t late_seen_until_ms = 0;
    bool in_reply = false;  // a "*" or "?" came since the frame
    std::size_t reply_chars = 0;
};

// The port opened on its target: learns the line's rate and starts calm,
// with the quiet period at recovery_ms.
void NoteOpened(Port &port, bool pseudo_terminal);

// The counts start again for a port number that takes a free place.
void ResetCounts(Port &port);

// A frame of `chars` characters is about to be written.
void NoteFrameSent(Port &port, std::size_t chars);

// A character handed out to the host.
void NoteReplyByte(Port &port, unsigned char byte);

// An exchange failed (time-out, reply cut off): a reply may yet come late,
// so the link turns wary; the second failure in a row without a complete
// reply between them raises the quiet period, where late input or a refusal
// came within kLateMemoryTimeouts time-outs.
void NoteExchangeFailed(PortCall &call);

// Input was found late: waiting when a frame starts, or arriving during the
// recovery wait. Counts it, raises the quiet period and traces why.
void NoteLateInput(PortCall &call, const char *where);

// Before a frame: a link calm for long enough returns to recovery_ms.
void RelaxQuietPeriod(PortCall &call);

// The quiet period of the recovery wait now in force.
int QuietPeriodMs(const Port &port);

// Called when the CR that ends a reply is about to be handed out. True when
// the reply may be taken; false when it is refused, with `why` saying why
// (the caller traces it). Any input the guard caught is left in the port's
// input buffer, to be discarded before the next frame.
bool AcceptReplyEnd(PortCall &call, char *why, std::size_t capacity);

// A reply was refused: counted, and the quiet period raised.
void NoteRefused(PortCall &call);

// The line has just failed: the link is wary (the guard is in force), or
// its quiet period is raised. What a caller reads on such a line may be
// another frame's reply (QOR_ReplyOutOfForm).
bool LineJustFailed(const Port &port);

}  // namespace qor::comm

#endif  // QOR_COMM_REPLY_GUARD_H
