// The embedded HTTP server (libmicrohttpd) as an output: the status page,
// /api/state, /metrics, /healthz and /readyz, and commands from the page
// where they are allowed. libmicrohttpd runs a bounded pool of threads of
// its own and enforces the connection limits (all, and per client), the
// idle timeout and the memory a request's headers may take; the
// connection guard adds a deadline per request. The handlers only read
// copies of the plant state and the outputs' health, so a request never
// waits for a poll, and a login's pause after failures holds no thread.
//
// A reload reads the users and the TLS files while it prepares; a new
// address is bound then, so that a port in use refuses the configuration.
// Users and the commands switch change in place; an unchanged address keeps
// its listening socket when the server must start again (new TLS files, a
// new pool size).
#ifndef QOR_GATEWAY_HTTP_HTTP_SERVER_H
#define QOR_GATEWAY_HTTP_HTTP_SERVER_H

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/core/output.h"
#include "gateway/core/services.h"
#include "gateway/http/connection_guard.h"
#include "gateway/http/login_throttle.h"
#include "gateway/http/page_routes.h"
#include "gateway/http/users.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace qor::gateway {

// What a client may take of the server. The defaults are the daemon's; a
// test shortens them.
struct HttpLimits {
    // A connection's TLS handshake and each of its requests, headers, body
    // and answer, must be done within this of its opening or its previous
    // answer.
    std::chrono::milliseconds request_deadline{10000};
    // At a stop, how long requests under way have to be answered.
    std::chrono::milliseconds stop_grace{500};
};

class HttpServer : public Output {
  public:
    explicit HttpServer(const OutputServices &services, HttpLimits limits = {});
    ~HttpServer() override;
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    const char *Name() const override { return "http"; }
    std::string Check(const Config &config) const override;
    std::vector<Listener> Listeners(const Config &config) const override;
    bool Prepare(const Config &next, const std::function<bool()> &give_up,
                 std::string *why) override;
    void Commit() override;
    void Rollback() override;
    void Stop(Clock::time_point until) override;
    OutputHealth Health() const override;
    void OnReading(const PollRef &poll, const Reading &reading, bool published) override;

    struct Request;  // one request's state, between libmicrohttpd's calls
    // Answers a complete request (libmicrohttpd's callback calls it).
    bool Handle(MHD_Connection *connection, const std::string &url, const std::string &method,
                const Request &request);
    // The connections' deadlines (libmicrohttpd's callbacks tell it).
    ConnectionGuard &Connections() { return guard_; }

  private:
    // What the handlers read, swapped whole at a commit.
    struct Settings {
        HttpSpec spec;
        std::map<std::string, std::string> users;
        std::string dummy;  // DummyHash(users)
        std::string client_id;
    };
    // A server ready to start: its settings, its TLS files' text and the
    // listening socket it takes (-1: the running one's).
    struct Prepared {
        std::shared_ptr<const Settings> settings;
        std::string tls_cert;
        std::string tls_key;
        int fd = -1;
        bool restart = false;  // a new daemon (else only the settings change)
    };

    std::shared_ptr<const Settings> Current() const;
    MHD_Daemon *StartDaemon(const Prepared &prepared, int fd, std::string *why);
    bool PageCommand(MHD_Connection *connection, const Request &request, const Settings &settings,
                     const std::string &user);
    void StopDaemon(MHD_Daemon *daemon, Clock::time_point until);
    // Answers a request for a name the server does not know as (no login,
    // DNS rebinding): the answer queued, or nothing when it may go on.
    std::optional<bool> RefuseHost(MHD_Connection *connection, const Settings &settings) const;
    // Answers a request that is no user's (401), or a client's while it is
    // shut out for failed logins (429): the answer queued, or nothing, and
    // the user, when it may go on.
    std::optional<bool> RefuseLogin(MHD_Connection *connection, const Settings &settings,
                                    std::string *user);
    bool Ready(MHD_Connection *connection) const;

    PlantState &plant_;
    CommandIntake &intake_;
    const Outputs &outputs_;
    const HttpLimits limits_;
    ConnectionGuard guard_;
    LoginThrottle throttle_;
    PageRoutes page_;  // the status page, its API and the polls' history

    mutable std::mutex mutex_;
    std::shared_ptr<const Settings> settings_;  // null: off
    MHD_Daemon *daemon_ = nullptr;
    int fd_ = -1;  // the daemon's listening socket (the daemon closes it)
    std::string listening_;
    std::string tls_cert_;  // the running daemon's TLS files, as read
    std::string tls_key_;
    std::optional<Prepared> next_;
};

}  // namespace qor::gateway

#endif
