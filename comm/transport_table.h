// The transports a target can name: for each, the scheme that selects it,
// the form of its location, the options it takes and its operations. The
// target parser and the port table both read this table, so a new transport
// is one row here plus its own file with its LinkOps.
#ifndef QOR_COMM_TRANSPORT_TABLE_H
#define QOR_COMM_TRANSPORT_TABLE_H

#include "comm/link_ops.h"

namespace qor::comm {

// The options of a target ("?baud=9600&timeout_ms=200"), as bits.
enum class Option : unsigned {
    kBaud = 1u << 0,
    kTimeout = 1u << 1,
    kRecovery = 1u << 2,
    kConnectTimeout = 1u << 3,
    kByteSize = 1u << 4,
    kParity = 1u << 5,
    kStopBits = 1u << 6,
    kRs485 = 1u << 7,
    kRs485DelayBefore = 1u << 8,
    kRs485DelayAfter = 1u << 9,
    kLowLatency = 1u << 10,
    kReplyTimeout = 1u << 11,
    kGuard = 1u << 12,
    kExclusive = 1u << 13,
};

constexpr unsigned OptionBit(Option option) {
    return static_cast<unsigned>(option);
}

enum class LocationForm {
    kDevicePath,   // the rest of the text up to "?" is a device path
    kHostAndPort,  // HOST:PORT, HOST a name, an IPv4 address or [IPv6]
};

struct Transport {
    // What the target text begins with; "" for the row of plain device
    // paths, which is the last row and takes any text without "://".
    const char *scheme;
    // How messages name it: "a serial device", "socket://", "rfc2217://".
    const char *label;
    LocationForm form;
    unsigned options;  // OptionBit()s
    const LinkOps *ops;
};

// The row for `text`: the first whose scheme begins it, the device-path row
// for a text without "://", nullptr for an unknown scheme.
const Transport *FindTransport(const char *text);

}  // namespace qor::comm

#endif  // QOR_COMM_TRANSPORT_TABLE_H
