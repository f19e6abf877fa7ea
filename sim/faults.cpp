#include "faults.h"

namespace qorsim {

namespace {

std::atomic<bool> g_silenced{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flipped from a signal handler");

}  // namespace

void toggle_silence() {
    g_silenced.store(!g_silenced.load());
}

bool silenced() {
    return g_silenced.load();
}

std::string pad_reply(const std::string &reply, std::size_t n) {
    std::string body = reply;
    const bool had_cr = !body.empty() && body.back() == '\r';
    if (had_cr) {
        body.pop_back();
    }
    if (body.size() < n) {
        body.append(n - body.size(), '0');
    }
    if (had_cr) {
        body += '\r';
    }
    return body;
}

FaultShaper::FaultShaper(FaultOptions options)
    : options_(std::move(options)), rng_(options_.seed) {}

Transmission FaultShaper::shape(const std::string &reply, std::size_t frame_chars) {
    using std::chrono::milliseconds;
    using std::chrono::nanoseconds;
    Transmission tx;

    // The draw happens for every reply, so a given seed yields the same
    // sequence of faults whatever the other options are.
    if (options_.fault_rate > 0) {
        const double u = static_cast<double>(rng_() >> 11) / static_cast<double>(1ull << 53);
        const std::uint64_t pick = rng_();
        if (u < options_.fault_rate) {
            tx.random = static_cast<RandomFault>(1 + pick % 5);
        }
    }

    if (options_.silent || silenced() || tx.random == RandomFault::Silence) {
        tx.send = false;
        return tx;
    }

    std::string body = reply;
    if (options_.overlong > 0) {
        body = pad_reply(body, static_cast<std::size_t>(options_.overlong));
    }
    if (tx.random == RandomFault::Overlong) {
        body = pad_reply(body, kRandomOverlong);
    }
    if (options_.truncate && !body.empty() && body.back() == '\r') {
        body.pop_back();
    }
    if (tx.random == RandomFault::Truncate) {
        body.resize(body.size() / 2);
    }
    if (options_.garbage) {
        body = options_.garbage_text + body;
    } else if (tx.random == RandomFault::Garbage) {
        body = kRandomNoise + body;
    }
    tx.bytes = std::move(body);

    nanoseconds wait = milliseconds(options_.delay_ms);
    if (tx.random == RandomFault::Delay) {
        // Well past the time a host waits for a reply to begin.
        wait += milliseconds(400 + static_cast<int>(rng_() % 400));
    }
    if (options_.baud > 0) {
        // Ten bit times per character: start bit, eight data bits, stop bit.
        tx.per_char = nanoseconds(10'000'000'000LL / options_.baud);
        wait += tx.per_char * static_cast<long long>(frame_chars);
    }
    tx.wait_before = wait;
    return tx;
}

}  // namespace qorsim
