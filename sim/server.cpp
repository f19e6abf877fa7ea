#include "sim/server.h"

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
#include <string>
#include <thread>

#include "common/message_text.h"

namespace qor::sim {
namespace {

using Clock = std::chrono::steady_clock;

// How long the listener is left alone after accept ran out of descriptors.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

// One link: its own frame assembly, shared modules.
struct Link {
    std::string name;
    int fd = -1;
    bool socket = false;
    int hangup_fd = -1;  // watched for POLLHUP during waits (the pty master)
    FrameAssembler frames;
    int replies = 0;
};

// The bytes as qor's messages escape them, with '"' escaped too, since the
// log quotes them.
std::string Printable(const std::string &bytes) {
    std::string text;
    for (const char c : text::Escape(bytes)) {
        if (c == '"') {
            text += '\\';
        }
        text += c;
    }
    return text;
}

void LogLine(const Shared &s, const Link &link, const char *what, const std::string &bytes) {
    if (!s.options.log) {
        return;
    }
    std::string line = "qor-sim " + link.name + " " + what;
    if (!bytes.empty()) {
        line += " \"" + Printable(bytes) + '"';
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

enum class Wake { kDeadline, kStop, kHangup };

// Sleeps until the deadline, waking early when the program is asked to stop
// or the watched fd hangs up (a pty client went away: its pending reply has
// no reader and must not be left for the next client).
Wake WaitUntil(const Shared &s, int hangup_fd, Clock::time_point deadline) {
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
            return Wake::kStop;
        }
        if (r > 0 && fds[0].revents != 0) {
            return Wake::kStop;
        }
        if (r > 0 && count == 2 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            return Wake::kHangup;
        }
        if (r == 0 && left <= Clock::duration::zero()) {
            return Wake::kDeadline;
        }
    }
}

bool WriteAll(const Shared &s, const Link &link, const char *p, std::size_t len) {
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

bool Transmit(const Shared &s, const Link &link, const Transmission &tx) {
    Clock::time_point t = Clock::now() + tx.wait_before;
    if (tx.wait_before > Clock::duration::zero() &&
        WaitUntil(s, link.hangup_fd, t) != Wake::kDeadline) {
        return false;
    }
    if (tx.per_char <= std::chrono::nanoseconds::zero()) {
        return WriteAll(s, link, tx.bytes.data(), tx.bytes.size());
    }
    // Deadlines from the planned end of the frame wait, so neither a late
    // wake-up nor scheduling makes the pace drift.
    for (char c : tx.bytes) {
        t += tx.per_char;
        if (WaitUntil(s, link.hangup_fd, t) != Wake::kDeadline || !WriteAll(s, link, &c, 1)) {
            return false;
        }
    }
    return true;
}

// Answers one frame. False when the reply could not be sent.
bool ServeFrame(Shared &s, Link &link, const std::string &frame) {
    std::optional<std::string> reply;
    Transmission tx;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        const double now = std::chrono::duration<double>(Clock::now() - s.start).count();
        reply = s.sim.Handle(frame, now);
        if (reply) {
            tx = s.shaper.Shape(*reply, frame.size() + 1, AsksForNumber(frame));
        }
    }
    LogLine(s, link, "got", frame + "\r");
    if (!reply) {
        return true;
    }
    if (!tx.send) {
        LogLine(s, link, "stays silent", "");
        return true;
    }
    if (!Transmit(s, link, tx)) {
        LogLine(s, link, "could not send", tx.bytes);
        return false;
    }
    ++link.replies;
    LogLine(s, link, "sent", tx.bytes);
    return true;
}

enum class LinkEnd { kStop, kClosed };

// The loop both servers share: reads the link and answers each frame until
// the program is asked to stop, or the link closes, fails, or has given
// its --drop-after replies.
LinkEnd ServeLink(Shared &s, Link &link) {
    char buf[512];
    for (;;) {
        pollfd fds[2] = {{s.stop_fd, POLLIN, 0}, {link.fd, POLLIN, 0}};
        const int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            std::perror("qor-sim: poll");
            return LinkEnd::kStop;
        }
        if (fds[0].revents != 0) {
            return LinkEnd::kStop;
        }
        const ssize_t n = read(link.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return LinkEnd::kClosed;  // EIO on a pty whose last client closed
        }
        for (ssize_t i = 0; i < n; ++i) {
            std::optional<std::string> frame = link.frames.Feed(buf[i]);
            if (frame && !ServeFrame(s, link, *frame)) {
                return LinkEnd::kClosed;
            }
            if (frame && s.options.drop_after > 0 && link.replies >= s.options.drop_after) {
                LogLine(s, link, "drops the connection", "");
                return LinkEnd::kClosed;
            }
        }
    }
}

// Empties what was written to the slave side but never read, so a reply
// meant for a client that left is not the first thing the next one reads.
// Bytes written just before the close can still be on their way into the
// slave's queue when it is reopened here, so this keeps discarding until
// the queue has stayed empty for a few milliseconds.
void FlushSlave(const char *path) {
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

// Until a client opens the slave again the master reports POLLHUP at once,
// so this looks again every few milliseconds. False when asked to stop.
bool AwaitPtyClient(const Shared &s, int master) {
    for (;;) {
        if (WaitUntil(s, -1, Clock::now() + std::chrono::milliseconds(20)) == Wake::kStop) {
            return false;
        }
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 0) < 0 || (p.revents & POLLHUP) == 0 || (p.revents & POLLIN) != 0) {
            return true;
        }
    }
}

// A raw pseudo-terminal pair; the master (returned) is non-blocking, the
// slave's path goes to path. -1 after saying why.
int OpenPty(char *path, std::size_t capacity) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("qor-sim: pseudo-terminal");
        if (master >= 0) {
            close(master);
        }
        return -1;
    }
    // The line settings live with the pair, so raw on the master makes the
    // slave raw too: no echo, no CR/NL translation, no signals.
    termios tio{};
    if (tcgetattr(master, &tio) != 0 || (cfmakeraw(&tio), tcsetattr(master, TCSANOW, &tio)) != 0 ||
        ptsname_r(master, path, capacity) != 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        std::perror("qor-sim: pseudo-terminal setup");
        close(master);
        return -1;
    }
    return master;
}

}  // namespace

int RunPty(Shared &s) {
    char path[256];
    const int master = OpenPty(path, sizeof path);
    if (master < 0) {
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
    while (ServeLink(s, link) == LinkEnd::kClosed) {
        link.frames.Reset();
        FlushSlave(path);
        LogLine(s, link, "client closed", "");
        if (!AwaitPtyClient(s, master)) {
            break;
        }
    }
    close(master);
    return 0;
}

namespace {

struct Client {
    std::thread thread;
    std::atomic<bool> done{false};
};

void ServeClient(Shared &s, int fd, std::string name, std::atomic<bool> &done) {
    Link link;
    link.name = std::move(name);
    link.fd = fd;
    link.socket = true;
    LogLine(s, link, "connected", "");
    ServeLink(s, link);
    // Logged once closed, so that a watcher of the log knows the peer sees it.
    close(fd);
    LogLine(s, link, "closed", "");
    done = true;
}

void ReapFinished(std::list<Client> &clients) {
    for (auto it = clients.begin(); it != clients.end();) {
        if (it->done) {
            it->thread.join();
            it = clients.erase(it);
        } else {
            ++it;
        }
    }
}

// A listening socket on the options' host and port; -1 after saying why.
int Listen(const Options &o) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int gai = getaddrinfo(o.host.c_str(), o.port.c_str(), &hints, &found);
    if (gai != 0) {
        std::fprintf(stderr, "qor-sim: %s: %s\n", o.host.c_str(), gai_strerror(gai));
        return -1;
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
        std::fprintf(stderr, "qor-sim: cannot listen on %s:%s: %s\n", o.host.c_str(),
                     o.port.c_str(), std::strerror(last_errno));
    }
    return listener;
}

// Prints "HOST:PORT" (or "[v6]:PORT") of the listener; false after saying why.
bool PrintBoundAddress(int listener) {
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof bound;
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &bound_len) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr *>(&bound), bound_len, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        std::perror("qor-sim: getsockname");
        return false;
    }
    std::printf(bound.ss_family == AF_INET6 ? "[%s]:%s\n" : "%s:%s\n", host, port);
    std::fflush(stdout);
    return true;
}

// accept failures that free descriptors (or memory) cure, not the peer.
bool OutOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Accepts connections, each a link of its own served by its own thread.
// When accept runs out of descriptors the pending connection stays queued
// and the listener stays readable, so polling it again at once would spin:
// instead it is left alone for a moment, and the trouble logged once until
// a connection is accepted again.
void AcceptClients(Shared &s, int listener) {
    std::list<Client> clients;
    unsigned next_id = 1;
    Clock::time_point resume = Clock::now();
    bool starved = false;
    for (;;) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(resume - Clock::now());
        const bool backing_off = wait.count() > 0;
        const short listen_events = backing_off ? 0 : POLLIN;
        pollfd fds[2] = {{s.stop_fd, POLLIN, 0}, {listener, listen_events, 0}};
        const int r = poll(fds, 2, backing_off ? static_cast<int>(wait.count()) : -1);
        if (r < 0 && errno != EINTR) {
            std::perror("qor-sim: poll");
            break;
        }
        if (r > 0 && fds[0].revents != 0) {
            break;
        }
        ReapFinished(clients);
        if (r <= 0 || (fds[1].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (OutOfResources(errno)) {
                if (!starved) {
                    std::fprintf(stderr, "qor-sim: cannot accept a connection (%s); retrying\n",
                                 std::strerror(errno));
                }
                starved = true;
                resume = Clock::now() + kAcceptBackoff;
            }
            continue;
        }
        if (starved) {
            std::fputs("qor-sim: accepting connections again\n", stderr);
            starved = false;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Client &c = clients.emplace_back();
        c.thread = std::thread(ServeClient, std::ref(s), fd, "tcp#" + std::to_string(next_id++),
                               std::ref(c.done));
    }
    for (Client &c : clients) {
        c.thread.join();
    }
}

}  // namespace

int RunTcp(Shared &s) {
    const int listener = Listen(s.options);
    if (listener < 0) {
        return 1;
    }
    if (!PrintBoundAddress(listener)) {
        close(listener);
        return 1;
    }
    AcceptClients(s, listener);
    close(listener);
    return 0;
}

}  // namespace qor::sim
