// Host names looked up with a bound. The system's getaddrinfo() has no time
// limit of its own (a name server that never answers holds it for as long
// as the resolver's retries last), so it runs on a helper thread that the
// caller stops waiting for at the deadline. The thread then finishes alone
// and frees what it found.
//
// Lookups left running are bounded per host name, not per process: a name
// whose name server never answers uses up only its own few places, and
// lookups of every other name go on. (A cancellable lookup, getaddrinfo_a,
// would not help: glibc cannot cancel a query once it is being sent, and
// Windows has no such call.) "localhost" and address literals need no
// name server, so they never start a thread.
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "comm/failure.h"
#include "comm/platform.h"
#include "comm/socket_api.h"
#include "comm/target.h"

namespace qor::comm {

namespace {

// Lookups of one host left running after their caller gave up. Past this
// many, its name server is not answering at all, and no more threads are
// started for that name until one returns.
constexpr int kMaxAbandonedPerHost = 2;
// Host names with a lookup running at once; a name beyond that waits for
// a place (fails the open) only while this many other names each have one.
constexpr int kHostPlaces = 64;

struct HostPlace {
    char host[kLocationCapacity] = {};
    int running = 0;    // threads started and not returned; 0: place free
    int abandoned = 0;  // of those, the ones whose caller gave up
};

// A leaf lock: taken with a lookup's lock held, never the other way round.
std::mutex g_places_lock;
HostPlace g_places[kHostPlaces];

bool SameHost(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

// The place of `host` for one more lookup thread, or nullptr (with `why`)
// when the host has too many abandoned lookups or no place is free.
HostPlace *TakePlace(const char *host, Failure *why) {
    std::lock_guard<std::mutex> hold(g_places_lock);
    HostPlace *free_place = nullptr;
    for (HostPlace &place : g_places) {
        if (place.running > 0 && SameHost(place.host, host)) {
            if (place.abandoned >= kMaxAbandonedPerHost) {
                Fail(why, Reason::kLookupBacklog, 0);
                return nullptr;
            }
            ++place.running;
            return &place;
        }
        if (place.running == 0 && free_place == nullptr) {
            free_place = &place;
        }
    }
    if (free_place == nullptr) {
        Fail(why, Reason::kLookupBacklog, 0);
        return nullptr;
    }
    std::snprintf(free_place->host, sizeof free_place->host, "%s", host);
    free_place->running = 1;
    free_place->abandoned = 0;
    return free_place;
}

// A lookup thread of the place returned (or never started).
void LeavePlace(HostPlace *place, bool abandoned) {
    std::lock_guard<std::mutex> hold(g_places_lock);
    --place->running;
    if (abandoned) {
        --place->abandoned;
    }
}

struct Lookup {
    std::mutex lock;
    std::condition_variable finished;
    // Guarded by `lock`.
    bool done = false;
    bool abandoned = false;
    int status = 0;
    addrinfo *result = nullptr;
    // Written before the thread starts.
    HostPlace *place = nullptr;
    char host[kLocationCapacity] = {};
    char service[8] = {};
};

addrinfo StreamHints(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

int NumericServiceFlag() {
#ifdef AI_NUMERICSERV
    return AI_NUMERICSERV;
#else
    return 0;
#endif
}

void RunLookup(void *argument) {
    auto *lookup = static_cast<Lookup *>(argument);
    // Taken now: once the lookup's lock is given back below, the waiter may
    // free `lookup`, unless it gave up.
    HostPlace *place = lookup->place;
    addrinfo hints = StreamHints(NumericServiceFlag());
    addrinfo *result = nullptr;
    int status = getaddrinfo(lookup->host, lookup->service, &hints, &result);
    bool abandoned = false;
    {
        std::lock_guard<std::mutex> hold(lookup->lock);
        lookup->done = true;
        lookup->status = status;
        lookup->result = result;
        abandoned = lookup->abandoned;
        // Under the lock: the waiter cannot free `lookup` before this.
        lookup->finished.notify_one();
    }
    if (abandoned) {
        if (result != nullptr) {
            freeaddrinfo(result);
        }
        delete lookup;
    }
    LeavePlace(place, abandoned);
}

bool Classify(int status, addrinfo *result, addrinfo **addresses, Failure *why) {
    if (status == 0) {
        *addresses = result;
        return true;
    }
#ifdef EAI_NODATA
    bool unknown = status == EAI_NONAME || status == EAI_NODATA;
#else
    bool unknown = status == EAI_NONAME;
#endif
    return Fail(why, unknown ? Reason::kHostUnknown : Reason::kLookupFailed, status);
}

// Waits for the helper thread until the deadline; gives the lookup to the
// thread when the time is up.
bool AwaitLookup(Lookup *lookup, std::int64_t deadline_ms, addrinfo **addresses, Failure *why) {
    std::unique_lock<std::mutex> hold(lookup->lock);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(MsUntil(deadline_ms));
    lookup->finished.wait_until(hold, until, [lookup] { return lookup->done; });
    if (!lookup->done) {
        lookup->abandoned = true;
        std::lock_guard<std::mutex> places(g_places_lock);
        ++lookup->place->abandoned;
        return Fail(why, Reason::kLookupTimedOut, 0);
    }
    int status = lookup->status;
    addrinfo *result = lookup->result;
    hold.unlock();
    delete lookup;
    return Classify(status, result, addresses, why);
}

}  // namespace

bool LookUpHost(const char *host, unsigned port, std::int64_t deadline_ms, addrinfo **addresses,
                Failure *why) {
    char service[8];
    std::snprintf(service, sizeof service, "%u", port);
    addrinfo hints = StreamHints(AI_NUMERICHOST | NumericServiceFlag());
    addrinfo *result = nullptr;
    // No node name gives the loopback addresses, IPv6 and IPv4, without
    // asking any name service.
    const bool local = SameHost(host, "localhost") || SameHost(host, "localhost.");
    int status = getaddrinfo(local ? nullptr : host, service, &hints, &result);
    if (status != EAI_NONAME || local) {
        return Classify(status, result, addresses, why);
    }
    HostPlace *place = TakePlace(host, why);
    if (place == nullptr) {
        return false;
    }
    auto *lookup = new (std::nothrow) Lookup;
    if (lookup == nullptr) {
        LeavePlace(place, false);
        return Fail(why, Reason::kLookupFailed, EAI_MEMORY);
    }
    lookup->place = place;
    std::snprintf(lookup->host, sizeof lookup->host, "%s", host);
    std::memcpy(lookup->service, service, sizeof service);
    if (!StartDetachedThread(RunLookup, lookup)) {
        delete lookup;
        LeavePlace(place, false);
        return Fail(why, Reason::kLookupFailed, EAI_AGAIN);
    }
    return AwaitLookup(lookup, deadline_ms, addresses, why);
}

}  // namespace qor::comm
