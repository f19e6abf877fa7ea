#include "comm/posix_io.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "comm/platform.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace qor::comm {

namespace {

ssize_t Put(int fd, FdKind kind, const unsigned char *bytes, std::size_t count) {
    return kind == FdKind::kSocket ? send(fd, bytes, count, MSG_NOSIGNAL) : write(fd, bytes, count);
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

int WaitUntil(int fd, short events, std::int64_t deadline_ms) {
    for (;;) {
        std::int64_t left = MsUntil(deadline_ms);
        if (left < 0) {
            left = 0;
        }
        // poll() rounds up to whole milliseconds, so a wait of `left` never
        // ends before the deadline.
        struct pollfd entry {};
        entry.fd = fd;
        entry.events = events;
        int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) {
            return entry.revents;
        }
        if (ready == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

bool PosixWrite(int fd, FdKind kind, const unsigned char *bytes, std::size_t count, int timeout_ms,
                int *code) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t written = Put(fd, kind, bytes + done, count - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && WouldBlock(errno)) {
            // The output buffer is full; it drains at the line rate. If it
            // does not within the time-out the device or peer is stuck.
            int events = WaitUntil(fd, POLLOUT, MonotonicMs() + timeout_ms);
            if (events <= 0 || (events & POLLOUT) == 0) {
                *code = events < 0 ? errno : 0;
                return false;
            }
            continue;
        }
        // EIO, ENXIO, ENODEV: the device went away; EPIPE, ECONNRESET: the
        // peer did. Part of the frame may be out already, so this link is
        // useless anyway.
        *code = written < 0 ? errno : EIO;
        return false;
    }
    return true;
}

long PosixRead(int fd, unsigned char *buffer, std::size_t capacity, int timeout_ms, int *code) {
    std::int64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        int events = WaitUntil(fd, POLLIN, deadline);
        if (events == 0) {
            return 0;
        }
        if (events < 0 || (events & POLLNVAL) != 0) {
            *code = events < 0 ? errno : EBADF;
            return -1;
        }
        // With a hang-up pending, whatever already arrived is still handed
        // out first; the read after it reports the loss.
        ssize_t got = read(fd, buffer, capacity);
        if (got > 0) {
            return static_cast<long>(got);
        }
        if (got < 0 && (errno == EINTR || WouldBlock(errno)) &&
            (events & (POLLHUP | POLLERR)) == 0) {
            continue;
        }
        // 0 after poll reported input: the far end hung up or closed. EIO,
        // ENXIO, ENODEV: the device is gone; ECONNRESET and friends.
        *code = got < 0 ? errno : 0;
        return -1;
    }
}

long PosixTakeWaiting(int fd, FdKind kind, unsigned char *buffer, std::size_t capacity, int *code) {
    // A terminal in raw mode answers a read with nothing waiting by 0, the
    // same as a hang-up; it is asked how much waits instead. A socket
    // answers EAGAIN, and 0 only when the peer closed.
    if (kind == FdKind::kTerminal) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) != 0) {
            *code = errno;  // EIO: a hung-up terminal
            return -1;
        }
        if (waiting <= 0) {
            return 0;
        }
    }
    for (;;) {
        // The descriptor is non-blocking: this never waits.
        ssize_t got = read(fd, buffer, capacity);
        if (got > 0) {
            return static_cast<long>(got);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && WouldBlock(errno)) {
            return 0;
        }
        *code = got < 0 ? errno : 0;
        return -1;
    }
}

}  // namespace qor::comm
