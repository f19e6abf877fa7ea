#include "gateway/broker/resolve.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace qor::gateway {

struct HostLookup::Pending {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::vector<std::string> addresses;
    std::string why;
};

namespace {

using namespace std::chrono_literals;

// Runs getaddrinfo; its answers as text, or none with the reason.
std::vector<std::string> Lookup(const std::string &host, int flags, std::string *why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        *why = rc == EAI_SYSTEM ? "cannot look the name up" : gai_strerror(rc);
        return {};
    }
    std::vector<std::string> addresses;
    char text[NI_MAXHOST];
    for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
        if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
                0 &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.emplace_back(text);
        }
    }
    freeaddrinfo(found);
    if (addresses.empty()) {
        *why = "the name has no address";
    }
    return addresses;
}

}  // namespace

std::vector<std::string> HostLookup::Resolve(const std::string &host,
                                             std::chrono::steady_clock::time_point until,
                                             const std::function<bool()> &give_up,
                                             std::string *why) {
    std::string numeric_why;
    std::vector<std::string> numeric = Lookup(host, AI_NUMERICHOST, &numeric_why);
    if (!numeric.empty()) {
        return numeric;
    }
    std::shared_ptr<Pending> pending = pending_[host];
    if (!pending) {
        pending = std::make_shared<Pending>();
        try {
            std::thread([pending, host] {
                std::string reason;
                std::vector<std::string> addresses = Lookup(host, 0, &reason);
                std::lock_guard<std::mutex> lock(pending->mutex);
                pending->addresses = std::move(addresses);
                pending->why = std::move(reason);
                pending->done = true;
                pending->done_cv.notify_all();
            }).detach();
        } catch (const std::system_error &) {
            *why = "cannot start a name lookup";
            return {};
        }
        pending_[host] = pending;
    }
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->done && std::chrono::steady_clock::now() < until && !(give_up && give_up())) {
        pending->done_cv.wait_until(lock,
                                    std::min(until, std::chrono::steady_clock::now() + 100ms));
    }
    if (!pending->done) {
        *why = "no answer from the name lookup in time";
        return {};
    }
    std::vector<std::string> addresses = pending->addresses;
    *why = pending->why;
    lock.unlock();
    pending_.erase(host);
    return addresses;
}

}  // namespace qor::gateway
