// Opening a TCP connection, the same on every platform: one deadline for
// the lookup and the connect together, the addresses of the host tried in
// turn, and the failure named. Only the socket calls differ per platform
// (tcp_posix.cpp, tcp_win32.cpp).
#include "comm/failure.h"
#include "comm/platform.h"
#include "comm/socket_api.h"
#include "comm/target.h"

namespace qor::comm {

bool TcpOpen(const Target &target, LinkHandle *link, Failure *why) {
    if (!SocketsReady()) {
        return Fail(why, Reason::kSystem, 0);
    }
    const int budget_ms = target.connect_timeout_ms;
    std::int64_t deadline = MonotonicMs() + budget_ms;
    addrinfo *addresses = nullptr;
    if (!LookUpHost(target.location, target.tcp_port, deadline, &addresses, why)) {
        why->waited_ms = budget_ms;
        return false;
    }
    ConnectStep step = ConnectStep::kFailed;
    int code = 0;
    // Each address in the order the resolver prefers, until one connects or
    // the time is up.
    for (const addrinfo *address = addresses; address != nullptr; address = address->ai_next) {
        step = ConnectAddress(*address, deadline, link, &code);
        if (step != ConnectStep::kFailed) {
            break;
        }
    }
    freeaddrinfo(addresses);
    if (step == ConnectStep::kConnected) {
        return true;
    }
    if (step == ConnectStep::kTimedOut) {
        return Fail(why, Reason::kConnectTimedOut, 0, budget_ms);
    }
    Reason reason = IsRefused(code)       ? Reason::kRefused
                    : IsUnreachable(code) ? Reason::kUnreachable
                                          : Reason::kSystem;
    return Fail(why, reason, code);
}

}  // namespace qor::comm
