// What a port is opened on, taken apart from the text a host passes to
// QOR_OpenPort or puts in QOR_COMM_PORT<n>:
//   /dev/ttyUSB0                     a serial device
//   socket://HOST:PORT               a raw TCP connection (HOST a name, an
//                                    IPv4 literal or a bracketed IPv6 literal)
// followed by optional settings "?baud=N&timeout_ms=M" (baud for serial
// devices only).
#ifndef QOR_COMM_TARGET_H
#define QOR_COMM_TARGET_H

#include <cstddef>

namespace qor_comm {

enum class Transport { kSerial, kTcp };

constexpr long kDefaultBaud = 9600;
constexpr int kDefaultTimeoutMs = 200;
// A per-character time-out beyond a minute is a mistake, not a setting.
constexpr int kMaxTimeoutMs = 60000;
// Room for a device path or a host name, its terminating NUL included.
constexpr std::size_t kLocationCapacity = 256;

struct Target {
    Transport transport = Transport::kSerial;
    // The device path, or the host name or address (without brackets).
    char location[kLocationCapacity] = {};
    unsigned tcp_port = 0;
    long baud = kDefaultBaud;
    int timeout_ms = kDefaultTimeoutMs;
};

// True for the rates the serial transports accept (50 to 4000000).
bool IsStandardBaud(long baud);

// Fills `target` from `text` and returns true, or returns false (leaving
// `target` in no particular state) when the text is not a usable target: NULL, empty,
// an unknown scheme, a malformed host or port, an unknown or repeated
// setting, a number out of range, a rate that is not a standard one.
bool ParseTarget(const char *text, Target *target);

}  // namespace qor_comm

#endif  // QOR_COMM_TARGET_H
