// The socket calls the TCP transport shares between platforms. This header
// exists to keep the platforms' socket headers apart: Winsock's must come
// before windows.h and clash with the POSIX ones.
#ifndef QOR_COMM_SOCKET_API_H
#define QOR_COMM_SOCKET_API_H

#if defined(_WIN32)
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
// Lean: windows.h then leaves out Winsock 1, which clashes with winsock2.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <cstdint>

#include "comm/link_ops.h"

namespace qor::comm {

struct Target;

// Looks `host` up, waiting at most until `deadline_ms` (MonotonicMs): the
// system's lookup runs on a helper thread, which is left to finish alone
// when the deadline passes. True with *addresses (free them with
// freeaddrinfo) or false with `why` (kHostUnknown, kLookupFailed,
// kLookupTimedOut). Address literals never wait for a name server.
bool LookUpHost(const char *host, unsigned port, std::int64_t deadline_ms, addrinfo **addresses,
                Failure *why);

// The LinkOps open of a TCP connection, written once for every platform.
bool TcpOpen(const Target &target, LinkHandle *link, Failure *why);

// What each platform supplies (tcp_posix.cpp, tcp_win32.cpp).
// Makes the socket layer usable (Winsock's start); false when it is not.
bool SocketsReady();
enum class ConnectStep { kConnected, kFailed, kTimedOut };
// Connects to one address without blocking past `deadline_ms`; kFailed
// leaves the system's code in *code.
ConnectStep ConnectAddress(const addrinfo &address, std::int64_t deadline_ms, LinkHandle *link,
                           int *code);
// Whether a connect failure code means refused, or unreachable.
bool IsRefused(int code);
bool IsUnreachable(int code);

}  // namespace qor::comm

#endif  // QOR_COMM_SOCKET_API_H
