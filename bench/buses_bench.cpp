// Buses side by side: N qor-sim processes, each on its own pseudo-terminal
// paced like a serial line, each driven by its own thread doing QOR_RD
// through the real libraries. The total rate is set beside N times the rate
// of one bus: calls on different ports share no lock, so N buses should give
// N times the transactions.
//
// Own flags (before Google Benchmark's):
//   --qor_sim=PATH        the simulator (default: the one this build made)
//   --bauds=R1,R2,...     paced rates (default 9600,115200)
//   --buses=N1,N2,...     bus counts (default 1,2,4,8)
//   --seconds=S           time each run aims at (default 2.0)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/own_flags.h"
#include "bench/run_reported.h"
#include "qor_comm.h"
#include "qor_dll.h"
#include "sim/sim_process.h"

namespace {

constexpr int kFrameChars = 5;   // "$1RD" CR
constexpr int kReplyChars = 11;  // "*+00072.10" CR

struct Settings {
    std::string sim = qor::test::BuiltSimPath();
    std::vector<int> bauds = {9600, 115200};
    std::vector<int> buses = {1, 2, 4, 8};
    double seconds = 2.0;
};

Settings g_settings;

// The simulators of one rate, started once and shared by every bus count;
// bus i of rate r is port 100 * (rate's index + 1) + i.
struct Rate {
    std::vector<std::unique_ptr<qor::test::SimProcess>> sims;
    int first_port = 0;
    bool ok = false;
};

std::map<int, Rate> g_rates;

bool StartRate(int baud, int index, int buses) {
    Rate &rate = g_rates[baud];
    rate.first_port = 100 * (index + 1);
    for (int bus = 0; bus < buses; ++bus) {
        rate.sims.push_back(std::make_unique<qor::test::SimProcess>(
            qor::test::SimStart{g_settings.sim},
            std::vector<std::string>{"--pty", "--steady", "--baud", std::to_string(baud)}));
        const std::string &path = rate.sims.back()->Where();
        // The time-out is generous so that a busy machine slows the figure
        // rather than failing the run.
        std::string target = path + "?baud=" + std::to_string(baud) + "&timeout_ms=1000";
        if (path.empty() || QOR_OpenPort(rate.first_port + bus, target.c_str()) != 1) {
            return false;
        }
    }
    rate.ok = true;
    return true;
}

bool Read(int port) {
    int status = -1;
    int error = -1;
    float value = QOR_RD(port, '1', &status, &error);
    return status == 0 && std::fabs(value - 72.1f) < 1e-3f;
}

double WireSeconds(int baud) {
    return (kFrameChars + kReplyChars) * 10.0 / baud;
}

// One thread's bus. Every thread counts its own transactions over its own
// wall time; the counters add up across threads, so tx_per_s is the total
// rate of all buses.
void Buses(benchmark::State &state, int baud) {
    const Rate &rate = g_rates[baud];
    const int port = rate.first_port + state.thread_index();
    if (!rate.ok || !Read(port)) {
        state.SkipWithError("no reply from the simulator");
        return;
    }
    long failures = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        failures += !Read(port);
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failures != 0) {
        state.SkipWithError("a transaction failed");
        return;
    }
    state.counters["tx_per_s"] = static_cast<double>(state.iterations()) / elapsed;
    state.counters["wire_tx_per_s"] = 1.0 / WireSeconds(baud);
    state.counters["buses"] = benchmark::Counter(1);
    state.counters["baud"] = benchmark::Counter(baud, benchmark::Counter::kAvgThreads);
}

// Takes this program's own flags out of argv; false on a malformed one.
bool TakeFlags(int *argc, char **argv) {
    using qor::bench::ParsePositiveList;
    bool ok = qor::bench::TakeOwnFlags(
        argc, argv,
        {{"--qor_sim=",
          [](const char *v) {
              g_settings.sim = v;
              return true;
          }},
         {"--bauds=", [](const char *v) { return ParsePositiveList(v, &g_settings.bauds); }},
         {"--buses=", [](const char *v) { return ParsePositiveList(v, &g_settings.buses); }},
         {"--seconds=", [](const char *v) {
              g_settings.seconds = std::atof(v);
              return g_settings.seconds > 0;
          }}});
    return ok && !g_settings.bauds.empty() && !g_settings.buses.empty();
}

}  // namespace

int main(int argc, char **argv) {
    if (!TakeFlags(&argc, argv)) {
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    int most = *std::max_element(g_settings.buses.begin(), g_settings.buses.end());
    for (std::size_t i = 0; i < g_settings.bauds.size(); ++i) {
        int baud = g_settings.bauds[i];
        StartRate(baud, static_cast<int>(i), most);
        // A fixed count, so that the run's length is known in advance.
        double wanted = std::ceil(g_settings.seconds / WireSeconds(baud));
        auto iterations =
            static_cast<benchmark::IterationCount>(std::fmin(std::fmax(wanted, 5), 20000));
        for (int buses : g_settings.buses) {
            std::string name = "buses_RD/baud:" + std::to_string(baud);
            benchmark::RegisterBenchmark(name.c_str(), Buses, baud)
                ->Threads(buses)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(iterations);
        }
    }
    bool any_error = qor::bench::RunReported();
    for (auto &entry : g_rates) {
        for (std::size_t bus = 0; bus < entry.second.sims.size(); ++bus) {
            QOR_ClosePort(entry.second.first_port + static_cast<int>(bus));
        }
    }
    g_rates.clear();
    return any_error ? 1 : 0;
}
