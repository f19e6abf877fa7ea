// Broker names looked up within a deadline. libmosquitto resolves the name
// it is given while it blocks the calling thread; a resolver that never
// answers would hold the session's thread with it. Here each lookup runs on
// a detached thread of its own and is awaited only until the deadline; one
// that is abandoned finishes on shared state it keeps alive itself, and a
// name whose lookup is still under way starts no second one.
#ifndef QOR_GATEWAY_RESOLVE_H
#define QOR_GATEWAY_RESOLVE_H

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qor::gateway {

class HostLookup {
  public:
    // The numeric addresses (IPv4 or IPv6) the system's resolver gives for
    // host, in its order, or none with the reason in *why when it gives none,
    // or none before `until` or give_up(). A numeric host is its own answer
    // at once.
    std::vector<std::string> Resolve(const std::string &host,
                                     std::chrono::steady_clock::time_point until,
                                     const std::function<bool()> &give_up, std::string *why);

  private:
    struct Pending;
    std::map<std::string, std::shared_ptr<Pending>> pending_;
};

}  // namespace qor::gateway

#endif
