#include "sim/faults.h"

namespace qor::sim {

namespace {

std::atomic<bool> silenced{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flipped from a signal handler");

}  // namespace

void ToggleSilence() {
    silenced.store(!silenced.load());
}

bool Silenced() {
    return silenced.load();
}

bool AsksForNumber(std::string_view frame) {
    static constexpr std::string_view kQueries[] = {"RD", "ND", "RZ", "RH", "RL", "RE", "EC"};
    if (frame.size() < 4) {
        return false;
    }
    const std::string_view letters = frame.substr(2, 2);
    for (std::string_view query : kQueries) {
        if (letters == query) {
            return true;
        }
    }
    return false;
}

std::string PadReply(const std::string &reply, std::size_t n) {
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

// The draw happens for every reply, so a given seed yields the same
// sequence of faults whatever the other options are.
RandomFault FaultShaper::DrawRandomFault() {
    if (options_.fault_rate <= 0) {
        return RandomFault::kNone;
    }
    const double u = static_cast<double>(rng_() >> 11) / static_cast<double>(1ull << 53);
    const std::uint64_t pick = rng_();
    RandomFault kinds[5] = {};
    unsigned count = 0;
    for (unsigned k = 0; k < 5; ++k) {
        if ((options_.fault_kinds >> k & 1U) != 0) {
            kinds[count++] = static_cast<RandomFault>(1 + k);
        }
    }
    return u < options_.fault_rate && count > 0 ? kinds[pick % count] : RandomFault::kNone;
}

std::string FaultShaper::ShapeBody(const std::string &reply, bool asks_for_number,
                                   RandomFault random) const {
    std::string body = options_.no_number && asks_for_number ? "*\r" : reply;
    if (options_.overlong > 0) {
        body = PadReply(body, static_cast<std::size_t>(options_.overlong));
    }
    if (random == RandomFault::kOverlong) {
        body = PadReply(body, kRandomOverlong);
    }
    if (options_.truncate && !body.empty() && body.back() == '\r') {
        body.pop_back();
    }
    if (random == RandomFault::kTruncate) {
        body.resize(body.size() / 2);
    }
    if (options_.garbage) {
        body = options_.garbage_text + body;
    } else if (random == RandomFault::kGarbage) {
        body = kRandomNoise + body;
    }
    return body;
}

std::chrono::nanoseconds FaultShaper::WaitBefore(RandomFault random, Transmission *tx,
                                                 std::size_t frame_chars) {
    using std::chrono::milliseconds;
    using std::chrono::nanoseconds;
    nanoseconds wait = milliseconds(options_.delay_ms);
    if (random == RandomFault::kDelay) {
        // By default well past the time a host waits for a reply to begin.
        // The draw happens even for an empty range, so that the sequence of
        // faults stays the same.
        const int span = options_.fault_delay_high_ms - options_.fault_delay_low_ms;
        const std::uint64_t draw = rng_();
        wait += milliseconds(options_.fault_delay_low_ms +
                             (span > 0 ? static_cast<int>(draw % static_cast<unsigned>(span)) : 0));
    }
    if (options_.baud > 0) {
        // Ten bit times per character: start bit, eight data bits, stop bit.
        tx->per_char = nanoseconds(10'000'000'000LL / options_.baud);
        wait += tx->per_char * static_cast<long long>(frame_chars);
    }
    return wait;
}

Transmission FaultShaper::Shape(const std::string &reply, std::size_t frame_chars,
                                bool asks_for_number) {
    Transmission tx;
    tx.random = DrawRandomFault();
    if (options_.silent || Silenced() || tx.random == RandomFault::kSilence) {
        tx.send = false;
        return tx;
    }
    tx.bytes = ShapeBody(reply, asks_for_number, tx.random);
    tx.wait_before = WaitBefore(tx.random, &tx, frame_chars);
    return tx;
}

}  // namespace qor::sim
