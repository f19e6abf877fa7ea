// A real serial device server for the tests: ser2net, started on 127.0.0.1
// from a configuration the test writes into a folder of its own, in front
// of serial devices (the simulator's pseudo-terminals), and stopped by its
// pid. The folder goes with the object.
#ifndef QOR_TESTS_E2E_SER2NET_PROCESS_H
#define QOR_TESTS_E2E_SER2NET_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qor::test {

// How ser2net takes connections on a port.
enum class Accepter {
    kRaw,      // tcp: the bytes as they are (socket://)
    kRfc2217,  // telnet(rfc2217): Telnet with the com port option (rfc2217://)
    kTelnet,   // telnet alone: no com port option
};

struct Ser2netPort {
    Accepter accepter;
    std::string device;  // the serial device it connects to
};

class Ser2net {
  public:
    // Picks a free port for each, writes the configuration and starts.
    explicit Ser2net(const std::vector<Ser2netPort> &ports);
    ~Ser2net();
    Ser2net(const Ser2net &) = delete;
    Ser2net &operator=(const Ser2net &) = delete;

    // True once it listens on every port (within 5 s of starting).
    bool Running() const { return pid_ > 0; }
    // SIGTERM, waited for (SIGKILL after 5 s).
    void Stop();
    // Starts again from the same configuration, on the same ports.
    bool Start();
    // "socket://127.0.0.1:P" or "rfc2217://127.0.0.1:P", then `settings`.
    std::string Target(std::size_t index, const std::string &settings = "") const;
    // The configuration, as written.
    const std::string &Configuration() const { return configuration_; }
    // What ser2net wrote on its standard output and error.
    std::string Log() const;

  private:
    std::vector<Ser2netPort> ports_;
    std::vector<unsigned> numbers_;
    std::string folder_;
    std::string configuration_;
    pid_t pid_ = -1;
};

// The ser2net program the build found.
std::string Ser2netPath();

}  // namespace qor::test

#endif  // QOR_TESTS_E2E_SER2NET_PROCESS_H
