#include "gateway/http/http_server.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "gateway/core/log.h"
#include "gateway/http/status_page.h"

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

// The address to bind, from the configured numeric host.
bool Address(const HttpSpec &spec, sockaddr_storage *out, bool *v6) {
    *out = {};
    auto *in4 = reinterpret_cast<sockaddr_in *>(out);
    if (inet_pton(AF_INET, spec.host.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<std::uint16_t>(spec.port));
        *v6 = false;
        return true;
    }
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(out);
    if (inet_pton(AF_INET6, spec.host.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(spec.port));
        *v6 = true;
        return true;
    }
    return false;
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

HttpServer::HttpServer(HttpSpec spec, HttpSources sources)
    : spec_(std::move(spec)), sources_(std::move(sources)) {}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Start(std::string *error) {
    if (!spec_.users_file.empty() && !LoadUsers(spec_.users_file, &users_, error)) {
        return false;
    }
    bool tls = !spec_.tls_cert_file.empty();
    if (tls && (!ReadWhole(spec_.tls_cert_file, &tls_cert_) ||
                !ReadWhole(spec_.tls_key_file, &tls_key_))) {
        *error = "cannot read the TLS certificate or key";
        return false;
    }
    sockaddr_storage address{};
    bool v6 = false;
    if (!Address(spec_, &address, &v6)) {
        *error = "cannot listen on \"" + spec_.host + "\"";
        return false;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG;
    if (v6) {
        flags |= MHD_USE_IPv6;
    }
    if (tls) {
        flags |= MHD_USE_TLS;
    }
    MHD_OptionItem tls_options[] = {
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, tls_cert_.data()},
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, tls_key_.data()},
        {MHD_OPTION_END, 0, nullptr}};
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &OnRequest, this, MHD_OPTION_SOCK_ADDR, &address,
        MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(spec_.threads),
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(spec_.max_connections),
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutS, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, nullptr,
        MHD_OPTION_EXTERNAL_LOGGER, &OnLog, nullptr, MHD_OPTION_ARRAY, tls_options, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        *error = "cannot listen on " + spec_.host + ":" + std::to_string(spec_.port) +
                 " (in use, or not an address of this machine)";
        return false;
    }
    Log(Level::kInfo, std::string("http: listening on ") + (tls ? "https://" : "http://") +
                          (v6 ? "[" + spec_.host + "]" : spec_.host) + ":" +
                          std::to_string(spec_.port) +
                          (users_.empty() ? "" : ", with authentication") +
                          (spec_.commands ? ", commands allowed" : ""));
    return true;
}

void HttpServer::Stop() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

bool HttpServer::Authorized(MHD_Connection *connection, std::string *user) const {
    if (users_.empty()) {
        return true;
    }
    char *password = nullptr;
    char *name = MHD_basic_auth_get_username_password(connection, &password);
    bool ok = false;
    if (name != nullptr && password != nullptr) {
        auto it = users_.find(name);
        ok = it != users_.end() && PasswordMatches(password, it->second);
        *user = name;
    }
    MHD_free(name);
    MHD_free(password);
    return ok;
}

bool HttpServer::Handle(MHD_Connection *connection, const std::string &url,
                        const std::string &method, const Request &request) {
    bool read = method == "GET" || method == "HEAD";
    if (url == "/healthz" || url == "/readyz") {
        if (!read) {
            return NotAllowed(connection, "GET, HEAD");
        }
        if (url == "/healthz") {
            return Text(connection, MHD_HTTP_OK, "ok");
        }
        bool broker = sources_.status->BrokerConnected();
        bool link = sources_.status->AnyLinkUp();
        if (broker && link) {
            return Text(connection, MHD_HTTP_OK, "ready");
        }
        return Text(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                    std::string("not ready:") + (broker ? "" : " broker not connected;") +
                        (link ? "" : " no link up"));
    }
    bool known = url == "/" || url == "/metrics" || url == "/api/state" || url == "/api/command";
    if (!known) {
        return Text(connection, MHD_HTTP_NOT_FOUND, "not found");
    }
    std::string user;
    if (!Authorized(connection, &user)) {
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
        return method == "POST" ? Command(connection, request, user)
                                : NotAllowed(connection, "POST");
    }
    if (!read) {
        return NotAllowed(connection, "GET, HEAD");
    }
    if (url == "/") {
        return Reply(connection, MHD_HTTP_OK, StatusPage(), "text/html; charset=utf-8");
    }
    GatewayFigures figures = sources_.figures();
    StatusSnapshot snapshot = sources_.status->Snapshot();
    if (url == "/metrics") {
        return Reply(connection, MHD_HTTP_OK, RenderMetrics(snapshot, figures),
                     "text/plain; version=0.0.4; charset=utf-8");
    }
    return Reply(connection, MHD_HTTP_OK, RenderState(snapshot, figures), "application/json");
}

// {"link": "...", "module": "...", "command": "hi", "payload": {"value": 1}}
// with Content-Type application/json, which a form on another site cannot
// send without the browser asking first (and this server never agrees).
bool HttpServer::Command(MHD_Connection *connection, const Request &request,
                         const std::string &user) {
    if (!spec_.commands || users_.empty()) {
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
    std::string refused =
        sources_.command(text("link"), text("module"), text("command"), payload, user);
    if (!refused.empty()) {
        return Json(connection, MHD_HTTP_UNPROCESSABLE_CONTENT, {{"error", refused}});
    }
    return Json(connection, MHD_HTTP_ACCEPTED, {{"accepted", true}});
}

}  // namespace qor::gateway
