// Password guessing, slowed down per client address. A client's first
// failed logins cost it nothing (people mistype); once it has failed
// kFreeFailures times, each failure shuts it out for a while, kFirstPause
// and then twice as long each time up to kLongestPause, during which its logins are refused at once
// (429) without their password being checked: a guess then costs the guesser the pause, and the
// server nothing. Logins under way count against the free ones, so that guesses sent side by side
// gain nothing. A good login forgets the client.
//
// Nothing waits here: the lock is held only to read and update a client's
// entry, and a client's pause holds neither a thread nor a connection, so
// that one client's guesses never slow another's requests. The table is
// bounded: a client is forgotten kForgetAfter after its last failure, and
// past kClientsKept the one that failed longest ago makes room. An IPv6
// client is its /64 (one host's addresses are many, its prefix one).
#ifndef QOR_GATEWAY_HTTP_LOGIN_THROTTLE_H
#define QOR_GATEWAY_HTTP_LOGIN_THROTTLE_H

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

struct sockaddr;

namespace qor::gateway {

class LoginThrottle {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kFreeFailures = 10;
    static constexpr std::chrono::seconds kFirstPause{1};
    static constexpr std::chrono::seconds kLongestPause{60};
    static constexpr std::chrono::minutes kForgetAfter{15};
    static constexpr std::size_t kClientsKept = 4096;

    // The key a client address is counted under (its /64 for IPv6).
    static std::string ClientOf(const sockaddr *address);

    // Whether the client may try a login now; when not, *retry_s is how
    // long it must wait. A login allowed must be told Finish.
    bool Begin(const std::string &client, Clock::time_point now, long *retry_s);
    void Finish(const std::string &client, bool good, Clock::time_point now);

    std::size_t Clients() const;

  private:
    struct Client {
        int failures = 0;
        int trying = 0;  // logins under way
        Clock::time_point last_failure;
        Clock::time_point shut_until;
    };

    // Under mutex_: room for one more client.
    void MakeRoom(Clock::time_point now);

    mutable std::mutex mutex_;
    std::map<std::string, Client> clients_;
};

}  // namespace qor::gateway

#endif
