#include "gateway/core/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qor::gateway {

int ListenTcp(const std::string &host, int port, int backlog, std::string *why) {
    sockaddr_storage address{};
    socklen_t size = 0;
    auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
    bool v6 = false;
    if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof *in4;
    } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof *in6;
        v6 = true;
    } else {
        *why = "\"" + host + "\" is not a numeric address";
        return -1;
    }
    std::string where = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = where + ": " + std::strerror(errno);
        return -1;
    }
    // A restart must not wait for the last run's connections in TIME_WAIT.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), size) != 0 ||
        listen(fd, backlog) != 0) {
        *why = where + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace qor::gateway
