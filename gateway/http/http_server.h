// The embedded HTTP server (libmicrohttpd) as an output: the status page,
// /api/state, /metrics, /healthz and /readyz, and commands from the page
// where they are allowed. libmicrohttpd runs a bounded pool of threads of
// its own and enforces the connection limit, the idle timeout and the
// memory a request's headers may take; the handlers only read copies of
// the plant state and the outputs' health, so a request never waits for a
// poll.
//
// A reload reads the users and the TLS files while it prepares; a new
// address is bound then, so that a port in use refuses the configuration.
// Users and the commands switch change in place; an unchanged address keeps
// its listening socket when the server must start again (new TLS files, a
// new pool size).
#ifndef QOR_GATEWAY_HTTP_HTTP_SERVER_H
#define QOR_GATEWAY_HTTP_HTTP_SERVER_H

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/core/output.h"
#include "gateway/core/services.h"
#include "gateway/http/page_routes.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace qor::gateway {

// "NAME:HASH" lines, HASH a crypt(3) hash ("$6$..." from mkpasswd -m
// sha-512 or openssl passwd -6); blank lines and '#' comments are skipped.
// False, with the reason, for a line that is no such pair.
bool LoadUsers(const std::string &path, std::map<std::string, std::string> *users,
               std::string *error);
// Whether password matches the crypt(3) hash (compared in constant time).
bool PasswordMatches(const std::string &password, const std::string &hash);

class HttpServer : public Output {
  public:
    explicit HttpServer(const OutputServices &services);
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

  private:
    // What the handlers read, swapped whole at a commit.
    struct Settings {
        HttpSpec spec;
        std::map<std::string, std::string> users;
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
    bool Authorized(MHD_Connection *connection, const Settings &settings, std::string *user) const;
    bool Ready(MHD_Connection *connection) const;

    PlantState &plant_;
    CommandIntake &intake_;
    const Outputs &outputs_;
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
