// The waiting, writing and reading that serial devices and TCP sockets share
// on POSIX systems: both are non-blocking descriptors, every wait a poll()
// bounded by a deadline.
#ifndef QOR_COMM_POSIX_IO_H
#define QOR_COMM_POSIX_IO_H

#include <cstddef>
#include <cstdint>

namespace qor::comm {

// Waits until `fd` reports one of `events` (or an error/hang-up), at most
// until `deadline_ms` on MonotonicMs(). Signals do not shorten or lengthen
// the wait. Returns the reported events, 0 when the deadline passed, -1 when
// poll itself failed.
int WaitUntil(int fd, short events, std::int64_t deadline_ms);

// What the descriptor is: bytes leave a terminal by write() and a socket by
// send() without SIGPIPE (a write() to a socket the peer closed would raise
// it), and the two tell "nothing waiting" apart from a hang-up differently.
enum class FdKind { kTerminal, kSocket };

// The LinkOps write, read and take_waiting contracts (link_ops.h) over a
// descriptor.
bool PosixWrite(int fd, FdKind kind, const unsigned char *bytes, std::size_t count, int timeout_ms,
                int *code);
long PosixRead(int fd, unsigned char *buffer, std::size_t capacity, int timeout_ms, int *code);
long PosixTakeWaiting(int fd, FdKind kind, unsigned char *buffer, std::size_t capacity, int *code);

}  // namespace qor::comm

#endif  // QOR_COMM_POSIX_IO_H
