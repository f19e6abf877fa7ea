// The configuration file: a TOML document read with toml++. Every error
// names the file, the line and the reason, and no partial configuration is
// ever returned. docs/man/qor-gateway.1 describes every key.
#ifndef QOR_GATEWAY_CONFIG_H
#define QOR_GATEWAY_CONFIG_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "queries.h"

namespace qor::gateway {

struct BrokerSpec {
    std::string host;
    int port = 1883;
    std::string client_id;  // default: "qor-gateway-" and the host name
    int keepalive_s = 30;
    std::string username;
    std::string password_file;  // resolved against the configuration's folder
    std::string password;       // its first line, read when the file is checked
    std::string tls_ca_file;    // set: TLS
    std::string tls_cert_file;  // with tls_key_file: a client certificate
    std::string tls_key_file;

    bool operator==(const BrokerSpec &other) const;
};

// [sparkplug]: the gateway as a Sparkplug B edge node, beside the JSON topics.
struct SparkplugSpec {
    bool enabled = false;
    std::string group;       // group_id
    std::string edge_node;   // edge_node_id; default: the broker's client_id
    std::string bdseq_file;  // where bdSeq is kept across restarts; empty: not kept

    bool operator==(const SparkplugSpec &other) const;
};

// [homeassistant]: retained discovery configs for Home Assistant.
struct HomeAssistantSpec {
    bool enabled = false;
    std::string prefix = "homeassistant";  // discovery_prefix
    std::string node;                      // node_id; default: the client_id, made fit

    bool operator==(const HomeAssistantSpec &other) const {
        return enabled == other.enabled && prefix == other.prefix && node == other.node;
    }
};

struct ModuleSpec {
    char address = '1';
    std::string name;
    std::vector<PollSpec> polls;
    std::vector<CommandKind> writable;

    bool Writable(CommandKind kind) const;
};

struct LinkSpec {
    std::string name;
    std::string target;  // as QOR_OpenPort takes it
    std::vector<ModuleSpec> modules;

    const ModuleSpec *Module(std::string_view wanted) const;
};

struct Config {
    BrokerSpec broker;
    std::string topic_prefix = "qor";
    std::size_t queue_size = 10000;  // readings kept while the broker is away
    int offline_after = 3;           // failed polls in a row before "offline"
    std::chrono::seconds counters_interval{60};
    std::chrono::seconds flush_timeout{5};  // on SIGTERM
    std::vector<LinkSpec> links;
    SparkplugSpec sparkplug;
    HomeAssistantSpec homeassistant;
};

struct ConfigResult {
    std::optional<Config> config;
    std::string error;  // "FILE:LINE: reason" when config is empty
};

ConfigResult LoadConfig(const std::string &path);
// The same from text; relative file names are resolved against base_dir.
ConfigResult ParseConfig(std::string_view text, const std::string &path,
                         const std::string &base_dir);

// The largest number of links: the library keeps 64 ports.
constexpr std::size_t kMaxLinks = 64;

}  // namespace qor::gateway

#endif
