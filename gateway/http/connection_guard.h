// Deadlines for the HTTP server's connections. libmicrohttpd's timeout
// counts idle time only: a client that sends a byte every few seconds, or
// a TLS client that never finishes its handshake, would hold a connection
// for ever, and a few of them the whole server. Here every connection must
// complete a request (TLS handshake, headers, body and answer) within one
// deadline from its opening or from its previous answer; one that has not
// is cut by a thread of its own, which shuts its socket down so that
// libmicrohttpd closes it on its own thread as it would any broken
// connection. A stop gives every connection the same treatment, sooner.
//
// The socket is shut down under the lock that libmicrohttpd's "closed"
// notification takes, which comes before it closes the descriptor: the
// descriptor shut down is always the connection's own, never a reused one.
#ifndef QOR_GATEWAY_HTTP_CONNECTION_GUARD_H
#define QOR_GATEWAY_HTTP_CONNECTION_GUARD_H

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

struct MHD_Connection;

namespace qor::gateway {

class ConnectionGuard {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ConnectionGuard(Clock::duration deadline) : deadline_(deadline) {}
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard &) = delete;
    ConnectionGuard &operator=(const ConnectionGuard &) = delete;

    // The thread that cuts overdue connections: Start before the first
    // daemon takes connections, Stop (joins it) after the last has stopped.
    void Start();
    void Stop();

    // libmicrohttpd's notifications: a connection opened on socket fd, a
    // request of it reached the handler, its answer went out (or the
    // request ended otherwise), the connection closed.
    void Opened(MHD_Connection *connection, int fd);
    void Began(MHD_Connection *connection);
    void Answered(MHD_Connection *connection);
    void Closed(MHD_Connection *connection);

    // Every connection open now must end by until at the latest; from then
    // on, each one without a request under way is cut at once.
    void EndAllBy(Clock::time_point until);
    // Waits until no connection has a request under way, or until; whether
    // none has.
    bool WaitIdle(Clock::time_point until);

  private:
    struct Entry {
        int fd = -1;
        Clock::time_point deadline;
        bool busy = false;  // a request under way
        bool cut = false;
    };

    void Run();
    // Under mutex_: cuts what is due and returns when to look again.
    Clock::time_point CutDue(Clock::time_point now);

    const Clock::duration deadline_;
    std::mutex mutex_;
    std::condition_variable wake_;   // the thread: a stop, an earlier deadline
    std::condition_variable quiet_;  // WaitIdle: a request ended
    std::map<MHD_Connection *, Entry> open_;
    Clock::time_point ending_ = Clock::time_point::max();  // EndAllBy's bound
    std::thread thread_;
    bool stopping_ = false;
};

}  // namespace qor::gateway

#endif
