// The few things every part of the byte link needs from the operating
// system, one implementation per platform (platform_posix.cpp,
// platform_win32.cpp).
#ifndef QOR_COMM_PLATFORM_H
#define QOR_COMM_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "comm/failure.h"

namespace qor::comm {

// Nanoseconds and milliseconds on a clock that never jumps.
std::int64_t MonotonicNs();
std::int64_t MonotonicMs();
// Milliseconds left until `deadline_ms` on MonotonicMs(), negative once past.
inline std::int64_t MsUntil(std::int64_t deadline_ms) {
    return deadline_ms - MonotonicMs();
}

// The system code QOR_OpenPort leaves when the failure came with none.
int CodeForReason(Reason reason);
// Leaves `code` in errno (POSIX) or the thread's last error (Windows). The
// last thing an exported function does, so nothing overwrites it.
void SetSystemCode(int code);
// The system's text for an error code, in the thread-safe way.
void SystemCodeText(int code, char *text, std::size_t capacity);
// The resolver's text for a code getaddrinfo returned.
void LookupCodeText(int code, char *text, std::size_t capacity);

// Runs function(argument) on a new thread that nobody joins, with all
// signals blocked, and keeps this library loaded while it may still run.
// False when no thread could be started.
bool StartDetachedThread(void (*function)(void *), void *argument);

// Whether an open link is a pseudo-terminal, whose bytes pass at once
// whatever rate it was given.
bool IsPseudoTerminal(std::intptr_t link);

// Writes the device a port opens when nothing else was said about it, for
// port numbers from 1 up. False when there is none (port < 1, no room).
bool DefaultDevice(int port, char *path, std::size_t capacity);

}  // namespace qor::comm

#endif  // QOR_COMM_PLATFORM_H
