// Host names looked up with a bound. The system's getaddrinfo() has no time
// limit of its own (a name server that never answers holds it for as long
// as the resolver's retries last), so it runs on a helper thread that the
// caller stops waiting for at the deadline. The thread then finishes alone
// and frees what it found.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "failure.h"
#include "platform.h"
#include "socket_api.h"
#include "target.h"

namespace qor::comm {

namespace {

// Lookups left running after their caller gave up. Past this many, a name
// server is not answering at all, and no more threads are started for it.
constexpr int kMaxAbandonedLookups = 8;
std::atomic<int> g_abandoned{0};

struct Lookup {
    std::mutex lock;
    std::condition_variable finished;
    // Guarded by `lock`.
    bool done = false;
    bool abandoned = false;
    int status = 0;
    addrinfo *result = nullptr;
    // Written before the thread starts.
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
        --g_abandoned;
    }
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
        ++g_abandoned;
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
    int status = getaddrinfo(host, service, &hints, &result);
    if (status != EAI_NONAME) {
        return Classify(status, result, addresses, why);
    }
    if (g_abandoned.load() >= kMaxAbandonedLookups) {
        return Fail(why, Reason::kLookupBacklog, 0);
    }
    auto *lookup = new (std::nothrow) Lookup;
    if (lookup == nullptr) {
        return Fail(why, Reason::kLookupFailed, EAI_MEMORY);
    }
    std::snprintf(lookup->host, sizeof lookup->host, "%s", host);
    std::memcpy(lookup->service, service, sizeof service);
    if (!StartDetachedThread(RunLookup, lookup)) {
        delete lookup;
        return Fail(why, Reason::kLookupFailed, EAI_AGAIN);
    }
    return AwaitLookup(lookup, deadline_ms, addresses, why);
}

}  // namespace qor::comm
