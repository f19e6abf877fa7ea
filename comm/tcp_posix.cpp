// Raw TCP connections, as serial device servers offer them: the bytes of the
// frame go out as they are, and whatever the server sends back is the reply.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link_ops.h"
#include "posix_wait.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace qor_comm {

namespace {

// Draining stops after this many reads even if the server keeps sending, so
// that a chattering peer cannot keep a call forever.
constexpr int kMaxDrainReads = 256;

int Fd(LinkHandle link) {
    return static_cast<int>(link);
}

void TcpClose(LinkHandle link) {
    close(Fd(link));
}

int NewSocket(const struct addrinfo &address) {
#if defined(SOCK_CLOEXEC) && defined(SOCK_NONBLOCK)
    return socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                  address.ai_protocol);
#else
    int fd = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (fd >= 0 && (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
                    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
#endif
}

// Connects without blocking past `deadline_ms`. Returns the descriptor, -1
// when this address did not work, -2 when the time is up.
int ConnectOne(const struct addrinfo &address, std::int64_t deadline_ms) {
    int fd = NewSocket(address);
    if (fd < 0) {
        return -1;
    }
#ifdef SO_NOSIGPIPE
    int one_nosigpipe = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one_nosigpipe, sizeof one_nosigpipe);
#endif
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        // EINTR leaves the connection going on in the background, exactly
        // like EINPROGRESS.
        if (errno != EINPROGRESS && errno != EINTR) {
            close(fd);
            return -1;
        }
        int events = WaitUntil(fd, POLLOUT, deadline_ms);
        if (events == 0) {
            close(fd);
            return -2;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (events < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error != 0) {
            close(fd);
            return -1;
        }
    }
    int one = 1;
    // Frames are small and a reply is awaited after each: no Nagle delay.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that vanished without a word is noticed eventually.
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    return fd;
}

bool TcpOpen(const Target &target, LinkHandle *link) {
    if (target.transport != Transport::kTcp) {
        return false;
    }
    std::int64_t wait_ms = static_cast<std::int64_t>(target.timeout_ms) * 5;
    std::int64_t deadline = MonotonicMs() + (wait_ms > 1000 ? wait_ms : 1000);
    char service[8];
    snprintf(service, sizeof service, "%u", target.tcp_port);
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // Address literals first, so that they never wait for a name server.
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    struct addrinfo *addresses = nullptr;
    if (getaddrinfo(target.location, service, &hints, &addresses) != 0) {
        hints.ai_flags = AI_NUMERICSERV;
        addresses = nullptr;
        if (getaddrinfo(target.location, service, &hints, &addresses) != 0) {
            return false;
        }
    }
    int fd = -1;
    for (const struct addrinfo *address = addresses; address != nullptr && fd < 0;
         address = address->ai_next) {
        fd = ConnectOne(*address, deadline);
        if (fd == -2) {
            break;
        }
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        return false;
    }
    *link = fd;
    return true;
}

bool TcpWrite(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms) {
    int fd = Fd(link);
    std::size_t done = 0;
    while (done < count) {
        ssize_t sent = send(fd, bytes + done, count - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int events = WaitUntil(fd, POLLOUT, MonotonicMs() + timeout_ms);
            if (events <= 0 || (events & POLLOUT) == 0) {
                return false;
            }
            continue;
        }
        // EPIPE, ECONNRESET, ENOTCONN: the server is gone. A part of the
        // frame may be out already, so this connection is useless anyway.
        return false;
    }
    return true;
}

long TcpRead(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms) {
    int fd = Fd(link);
    std::int64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        int events = WaitUntil(fd, POLLIN, deadline);
        if (events == 0) {
            return 0;
        }
        if (events < 0 || (events & POLLNVAL) != 0) {
            return -1;
        }
        ssize_t got = recv(fd, buffer, capacity, 0);
        if (got > 0) {
            return static_cast<long>(got);
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) &&
            (events & (POLLHUP | POLLERR)) == 0) {
            continue;
        }
        // 0: the server closed the connection; ECONNRESET and friends.
        return -1;
    }
}

bool TcpDrainInput(LinkHandle link, unsigned char *scratch, std::size_t capacity) {
    int fd = Fd(link);
    for (int reads = 0; reads < kMaxDrainReads; ++reads) {
        ssize_t got = recv(fd, scratch, capacity, MSG_DONTWAIT);
        if (got > 0) {
            continue;
        }
        if (got == 0) {
            return false;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

constexpr LinkOps kTcpOps = {TcpOpen, TcpClose, TcpWrite, TcpRead, TcpDrainInput};

}  // namespace

const LinkOps &TcpLink() {
    return kTcpOps;
}

}  // namespace qor_comm
