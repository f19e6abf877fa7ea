// A listening TCP socket on a numeric address, made before a server takes
// it: the Modbus and HTTP servers bind while a configuration is prepared,
// so that a port in use refuses the configuration before anything of the
// running one stops, and a listener whose address did not change is handed
// on rather than bound again.
#ifndef QOR_GATEWAY_CORE_LISTENER_H
#define QOR_GATEWAY_CORE_LISTENER_H

#include <string>

namespace qor::gateway {

// A socket listening on host ("127.0.0.1", "::1", "0.0.0.0") and port, close
// on exec; -1 with the system's reason ("127.0.0.1:502: Address already in
// use") in *why.
int ListenTcp(const std::string &host, int port, int backlog, std::string *why);

}  // namespace qor::gateway

#endif
