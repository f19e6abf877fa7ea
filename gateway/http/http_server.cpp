#include "gateway/http/http_server.h"

#include <microhttpd.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "gateway/core/listener.h"
#include "gateway/core/log.h"
#include "gateway/http/host_check.h"
#include "gateway/http/metrics.h"

namespace qor::gateway {

// A request body is a command's JSON: small. More is refused (413).
constexpr std::size_t kMaxBody = 4096;

struct HttpServer::Request {
    std::string body;
    bool too_big = false;
    bool started = false;
};

namespace {

constexpr unsigned kIdleTimeoutS = 10;
// One client (one address) may hold this many of the connections: a few
// browser tabs, never the whole server.
constexpr unsigned kConnectionsPerClient = 8;
// TLS 1.2 or 1.3 only, with forward-secret key exchange (ECDHE) and AEAD
// ciphers: no RSA key exchange, no CBC, no SHA-1 MACs, no TLS 1.0 or 1.1.
constexpr char kTlsPriorities[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:-CIPHER-ALL:"
    "+AES-256-GCM:+AES-128-GCM:+CHACHA20-POLY1305:-MAC-ALL:+AEAD:%SERVER_PRECEDENCE";
// Headers and the request line share this much memory per connection; a
// request whose headers do not fit is answered 431 by libmicrohttpd.
constexpr std::size_t kConnectionMemory = 16384;

bool Reply(MHD_Connection *connection, unsigned code, const std::string &body, const char *type) {
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    // The page may talk to this server only: no other origin, no plugin,
    // no frame.
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'none'; script-src 'unsafe-inline'; "
                            "style-src 'unsafe-inline'; connect-src 'self'; img-src data:; "
                            "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    bool ok = MHD_queue_response(connection, code, response) == MHD_YES;
    MHD_destroy_response(response);
    return ok;
}

bool Text(MHD_Connection *connection, unsigned code, const std::string &body) {
    return Reply(connection, code, body + "\n", "text/plain; charset=utf-8");
}

bool Json(MHD_Connection *connection, unsigned code, const nlohmann::json &body) {
    return Reply(connection, code, body.dump(), "application/json");
}

bool NotAllowed(MHD_Connection *connection, const char *allow) {
    std::string body = "method not allowed; use " + std::string(allow) + "\n";
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return false;
    }
    MHD_add_response_header(response, "Allow", allow);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    bool ok = MHD_queue_response(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response) == MHD_YES;
    MHD_destroy_response(response);
    return ok;
}

bool AskForLogin(MHD_Connection *connection) {
    std::string body = "authentication needed\n";
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return false;
    }
    bool ok = MHD_queue_basic_auth_fail_response(connection, "qor-gateway", response) == MHD_YES;
    MHD_destroy_response(response);
    return ok;
}

bool TooManyFailures(MHD_Connection *connection, const std::string &client, long retry_s) {
    LogRepeated(Level::kWarning, "logins refused after failures",
                "http: login from " + client + " refused for " + std::to_string(retry_s) +
                    " s: too many failed logins",
                "too many failed logins from " + client);
    std::string body = "too many failed logins from " + client + "; try again in " +
                       std::to_string(retry_s) + " s\n";
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(retry_s).c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    bool ok = MHD_queue_response(connection, MHD_HTTP_TOO_MANY_REQUESTS, response) == MHD_YES;
    MHD_destroy_response(response);
    return ok;
}

enum MHD_Result OnRequest(void *self, MHD_Connection *connection, const char *url,
                          const char *method, const char *, const char *upload_data,
                          size_t *upload_size, void **state) {
    auto *request = static_cast<HttpServer::Request *>(*state);
    if (request == nullptr) {
        *state = new HttpServer::Request();
        static_cast<HttpServer *>(self)->Connections().Began(connection);
        return MHD_YES;
    }
    if (*upload_size > 0) {
        if (request->body.size() + *upload_size > kMaxBody) {
            request->too_big = true;
        } else {
            request->body.append(upload_data, *upload_size);
        }
        *upload_size = 0;
        return MHD_YES;
    }
    if (request->started) {
        return MHD_YES;
    }
    request->started = true;
    return static_cast<HttpServer *>(self)->Handle(connection, url, method, *request) ? MHD_YES
                                                                                      : MHD_NO;
}

void OnCompleted(void *guard, MHD_Connection *connection, void **state,
                 enum MHD_RequestTerminationCode) {
    delete static_cast<HttpServer::Request *>(*state);
    *state = nullptr;
    static_cast<ConnectionGuard *>(guard)->Answered(connection);
}

void OnConnection(void *guard, MHD_Connection *connection, void **,
                  enum MHD_ConnectionNotificationCode code) {
    auto *g = static_cast<ConnectionGuard *>(guard);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        g->Opened(connection, info != nullptr ? info->connect_fd : -1);
    } else {
        g->Closed(connection);
    }
}

void OnLog(void *, const char *format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::string text = line;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    // Clients can make libmicrohttpd say a lot (one line for every
    // connection past a limit): a flood is summarised.
    LogRepeated(Level::kWarning, "HTTP server warnings", "http: " + text, text);
}

bool ReadWhole(const std::string &path, std::string *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    *out = text.str();
    return true;
}

// Whether a certificate and its key load and belong together, as the TLS
// library will load them; the reason when they do not. A key with a pass
// phrase is refused: the daemon has no one to ask for it.
std::string CheckTlsPair(const std::string &cert, const std::string &key) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        return "cannot check the TLS files";
    }
    // The key alone first: taken with the certificate, a key of another
    // one fails as if it could not be read at all.
    EVP_PKEY *private_key = nullptr;
    if (BIO *in = BIO_new_file(key.c_str(), "r")) {
        private_key = PEM_read_bio_PrivateKey(
            in, nullptr, [](char *, int, int, void *) { return 0; }, nullptr);
        BIO_free(in);
    }
    std::string why;
    if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1) {
        why = "tls_cert_file " + Quoted(cert) + " holds no PEM certificate";
    } else if (private_key == nullptr) {
        why = "tls_key_file " + Quoted(key) + " holds no PEM private key without a pass phrase";
    } else if (SSL_CTX_use_PrivateKey(ctx, private_key) != 1 ||
               SSL_CTX_check_private_key(ctx) != 1) {
        why =
            "tls_key_file " + Quoted(key) + " is not the key of the certificate in " + Quoted(cert);
    }
    EVP_PKEY_free(private_key);
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return why;
}

// A daemon stopped while it listens shuts its socket down, and with it the
// copy the daemon that replaces it listens on: quiesced, it hands the socket
// back instead, to be closed once it has stopped.
void StopReplaced(MHD_Daemon *old) {
    MHD_socket listening = MHD_quiesce_daemon(old);
    MHD_stop_daemon(old);
    if (listening != MHD_INVALID_SOCKET) {
        close(listening);
    }
}

}  // namespace

HttpServer::HttpServer(const OutputServices &services, HttpLimits limits)
    : plant_(services.plant),
      intake_(services.intake),
      outputs_(services.outputs),
      limits_(limits),
      guard_(limits.request_deadline),
      page_(services.plant, services.outputs) {}

HttpServer::~HttpServer() {
    Stop(Clock::now());
}

std::vector<Listener> HttpServer::Listeners(const Config &config) const {
    if (!config.http.enabled) {
        return {};
    }
    return {{"[http]", config.http.host, config.http.port, config.http.line}};
}

// What the reader cannot see: a users file nobody could log in with, and a
// key that is not the certificate's (or that is encrypted: no one would be
// there to type its pass phrase).
std::string HttpServer::Check(const Config &config) const {
    const HttpSpec &spec = config.http;
    if (!spec.enabled) {
        return "";
    }
    std::string why;
    std::map<std::string, std::string> users;
    if (!spec.users_file.empty() && !LoadUsers(spec.users_file, &users, &why)) {
        return AtLine(spec.line, "[http] " + why);
    }
    if (!spec.tls_cert_file.empty()) {
        why = CheckTlsPair(spec.tls_cert_file, spec.tls_key_file);
        if (!why.empty()) {
            return AtLine(spec.line, "[http] " + why);
        }
    }
    return "";
}

std::shared_ptr<const HttpServer::Settings> HttpServer::Current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

bool HttpServer::Prepare(const Config &next, const std::function<bool()> &, std::string *why) {
    page_.Prepare(next);
    Prepared p;
    const HttpSpec &spec = next.http;
    if (!spec.enabled) {
        next_ = p;
        return true;
    }
    auto settings = std::make_shared<Settings>();
    settings->spec = spec;
    settings->client_id = next.broker.client_id;
    if (!spec.users_file.empty() && !LoadUsers(spec.users_file, &settings->users, why)) {
        *why = AtLine(spec.line, "[http] " + *why);
        return false;
    }
    settings->dummy = DummyHash(settings->users);
    if (!spec.tls_cert_file.empty() && (!ReadWhole(spec.tls_cert_file, &p.tls_cert) ||
                                        !ReadWhole(spec.tls_key_file, &p.tls_key))) {
        *why = AtLine(spec.line, "[http] cannot read the TLS certificate or key");
        return false;
    }
    std::shared_ptr<const Settings> running = Current();
    std::string where = spec.host + ":" + std::to_string(spec.port);
    bool same_address = daemon_ != nullptr && where == listening_;
    p.restart = !same_address || running->spec.threads != spec.threads ||
                running->spec.max_connections != spec.max_connections || p.tls_cert != tls_cert_ ||
                p.tls_key != tls_key_;
    if (!same_address) {
        p.fd = ListenTcp(spec.host, spec.port, 64, why);
        if (p.fd < 0) {
            *why = AtLine(spec.line, "[http] cannot listen on " + *why);
            return false;
        }
    }
    p.settings = std::move(settings);
    next_ = std::move(p);
    return true;
}

void HttpServer::Rollback() {
    page_.Rollback();
    if (next_ && next_->fd >= 0) {
        close(next_->fd);
    }
    next_.reset();
}

void HttpServer::Commit() {
    page_.Commit();
    Prepared p = std::move(*next_);
    next_.reset();
    if (!p.settings) {
        Stop(Clock::now());
        return;
    }
    if (!p.restart) {
        std::lock_guard<std::mutex> lock(mutex_);
        settings_ = p.settings;
        return;
    }
    // The running daemon's socket goes on under the new one (a copy of it:
    // the old daemon closes its own as it stops).
    int fd = p.fd >= 0 ? p.fd : dup(fd_);
    std::string why;
    MHD_Daemon *fresh = StartDaemon(p, fd, &why);
    if (fresh == nullptr) {
        Log(Level::kError, "http: cannot start: " + why + "; the running server stays");
        return;
    }
    MHD_Daemon *old = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = daemon_;
        daemon_ = fresh;
        fd_ = fd;
        settings_ = p.settings;
        listening_ = p.settings->spec.host + ":" + std::to_string(p.settings->spec.port);
        tls_cert_ = std::move(p.tls_cert);
        tls_key_ = std::move(p.tls_key);
    }
    if (old != nullptr) {
        StopReplaced(old);
    }
    const HttpSpec &spec = p.settings->spec;
    bool v6 = spec.host.find(':') != std::string::npos;
    Log(Level::kInfo,
        std::string("http: listening on ") + (spec.tls_cert_file.empty() ? "http://" : "https://") +
            (v6 ? "[" + spec.host + "]" : spec.host) + ":" + std::to_string(spec.port) +
            (p.settings->users.empty() ? "" : ", with authentication") +
            (spec.commands ? ", commands allowed" : ""));
}

MHD_Daemon *HttpServer::StartDaemon(const Prepared &p, int fd, std::string *why) {
    const HttpSpec &spec = p.settings->spec;
    bool tls = !spec.tls_cert_file.empty();
    // ITC: a stop wakes the pool at once and may first stop the accepting,
    // and a reload quiesces the daemon it replaces (Commit).
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG | MHD_USE_ITC;
    if (tls) {
        flags |= MHD_USE_TLS;
    }
    MHD_OptionItem tls_options[] = {
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
         const_cast<char *>(p.tls_cert.c_str())},
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char *>(p.tls_key.c_str())},
        {tls ? MHD_OPTION_HTTPS_PRIORITIES : MHD_OPTION_END, 0, const_cast<char *>(kTlsPriorities)},
        {MHD_OPTION_END, 0, nullptr}};
    guard_.Start();
    // The logger first: libmicrohttpd warns about any option before it.
    MHD_Daemon *daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &OnRequest, this, MHD_OPTION_EXTERNAL_LOGGER, &OnLog, nullptr,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE,
        static_cast<unsigned>(spec.threads), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(spec.max_connections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        kConnectionsPerClient, MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutS,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
        &OnCompleted, &guard_, MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, &guard_,
        MHD_OPTION_ARRAY, tls_options, MHD_OPTION_END);
    if (daemon == nullptr) {
        *why = "the HTTP server on " + spec.host + ":" + std::to_string(spec.port) +
               " did not start (see the lines above)";
    }
    return daemon;
}

// Takes no new connection, gives the requests under way until `until` to
// be answered, then closes every connection: whatever the clients do, this
// ends by `until` (and the thread pool's wake-up).
void HttpServer::StopDaemon(MHD_Daemon *daemon, Clock::time_point until) {
    MHD_socket listening = MHD_quiesce_daemon(daemon);
    guard_.EndAllBy(until);
    guard_.WaitIdle(until);
    MHD_stop_daemon(daemon);
    // A quiesced daemon leaves its listening socket to its caller.
    if (listening != MHD_INVALID_SOCKET) {
        close(listening);
    }
}

// HTTP goes first among the outputs and needs little of the bound: the
// broker gets the rest to deliver what is queued.
void HttpServer::Stop(Clock::time_point until) {
    MHD_Daemon *daemon = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        daemon = daemon_;
        daemon_ = nullptr;
        settings_.reset();
        listening_.clear();
        fd_ = -1;
    }
    if (daemon != nullptr) {
        StopDaemon(daemon, std::min(until, Clock::now() + limits_.stop_grace));
    }
    guard_.Stop();
}

void HttpServer::OnReading(const PollRef &poll, const Reading &reading, bool) {
    page_.OnReading(poll, reading);
}

OutputHealth HttpServer::Health() const {
    OutputHealth h;
    h.name = Name();
    std::lock_guard<std::mutex> lock(mutex_);
    h.enabled = settings_ != nullptr;
    h.ready = !h.enabled || daemon_ != nullptr;
    h.state = !h.enabled ? "off" : h.ready ? "listening on " + listening_ : "not listening";
    h.problem = h.ready ? "" : "http server down";
    h.details = {{"listening", listening_}};
    h.figures = page_.Figures();
    return h;
}

std::optional<bool> HttpServer::RefuseHost(MHD_Connection *connection,
                                           const Settings &settings) const {
    if (!settings.users.empty()) {
        return std::nullopt;
    }
    const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    bool known = info != nullptr &&
                 getsockname(info->connect_fd, reinterpret_cast<sockaddr *>(&local), &size) == 0;
    if (host == nullptr || HostAllowed(host, known ? reinterpret_cast<sockaddr *>(&local) : nullptr,
                                       settings.spec.hosts)) {
        return std::nullopt;
    }
    return Text(connection, MHD_HTTP_MISDIRECTED_REQUEST,
                "this server does not answer for the host name " + Quoted(host, 100) +
                    " (without users_file it answers for its address and the names of [http] "
                    "hosts)");
}

std::optional<bool> HttpServer::RefuseLogin(MHD_Connection *connection, const Settings &settings,
                                            std::string *user) {
    if (settings.users.empty()) {
        return std::nullopt;
    }
    char *password = nullptr;
    char *name = MHD_basic_auth_get_username_password(connection, &password);
    std::unique_ptr<char, decltype(&MHD_free)> name_owner(name, &MHD_free);
    std::unique_ptr<char, decltype(&MHD_free)> password_owner(password, &MHD_free);
    if (name != nullptr && password != nullptr) {
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        std::string client = LoginThrottle::ClientOf(info != nullptr ? info->client_addr : nullptr);
        long retry_s = 0;
        if (!throttle_.Begin(client, Clock::now(), &retry_s)) {
            return TooManyFailures(connection, client, retry_s);
        }
        bool good = LoginMatches(settings.users, settings.dummy, name, password);
        throttle_.Finish(client, good, Clock::now());
        if (good) {
            *user = name;
            return std::nullopt;
        }
    }
    return AskForLogin(connection);
}

// Ready: every enabled output does its job (the broker session connected,
// the Modbus listener up, the Sparkplug node able to publish), and a link
// is up.
bool HttpServer::Ready(MHD_Connection *connection) const {
    std::string problems;
    for (const OutputHealth &h : outputs_.Health()) {
        if (h.enabled && !h.ready) {
            problems += " " + h.problem + ";";
        }
    }
    if (!plant_.AnyLinkUp()) {
        problems += " no link up";
    }
    if (problems.empty()) {
        return Text(connection, MHD_HTTP_OK, "ready");
    }
    return Text(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "not ready:" + problems);
}

bool HttpServer::Handle(MHD_Connection *connection, const std::string &url,
                        const std::string &method, const Request &request) {
    std::shared_ptr<const Settings> settings = Current();
    if (!settings) {
        return Text(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "stopping");
    }
    bool read = method == "GET" || method == "HEAD";
    if (url == "/healthz" || url == "/readyz") {
        if (!read) {
            return NotAllowed(connection, "GET, HEAD");
        }
        return url == "/healthz" ? Text(connection, MHD_HTTP_OK, "ok") : Ready(connection);
    }
    bool known = url == "/metrics" || url == "/api/command" || PageRoutes::Serves(url);
    if (!known) {
        return Text(connection, MHD_HTTP_NOT_FOUND, "not found");
    }
    std::string user;
    if (auto refused = RefuseHost(connection, *settings)) {
        return *refused;
    }
    if (auto refused = RefuseLogin(connection, *settings, &user)) {
        return *refused;
    }
    if (url == "/api/command") {
        return method == "POST" ? PageCommand(connection, request, *settings, user)
                                : NotAllowed(connection, "POST");
    }
    if (!read) {
        return NotAllowed(connection, "GET, HEAD");
    }
    GatewayInfo info{QOR_VERSION, settings->client_id, settings->spec.commands};
    if (url != "/metrics") {
        return page_.Answer(connection, url, info);
    }
    return Reply(connection, MHD_HTTP_OK, RenderMetrics(plant_.Snapshot(), outputs_.Health(), info),
                 "text/plain; version=0.0.4; charset=utf-8");
}

// {"link": "...", "module": "...", "command": "hi", "payload": {"value": 1}}
// with Content-Type application/json, which a form on another site cannot
// send without the browser asking first (and this server never agrees).
bool HttpServer::PageCommand(MHD_Connection *connection, const Request &request,
                             const Settings &settings, const std::string &user) {
    if (!settings.spec.commands || settings.users.empty()) {
        return Json(connection, MHD_HTTP_FORBIDDEN,
                    {{"error", "commands from HTTP are off ([http] commands = false)"}});
    }
    const char *type =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    if (type == nullptr || std::string(type).rfind("application/json", 0) != 0) {
        return Json(connection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                    {{"error", "send the command as application/json"}});
    }
    if (request.too_big) {
        return Json(connection, MHD_HTTP_CONTENT_TOO_LARGE, {{"error", "request too large"}});
    }
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    auto text = [&body](const char *key) {
        auto it = body.find(key);
        return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    if (!body.is_object() || text("link").empty() || text("module").empty() ||
        text("command").empty()) {
        return Json(connection, MHD_HTTP_BAD_REQUEST,
                    {{"error", "needs a JSON object with link, module, command and payload"}});
    }
    std::string payload;
    if (auto it = body.find("payload"); it != body.end() && !it->is_null()) {
        payload = it->is_string() ? it->get<std::string>() : it->dump();
    }
    // A command from the page goes the way of one from MQTT: the same
    // checks, the same link queue, its result on the same result topic.
    Command command;
    command.link = text("link");
    command.module = text("module");
    command.name = text("command");
    command.origin = Origin::kPage;
    command.who = user;
    std::string refused = intake_.SubmitText(command, payload);
    Log(Level::kInfo, "http: user \"" + user + "\" sent " + command.name + " to " + command.link +
                          "/" + command.module +
                          (refused.empty() ? ": accepted" : ": refused: " + refused));
    if (!refused.empty()) {
        return Json(connection, MHD_HTTP_UNPROCESSABLE_CONTENT, {{"error", refused}});
    }
    return Json(connection, MHD_HTTP_ACCEPTED, {{"accepted", true}});
}

}  // namespace qor::gateway
