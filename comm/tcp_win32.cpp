// Raw TCP connections through Winsock, as serial device servers offer them:
// the bytes of the frame go out as they are, and whatever the server sends
// back is the reply. Sockets are non-blocking; every wait is a select()
// bounded by the caller's time-out. The open itself is tcp_connect.cpp.
#include <cstdint>

#include "comm/platform.h"
#include "comm/socket_api.h"  // Winsock, and windows.h after it

namespace qor::comm {

namespace {

// Winsock sends and receives at most an int's worth at once.
constexpr std::size_t kMaxChunk = 65536;

SOCKET Socket(LinkHandle link) {
    return static_cast<SOCKET>(link);
}

int ChunkSize(std::size_t count) {
    return count > kMaxChunk ? static_cast<int>(kMaxChunk) : static_cast<int>(count);
}

// Winsock must be started once per process before the first socket. It is
// started on first use, never from DllMain (where it may not be called), and
// left running: the process may use Winsock itself, and its count of starts
// is the process's business.
bool winsock_started = false;

BOOL CALLBACK StartWinsock(PINIT_ONCE, PVOID, PVOID *) {
    WSADATA data{};
    winsock_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return TRUE;
}

enum class Wait { kRead, kWrite, kConnect };

// Waits until `socket` is ready for `what`, at most until `deadline_ms` on
// MonotonicMs(). Returns 1 when ready, 0 when the deadline passed, -1 when
// select failed or (kConnect) the connection attempt failed.
int WaitUntil(SOCKET socket, Wait what, std::int64_t deadline_ms) {
    for (;;) {
        std::int64_t left = MsUntil(deadline_ms);
        if (left < 0) {
            left = 0;
        }
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(socket, &ready);
        FD_SET(socket, &failed);
        timeval wait{};
        wait.tv_sec = static_cast<long>(left / 1000);
        wait.tv_usec = static_cast<long>(left % 1000) * 1000;
        // A failed non-blocking connect shows in the exception set only.
        int count = select(0, what == Wait::kRead ? &ready : nullptr,
                           what == Wait::kRead ? nullptr : &ready,
                           what == Wait::kConnect ? &failed : nullptr, &wait);
        if (count == SOCKET_ERROR) {
            return -1;
        }
        if (what == Wait::kConnect && FD_ISSET(socket, &failed)) {
            return -1;
        }
        if (count > 0 && FD_ISSET(socket, &ready)) {
            return 1;
        }
        // select may come back a little early; only the deadline ends it.
        if (MonotonicMs() >= deadline_ms) {
            return 0;
        }
    }
}

int PendingError(SOCKET socket) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0) {
        return WSAGetLastError();
    }
    return error;
}

// Waits for a connect in progress; its outcome is the socket's pending error.
ConnectStep AwaitConnect(SOCKET socket, std::int64_t deadline_ms, int *code) {
    int waited = WaitUntil(socket, Wait::kConnect, deadline_ms);
    if (waited == 0) {
        *code = 0;
        return ConnectStep::kTimedOut;
    }
    int select_error = WSAGetLastError();
    *code = PendingError(socket);
    if (waited < 0 && *code == 0) {
        *code = select_error != 0 ? select_error : WSAECONNABORTED;
    }
    return *code == 0 ? ConnectStep::kConnected : ConnectStep::kFailed;
}

void Tune(SOCKET socket) {
    BOOL one = TRUE;
    // Frames are small and a reply is awaited after each: no Nagle delay.
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    // A server that vanished without a word is noticed eventually.
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&one), sizeof one);
}

SOCKET NewSocket(const addrinfo &address, int *code) {
    SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    u_long non_blocking = 1;
    if (socket == INVALID_SOCKET || ioctlsocket(socket, FIONBIO, &non_blocking) != 0) {
        *code = WSAGetLastError();
        if (socket != INVALID_SOCKET) {
            closesocket(socket);
        }
        return INVALID_SOCKET;
    }
    // Child processes of the host must not keep the connection open.
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    return socket;
}

void TcpClose(LinkHandle link) {
    closesocket(Socket(link));
}

bool TcpWrite(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms,
              int *code) {
    SOCKET socket = Socket(link);
    std::size_t done = 0;
    while (done < count) {
        int sent =
            send(socket, reinterpret_cast<const char *>(bytes + done), ChunkSize(count - done), 0);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            int waited = WaitUntil(socket, Wait::kWrite, MonotonicMs() + timeout_ms);
            if (waited <= 0) {
                *code = waited < 0 ? WSAGetLastError() : 0;
                return false;
            }
            continue;
        }
        // WSAECONNRESET, WSAECONNABORTED, WSAENOTCONN: the server is gone. A
        // part of the frame may be out already, so this connection is useless
        // anyway.
        *code = WSAGetLastError();
        return false;
    }
    return true;
}

// recv on a socket known to be readable, or not waiting at all: the byte
// count, 0 for nothing there, -1 for a closed or failed connection.
long Receive(SOCKET socket, unsigned char *buffer, std::size_t capacity, int *code) {
    int got = recv(socket, reinterpret_cast<char *>(buffer), ChunkSize(capacity), 0);
    if (got > 0) {
        return got;
    }
    if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    // 0: the server closed the connection; WSAECONNRESET and friends.
    *code = got == 0 ? 0 : WSAGetLastError();
    return -1;
}

long TcpRead(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms,
             int *code) {
    SOCKET socket = Socket(link);
    std::int64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        int waited = WaitUntil(socket, Wait::kRead, deadline);
        if (waited <= 0) {
            *code = waited < 0 ? WSAGetLastError() : 0;
            return waited;
        }
        long got = Receive(socket, buffer, capacity, code);
        if (got != 0) {
            return got;
        }
    }
}

long TcpTakeWaiting(LinkHandle link, unsigned char *buffer, std::size_t capacity, int *code) {
    // The socket is non-blocking, so this never waits.
    return Receive(Socket(link), buffer, capacity, code);
}

}  // namespace

bool SocketsReady() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&once, StartWinsock, nullptr, nullptr);
    return winsock_started;
}

ConnectStep ConnectAddress(const addrinfo &address, std::int64_t deadline_ms, LinkHandle *link,
                           int *code) {
    SOCKET socket = NewSocket(address, code);
    if (socket == INVALID_SOCKET) {
        return ConnectStep::kFailed;
    }
    ConnectStep step = ConnectStep::kConnected;
    if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        *code = WSAGetLastError();
        step = ConnectStep::kFailed;
        if (*code == WSAEWOULDBLOCK) {
            step = AwaitConnect(socket, deadline_ms, code);
        }
    }
    if (step != ConnectStep::kConnected) {
        closesocket(socket);
        return step;
    }
    Tune(socket);
    *link = static_cast<LinkHandle>(socket);
    return step;
}

bool IsRefused(int code) {
    return code == WSAECONNREFUSED;
}

bool IsUnreachable(int code) {
    return code == WSAENETUNREACH || code == WSAEHOSTUNREACH || code == WSAEADDRNOTAVAIL;
}

const LinkOps kSocketLinkOps = {TcpOpen, TcpClose, TcpWrite, TcpRead, TcpTakeWaiting, nullptr};

}  // namespace qor::comm
