// The I/O side of qor-sim: a pseudo-terminal or TCP link feeding frames to
// the Simulator and writing its replies through the FaultShaper.
#ifndef QOR_SIM_SERVER_H
#define QOR_SIM_SERVER_H

#include <chrono>
#include <mutex>

#include "sim/faults.h"
#include "sim/options.h"
#include "sim/protocol.h"

namespace qor::sim {

struct Shared {
    Shared(const Options &o, int stop)
        : options(o),
          sim(o.sim),
          shaper(o.faults),
          stop_fd(stop),
          start(std::chrono::steady_clock::now()) {}

    const Options options;
    Simulator sim;       // guarded by mu
    FaultShaper shaper;  // guarded by mu
    std::mutex mu;
    // Becomes readable (and stays so) when the program is asked to stop.
    const int stop_fd;
    const std::chrono::steady_clock::time_point start;
};

// Both print their link's name as the first line of standard output, then
// serve until stop_fd becomes readable. They return the exit code.
int RunPty(Shared &shared);
int RunTcp(Shared &shared);

}  // namespace qor::sim

#endif
