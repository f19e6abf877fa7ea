#include "gateway/http/login_throttle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace qor::gateway {

std::string LoginThrottle::ClientOf(const sockaddr *address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address == nullptr) {
        return "?";
    }
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text,
                  sizeof text);
        return text;
    }
    if (address->sa_family != AF_INET6) {
        return "?";
    }
    in6_addr a = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
        inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
        return text;
    }
    std::memset(&a.s6_addr[8], 0, 8);
    inet_ntop(AF_INET6, &a, text, sizeof text);
    return std::string(text) + "/64";
}

bool LoginThrottle::Begin(const std::string &client, Clock::time_point now, long *retry_s) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) {
        if (clients_.size() >= kClientsKept) {
            MakeRoom(now);
        }
        it = clients_.emplace(client, Client{}).first;
    }
    Client &c = it->second;
    if (c.failures > 0 && c.trying == 0 && now - c.last_failure > kForgetAfter) {
        c = Client{};
    }
    if (now < c.shut_until) {
        auto left = std::chrono::ceil<std::chrono::seconds>(c.shut_until - now);
        *retry_s = std::max<long>(1, static_cast<long>(left.count()));
        return false;
    }
    // Past the free failures, one login at a time.
    if (c.trying > 0 && c.failures + c.trying >= kFreeFailures) {
        *retry_s = 1;
        return false;
    }
    ++c.trying;
    return true;
}

void LoginThrottle::Finish(const std::string &client, bool good, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clients_.find(client);
    if (good) {
        if (it != clients_.end()) {
            clients_.erase(it);
        }
        return;
    }
    if (it == clients_.end()) {
        if (clients_.size() >= kClientsKept) {
            MakeRoom(now);
        }
        it = clients_.emplace(client, Client{}).first;
    }
    Client &c = it->second;
    c.trying = std::max(0, c.trying - 1);
    c.last_failure = now;
    if (++c.failures >= kFreeFailures) {
        int doublings = std::min(c.failures - kFreeFailures, 16);
        auto pause = std::min<Clock::duration>(kFirstPause * (1 << doublings), kLongestPause);
        c.shut_until = now + pause;
    }
}

std::size_t LoginThrottle::Clients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

void LoginThrottle::MakeRoom(Clock::time_point now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        bool idle = it->second.trying == 0 &&
                    (it->second.failures == 0 || now - it->second.last_failure > kForgetAfter);
        it = idle ? clients_.erase(it) : std::next(it);
    }
    if (clients_.size() < kClientsKept) {
        return;
    }
    auto oldest = std::min_element(
        clients_.begin(), clients_.end(),
        [](const auto &a, const auto &b) { return a.second.last_failure < b.second.last_failure; });
    clients_.erase(oldest);
}

}  // namespace qor::gateway
