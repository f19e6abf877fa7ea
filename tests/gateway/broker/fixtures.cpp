#include "tests/gateway/broker/fixtures.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/run_program.h"

namespace qor::test {

namespace {

using namespace std::chrono_literals;

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// A listening socket on a free port of 127.0.0.1.
int Listen(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t length = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    *port = ntohs(a.sin_port);
    return fd;
}

int ConnectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

// Accepts within 100 ms, or -1; the loops look at their flag between.
int AcceptSoon(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 100) == 1 ? accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

}  // namespace

bool WaitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    Clock::time_point until = Clock::now() + timeout;
    while (Clock::now() < until) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

int FreePort() {
    int port = 0;
    close(Listen(&port));
    return port;
}

TempFolder::TempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qor-broker-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a folder");
    }
    path_ = pattern;
    std::filesystem::permissions(
        path_, std::filesystem::perms(0755));  // mosquitto reads it as its own user
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Mosquitto::Mosquitto(const std::string &folder, const std::string &settings)
    : port_(FreePort()), folder_(folder) {
    std::ofstream(Name(".conf")) << "per_listener_settings false\nallow_anonymous true\nlistener "
                                 << port_ << " 127.0.0.1\n"
                                 << settings;
    Start();
}

std::string Mosquitto::Name(const char *suffix) const {
    return folder_ + "/mosquitto-" + std::to_string(port_) + suffix;
}

void Mosquitto::Start() {
    const char *path = std::getenv("QOR_MOSQUITTO");
    std::string program = path != nullptr && *path != '\0' ? path : "/usr/sbin/mosquitto";
    std::vector<std::string> words = {program, "-c", Name(".conf")};
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, Name(".log").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0 || !WaitFor([this] {
            int fd = ConnectTo(port_);
            if (fd >= 0) {
                close(fd);
            }
            return fd >= 0;
        })) {
        Stop();
        throw std::runtime_error("mosquitto did not start on port " + std::to_string(port_));
    }
}

Mosquitto::~Mosquitto() {
    Stop();
}

void Mosquitto::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

TcpServer::TcpServer(Mode mode) : mode_(mode) {
    fd_ = Listen(&port_);
    thread_ = std::thread([this] { Serve(); });
}

TcpServer::~TcpServer() {
    running_ = false;
    thread_.join();
    close(fd_);
    for (int fd : held_) {
        close(fd);
    }
}

void TcpServer::Serve() {
    while (running_) {
        int fd = AcceptSoon(fd_);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        accepted_.push_back(Clock::now());
        if (mode_ == Mode::kClose) {
            close(fd);
        } else {
            held_.push_back(fd);
        }
    }
}

std::vector<Clock::time_point> TcpServer::Accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

Mqtt311Front::Mqtt311Front(int broker_port) : broker_port_(broker_port) {
    fd_ = Listen(&port_);
    thread_ = std::thread([this] { Serve(); });
}

Mqtt311Front::~Mqtt311Front() {
    running_ = false;
    thread_.join();
    for (std::thread &relay : relays_) {
        relay.join();
    }
    close(fd_);
}

void Mqtt311Front::Serve() {
    while (running_) {
        int fd = AcceptSoon(fd_);
        if (fd >= 0) {
            relays_.emplace_back([this, fd] { Relay(fd); });
        }
    }
}

// CONNECT's fixed header, remaining length and protocol name ("MQTT" with
// its length) come before the protocol level: 5 is MQTT 5, 4 is 3.1.1. The
// bytes read go on to the broker with the rest.
void Mqtt311Front::Relay(int client) {
    std::string head;
    char c = 0;
    while (running_ && head.size() < 16 && recv(client, &c, 1, 0) == 1) {
        head.push_back(c);
        std::size_t level_at = head.find("MQTT");
        if (level_at != std::string::npos && head.size() > level_at + 4) {
            break;
        }
    }
    std::size_t level_at = head.find("MQTT");
    int broker = -1;
    if (level_at == std::string::npos || head.size() <= level_at + 4 || head[level_at + 4] == 5 ||
        (broker = ConnectTo(broker_port_)) < 0) {
        ++turned_away_;
        close(client);
        return;
    }
    send(broker, head.data(), head.size(), MSG_NOSIGNAL);
    char buffer[4096];
    pollfd fds[2] = {{client, POLLIN, 0}, {broker, POLLIN, 0}};
    while (running_) {
        if (poll(fds, 2, 100) <= 0) {
            continue;
        }
        int from = (fds[0].revents != 0) ? 0 : 1;
        ssize_t n = recv(fds[from].fd, buffer, sizeof buffer, 0);
        if (n <= 0 ||
            send(fds[1 - from].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
            break;
        }
    }
    close(client);
    close(broker);
}

Client::Client(int port, const std::string &filter, bool v311) {
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION,
                         v311 ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5);
    mosquitto_message_callback_set(
        client_, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *c = static_cast<Client *>(self);
            std::lock_guard<std::mutex> lock(c->mutex_);
            c->messages_.push_back({m->topic,
                                    std::string(static_cast<const char *>(m->payload),
                                                static_cast<std::size_t>(m->payloadlen)),
                                    m->retain});
        });
    mosquitto_publish_callback_set(client_, [](mosquitto *, void *self, int mid) {
        auto *c = static_cast<Client *>(self);
        c->acknowledged_ = std::max(c->acknowledged_.load(), mid);
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto *, void *self, int, int, const int *) {
        static_cast<Client *>(self)->subscribed_ = true;
    });
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("the test client cannot connect");
    }
    if (!filter.empty()) {
        mosquitto_subscribe(client_, nullptr, filter.c_str(), 1);
        WaitFor([this] { return subscribed_.load(); });
    }
}

Client::~Client() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

// Returns once the broker has acknowledged it (5 s at most).
void Client::Publish(const std::string &topic, const std::string &payload, bool retain) {
    int mid = 0;
    if (mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, retain) != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("the test client cannot publish");
    }
    WaitFor([this, mid] { return acknowledged_ >= mid; }, 5s);
}

std::vector<Client::Received> Client::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<std::string> Client::On(const std::string &topic) const {
    std::vector<std::string> found;
    for (const Received &m : Messages()) {
        if (m.topic == topic) {
            found.push_back(m.payload);
        }
    }
    return found;
}

gateway::BrokerSpec LocalBroker(std::vector<int> ports, const std::string &client_id) {
    gateway::BrokerSpec b;
    for (int port : ports) {
        b.hosts.push_back({"127.0.0.1", port});
    }
    b.host = "127.0.0.1";
    b.port = ports.front();
    b.client_id = client_id;
    b.connect_timeout_s = 2;
    return b;
}

bool OpenSsl(const std::vector<std::string> &words) {
    std::vector<std::string> command = {"/usr/bin/openssl"};
    command.insert(command.end(), words.begin(), words.end());
    return RunProgram(command, {30000, 0, {}}).exit_code == 0;
}

}  // namespace qor::test
