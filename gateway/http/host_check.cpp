#include "gateway/http/host_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace qor::gateway {

namespace {

// The name or address of a Host value without its port, brackets taken off
// an IPv6 address, in lower case and without a final dot; empty when the
// value is no host[:port].
std::string HostName(const std::string &host) {
    std::string name;
    std::string rest;
    if (!host.empty() && host[0] == '[') {
        std::size_t close = host.find(']');
        if (close == std::string::npos) {
            return "";
        }
        name = host.substr(1, close - 1);
        rest = host.substr(close + 1);
    } else {
        std::size_t colon = host.find(':');
        name = host.substr(0, colon);
        rest = colon == std::string::npos ? "" : host.substr(colon);
    }
    bool port_ok = rest.empty() || (rest.size() >= 2 && rest.size() <= 6 && rest[0] == ':' &&
                                    rest.find_first_not_of("0123456789", 1) == std::string::npos);
    if (!port_ok) {
        return "";
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    return name;
}

// The 16 bytes of an IPv6 address, an IPv4 address mapped into them; false
// for text that is no numeric address.
bool Address(std::string text, in6_addr *out) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        std::memset(out, 0, sizeof *out);
        out->s6_addr[10] = 0xff;
        out->s6_addr[11] = 0xff;
        std::memcpy(&out->s6_addr[12], &v4, 4);
        return true;
    }
    return inet_pton(AF_INET6, text.c_str(), out) == 1;
}

// The address a connection reached, as Address gives it.
bool LocalAddress(const sockaddr *local, in6_addr *out) {
    if (local != nullptr && local->sa_family == AF_INET) {
        const auto *in4 = reinterpret_cast<const sockaddr_in *>(local);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
        return Address(text, out);
    }
    if (local != nullptr && local->sa_family == AF_INET6) {
        *out = reinterpret_cast<const sockaddr_in6 *>(local)->sin6_addr;
        return true;
    }
    return false;
}

bool Loopback(const in6_addr &a) {
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

bool SameName(const std::string &name, const std::string &configured) {
    in6_addr a{};
    in6_addr b{};
    if (Address(name, &a) && Address(configured, &b)) {
        return std::memcmp(&a, &b, sizeof a) == 0;
    }
    return HostName(configured) == name;
}

}  // namespace

bool HostAllowed(const std::string &host, const sockaddr *local,
                 const std::vector<std::string> &names) {
    if (host.empty()) {
        return true;
    }
    std::string name = HostName(host);
    if (name.empty()) {
        return false;
    }
    in6_addr reached{};
    bool known = LocalAddress(local, &reached);
    in6_addr asked{};
    if (known && Address(name, &asked) && std::memcmp(&asked, &reached, sizeof asked) == 0) {
        return true;
    }
    if (known && name == "localhost" && Loopback(reached)) {
        return true;
    }
    return std::any_of(names.begin(), names.end(),
                       [&name](const std::string &n) { return SameName(name, n); });
}

}  // namespace qor::gateway
