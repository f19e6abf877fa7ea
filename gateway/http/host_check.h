// Whom a request was meant for. A page on another site can have the
// visitor's browser reach the gateway by DNS rebinding (its own name, a
// moment later resolved to the gateway's address); without a login, that
// page could then read everything the gateway serves. Its requests carry
// the other site's name in Host, so without a login only these are
// answered: the address the client connected to, "localhost" on a loopback
// address, the names [http] hosts gives (a proxy's, the gateway's DNS
// name), each with or without a port; and requests without a Host, which
// no browser sends.
#ifndef QOR_GATEWAY_HTTP_HOST_CHECK_H
#define QOR_GATEWAY_HTTP_HOST_CHECK_H

#include <string>
#include <vector>

struct sockaddr;

namespace qor::gateway {

// host: the Host header ("gw.plant.local:8080", "[::1]:8080"); local: the
// address the connection reached (getsockname); names: [http] hosts.
bool HostAllowed(const std::string &host, const sockaddr *local,
                 const std::vector<std::string> &names);

}  // namespace qor::gateway

#endif
