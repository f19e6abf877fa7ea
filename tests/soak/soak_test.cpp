// Soak: thousands of transactions through the real libraries against a real
// qor-sim that injects faults at random (silence, late replies, noise, cut
// and overlong replies, and on TCP dropped connections). What must hold:
//  - no transaction returns status 0 with a value the simulator did not send
//    (the simulator reads a steady +00072.10);
//  - every transaction ends within a bound derived from the port's time-out;
//  - file descriptors and heap use stay flat.
// QOR_SOAK_SECONDS sets the length of each run (default 20).
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "qor_comm.h"
#include "qor_dll.h"
#include "sim_process.h"

namespace {

using qor::test::NowMs;
using qor::test::SimProcess;

constexpr int kTimeoutMs = 40;
// A reply takes at most 256 characters from the link, each within the
// time-out, but the simulator sends a reply in one piece: allow the wait
// for its first character, a stalled cut reply, a reconnect, and a busy
// machine.
constexpr long long kBoundMs = 10 * kTimeoutMs + 1000;

int SoakSeconds() {
    const char *text = std::getenv("QOR_SOAK_SECONDS");
    int seconds = text ? std::atoi(text) : 20;
    return seconds > 0 ? seconds : 20;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

struct Tally {
    long transactions = 0;
    long succeeded = 0;
    long wrong_values = 0;
    long over_bound = 0;
    long long slowest_ms = 0;
    std::map<std::string, long> outcomes;
};

void Transact(int port, Tally &tally) {
    int status = -7;
    int error = -7;
    long long start = NowMs();
    float value = QOR_RD(port, '1', &status, &error);
    long long took = NowMs() - start;
    ++tally.transactions;
    tally.slowest_ms = std::max(tally.slowest_ms, took);
    if (took > kBoundMs) {
        ++tally.over_bound;
    }
    tally.outcomes[std::to_string(status) + "/" + std::to_string(error)]++;
    if (status == 0) {
        ++tally.succeeded;
        if (value != 72.1f) {
            ++tally.wrong_values;
            ADD_FAILURE() << "accepted a value the simulator never sent: " << value;
        }
    } else if (value != 0.0f) {
        ++tally.wrong_values;
        ADD_FAILURE() << "failed transaction returned " << value;
    }
}

void Soak(const char *name, const std::vector<std::string> &sim_arguments, bool tcp) {
    SimProcess sim(sim_arguments);
    ASSERT_FALSE(sim.Where().empty()) << "the simulator did not start";
    std::string target =
        (tcp ? "socket://" : "") + sim.Where() + "?timeout_ms=" + std::to_string(kTimeoutMs);
    const int port = tcp ? 61 : 60;
    ASSERT_EQ(QOR_OpenPort(port, target.c_str()), 1);

    Tally tally;
    // Warm up, then take the baseline of descriptors and heap.
    for (int i = 0; i < 50; ++i) {
        Transact(port, tally);
    }
    int descriptors = OpenDescriptors();
    std::size_t heap = mallinfo2().uordblks;
    long long end = NowMs() + SoakSeconds() * 1000LL;
    while (NowMs() < end) {
        Transact(port, tally);
    }
    int descriptors_after = OpenDescriptors();
    std::size_t heap_after = mallinfo2().uordblks;
    QOR_ClosePort(port);

    long faults = tally.transactions - tally.succeeded;
    std::printf(
        "soak %s: %ld transactions, %ld succeeded, %ld failed by injected faults, "
        "wrong values accepted: %ld, slowest %lld ms (bound %lld ms), "
        "descriptors %d -> %d, heap in use %zu -> %zu bytes\n",
        name, tally.transactions, tally.succeeded, faults, tally.wrong_values, tally.slowest_ms,
        kBoundMs, descriptors, descriptors_after, heap, heap_after);
    for (const auto &[pair, count] : tally.outcomes) {
        std::printf("soak %s:   status/error %s: %ld\n", name, pair.c_str(), count);
    }
    EXPECT_EQ(tally.wrong_values, 0);
    EXPECT_EQ(tally.over_bound, 0) << "slowest transaction took " << tally.slowest_ms << " ms";
    EXPECT_EQ(descriptors_after, descriptors);
    EXPECT_LT(heap_after, heap + 16 * 1024) << "heap use grew";
    // A late reply holds up the frames behind it, so a fault costs several
    // transactions; still, most of the time the link must work.
    EXPECT_GT(tally.succeeded, tally.transactions / 5) << "the link barely worked";
    EXPECT_GT(faults, 0) << "no fault was injected";
}

TEST(Soak, PseudoTerminalWithRandomFaults) {
    Soak("pty", {"--pty", "--steady", "--fault-rate", "0.2", "--seed", "7"}, false);
}

TEST(Soak, TcpWithRandomFaultsAndDroppedConnections) {
    Soak("tcp",
         {"--listen", "127.0.0.1:0", "--steady", "--fault-rate", "0.2", "--seed", "11",
          "--drop-after", "97"},
         true);
}

}  // namespace
