// The round trip of QOR_RD through the real libraries: libqor_dll over
// libqor_comm over a pseudo-terminal to a qor-sim process answering the
// steady reading "*+00072.10". Unpaced, the figure is what the host, the
// kernel's pty and the simulator cost; paced at N baud (the simulator waits
// the frame's wire time, then sends the reply one character every 10/N s),
// it is set beside the wire time of the 5 + 11 characters.
//
// Own flags (before Google Benchmark's):
//   --qor_sim=PATH        the simulator (default: the one this build made)
//   --bauds=R1,R2,...     paced rates (default the standard ones, 1200 ... 115200)
//   --print_bauds         print the default paced rates and exit
//   --paced_seconds=S     time to spend on each paced rate (default 1.0)
//   --unpaced_seconds=S   minimum time of the unpaced run (default 1.0)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/own_flags.h"
#include "bench/run_reported.h"
#include "comm/target.h"
#include "qor_comm.h"
#include "qor_dll.h"
#include "sim/sim_process.h"
#include "tests/support/alloc_count.h"

namespace {

constexpr int kFrameChars = 5;   // "$1RD" CR
constexpr int kReplyChars = 11;  // "*+00072.10" CR

// The paced rates the report shows: the byte link's standard rates from
// 1200 to 115200, what serial modules are set to.
std::vector<int> ReportedBauds() {
    std::vector<int> bauds;
    for (long rate : qor::comm::kStandardBauds) {
        if (rate >= 1200 && rate <= 115200) {
            bauds.push_back(static_cast<int>(rate));
        }
    }
    return bauds;
}

struct Settings {
    std::string sim = qor::test::BuiltSimPath();
    std::vector<int> bauds = ReportedBauds();
    double paced_seconds = 1.0;
    double unpaced_seconds = 1.0;
};

Settings g_settings;

// One simulator and one library port per rate (0: unpaced), kept for the
// whole run so that Google Benchmark's repeated calls reuse them.
struct Link {
    std::unique_ptr<qor::test::SimProcess> sim;
    int port = 0;
    bool ok = false;
};

std::map<int, Link> g_links;

Link &LinkFor(int baud) {
    auto found = g_links.find(baud);
    if (found != g_links.end()) {
        return found->second;
    }
    Link &link = g_links[baud];
    std::vector<std::string> arguments = {"--pty", "--steady"};
    if (baud > 0) {
        arguments.push_back("--baud");
        arguments.push_back(std::to_string(baud));
    }
    link.sim =
        std::make_unique<qor::test::SimProcess>(qor::test::SimStart{g_settings.sim}, arguments);
    link.port = static_cast<int>(g_links.size());
    if (link.sim->Where().empty()) {
        return link;
    }
    // The pty ignores the rate; it is given as a host would give it. The
    // time-out is generous so that a busy machine slows the figure rather
    // than failing the run.
    std::string target = link.sim->Where() + "?baud=" + std::to_string(baud > 0 ? baud : 115200) +
                         "&timeout_ms=1000";
    link.ok = QOR_OpenPort(link.port, target.c_str()) == 1;
    return link;
}

double WireSeconds(int baud) {
    return (kFrameChars + kReplyChars) * 10.0 / baud;
}

bool Read(int port) {
    int status = -1;
    int error = -1;
    float value = QOR_RD(port, '1', &status, &error);
    return status == 0 && std::fabs(value - 72.1f) < 1e-3f;
}

// Runs the timed loop of `transaction` and sets the counters: tx_us is the
// mean (the transaction rate), tx_median_us the typical transaction, which
// the other programs on a shared machine disturb far less; ratio is the
// median over the wire time.
template <typename Transaction>
void TimeTransactions(benchmark::State &state, int baud, Transaction transaction) {
    using Clock = std::chrono::steady_clock;
    // Room for every sample before the count of allocations starts.
    std::vector<double> samples_us;
    samples_us.reserve(static_cast<std::size_t>(state.max_iterations));
    long failures = 0;
    long allocations_before = qor::test::AllocationCount();
    Clock::time_point start = Clock::now();
    Clock::time_point before = start;
    for (auto _ : state) {
        failures += !transaction();
        Clock::time_point after = Clock::now();
        samples_us.push_back(std::chrono::duration<double, std::micro>(after - before).count());
        before = after;
    }
    long allocations = qor::test::AllocationCount() - allocations_before;
    if (failures != 0 || samples_us.empty()) {
        state.SkipWithError("a transaction failed");
        return;
    }
    double tx_us =
        std::chrono::duration<double, std::micro>(before - start).count() / samples_us.size();
    std::nth_element(samples_us.begin(), samples_us.begin() + samples_us.size() / 2,
                     samples_us.end());
    double median_us = samples_us[samples_us.size() / 2];
    state.counters["tx_us"] = tx_us;
    state.counters["tx_median_us"] = median_us;
    state.counters["allocs_per_tx"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.counters["baud"] = baud;
    if (baud > 0) {
        double wire_us = WireSeconds(baud) * 1e6;
        state.counters["wire_us"] = wire_us;
        state.counters["ratio"] = median_us / wire_us;
    }
}

void PtyRd(benchmark::State &state, int baud) {
    Link &link = LinkFor(baud);
    // One transaction first: it proves the link and leaves the simulator
    // and the pty in their steady state.
    if (!link.ok || !Read(link.port)) {
        state.SkipWithError("no reply from the simulator");
        return;
    }
    TimeTransactions(state, baud, [&link] { return Read(link.port); });
}

// The floor under the library: the same transaction written directly on
// the pty with write, poll and read, no library at all. Whatever this loop
// takes beyond the wire time belongs to the simulator's pacing and to the
// kernel's pty and scheduling, not to libqor_dll or libqor_comm.
struct RawLink {
    std::unique_ptr<qor::test::SimProcess> sim;
    int fd = -1;
};

std::map<int, RawLink> g_raw_links;

int RawLinkFor(int baud) {
    RawLink &link = g_raw_links[baud];
    if (link.fd >= 0 || link.sim) {
        return link.fd;
    }
    std::vector<std::string> arguments = {"--pty", "--steady"};
    if (baud > 0) {
        arguments.push_back("--baud");
        arguments.push_back(std::to_string(baud));
    }
    link.sim =
        std::make_unique<qor::test::SimProcess>(qor::test::SimStart{g_settings.sim}, arguments);
    if (link.sim->Where().empty()) {
        return -1;
    }
    int fd = open(link.sim->Where().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    link.fd = fd;
    return fd;
}

bool RawRead(int fd) {
    static const char kFrame[] = "$1RD\r";
    static const char kReply[] = "*+00072.10\r";
    if (write(fd, kFrame, kFrameChars) != kFrameChars) {
        return false;
    }
    char reply[64];
    std::size_t length = 0;
    while (length == 0 || reply[length - 1] != '\r') {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) {
            return false;
        }
        ssize_t got = read(fd, reply + length, sizeof reply - length);
        if (got <= 0) {
            return false;
        }
        length += static_cast<std::size_t>(got);
    }
    return length == kReplyChars && std::memcmp(reply, kReply, kReplyChars) == 0;
}

void PtyRaw(benchmark::State &state, int baud) {
    int fd = RawLinkFor(baud);
    if (fd < 0 || !RawRead(fd)) {
        state.SkipWithError("no reply from the simulator");
        return;
    }
    TimeTransactions(state, baud, [fd] { return RawRead(fd); });
}

// How late a short sleep ends on this machine: the simulator paces each
// reply with such sleeps, so their lateness shows in every paced figure.
// slack_ns 0 keeps the thread's timer slack as it is (50 us by default).
void SleepOvershoot(benchmark::State &state, long slack_ns) {
    constexpr long kSleepNs = 500000;
    int old_slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack_ns > 0) {
        prctl(PR_SET_TIMERSLACK, slack_ns, 0, 0, 0);
    }
    double late_ns = 0;
    for (auto _ : state) {
        timespec pause{0, kSleepNs};
        auto before = std::chrono::steady_clock::now();
        ppoll(nullptr, 0, &pause, nullptr);
        late_ns +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - before)
                .count() -
            kSleepNs;
    }
    if (slack_ns > 0 && old_slack > 0) {
        prctl(PR_SET_TIMERSLACK, old_slack, 0, 0, 0);
    }
    state.counters["late_us"] = late_ns / 1000.0 / static_cast<double>(state.iterations());
}

// Takes this program's own flags out of argv; false on a malformed one.
bool TakeFlags(int *argc, char **argv) {
    return qor::bench::TakeOwnFlags(
        argc, argv,
        {{"--qor_sim=",
          [](const char *v) {
              g_settings.sim = v;
              return true;
          }},
         {"--bauds=",
          [](const char *v) { return qor::bench::ParsePositiveList(v, &g_settings.bauds); }},
         {"--paced_seconds=",
          [](const char *v) {
              g_settings.paced_seconds = std::atof(v);
              return g_settings.paced_seconds > 0;
          }},
         {"--unpaced_seconds=", [](const char *v) {
              g_settings.unpaced_seconds = std::atof(v);
              return g_settings.unpaced_seconds > 0;
          }}});
}

// For scripts/bench.sh, which hands the same rates to the Python peer.
int PrintBauds() {
    std::string list;
    for (int baud : g_settings.bauds) {
        list += (list.empty() ? "" : ",") + std::to_string(baud);
    }
    std::printf("%s\n", list.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--print_bauds") == 0) {
        return PrintBauds();
    }
    if (!TakeFlags(&argc, argv)) {
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    benchmark::AddCustomContext("compiler", QOR_BENCH_COMPILER);
    benchmark::RegisterBenchmark("sleep_500us/slack:default", SleepOvershoot, 0)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(400);
    benchmark::RegisterBenchmark("sleep_500us/slack:1ns", SleepOvershoot, 1)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(400);
    // The library and the bare loop take turns at each rate, so that both
    // meet the machine in the same state.
    using Run = void (*)(benchmark::State &, int);
    const std::pair<const char *, Run> runs[] = {{"pty_RD", PtyRd}, {"pty_raw", PtyRaw}};
    for (const auto &[name, function] : runs) {
        benchmark::RegisterBenchmark((std::string(name) + "/unpaced").c_str(), function, 0)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(g_settings.unpaced_seconds);
    }
    for (int baud : g_settings.bauds) {
        // A handful of transactions is enough where each takes long; the
        // count is fixed so that the run's length is known in advance.
        double wanted = std::ceil(g_settings.paced_seconds / WireSeconds(baud));
        auto iterations =
            static_cast<benchmark::IterationCount>(std::fmin(std::fmax(wanted, 5), 5000));
        using Run = void (*)(benchmark::State &, int);
        const std::pair<const char *, Run> runs[] = {{"pty_RD", PtyRd}, {"pty_raw", PtyRaw}};
        for (const auto &[name, function] : runs) {
            std::string full = std::string(name) + "/baud:" + std::to_string(baud);
            benchmark::RegisterBenchmark(full.c_str(), function, baud)
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond)
                ->Iterations(iterations);
        }
    }
    bool any_error = qor::bench::RunReported();
    for (auto &entry : g_links) {
        QOR_ClosePort(entry.second.port);
    }
    g_links.clear();
    for (auto &entry : g_raw_links) {
        if (entry.second.fd >= 0) {
            close(entry.second.fd);
        }
    }
    g_raw_links.clear();
    return any_error ? 1 : 0;
}
