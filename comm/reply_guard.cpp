#include "comm/reply_guard.h"

#include <cstdio>

#include "comm/platform.h"
#include "comm/port_table.h"
#include "comm/trace.h"

namespace qor::comm {

namespace {

constexpr std::int64_t kNsPerMs = 1000000;
// Where the rate is known the guard covers this many characters: a second
// reply sent back to back shows its first one within a character time, and
// the others leave room for the line's and the reader's own delays.
constexpr std::int64_t kGuardCharacters = 4;
// Baud clocks may run a few per cent fast; a reply is refused as too early
// only when it beat the wire time by more than this share.
constexpr std::int64_t kWireTolerancePercent = 10;

bool Wary(const Port &port) {
    return MonotonicMs() < port.lateness.wary_until_ms;
}

void StayWary(Port &port) {
    port.lateness.wary_until_ms =
        MonotonicMs() + static_cast<std::int64_t>(kCalmTimeouts) * port.target.timeout_ms;
}

// The guard while the link is wary: guard_ms when given, else four
// character times where the rate is known plus kDefaultGuardMs.
int GuardMs(const Port &port) {
    if (port.target.guard_ms >= 0) {
        return port.target.guard_ms;
    }
    std::int64_t chars_ns = port.lateness.rate_known ? kGuardCharacters * port.lateness.char_ns : 0;
    return kDefaultGuardMs + static_cast<int>((chars_ns + kNsPerMs - 1) / kNsPerMs);
}

void PublishState(Port &port, bool wary) {
    port.lateness.guard_ms.store(wary ? GuardMs(port) : 0, std::memory_order_relaxed);
}

void SetQuiet(PortCall &call, int quiet_ms, const char *why) {
    Port &port = *call.PortState();
    if (quiet_ms == port.lateness.quiet_ms.load(std::memory_order_relaxed)) {
        return;
    }
    port.lateness.quiet_ms.store(quiet_ms, std::memory_order_relaxed);
    if (TraceOn()) {
        EmitWaitText(call.Number(), TraceKind::kQuietPeriod, quiet_ms, why);
    }
}

// At most once per frame: a late reply and the one queued behind it are one
// sign, not two.
void RaiseQuiet(PortCall &call, const char *why) {
    Port &port = *call.PortState();
    StayWary(port);
    PublishState(port, true);
    if (port.lateness.raised_this_frame) {
        return;
    }
    port.lateness.raised_this_frame = true;
    const int base = port.target.recovery_ms;
    const int now = QuietPeriodMs(port);
    const long limit = static_cast<long>(kQuietLimit) * base;
    const long doubled = 2L * now;
    const int raised = static_cast<int>(doubled < limit ? doubled : limit);
    if (raised > now) {
        port.lateness.quiet_raised.fetch_add(1, std::memory_order_relaxed);
        SetQuiet(call, raised, why);
    }
}

void RememberLateness(Port &port) {
    port.lateness.late_seen_until_ms =
        MonotonicMs() + static_cast<std::int64_t>(kLateMemoryTimeouts) * port.target.timeout_ms;
}

// Wire time of one character: start bit, data bits, parity, stop bits.
std::int64_t CharacterNs(const Target &target) {
    const long bits = 1 + target.byte_size + (target.parity != 'N' ? 1 : 0) + target.stop_bits;
    return bits * 1000000000LL / (target.baud > 0 ? target.baud : 1);
}

}  // namespace

void NoteOpened(Port &port, bool pseudo_terminal) {
    Lateness &l = port.lateness;
    // A pseudo-terminal passes bytes at once, whatever rate it was given;
    // a raw TCP port says nothing about the line behind it.
    l.rate_known =
        (port.target.transport->options & OptionBit(Option::kBaud)) != 0 && !pseudo_terminal;
    // The timing check only where this host drives the line itself: a
    // device server may stand in front of a device that passes bytes at
    // once (a simulator's pseudo-terminal behind ser2net), whatever rate it
    // was asked to set.
    l.wire_checked = l.rate_known && port.target.transport->form == LocationForm::kDevicePath;
    l.char_ns = CharacterNs(port.target);
    l.quiet_ms.store(port.target.recovery_ms, std::memory_order_relaxed);
    l.in_reply = false;
    l.unanswered = 0;
    l.late_seen_until_ms = 0;
    // Calm from the start: stale input from before is found at the first
    // frame, and a link that is only just open must not pay for a guard.
    l.wary_until_ms = 0;
    PublishState(port, false);
}

void ResetCounts(Port &port) {
    port.lateness.late_inputs.store(0, std::memory_order_relaxed);
    port.lateness.refused.store(0, std::memory_order_relaxed);
    port.lateness.quiet_raised.store(0, std::memory_order_relaxed);
    port.lateness.quiet_ms.store(0, std::memory_order_relaxed);
    port.lateness.guard_ms.store(0, std::memory_order_relaxed);
}

void NoteFrameSent(Port &port, std::size_t chars) {
    port.lateness.frame_sent_ns = MonotonicNs();
    port.lateness.frame_chars = chars;
    port.lateness.in_reply = false;
    port.lateness.reply_chars = 0;
    port.lateness.raised_this_frame = false;
}

void NoteReplyByte(Port &port, unsigned char byte) {
    Lateness &l = port.lateness;
    if (byte == '*' || byte == '?') {
        l.in_reply = true;
    }
    l.reply_chars += l.in_reply ? 1 : 0;
}

void NoteExchangeFailed(PortCall &call) {
    Port &port = *call.PortState();
    StayWary(port);
    PublishState(port, true);
    // Two frames in a row without a reply, on a link where replies have
    // come late lately: a module may be answering so late that its reply
    // would meet a frame after the next. (Silent modules alone, as in a
    // scan, never answer late and cost no more than recovery_ms each.)
    if (++port.lateness.unanswered >= 2 && MonotonicMs() < port.lateness.late_seen_until_ms) {
        RaiseQuiet(call, "raised: frames in a row without a reply");
    }
}

void NoteLateInput(PortCall &call, const char *where) {
    Port &port = *call.PortState();
    port.lateness.late_inputs.fetch_add(1, std::memory_order_relaxed);
    RememberLateness(port);
    char why[96];
    std::snprintf(why, sizeof why, "raised: late input %s", where);
    RaiseQuiet(call, why);
}

void NoteRefused(PortCall &call) {
    Port &port = *call.PortState();
    port.lateness.refused.fetch_add(1, std::memory_order_relaxed);
    RememberLateness(port);
    RaiseQuiet(call, "raised: a reply was refused");
}

void RelaxQuietPeriod(PortCall &call) {
    Port &port = *call.PortState();
    const bool wary = Wary(port);
    PublishState(port, wary);
    if (!wary) {
        SetQuiet(call, port.target.recovery_ms, "back to recovery_ms after a calm stretch");
    }
}

bool LineJustFailed(const Port &port) {
    return Wary(port) || QuietPeriodMs(port) > port.target.recovery_ms;
}

int QuietPeriodMs(const Port &port) {
    const int quiet = port.lateness.quiet_ms.load(std::memory_order_relaxed);
    return quiet > port.target.recovery_ms ? quiet : port.target.recovery_ms;
}

bool AcceptReplyEnd(PortCall &call, char *why, std::size_t capacity) {
    Port &port = *call.PortState();
    Lateness &l = port.lateness;
    if (!l.in_reply) {
        return true;  // the end of an echo or of noise, not of a reply
    }
    l.in_reply = false;
    if (l.wire_checked && l.frame_chars > 0) {
        const std::int64_t wire = static_cast<std::int64_t>(l.frame_chars + l.reply_chars) *
                                  l.char_ns * (100 - kWireTolerancePercent) / 100;
        const std::int64_t took = MonotonicNs() - l.frame_sent_ns;
        if (took < wire) {
            std::snprintf(why, capacity,
                          "reply refused: complete %.1f ms after its frame, sooner than the line "
                          "carries both (%.1f ms)",
                          static_cast<double>(took) / 1e6, static_cast<double>(wire) / 1e6);
            return false;
        }
    }
    if (port.input_next < port.input_length) {
        std::snprintf(why, capacity, "reply refused: more input came right behind it");
        return false;
    }
    l.unanswered = 0;
    if (!Wary(port) || GuardMs(port) == 0) {
        return true;
    }
    const int guard = GuardMs(port);
    int code = 0;
    long got = port.ops->read(port.link, port.input, sizeof port.input, guard, &code);
    if (got <= 0) {
        // Nothing came (or the link failed, which the next frame finds).
        return true;
    }
    port.input_next = 0;
    port.input_length = static_cast<std::size_t>(got);
    std::snprintf(why, capacity, "reply refused: more input came within the %d ms guard", guard);
    return false;
}

}  // namespace qor::comm
