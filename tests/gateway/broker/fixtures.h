// Real peers for the broker connection's tests, all on 127.0.0.1: a
// mosquitto broker started as a process of its own (ready once it takes a
// connection, stopped by its pid), TCP servers that misbehave on purpose
// (one that never answers, one that closes every connection at once), a
// front for a broker that speaks MQTT 3.1.1 only, and a libmosquitto client
// that records what it receives.
#ifndef QOR_TESTS_GATEWAY_BROKER_FIXTURES_H
#define QOR_TESTS_GATEWAY_BROKER_FIXTURES_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/core/config.h"

struct mosquitto;

namespace qor::test {

using Clock = std::chrono::steady_clock;

// Waits for condition, checking every 20 ms, for at most timeout.
bool WaitFor(const std::function<bool()> &condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

int FreePort();

// A folder of its own, removed with what it holds.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    const std::string &Path() const { return path_; }

  private:
    std::string path_;
};

class Mosquitto {
  public:
    // settings: further lines of its configuration (a TLS listener).
    explicit Mosquitto(const std::string &folder, const std::string &settings = "");
    ~Mosquitto();
    int Port() const { return port_; }
    // Again on the same port, after Stop.
    void Start();
    void Stop();

  private:
    std::string Name(const char *suffix) const;

    int port_;
    std::string folder_;
    pid_t pid_ = -1;
};

// Accepts connections on a free port, and then holds them without a word
// (silent) or closes them at once; notes when each came.
class TcpServer {
  public:
    enum class Mode { kSilent, kClose };
    explicit TcpServer(Mode mode);
    ~TcpServer();
    int Port() const { return port_; }
    std::vector<Clock::time_point> Accepted() const;

  private:
    void Serve();

    Mode mode_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> accepted_;
    std::vector<int> held_;
    std::thread thread_;
};

// A broker that speaks MQTT 3.1.1 only, as RabbitMQ 3.10 does: a front that
// closes a connection whose CONNECT asks for MQTT 5 and relays any other to
// a real broker.
class Mqtt311Front {
  public:
    explicit Mqtt311Front(int broker_port);
    ~Mqtt311Front();
    int Port() const { return port_; }
    int TurnedAway() const { return turned_away_; }

  private:
    void Serve();
    void Relay(int client);

    int broker_port_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> running_{true};
    std::atomic<int> turned_away_{0};
    std::vector<std::thread> relays_;
    std::thread thread_;
};

// A libmosquitto client (MQTT 5 unless told 3.1.1) that records every
// message under its subscription.
class Client {
  public:
    struct Received {
        std::string topic;
        std::string payload;
        bool retained = false;
    };
    Client(int port, const std::string &filter, bool v311 = false);
    ~Client();
    void Publish(const std::string &topic, const std::string &payload, bool retain = false);
    std::vector<Received> Messages() const;
    // The messages on topic, in order.
    std::vector<std::string> On(const std::string &topic) const;

  private:
    mosquitto *client_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<Received> messages_;
    std::atomic<bool> subscribed_{false};
    std::atomic<int> acknowledged_{0};  // the highest mid the broker acknowledged
};

// A broker setting for one host on 127.0.0.1 (hosts given: these ports).
gateway::BrokerSpec LocalBroker(std::vector<int> ports, const std::string &client_id);

// Runs openssl with words; false when it fails.
bool OpenSsl(const std::vector<std::string> &words);

}  // namespace qor::test

#endif
