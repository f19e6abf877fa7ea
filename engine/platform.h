// The few services that differ per platform.
#ifndef QOR_ENGINE_PLATFORM_H
#define QOR_ENGINE_PLATFORM_H

namespace qor {

// Shows a debug-echo text (a frame or a reply, its CR included). On POSIX it
// is written to standard error, followed by a newline, and returns at once.
void ShowMessageBox(const char *text);

// Transactions on one port run one at a time; on different ports, side by
// side. The locks are a fixed table: port numbers that differ by a multiple
// of kPortLockCount share a lock and wait for each other. A transaction only
// ever holds one of them, so no two calls can deadlock.
constexpr unsigned kPortLockCount = 64;

constexpr unsigned PortLockSlot(int port) {
    return static_cast<unsigned>(port) % kPortLockCount;
}

void LockPort(unsigned slot);
void UnlockPort(unsigned slot);

// Holds the lock of one port from construction to the end of the scope: both
// steps of a two-frame command stay together, and frames never interleave.
struct PortLock {
    explicit PortLock(int port) : slot(PortLockSlot(port)) { LockPort(slot); }
    ~PortLock() { UnlockPort(slot); }
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    unsigned slot;
};

}  // namespace qor

#endif  // QOR_ENGINE_PLATFORM_H
