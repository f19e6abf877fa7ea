// What the HTTP server's tests share: a plant to configure, a users file,
// and a raw HTTP client bound to any loopback address.
#ifndef QOR_TESTS_GATEWAY_HTTP_HTTP_SUPPORT_H
#define QOR_TESTS_GATEWAY_HTTP_HTTP_SUPPORT_H

#include <chrono>
#include <string>

namespace qor::gateway::test {

// One link with one module; "[http]" and its lines follow.
constexpr char kPlant[] = R"([broker]
host = "127.0.0.1"
[[link]]
name = "bus"
target = "socket://127.0.0.1:7000"
[[link.module]]
address = "1"
name = "boiler"
poll = { rd = 1000 }
writable = ["hi"]
)";

// "secret" hashed with openssl passwd -6 -salt abcdefgh.
constexpr char kSecretHash[] =
    "$6$abcdefgh$ltjgWl6579NluT/Vi1nwEvcil.G5Nbc4NiXZaNGStk8PSwGfQv72N2CKPPrVACtLtip/cZ/1GM/"
    "O6IND4WQhG.";

int FreePort();
// A file of its own under /tmp holding text; its path.
std::string WriteFile(const std::string &text);

struct Answer {
    int status = 0;  // 0: no answer
    std::string body;
};
// Sends request on a connection of its own from the loopback address from,
// and reads the answer to its end.
Answer Fetch(int port, const std::string &request, const char *from = "127.0.0.1");

// A connection held open: what it sends, what it gets, when it is closed.
class Held {
  public:
    Held(int port, const std::string &start, const char *from);
    ~Held();
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    void Send(const std::string &bytes) const;
    // What arrives within wait (up to the end of one answer's headers and
    // a short body).
    std::string Read(std::chrono::milliseconds wait);
    // Whether the server closes the connection within wait.
    bool ClosedWithin(std::chrono::milliseconds wait);
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
};

}  // namespace qor::gateway::test

#endif
