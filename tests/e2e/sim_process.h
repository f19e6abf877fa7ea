// A real qor-sim process for a test: started with its arguments, ready once
// it has printed its first line (the pty path or the TCP address), stopped
// by its pid when the test is done.
#ifndef QOR_TESTS_E2E_SIM_PROCESS_H
#define QOR_TESTS_E2E_SIM_PROCESS_H

#include <string>
#include <vector>

namespace e2e {

class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string> &arguments);
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // The first line the simulator printed: a pty path or "HOST:PORT".
    const std::string &where() const { return where_; }
    bool running() const { return pid_ > 0; }
    void Stop();

  private:
    int pid_ = -1;
    int output_ = -1;
    std::string where_;
};

long long NowMs();
void SleepMs(int ms);

}  // namespace e2e

#endif
