// The library's own rate on given links: one thread per link doing QOR_RD
// through the real libraries for a fixed time, as qor-gateway's pollers do,
// so that bench/gateway_bench.py can set the gateway beside it on the same
// simulators. Prints one JSON object:
//   {"links": 4, "seconds": 3.0, "transactions": 8000, "failures": 0, "rate": 2666.7,
//    "cpu_percent": 12.5}
// cpu_percent is the process's CPU time (user and system) as a share of one
// core over the run.
//
//   qor_bench_library_rate SECONDS TARGET...
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qor_comm.h"
#include "qor_dll.h"

namespace {

struct Count {
    long transactions = 0;
    long failures = 0;
};

void Drive(int port, std::chrono::steady_clock::time_point until, Count *count) {
    while (std::chrono::steady_clock::now() < until) {
        int status = -1;
        int error = -1;
        QOR_RD(port, '1', &status, &error);
        ++count->transactions;
        count->failures += status != QOR_STATUS_OK;
    }
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 2 ? std::atof(argv[1]) : 0;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: qor_bench_library_rate SECONDS TARGET...\n");
        return 2;
    }
    int links = argc - 2;
    for (int i = 0; i < links; ++i) {
        if (QOR_OpenPort(i + 1, argv[i + 2]) != 1) {
            std::fprintf(stderr, "cannot open %s\n", argv[i + 2]);
            return 1;
        }
    }
    std::vector<Count> counts(static_cast<std::size_t>(links));
    std::vector<std::thread> threads;
    auto start = std::chrono::steady_clock::now();
    auto until = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds));
    for (int i = 0; i < links; ++i) {
        threads.emplace_back(Drive, i + 1, until, &counts[static_cast<std::size_t>(i)]);
    }
    Count total;
    for (int i = 0; i < links; ++i) {
        threads[static_cast<std::size_t>(i)].join();
        total.transactions += counts[static_cast<std::size_t>(i)].transactions;
        total.failures += counts[static_cast<std::size_t>(i)].failures;
        QOR_ClosePort(i + 1);
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf(
        "{\"links\": %d, \"seconds\": %.3f, \"transactions\": %ld, \"failures\": %ld, "
        "\"rate\": %.1f, \"cpu_percent\": %.2f}\n",
        links, elapsed, total.transactions, total.failures,
        static_cast<double>(total.transactions) / elapsed, 100.0 * cpu / elapsed);
    return total.failures == 0 ? 0 : 1;
}
