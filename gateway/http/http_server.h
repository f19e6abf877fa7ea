// The embedded HTTP server (libmicrohttpd): the status page, /api/state,
// /metrics, /healthz and /readyz, and commands from the page where they
// are allowed. libmicrohttpd runs a bounded pool of threads of its own and
// enforces the connection limit, the idle timeout and the memory a
// request's headers may take; the handlers only read copies of the status
// view, so a request never waits for a poll.
#ifndef QOR_GATEWAY_HTTP_SERVER_H
#define QOR_GATEWAY_HTTP_SERVER_H

#include <functional>
#include <map>
#include <string>

#include "gateway/core/config.h"
#include "gateway/core/status_view.h"
#include "gateway/http/metrics.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace qor::gateway {

struct HttpSources {
    const StatusView *status = nullptr;
    std::function<GatewayFigures()> figures;
    // Runs a command from the page for a user: the reason it was refused,
    // or empty when it was handed to its link.
    std::function<std::string(const std::string &link, const std::string &module,
                              const std::string &command, const std::string &payload,
                              const std::string &user)>
        command;
};

// "NAME:HASH" lines, HASH a crypt(3) hash ("$6$..." from mkpasswd -m
// sha-512 or openssl passwd -6); blank lines and '#' comments are skipped.
// False, with the reason, for a line that is no such pair.
bool LoadUsers(const std::string &path, std::map<std::string, std::string> *users,
               std::string *error);
// Whether password matches the crypt(3) hash (compared in constant time).
bool PasswordMatches(const std::string &password, const std::string &hash);

class HttpServer {
  public:
    HttpServer(HttpSpec spec, HttpSources sources);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Reads the users and the TLS files and starts listening; false with
    // the reason when it cannot.
    bool Start(std::string *error);
    void Stop();
    const HttpSpec &Spec() const { return spec_; }

    struct Request;  // one request's state, between libmicrohttpd's calls
    // Answers a complete request (libmicrohttpd's callback calls it).
    bool Handle(MHD_Connection *connection, const std::string &url, const std::string &method,
                const Request &request);

  private:
    bool Command(MHD_Connection *connection, const Request &request, const std::string &user);
    bool Authorized(MHD_Connection *connection, std::string *user) const;

    HttpSpec spec_;
    HttpSources sources_;
    std::map<std::string, std::string> users_;
    std::string tls_cert_;
    std::string tls_key_;
    MHD_Daemon *daemon_ = nullptr;
};

}  // namespace qor::gateway

#endif
