// The seam between the port table and the operating system: each transport
// (a serial device, a TCP connection) is a small table of functions, so that
// another platform only has to supply its own tables and the port table stays
// as it is.
#ifndef QOR_COMM_LINK_OPS_H
#define QOR_COMM_LINK_OPS_H

#include <cstddef>
#include <cstdint>

#include "target.h"

namespace qor_comm {

// An open descriptor, socket or handle, whatever the platform uses; it must
// fit in a pointer-sized integer.
using LinkHandle = std::intptr_t;
constexpr LinkHandle kNoLink = -1;

struct LinkOps {
    // Opens the target; false when it cannot be opened (missing, refused,
    // busy, not a serial device, rate not available).
    bool (*open)(const Target &target, LinkHandle *link);
    void (*close)(LinkHandle link);
    // Writes all `count` bytes, waiting at most `timeout_ms` each time the
    // link accepts nothing. False when they could not all be written; the
    // caller then closes the link.
    bool (*write)(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms);
    // Waits at most `timeout_ms` for input and returns what one read gives
    // (1..capacity bytes), 0 when nothing came in time, -1 when the link is
    // gone (device removed, peer closed).
    long (*read)(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms);
    // Throws away input that has arrived but not been read, without waiting.
    // `scratch` may be used as a landing place. False when the link is gone.
    bool (*drain_input)(LinkHandle link, unsigned char *scratch, std::size_t capacity);
};

const LinkOps &SerialLink();
const LinkOps &TcpLink();

// Writes the device a port opens when nothing else was said about it, for
// port numbers from 1 up. False when there is none (port < 1, no room).
bool DefaultDevice(int port, char *path, std::size_t capacity);

}  // namespace qor_comm

#endif  // QOR_COMM_LINK_OPS_H
