// Raw TCP connections on POSIX systems, as serial device servers offer them:
// the bytes of the frame go out as they are, and whatever the server sends
// back is the reply. The sockets are non-blocking; reading and writing are
// the shared descriptor loops of posix_io.cpp.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "comm/posix_io.h"
#include "comm/socket_api.h"

namespace qor::comm {

namespace {

int Fd(LinkHandle link) {
    return static_cast<int>(link);
}

int NewSocket(const addrinfo &address) {
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

void Tune(int fd) {
    int one = 1;
#ifdef SO_NOSIGPIPE
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    // Frames are small and a reply is awaited after each: no Nagle delay.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that vanished without a word is noticed eventually.
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
}

// Waits for a connect in progress; its outcome is the socket's pending error.
ConnectStep AwaitConnect(int fd, std::int64_t deadline_ms, int *code) {
    int events = WaitUntil(fd, POLLOUT, deadline_ms);
    if (events == 0) {
        return ConnectStep::kTimedOut;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (events < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        *code = errno;
        return ConnectStep::kFailed;
    }
    *code = error;
    return error == 0 ? ConnectStep::kConnected : ConnectStep::kFailed;
}

void TcpClose(LinkHandle link) {
    close(Fd(link));
}

bool TcpWrite(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms,
              int *code) {
    return PosixWrite(Fd(link), FdKind::kSocket, bytes, count, timeout_ms, code);
}

long TcpRead(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms,
             int *code) {
    return PosixRead(Fd(link), buffer, capacity, timeout_ms, code);
}

long TcpTakeWaiting(LinkHandle link, unsigned char *buffer, std::size_t capacity, int *code) {
    return PosixTakeWaiting(Fd(link), FdKind::kSocket, buffer, capacity, code);
}

}  // namespace

bool SocketsReady() {
    return true;
}

ConnectStep ConnectAddress(const addrinfo &address, std::int64_t deadline_ms, LinkHandle *link,
                           int *code) {
    int fd = NewSocket(address);
    if (fd < 0) {
        *code = errno;
        return ConnectStep::kFailed;
    }
    ConnectStep step = ConnectStep::kConnected;
    // EINTR leaves the connection going on in the background, exactly like
    // EINPROGRESS.
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno == EINPROGRESS || errno == EINTR) {
            step = AwaitConnect(fd, deadline_ms, code);
        } else {
            *code = errno;
            step = ConnectStep::kFailed;
        }
    }
    if (step != ConnectStep::kConnected) {
        close(fd);
        return step;
    }
    Tune(fd);
    *link = fd;
    return step;
}

bool IsRefused(int code) {
    return code == ECONNREFUSED;
}

bool IsUnreachable(int code) {
    return code == ENETUNREACH || code == EHOSTUNREACH || code == EADDRNOTAVAIL;
}

const LinkOps kSocketLinkOps = {TcpOpen, TcpClose, TcpWrite, TcpRead, TcpTakeWaiting, nullptr};

}  // namespace qor::comm
