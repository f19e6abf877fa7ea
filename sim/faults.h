// Turns a reply into what actually goes on the wire: the fault options for
// tests (silence, delay, noise, cut or padded replies, serial pacing) are
// decided here, away from the I/O, so they can be checked without a link.
#ifndef QOR_SIM_FAULTS_H
#define QOR_SIM_FAULTS_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace qor::sim {

// Noise without "*" or "?", so a reader that skips to the first of those
// skips all of it.
inline const char kDefaultGarbage[] = "#~%\r";
// The noise of a random fault has no CR either: a reply cut off in a burst
// of queued replies, followed by noise that ends in CR, would read as one
// complete reply, and no reader of a protocol without reply checksums can
// tell the two apart.
inline const char kRandomNoise[] = "#~%";

struct FaultOptions {
    bool silent = false;
    int delay_ms = 0;
    bool garbage = false;
    std::string garbage_text = kDefaultGarbage;
    bool truncate = false;
    // Queries whose reply carries a number (RD ND RZ RH RL RE EC) are
    // answered with "*" alone: accepted, but no number in it.
    bool no_number = false;
    int overlong = 0;  // 0: off
    int baud = 0;      // 0: no pacing
    double fault_rate = 0.0;
    std::uint64_t seed = 1;
    // The delay a random late reply gets: from low up to (not including)
    // high milliseconds, or exactly low when they are equal.
    int fault_delay_low_ms = 400;
    int fault_delay_high_ms = 800;
    // The kinds a random fault is drawn from: bit (k - 1) for RandomFault k.
    unsigned fault_kinds = 0x1F;
};

enum class RandomFault { kNone, kSilence, kDelay, kGarbage, kTruncate, kOverlong };

// The names --fault-kinds takes, in RandomFault order from kSilence.
inline const char *const kFaultKindNames[] = {"silence", "late", "noise", "cut", "overlong"};

// The character count a randomly padded reply gets: past the 50 characters
// a host accepts.
constexpr std::size_t kRandomOverlong = 60;

struct Transmission {
    bool send = true;
    std::chrono::nanoseconds wait_before{0};
    std::string bytes;
    // 0: all bytes at once; otherwise one byte per interval.
    std::chrono::nanoseconds per_char{0};
    RandomFault random = RandomFault::kNone;
};

// Flipped by SIGUSR1 (main.cpp): while set, no reply is sent, as with
// --silent. Lets a test silence a running simulator and bring it back
// without breaking its link. Lock-free, so a signal handler may flip it.
void ToggleSilence();
bool Silenced();

// True when the frame (from its prompt, without CR) is a query whose reply
// carries a number: RD, ND, RZ, RH, RL, RE, EC.
bool AsksForNumber(std::string_view frame);

// Pads the text before the final CR with '0' up to n characters.
std::string PadReply(const std::string &reply, std::size_t n);

class FaultShaper {
  public:
    explicit FaultShaper(FaultOptions options);

    // reply: as built, with its CR. frame_chars: the received frame's length
    // including its CR (its wire time counts when pacing). asks_for_number:
    // the frame is one of AsksForNumber's.
    Transmission Shape(const std::string &reply, std::size_t frame_chars,
                       bool asks_for_number = false);

  private:
    RandomFault DrawRandomFault();
    std::string ShapeBody(const std::string &reply, bool asks_for_number, RandomFault random) const;
    std::chrono::nanoseconds WaitBefore(RandomFault random, Transmission *tx,
                                        std::size_t frame_chars);

    FaultOptions options_;
    std::mt19937_64 rng_;
};

}  // namespace qor::sim

#endif
