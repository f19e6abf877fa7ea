// Raw TCP connections through Winsock, as serial device servers offer them:
// the bytes of the frame go out as they are, and whatever the server sends
// back is the reply. Sockets are non-blocking; every wait is a select()
// bounded by the caller's time-out.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
// Lean: windows.h then leaves out Winsock 1, which clashes with winsock2.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdio>

#include "link_ops.h"

namespace qor_comm {

namespace {

// Draining stops after this many reads even if the server keeps sending, so
// that a chattering peer cannot keep a call forever.
constexpr int kMaxDrainReads = 256;

SOCKET Socket(LinkHandle link) {
    return static_cast<SOCKET>(link);
}

std::int64_t MonotonicMs() {
    return static_cast<std::int64_t>(GetTickCount64());
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

bool WinsockReady() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&once, StartWinsock, nullptr, nullptr);
    return winsock_started;
}

enum class Wait { kRead, kWrite, kConnect };

// Waits until `socket` is ready for `what`, at most until `deadline_ms` on
// MonotonicMs(). Returns 1 when ready, 0 when the deadline passed, -1 when
// select failed or (kConnect) the connection attempt failed.
int WaitUntil(SOCKET socket, Wait what, std::int64_t deadline_ms) {
    for (;;) {
        std::int64_t left = deadline_ms - MonotonicMs();
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

void TcpClose(LinkHandle link) {
    closesocket(Socket(link));
}

// Connects without blocking past `deadline_ms`. Returns the socket, or
// INVALID_SOCKET with *timed_out telling whether the time is up.
SOCKET ConnectOne(const addrinfo &address, std::int64_t deadline_ms, bool *timed_out) {
    *timed_out = false;
    SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (socket == INVALID_SOCKET) {
        return INVALID_SOCKET;
    }
    // Child processes of the host must not keep the connection open.
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    u_long non_blocking = 1;
    if (ioctlsocket(socket, FIONBIO, &non_blocking) != 0) {
        closesocket(socket);
        return INVALID_SOCKET;
    }
    if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            closesocket(socket);
            return INVALID_SOCKET;
        }
        int waited = WaitUntil(socket, Wait::kConnect, deadline_ms);
        if (waited <= 0) {
            *timed_out = waited == 0;
            closesocket(socket);
            return INVALID_SOCKET;
        }
        int error = 0;
        int length = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) !=
                0 ||
            error != 0) {
            closesocket(socket);
            return INVALID_SOCKET;
        }
    }
    BOOL one = TRUE;
    // Frames are small and a reply is awaited after each: no Nagle delay.
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    // A server that vanished without a word is noticed eventually.
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&one), sizeof one);
    return socket;
}

bool TcpOpen(const Target &target, LinkHandle *link) {
    if (target.transport != Transport::kTcp || !WinsockReady()) {
        return false;
    }
    std::int64_t wait_ms = static_cast<std::int64_t>(target.timeout_ms) * 5;
    std::int64_t deadline = MonotonicMs() + (wait_ms > 1000 ? wait_ms : 1000);
    char service[8];
    std::snprintf(service, sizeof service, "%u", target.tcp_port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // Address literals first, so that they never wait for a name server.
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *addresses = nullptr;
    if (getaddrinfo(target.location, service, &hints, &addresses) != 0) {
        hints.ai_flags = 0;
        addresses = nullptr;
        if (getaddrinfo(target.location, service, &hints, &addresses) != 0) {
            return false;
        }
    }
    SOCKET socket = INVALID_SOCKET;
    for (const addrinfo *address = addresses; address != nullptr && socket == INVALID_SOCKET;
         address = address->ai_next) {
        bool timed_out = false;
        socket = ConnectOne(*address, deadline, &timed_out);
        if (timed_out) {
            break;
        }
    }
    freeaddrinfo(addresses);
    if (socket == INVALID_SOCKET) {
        return false;
    }
    *link = static_cast<LinkHandle>(socket);
    return true;
}

bool TcpWrite(LinkHandle link, const unsigned char *bytes, std::size_t count, int timeout_ms) {
    SOCKET socket = Socket(link);
    std::size_t done = 0;
    while (done < count) {
        std::size_t chunk = count - done;
        int size = chunk > 65536 ? 65536 : static_cast<int>(chunk);
        int sent = send(socket, reinterpret_cast<const char *>(bytes + done), size, 0);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (WaitUntil(socket, Wait::kWrite, MonotonicMs() + timeout_ms) <= 0) {
                return false;
            }
            continue;
        }
        // WSAECONNRESET, WSAECONNABORTED, WSAENOTCONN: the server is gone. A
        // part of the frame may be out already, so this connection is useless
        // anyway.
        return false;
    }
    return true;
}

long TcpRead(LinkHandle link, unsigned char *buffer, std::size_t capacity, int timeout_ms) {
    SOCKET socket = Socket(link);
    std::int64_t deadline = MonotonicMs() + timeout_ms;
    int size = capacity > 65536 ? 65536 : static_cast<int>(capacity);
    for (;;) {
        int waited = WaitUntil(socket, Wait::kRead, deadline);
        if (waited == 0) {
            return 0;
        }
        if (waited < 0) {
            return -1;
        }
        int got = recv(socket, reinterpret_cast<char *>(buffer), size, 0);
        if (got > 0) {
            return got;
        }
        if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            continue;
        }
        // 0: the server closed the connection; WSAECONNRESET and friends.
        return -1;
    }
}

bool TcpDrainInput(LinkHandle link, unsigned char *scratch, std::size_t capacity) {
    SOCKET socket = Socket(link);
    int size = capacity > 65536 ? 65536 : static_cast<int>(capacity);
    for (int reads = 0; reads < kMaxDrainReads; ++reads) {
        // The socket is non-blocking, so this never waits.
        int got = recv(socket, reinterpret_cast<char *>(scratch), size, 0);
        if (got > 0) {
            continue;
        }
        if (got == 0) {
            return false;
        }
        return WSAGetLastError() == WSAEWOULDBLOCK;
    }
    return true;
}

constexpr LinkOps kTcpOps = {TcpOpen, TcpClose, TcpWrite, TcpRead, TcpDrainInput};

}  // namespace

const LinkOps &TcpLink() {
    return kTcpOps;
}

}  // namespace qor_comm
