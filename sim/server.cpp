#include "server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <thread>

namespace qorsim {

namespace {

using Clock = std::chrono::steady_clock;

// One link: its own frame assembly, shared modules.
struct Link {
    std::string name;
    int fd = -1;
    bool socket = false;
    int hangup_fd = -1;  // watched for POLLHUP during waits (the pty master)
    FrameAssembler frames;
    int replies = 0;
};

void log_line(const Shared &s, const Link &link, const char *what, const std::string &bytes) {
    if (!s.options.log) {
        return;
    }
    std::string line = "qor-sim " + link.name + " " + what;
    if (!bytes.empty()) {
        line += " \"";
        for (char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '\r') {
                line += "\\r";
            } else if (c == '\n') {
                line += "\\n";
            } else if (c == '\\' || c == '"') {
                line += '\\';
                line += c;
            } else if (u < 0x20 || u >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", u);
                line += hex;
            } else {
                line += c;
            }
        }
        line += '"';
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

enum class Wake { Deadline, Stop, Hangup };

// Sleeps until the deadline, waking early when the program is asked to stop
// or the watched fd hangs up (a pty client went away: its pending reply has
// no reader and must not be left for the next client).
Wake wait_until(const Shared &s, int hangup_fd, Clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{s.stop_fd, POLLIN, 0}, {hangup_fd, 0, 0}};
        const nfds_t count = hangup_fd >= 0 ? 2 : 1;
        const auto left = deadline - Clock::now();
        timespec ts{0, 0};
        if (left > Clock::duration::zero()) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        const int r = ppoll(fds, count, &ts, nullptr);
        if (r < 0 && errno != EINTR) {
            return Wake::Stop;
        }
        if (r > 0 && fds[0].revents != 0) {
            return Wake::Stop;
        }
        if (r > 0 && count == 2 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            return Wake::Hangup;
        }
        if (r == 0 && left <= Clock::duration::zero()) {
            return Wake::Deadline;
        }
    }
}

bool write_all(const Shared &s, const Link &link, const char *p, std::size_t len) {
    while (len > 0) {
        const ssize_t n =
            link.socket ? send(link.fd, p, len, MSG_NOSIGNAL) : write(link.fd, p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Nobody reads: give the peer a second, then drop the reply
            // rather than stall the link.
            pollfd fds[2] = {{s.stop_fd, POLLIN, 0}, {link.fd, POLLOUT, 0}};
            const int r = poll(fds, 2, 1000);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0 || fds[0].revents != 0 || (fds[1].revents & POLLOUT) == 0) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

bool transmit(const Shared &s, const Link &link, const Transmission &tx) {
    Clock::time_point t = Clock::now() + tx.wait_before;
    if (tx.wait_before > Clock::duration::zero() &&
        wait_until(s, link.hangup_fd, t) != Wake::Deadline) {
        return false;
    }
    if (tx.per_char <= std::chrono::nanoseconds::zero()) {
        return write_all(s, link, tx.bytes.data(), tx.bytes.size());
    }
    // Deadlines from the planned end of the frame wait, so neither a late
    // wake-up nor scheduling makes the pace drift.
    for (char c : tx.bytes) {
        t += tx.per_char;
        if (wait_until(s, link.hangup_fd, t) != Wake::Deadline || !write_all(s, link, &c, 1)) {
            return false;
        }
    }
    return true;
}

// Answers one frame. False when the reply could not be sent.
bool serve_frame(Shared &s, Link &link, const std::string &frame) {
    std::optional<std::string> reply;
    Transmission tx;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        const double now = std::chrono::duration<double>(Clock::now() - s.start).count();
        reply = s.sim.handle(frame, now);
        if (reply) {
            tx = s.shaper.shape(*reply, frame.size() + 1);
        }
    }
    log_line(s, link, "got", frame + "\r");
    if (!reply) {
        return true;
    }
    if (!tx.send) {
        log_line(s, link, "stays silent", "");
        return true;
    }
    if (!transmit(s, link, tx)) {
        log_line(s, link, "could not send", tx.bytes);
        return false;
    }
    ++link.replies;
    log_line(s, link, "sent", tx.bytes);
    return true;
}

// Empties what was written to the slave side but never read, so a reply
// meant for a client that left is not the first thing the next one reads.
// Bytes written just before the close can still be on their way into the
// slave's queue when it is reopened here, so this keeps discarding until
// the queue has stayed empty for a few milliseconds.
void flush_slave(const char *path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    for (int round = 0; round < 50; ++round) {
        tcflush(fd, TCIFLUSH);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5) <= 0) {
            break;
        }
        char buf[256];
        while (read(fd, buf, sizeof buf) > 0) {
        }
    }
    close(fd);
}

}  // namespace

int run_pty(Shared &s) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("qor-sim: pseudo-terminal");
        if (master >= 0) {
            close(master);
        }
        return 1;
    }
    // The line settings live with the pair, so raw on the master makes the
    // slave raw too: no echo, no CR/NL translation, no signals.
    termios tio{};
    char path[256];
    if (tcgetattr(master, &tio) != 0 || (cfmakeraw(&tio), tcsetattr(master, TCSANOW, &tio)) != 0 ||
        ptsname_r(master, path, sizeof path) != 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        std::perror("qor-sim: pseudo-terminal setup");
        close(master);
        return 1;
    }
    std::printf("%s\n", path);
    std::fflush(stdout);

    // The slave is not held open here: a client's close then shows as a
    // hang-up, which is the moment to drop half frames and unread replies.
    Link link;
    link.name = "pty";
    link.fd = master;
    link.hangup_fd = master;
    bool hung_up = false;
    char buf[512];
    for (;;) {
        if (hung_up) {
            // Until a client opens the slave again the master reports
            // POLLHUP at once, so look again after a short sleep.
            if (wait_until(s, -1, Clock::now() + std::chrono::milliseconds(20)) == Wake::Stop) {
                break;
            }
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0) {
                continue;
            }
            hung_up = false;
        }
        pollfd fds[2] = {{s.stop_fd, POLLIN, 0}, {master, POLLIN, 0}};
        const int r = poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("qor-sim: poll");
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[1].revents == 0) {
            continue;
        }
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (std::optional<std::string> frame = link.frames.feed(buf[i])) {
                    serve_frame(s, link, *frame);
                }
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        // EIO: the last client closed the slave.
        link.frames.reset();
        flush_slave(path);
        log_line(s, link, "client closed", "");
        hung_up = true;
    }
    close(master);
    return 0;
}

namespace {

struct Client {
    std::thread thread;
    std::atomic<bool> done{false};
};

void serve_client(Shared &s, int fd, std::string name, std::atomic<bool> &done) {
    Link link;
    link.name = std::move(name);
    link.fd = fd;
    link.socket = true;
    log_line(s, link, "connected", "");
    char buf[512];
    bool open = true;
    while (open) {
        pollfd fds[2] = {{s.stop_fd, POLLIN, 0}, {fd, POLLIN, 0}};
        const int r = poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n && open; ++i) {
            std::optional<std::string> frame = link.frames.feed(buf[i]);
            if (!frame) {
                continue;
            }
            if (!serve_frame(s, link, *frame)) {
                open = false;
            } else if (s.options.drop_after > 0 && link.replies >= s.options.drop_after) {
                log_line(s, link, "drops the connection", "");
                open = false;
            }
        }
    }
    log_line(s, link, "closed", "");
    close(fd);
    done = true;
}

}  // namespace

int run_tcp(Shared &s) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int gai = getaddrinfo(s.options.host.c_str(), s.options.port.c_str(), &hints, &found);
    if (gai != 0) {
        std::fprintf(stderr, "qor-sim: %s: %s\n", s.options.host.c_str(), gai_strerror(gai));
        return 1;
    }
    int listener = -1;
    int last_errno = 0;
    for (addrinfo *ai = found; ai != nullptr && listener < 0; ai = ai->ai_next) {
        const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            last_errno = errno;
            continue;
        }
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, 16) == 0) {
            listener = fd;
        } else {
            last_errno = errno;
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (listener < 0) {
        std::fprintf(stderr, "qor-sim: cannot listen on %s:%s: %s\n", s.options.host.c_str(),
                     s.options.port.c_str(), std::strerror(last_errno));
        return 1;
    }
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof bound;
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &bound_len) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr *>(&bound), bound_len, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        std::perror("qor-sim: getsockname");
        close(listener);
        return 1;
    }
    if (bound.ss_family == AF_INET6) {
        std::printf("[%s]:%s\n", host, port);
    } else {
        std::printf("%s:%s\n", host, port);
    }
    std::fflush(stdout);

    // Every connection is a link of its own served by its own thread; the
    // modules are shared, and each frame is handled under the one lock.
    std::list<Client> clients;
    unsigned next_id = 1;
    for (;;) {
        pollfd fds[2] = {{s.stop_fd, POLLIN, 0}, {listener, POLLIN, 0}};
        const int r = poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("qor-sim: poll");
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        for (auto it = clients.begin(); it != clients.end();) {
            if (it->done) {
                it->thread.join();
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Client &c = clients.emplace_back();
        c.thread = std::thread(serve_client, std::ref(s), fd, "tcp#" + std::to_string(next_id++),
                               std::ref(c.done));
    }
    close(listener);
    for (Client &c : clients) {
        c.thread.join();
    }
    return 0;
}

}  // namespace qorsim
