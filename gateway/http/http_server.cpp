#include "gateway/http/http_server.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "gateway/core/listener.h"
#include "gateway/core/log.h"
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

enum MHD_Result OnRequest(void *self, MHD_Connection *connection, const char *url,
                          const char *method, const char *, const char *upload_data,
                          size_t *upload_size, void **state) {
    auto *request = static_cast<HttpServer::Request *>(*state);
    if (request == nullptr) {
        *state = new HttpServer::Request();
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

void OnCompleted(void *, MHD_Connection *, void **state, enum MHD_RequestTerminationCode) {
    delete static_cast<HttpServer::Request *>(*state);
    *state = nullptr;
}

void OnLog(void *, const char *format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::string text = line;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    Log(Level::kWarning, "http: " + text);
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
    SSL_CTX_set_default_passwd_cb(ctx, [](char *, int, int, void *) { return 0; });
    std::string why;
    if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1) {
        why = "tls_cert_file " + Quoted(cert) + " holds no PEM certificate";
    } else if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        why = "tls_key_file " + Quoted(key) + " holds no PEM private key without a pass phrase";
    } else if (SSL_CTX_check_private_key(ctx) != 1) {
        why =
            "tls_key_file " + Quoted(key) + " is not the key of the certificate in " + Quoted(cert);
    }
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return why;
}

}  // namespace

bool LoadUsers(const std::string &path, std::map<std::string, std::string> *users,
               std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read users_file \"" + path + "\"";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        std::string hash = colon == std::string::npos ? "" : line.substr(colon + 1);
        // A plain password would start with anything but '$'.
        if (name.empty() || hash.size() < 4 || hash[0] != '$') {
            *error = path + ":" + std::to_string(number) +
                     ": not NAME:HASH with a crypt(3) hash (mkpasswd -m sha-512)";
            return false;
        }
        (*users)[name] = hash;
    }
    if (users->empty()) {
        *error = path + ": no users";
        return false;
    }
    return true;
}

bool PasswordMatches(const std::string &password, const std::string &hash) {
    auto data = std::make_unique<crypt_data>();
    const char *got = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (got == nullptr || got[0] == '*' || std::string(got).size() != hash.size()) {
        return false;
    }
    unsigned char differ = 0;
    for (std::size_t i = 0; i < hash.size(); ++i) {
        differ |= static_cast<unsigned char>(got[i] ^ hash[i]);
    }
    return differ == 0;
}

HttpServer::HttpServer(const OutputServices &services)
    : plant_(services.plant),
      intake_(services.intake),
      outputs_(services.outputs),
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
        MHD_stop_daemon(old);
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
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG;
    if (tls) {
        flags |= MHD_USE_TLS;
    }
    MHD_OptionItem tls_options[] = {
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
         const_cast<char *>(p.tls_cert.c_str())},
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char *>(p.tls_key.c_str())},
        {MHD_OPTION_END, 0, nullptr}};
    // The logger first: libmicrohttpd warns about any option before it.
    MHD_Daemon *daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &OnRequest, this, MHD_OPTION_EXTERNAL_LOGGER, &OnLog, nullptr,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE,
        static_cast<unsigned>(spec.threads), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(spec.max_connections), MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutS,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
        &OnCompleted, nullptr, MHD_OPTION_ARRAY, tls_options, MHD_OPTION_END);
    if (daemon == nullptr) {
        *why = "the HTTP server on " + spec.host + ":" + std::to_string(spec.port) +
               " did not start (see the lines above)";
    }
    return daemon;
}

void HttpServer::Stop(Clock::time_point) {
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
        MHD_stop_daemon(daemon);
    }
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

bool HttpServer::Authorized(MHD_Connection *connection, const Settings &settings,
                            std::string *user) const {
    if (settings.users.empty()) {
        return true;
    }
    char *password = nullptr;
    char *name = MHD_basic_auth_get_username_password(connection, &password);
    bool ok = false;
    if (name != nullptr && password != nullptr) {
        auto it = settings.users.find(name);
        ok = it != settings.users.end() && PasswordMatches(password, it->second);
        *user = name;
    }
    MHD_free(name);
    MHD_free(password);
    return ok;
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
    if (!Authorized(connection, *settings, &user)) {
        std::string body = "authentication needed\n";
        MHD_Response *response = MHD_create_response_from_buffer(
            body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) {
            return false;
        }
        bool ok =
            MHD_queue_basic_auth_fail_response(connection, "qor-gateway", response) == MHD_YES;
        MHD_destroy_response(response);
        return ok;
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
