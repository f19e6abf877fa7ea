#include "gateway/http/connection_guard.h"

#include <sys/socket.h>

#include <algorithm>

namespace qor::gateway {

ConnectionGuard::~ConnectionGuard() {
    Stop();
}

void ConnectionGuard::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) {
        return;
    }
    stopping_ = false;
    ending_ = Clock::time_point::max();
    thread_ = std::thread([this] { Run(); });
}

void ConnectionGuard::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ConnectionGuard::Opened(MHD_Connection *connection, int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry &e = open_[connection];
    e.fd = fd;
    e.deadline = std::min(Clock::now() + deadline_, ending_);
}

void ConnectionGuard::Began(MHD_Connection *connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = open_.find(connection); it != open_.end()) {
        it->second.busy = true;
    }
}

void ConnectionGuard::Answered(MHD_Connection *connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = open_.find(connection); it != open_.end()) {
            it->second.busy = false;
            // The next request on a kept-alive connection: its own deadline.
            it->second.deadline = std::min(Clock::now() + deadline_, ending_);
        }
    }
    quiet_.notify_all();
}

void ConnectionGuard::Closed(MHD_Connection *connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(connection);
    }
    quiet_.notify_all();
}

void ConnectionGuard::EndAllBy(Clock::time_point until) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = std::min(ending_, until);
        auto now = Clock::now();
        for (auto &[connection, e] : open_) {
            e.deadline = std::min(e.deadline, e.busy ? ending_ : now);
        }
    }
    wake_.notify_all();
}

bool ConnectionGuard::WaitIdle(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    return quiet_.wait_until(lock, until, [this] {
        return std::none_of(open_.begin(), open_.end(),
                            [](const auto &item) { return item.second.busy; });
    });
}

void ConnectionGuard::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        Clock::time_point next = CutDue(Clock::now());
        wake_.wait_until(lock, next);
    }
}

ConnectionGuard::Clock::time_point ConnectionGuard::CutDue(Clock::time_point now) {
    // Nothing open: look again within one deadline (a connection opened
    // meanwhile has at least that long).
    Clock::time_point next = now + deadline_;
    for (auto &[connection, e] : open_) {
        if (e.cut) {
            continue;
        }
        if (e.deadline <= now) {
            // libmicrohttpd sees the connection fail and closes it.
            shutdown(e.fd, SHUT_RDWR);
            e.cut = true;
        } else {
            next = std::min(next, e.deadline);
        }
    }
    return next;
}

}  // namespace qor::gateway
