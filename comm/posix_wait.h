// Waiting on a descriptor with a bound, shared by the POSIX transports.
#ifndef QOR_COMM_POSIX_WAIT_H
#define QOR_COMM_POSIX_WAIT_H

#include <cstdint>

namespace qor_comm {

// Milliseconds on a clock that never jumps.
std::int64_t MonotonicMs();

// Waits until `fd` reports one of `events` (or an error/hang-up), at most
// until `deadline_ms` on MonotonicMs(). Signals do not shorten or lengthen
// the wait. Returns the reported events, 0 when the deadline passed, -1 when
// poll itself failed.
int WaitUntil(int fd, short events, std::int64_t deadline_ms);

}  // namespace qor_comm

#endif  // QOR_COMM_POSIX_WAIT_H
