// A qor-sim process serving a pseudo-terminal for a benchmark: started with
// its arguments, ready once it has printed the slave path, stopped by its
// pid (SIGTERM, then reaped) when the object goes.
#ifndef QOR_BENCH_SIM_LAUNCH_H
#define QOR_BENCH_SIM_LAUNCH_H

#include <string>
#include <vector>

namespace qor_bench {

class SimLaunch {
  public:
    SimLaunch(const std::string &program, const std::vector<std::string> &arguments);
    ~SimLaunch();
    SimLaunch(const SimLaunch &) = delete;
    SimLaunch &operator=(const SimLaunch &) = delete;

    // The slave path the simulator printed; empty when it did not start.
    const std::string &path() const { return path_; }

  private:
    int pid_ = -1;
    int output_ = -1;
    std::string path_;
};

}  // namespace qor_bench

#endif  // QOR_BENCH_SIM_LAUNCH_H
