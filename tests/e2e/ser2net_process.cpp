#include "tests/e2e/ser2net_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/sim_process.h"

namespace qor::test {

namespace {

// A port nobody listens on now: the system picks it, and it is let go
// again for ser2net to take.
unsigned FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

const char *AccepterText(Accepter accepter) {
    switch (accepter) {
        case Accepter::kRaw:
            return "tcp";
        case Accepter::kRfc2217:
            return "telnet(rfc2217),tcp";
        default:
            return "telnet,tcp";
    }
}

// Whether something listens on 127.0.0.1:port, from the kernel's table,
// so that ser2net is not made to open its device by a trial connection.
bool Listening(unsigned port) {
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", port);
    std::string line;
    while (std::getline(table, line)) {
        if (line.find(wanted) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string Ser2netPath() {
    return QOR_SER2NET_PATH;
}

Ser2net::Ser2net(const std::vector<Ser2netPort> &ports) : ports_(ports) {
    char folder[] = "/tmp/qor_ser2net_XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return;
    }
    folder_ = folder;
    std::ostringstream yaml;
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        numbers_.push_back(FreePort());
        yaml << "connection: &port" << i << "\n"
             << "  accepter: " << AccepterText(ports_[i].accepter) << ",127.0.0.1," << numbers_[i]
             << "\n"
             << "  connector: serialdev," << ports_[i].device << ",9600n81,local\n";
    }
    configuration_ = yaml.str();
    std::ofstream(folder_ + "/ser2net.yaml") << configuration_;
    Start();
}

Ser2net::~Ser2net() {
    Stop();
    for (const char *name : {"/ser2net.yaml", "/ser2net.pid", "/ser2net.log"}) {
        unlink((folder_ + name).c_str());
    }
    rmdir(folder_.c_str());
}

bool Ser2net::Start() {
    if (pid_ > 0 || folder_.empty()) {
        return pid_ > 0;
    }
    // -n: in the foreground, so that the pid is ser2net's own; -u: no UUCP
    // lock files; the pid file in the test's folder, not the system's.
    std::vector<std::string> words{
        Ser2netPath(), "-n", "-u", "-c", folder_ + "/ser2net.yaml", "-P", folder_ + "/ser2net.pid"};
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (folder_ + "/ser2net.log").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    for (long long end = NowMs() + 5000; pid_ > 0;) {
        bool all = true;
        for (unsigned number : numbers_) {
            all = all && Listening(number);
        }
        if (all) {
            return true;
        }
        if (NowMs() > end || waitpid(pid_, nullptr, WNOHANG) != 0) {
            Stop();
            break;
        }
        SleepMs(5);
    }
    return false;
}

void Ser2net::Stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    for (long long end = NowMs() + 5000; waitpid(pid_, nullptr, WNOHANG) == 0;) {
        if (NowMs() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        SleepMs(2);
    }
    pid_ = -1;
}

std::string Ser2net::Target(std::size_t index, const std::string &settings) const {
    const char *scheme = ports_[index].accepter == Accepter::kRaw ? "socket://" : "rfc2217://";
    return scheme + std::string("127.0.0.1:") + std::to_string(numbers_[index]) + settings;
}

std::string Ser2net::Log() const {
    std::ifstream log(folder_ + "/ser2net.log");
    return std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
}

}  // namespace qor::test
