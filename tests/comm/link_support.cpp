#include "tests/comm/link_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "qor_comm.h"

namespace qor::test {

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = name;
}

void Pty::CloseMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

Blackhole::Blackhole() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    queued_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size) != 0 ||
        connect(queued_, reinterpret_cast<sockaddr *>(&address), size) != 0) {
        throw std::runtime_error("cannot set up the blackhole listener");
    }
    port_ = ntohs(address.sin_port);
}

Blackhole::~Blackhole() {
    close(queued_);
    close(listener_);
}

TcpListener::TcpListener(unsigned port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd_, SOMAXCONN) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(address.sin_port);
}

void TcpListener::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

void TcpListener::ShrinkReceiveBuffer() const {
    int smallest = 1;  // raised to the kernel's minimum
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
}

std::string TcpListener::Target(const std::string &settings) const {
    return "socket://127.0.0.1:" + std::to_string(port_) + settings;
}

int TcpListener::Accept(int wait_ms) {
    pollfd entry{fd_, POLLIN, 0};
    return poll(&entry, 1, wait_ms) == 1 ? accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WaitFor(const std::function<bool()> &done) {
    for (long long end = NowMs() + 2000; NowMs() < end;) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

bool WaitDelivered(int server) {
    return WaitFor([server] {
        int unacknowledged = -1;
        return ioctl(server, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
    });
}

void CloseAcknowledged(int server) {
    shutdown(server, SHUT_WR);
    // Past FIN_WAIT1: the client's kernel acknowledged our FIN.
    WaitFor([server] {
        tcp_info info{};
        socklen_t length = sizeof info;
        return getsockopt(server, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
               (info.tcpi_state != TCP_ESTABLISHED && info.tcpi_state != TCP_FIN_WAIT1);
    });
    close(server);
}

std::string ReadBytes(int fd, std::size_t count) {
    std::string bytes;
    for (long long end = NowMs() + 2000; bytes.size() < count;) {
        pollfd entry{fd, POLLIN, 0};
        char buffer[1024];
        std::size_t want = std::min(count - bytes.size(), sizeof buffer);
        ssize_t got = 0;
        if (poll(&entry, 1, static_cast<int>(std::max(0LL, end - NowMs()))) != 1 ||
            (got = read(fd, buffer, want)) <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

std::string ReadOnce(int fd) {
    pollfd entry{fd, POLLIN, 0};
    char buffer[4096];
    ssize_t got = poll(&entry, 1, 2000) == 1 ? read(fd, buffer, sizeof buffer) : 0;
    return std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
}

std::string ReadLine(int fd) {
    std::string line;
    for (std::string next; line.empty() || line.back() != '\r'; line += next) {
        if ((next = ReadBytes(fd, 1)).empty()) {
            break;
        }
    }
    return line;
}

bool NothingMore(int fd) {
    // Readable may also mean hung up, which read() reports without data.
    pollfd entry{fd, POLLIN, 0};
    char byte;
    return poll(&entry, 1, 50) == 0 || read(fd, &byte, 1) <= 0;
}

void WriteAll(int fd, const std::string &bytes) {
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("write to the far end failed");
    }
}

namespace {

const std::string kIac = "\xFF";
const std::string kWill = kIac + "\xFB";
const std::string kDo = kIac + "\xFD";
const std::string kDont = kIac + "\xFE";
const std::string kComPort = ",";  // option 44
const std::string kSe = kIac + "\xF0";
// A server's greeting as one in the field sends it, with an option this
// client does not know (terminal type, 24) among its requests.
const std::string kGreeting = kWill + "\x03" + kDo + "\x03" + kWill + "\x01" + kDo + "\x18" + kDo +
                              std::string(1, '\0') + kWill + std::string(1, '\0');

}  // namespace

std::string ComPortAnswer(unsigned char command, const std::string &value) {
    std::string escaped;
    for (char c : value) {
        escaped += c == '\xFF' ? "\xFF\xFF" : std::string(1, c);
    }
    return kIac + "\xFA" + kComPort + static_cast<char>(command) + escaped + kSe;
}

std::vector<std::pair<int, std::string>> ComPortRequests(const std::string &raw) {
    std::vector<std::pair<int, std::string>> found;
    const std::string start = kIac + "\xFA" + kComPort;
    for (std::size_t at = raw.find(start); at != std::string::npos; at = raw.find(start, at + 1)) {
        std::size_t end = raw.find(kSe, at);
        if (end == std::string::npos || end < at + 4) {
            break;
        }
        found.emplace_back(static_cast<unsigned char>(raw[at + 3]),
                           raw.substr(at + 4, end - at - 4));
    }
    return found;
}

int PlayComPortServer(TcpListener *listener, const ComPortScript &script, std::string *heard) {
    int fd = listener->Accept();
    if (fd < 0) {
        return -1;
    }
    if (script.hang_up) {
        *heard = ReadOnce(fd);  // all of it, so that the close is not a reset
        close(fd);
        return -1;
    }
    WriteAll(fd, kGreeting + (script.refuse_com_port ? kDont : kDo) + kComPort);
    std::string raw;
    while (ComPortRequests(raw).size() < 5 && !script.refuse_com_port) {
        std::string more = ReadOnce(fd);
        if (more.empty()) {
            break;
        }
        raw += more;
    }
    for (const auto &[command, value] : ComPortRequests(raw)) {
        if (command != script.ignored) {
            std::string answer = command == script.odd_command && !script.odd_answer.empty()
                                     ? script.odd_answer
                                     : value;
            WriteAll(fd, ComPortAnswer(static_cast<unsigned char>(command + 100), answer));
        }
    }
    *heard = raw;
    return fd;
}

bool SendFrame(int port, const std::string &frame) {
    bool all = true;
    for (char c : frame) {
        all = QOR_WriteByte(port, static_cast<unsigned char>(c)) == 1 && all;
    }
    return all;
}

std::string ReceiveReply(int port) {
    std::string reply;
    for (int c = 0; reply.size() < 300 && c != '\r';) {
        if ((c = QOR_ReadByte(port)) < 0) {
            break;
        }
        reply += static_cast<char>(c);
    }
    return reply;
}

}  // namespace qor::test
