// What a port is opened on, taken apart from the text a host passes to
// QOR_OpenPort or puts in QOR_COMM_PORT<n>: a location in the form its
// transport wants (transport_table.h) followed by optional settings
// "?name=value&...". qor_comm.h lists the options and their ranges.
#ifndef QOR_COMM_TARGET_H
#define QOR_COMM_TARGET_H

#include <cstddef>

#include "comm/transport_table.h"
#include "qor_comm.h"

namespace qor::comm {

constexpr long kDefaultBaud = 9600;
// The rates a target may ask for: the standard ones, named here once. The
// serial driver maps each to its system's code (a static_assert there
// checks that it knows only these); the benchmarks pick theirs from here.
constexpr long kStandardBauds[] = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
constexpr long kLowestBaud = kStandardBauds[0];
constexpr long kHighestBaud = kStandardBauds[sizeof kStandardBauds / sizeof kStandardBauds[0] - 1];
// The longest RS-485 delay asked of a driver; drivers keep less (Linux's
// serial core at most 100 ms), which the open then reports.
constexpr int kMaxRs485DelayMs = 1000;
constexpr int kDefaultTimeoutMs = QOR_DEFAULT_TIMEOUT_MS;
// A per-character time-out beyond a minute is a mistake, not a setting;
// the same holds for the recovery and connect waits.
constexpr int kMaxTimeoutMs = 60000;
// The whole reply's bound defaults to this many time-outs, and may be at
// most kMaxReplyTimeoutMs.
constexpr int kDefaultReplyTimeouts = 10;
constexpr int kMaxReplyTimeoutMs = kDefaultReplyTimeouts * kMaxTimeoutMs;
// The longest reply a host reads (the port's input block): on a slow line
// the default bound leaves at least the time it takes.
constexpr long kLongestReply = 256;
// A connect gets this long at least: the kernel retransmits a lost SYN
// after 1 s and again 2 s later, so two lost SYNs still connect in time.
constexpr int kDefaultConnectTimeoutMs = 4000;
// Room for a device path or a host name, its terminating NUL included.
constexpr std::size_t kLocationCapacity = 256;
// Room for a whole target text, its NUL included (QOR_TARGET_TEXT_SIZE).
constexpr std::size_t kTargetTextCapacity = 512;

struct Target {
    const Transport *transport = nullptr;
    // The device path, or the host name or address (without brackets).
    char location[kLocationCapacity] = {};
    unsigned tcp_port = 0;
    long baud = kDefaultBaud;
    int byte_size = 8;   // data bits, 7 or 8
    char parity = 'N';   // 'N', 'E' or 'O'
    int stop_bits = 1;   // 1 or 2
    bool rs485 = false;  // the driver's RS-485 mode, RTS on while sending
    int rs485_delay_before_ms = 0;
    int rs485_delay_after_ms = 0;
    bool low_latency = false;  // the adapter's low-latency flag
    // A serial device is held for this link alone (the kernel's exclusive
    // mode and an exclusive lock); false shares it with other programs that
    // share it too.
    bool exclusive = true;
    int timeout_ms = kDefaultTimeoutMs;
    int recovery_ms = kDefaultTimeoutMs;
    int guard_ms = -1;  // -1: from the line's rate (reply_guard.h)
    // From the first read after a frame (or after a time-out) until the
    // reads of that reply end by time-out.
    int reply_timeout_ms = kDefaultReplyTimeouts * kDefaultTimeoutMs;
    int connect_timeout_ms = kDefaultConnectTimeoutMs;
};

// True for the rates the serial transports accept (50 to 4000000).
constexpr bool IsStandardBaud(long baud) {
    for (long standard : kStandardBauds) {
        if (standard == baud) {
            return true;
        }
    }
    return false;
}

// Fills `target` from `text` and returns true, or returns false (leaving
// `target` in no particular state) when the text is not a usable target:
// NULL, empty, longer than kTargetTextCapacity - 1, an unknown scheme, a
// malformed host or port, an unknown, misplaced or repeated option, a value
// out of range or not among an option's choices, a rate that is not a
// standard one, an RS-485 delay without rs485=1. Then `why` (when not
// NULL) says which, in words that fit after 'bad target "...": '.
bool ParseTarget(const char *text, Target *target, char *why = nullptr,
                 std::size_t why_capacity = 0);

// Whether a device path is really "HOST:PORT" with the scheme left out.
bool LooksLikeHostAndPort(const char *location);

}  // namespace qor::comm

#endif  // QOR_COMM_TARGET_H
