// A real qor-sim process: started with its arguments, ready once it has
// printed its first line (the pty path or the TCP address), stopped by its
// pid (SIGTERM, then reaped). The tests, the benchmarks and qor demo start
// the simulator through this one class.
#ifndef QOR_TESTS_SUPPORT_SIM_PROCESS_H
#define QOR_TESTS_SUPPORT_SIM_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qor::test {

// Which simulator to start, and how.
struct SimStart {
    std::string program;       // a path, or with search_path a name
    bool search_path = false;  // look program up on PATH
    bool capture_log = false;  // standard error on a pipe, for WaitLog()
    int ready_timeout_ms = 5000;
};

// The qor-sim of this build (defined in built_sim.cpp, which only the
// tests and benchmarks link).
std::string BuiltSimPath();

class SimProcess {
  public:
    // The qor-sim of this build.
    explicit SimProcess(const std::vector<std::string> &arguments);
    SimProcess(const SimStart &start, const std::vector<std::string> &arguments);
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // The first line the simulator printed: a pty path or "HOST:PORT";
    // empty when it did not start or said nothing in time.
    const std::string &Where() const { return where_; }
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    // SIGTERM, then the wait status; SIGKILL and -1 when it has not ended
    // within 5 s; -1 when it was not running.
    int Stop();
    // With capture_log: reads standard error until text shows up, and
    // forgets what came before it. False when it does not within the time.
    bool WaitLog(const std::string &text, int timeout_ms = 5000);

  private:
    void Start(const SimStart &start, const std::vector<std::string> &arguments);

    pid_t pid_ = -1;
    int output_ = -1;  // kept open: a simulator writing to a closed pipe would die of it
    int log_ = -1;
    std::string where_;
    std::string log_text_;
};

long long NowMs();
void SleepMs(int ms);

}  // namespace qor::test

#endif
