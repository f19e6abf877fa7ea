#include "tests/gateway/http/http_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace qor::gateway::test {

namespace {

sockaddr_in Loopback(const char *address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

}  // namespace

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback("127.0.0.1", 0);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

std::string WriteFile(const std::string &text) {
    char path[] = "/tmp/qor-http-test.XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

Answer Fetch(int port, const std::string &request, const char *from) {
    Held connection(port, request, from);
    std::string text;
    char buffer[4096];
    pollfd p{connection.Fd(), POLLIN, 0};
    while (poll(&p, 1, 10000) == 1) {
        ssize_t n = recv(connection.Fd(), buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    Answer a;
    if (text.rfind("HTTP/1.", 0) == 0 && text.size() > 12) {
        a.status = std::atoi(text.c_str() + 9);
        std::size_t end = text.find("\r\n\r\n");
        a.body = end == std::string::npos ? "" : text.substr(end + 4);
    }
    return a;
}

Held::Held(int port, const std::string &start, const char *from) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source = Loopback(from, 0);
    sockaddr_in server = Loopback("127.0.0.1", port);
    bind(fd_, reinterpret_cast<sockaddr *>(&source), sizeof source);
    connect(fd_, reinterpret_cast<sockaddr *>(&server), sizeof server);
    Send(start);
}

Held::~Held() {
    close(fd_);
}

void Held::Send(const std::string &bytes) const {
    if (!bytes.empty()) {
        (void)send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
}

std::string Held::Read(std::chrono::milliseconds wait) {
    std::string text;
    char buffer[4096];
    pollfd p{fd_, POLLIN, 0};
    while (text.find("\r\n\r\n") == std::string::npos &&
           poll(&p, 1, static_cast<int>(wait.count())) == 1) {
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

bool Held::ClosedWithin(std::chrono::milliseconds wait) {
    auto until = std::chrono::steady_clock::now() + wait;
    char buffer[4096];
    pollfd p{fd_, POLLIN, 0};
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) != 1) {
            return false;
        }
        if (recv(fd_, buffer, sizeof buffer, 0) <= 0) {
            return true;
        }
    }
    return false;
}

}  // namespace qor::gateway::test
