#include "gateway/http/http_config.h"

#include "common/host_port.h"
#include "gateway/core/config.h"
#include "gateway/core/log.h"
#include "gateway/core/section_reader.h"

namespace qor::gateway {

namespace {

// "127.0.0.1:8080", "[::1]:8080" or "0.0.0.0:8080": an address, not a name,
// so that the listener never depends on a resolver.
void ReadListen(SectionReader &t, HttpSpec *h) {
    std::string text;
    if (t.Get("listen") == nullptr || !t.Text("listen", &text)) {
        return;
    }
    text::HostPort parts;
    bool ok = text::SplitHostPort(text, &parts, text::PortRule::kRequired) ==
                  text::HostPortFault::kNone &&
              !parts.host.empty() &&
              parts.host.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos;
    if (!ok) {
        t.Refuse("listen",
                 "\"listen\" must be ADDRESS:PORT, such as \"127.0.0.1:8080\" or \"[::1]:8080\"");
        return;
    }
    h->host = std::string(parts.host);
    h->port = static_cast<int>(parts.port);
}

void ReadFiles(SectionReader &t, const std::string &base, HttpSpec *h) {
    bool files = t.File("tls_cert_file", base, &h->tls_cert_file);
    files = t.File("tls_key_file", base, &h->tls_key_file) && files;
    if (files && h->tls_cert_file.empty() != h->tls_key_file.empty()) {
        t.Refuse("[http] needs tls_cert_file and tls_key_file together");
    }
    bool users = t.File("users_file", base, &h->users_file);
    if (t.Flag("commands", &h->commands) && h->commands && users && h->users_file.empty()) {
        t.Refuse("commands", "[http] commands = true needs users_file: commands need a user");
    }
}

// hosts: host names (letters, digits, '-', '.') or numeric addresses, as a
// Host header gives them without the port.
void ReadHosts(SectionReader &t, HttpSpec *h) {
    const toml::node *node = t.Get("hosts");
    if (node == nullptr) {
        return;
    }
    const toml::array *list = node->as_array();
    if (list == nullptr || list->size() > 32) {
        t.Refuse("hosts", "\"hosts\" must be a list of at most 32 host names");
        return;
    }
    for (const toml::node &item : *list) {
        std::string host;
        if (!t.Text(item, "hosts", &host)) {
            continue;
        }
        if (host.empty() || host.size() > 253 ||
            host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789-.:[]") != std::string::npos) {
            t.RefuseAt(item, "hosts",
                       "[http] hosts: " + Quoted(host) +
                           " is no host name or address (no port, no scheme)");
            continue;
        }
        h->hosts.push_back(host);
    }
}

}  // namespace

void ReadHttpSection(SectionInput &input, Config *config) {
    if (input.node == nullptr) {
        return;
    }
    SectionReader t(*input.node, "[http]", input.problems);
    if (!t.IsTable()) {
        return;
    }
    t.Known({"listen", "tls_cert_file", "tls_key_file", "users_file", "commands", "threads",
             "max_connections", "hosts"});
    HttpSpec &h = config->http;
    h.enabled = true;
    h.line = t.Line();
    ReadListen(t, &h);
    ReadFiles(t, input.base_dir, &h);
    t.Whole("threads", 1, 64, &h.threads);
    t.Whole("max_connections", 1, 10000, &h.max_connections);
    ReadHosts(t, &h);
}

}  // namespace qor::gateway
