// The seam between the port table and the operating system: each transport
// (a serial device, a TCP connection) is a table of functions defined once,
// as a constant, at the end of its own file, and named in the transport
// table (transport_table.cpp). The port table speaks only to these tables.
#ifndef QOR_COMM_LINK_OPS_H
#define QOR_COMM_LINK_OPS_H

#include <cstddef>
#include <cstdint>

#include "comm/failure.h"

namespace qor::comm {

struct Target;

// An open descriptor, socket or handle, whatever the platform uses; it must
// fit in a pointer-sized integer.
using LinkHandle = std::intptr_t;
constexpr LinkHandle kNoLink = -1;

// The *code of a read or take_waiting that failed because what it had to
// send back to the far end (an answer to its Telnet negotiation) found the
// link taking nothing: a stalled write, not a close.
constexpr int kWriteStalledCode = -1;

struct LinkOps {
    // Opens the target. False when it cannot be opened, with `why` saying
    // why: kNoDevice, kPermission, kBusy, kNotSerial, kBaudUnsupported,
    // kRefused, kHostUnknown, kLookupFailed, kLookupTimedOut,
    // kConnectTimedOut, kUnreachable, one of the line-setting and device
    // server reasons of failure.h, or kSystem with the system's code.
    bool (*open)(const Target &target, LinkHandle *link, Failure *why);
    void (*close)(LinkHandle link);
    // Writes all `count` bytes, waiting at most `timeout_ms` each time the
    // link accepts nothing. False when they could not all be written: *code
    // is then the system's error code, or 0 when the link took nothing for
    // `timeout_ms`. The caller then closes the link.
    bool (*write)(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms,
                  int *code);
    // Waits at most `timeout_ms` for input and returns what one read gives
    // (1..capacity bytes), 0 when nothing came in time, -1 when the link is
    // gone (device removed, peer closed), with *code the system's error
    // code, 0 when the far end closed the link, or kWriteStalledCode.
    long (*read)(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms,
                 int *code);
    // Takes input that has arrived but not been read, without waiting: the
    // byte count (1..capacity), 0 when nothing waits, -1 when the link is
    // gone (*code as for read). One call may leave more waiting.
    long (*take_waiting)(LinkHandle link, unsigned char *buffer, std::size_t capacity, int *code);
    // Asks the far end to drop input it holds for this link and has not
    // sent yet (a device server's buffer), without waiting for an answer;
    // nullptr where nothing holds input beyond what take_waiting reaches.
    // False when the link failed (*code as for write).
    bool (*purge)(LinkHandle link, int timeout_ms, int *code);
};

// The transports of this platform (serial_*.cpp, tcp_*.cpp), and Telnet
// with the com port option over the platform's TCP (rfc2217.cpp).
extern const LinkOps kSerialLinkOps;
extern const LinkOps kSocketLinkOps;
extern const LinkOps kRfc2217LinkOps;

}  // namespace qor::comm

#endif  // QOR_COMM_LINK_OPS_H
