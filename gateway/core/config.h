// The configuration file: a TOML document read with toml++. Every problem
// in the file is reported, each with the file, the line and the reason,
// and no partial configuration is ever returned. The core reads [broker],
// [gateway] and the links; each output reads its own section
// (ConfigSection), named in outputs.cpp. docs/man/qor-gateway.1 describes
// every key.
#ifndef QOR_GATEWAY_CONFIG_H
#define QOR_GATEWAY_CONFIG_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/core/commands.h"
#include "gateway/core/queries.h"
#include "gateway/modbus/modbus_config.h"
#include "gateway/spool/spool.h"

namespace qor::gateway {

struct BrokerHost {
    std::string host;
    int port = 1883;

    bool operator==(const BrokerHost &other) const {
        return host == other.host && port == other.port;
    }
};

// The MQTT version a broker connection offers: "auto" (5, then 3.1.1 where a
// broker turns 5 away), "5" or "3.1.1".
enum class MqttProtocol { kAuto, kV5, kV311 };

struct BrokerSpec {
    std::string host;  // the first of hosts, for messages
    int port = 1883;
    std::vector<BrokerHost> hosts;  // tried in turn: "host" and "port", or "hosts"
    std::string client_id;          // default: "qor-gateway-" and the host name
    int keepalive_s = 30;
    int connect_timeout_s = 10;  // CONNECT without CONNACK for longer: retried
    std::string username;
    std::string password_file;  // resolved against the configuration's folder
    std::string password;       // its first line, read when the file is checked
    std::string tls_ca_file;    // set: TLS
    std::string tls_cert_file;  // with tls_key_file: a client certificate
    std::string tls_key_file;
    MqttProtocol protocol = MqttProtocol::kAuto;
    unsigned line = 0;  // of [broker], for messages about the connection

    // The settings of the connection (line aside).
    bool operator==(const BrokerSpec &other) const;
};

// [sparkplug]: the gateway as a Sparkplug B edge node, beside the JSON topics.
struct SparkplugSpec {
    bool enabled = false;
    std::string group;       // group_id
    std::string edge_node;   // edge_node_id; default: the broker's client_id
    std::string bdseq_file;  // where bdSeq is kept across restarts; empty: not kept
    // The host application whose STATE the node follows: no NBIRTH until it
    // is online, and off to the next broker when it goes offline. Empty: none.
    std::string primary_host;  // primary_host_id
    bool aliases = false;      // DDATA names metrics by the alias their DBIRTH declares
    unsigned line = 0;         // of [sparkplug]

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

// The status page, metrics and health checks; off unless [http] is given.
struct HttpSpec {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string tls_cert_file;  // both set: HTTPS
    std::string tls_key_file;
    std::string users_file;  // "NAME:CRYPT-HASH" lines; set: basic authentication
    bool commands = false;   // commands from the page (needs users_file)
    int threads = 2;
    int max_connections = 64;
    // Without users_file, the names besides the listening address that a
    // request's Host may give (a proxy's, the gateway's DNS name).
    std::vector<std::string> hosts;
    unsigned line = 0;  // of [http], for messages about the server

    bool operator==(const HttpSpec &other) const;
};

struct Config {
    BrokerSpec broker;
    std::string topic_prefix = "qor";
    // Where results may go when a command names a response topic: only
    // below this (default PREFIX/reply), never on the gateway's own topics.
    std::string reply_prefix;
    std::size_t queue_size = 10000;  // readings kept while the broker is away
    int offline_after = 3;           // failed polls in a row before "offline"
    std::chrono::seconds counters_interval{60};
    std::chrono::seconds flush_timeout{5};  // on SIGTERM
    SpoolSettings spool;
    std::vector<LinkSpec> links;
    ModbusSpec modbus;  // [modbus]; off without the section
    HttpSpec http;
    SparkplugSpec sparkplug;
    HomeAssistantSpec homeassistant;
};

struct SectionInput;  // section_reader.h

// A table of the file that an output reads: its key at the top of the file
// ("modbus") and the function that reads it into the configuration. The
// core reads [broker], [gateway] and the links first, then each section in
// turn, whether the file has it or not (a default may follow the broker's
// client_id).
struct ConfigSection {
    const char *name;
    void (*read)(SectionInput &input, Config *config);
};
using ConfigSections = std::vector<ConfigSection>;

// The sections of the gateway's outputs, named where the outputs are made
// (outputs.cpp).
const ConfigSections &OutputSections();

struct ConfigResult {
    std::optional<Config> config;
    // When config is empty: every problem, "FILE:LINE: reason" each (a file
    // that cannot be read: "FILE: reason"), in the file's order...
    std::vector<std::string> errors;
    std::string error;  // ...and the same one a line
};

ConfigResult LoadConfig(const std::string &path, const ConfigSections &sections = OutputSections());
// The same from text; relative file names are resolved against base_dir.
ConfigResult ParseConfig(std::string_view text, const std::string &path,
                         const std::string &base_dir,
                         const ConfigSections &sections = OutputSections());

// The largest configuration file and password file read.
constexpr std::size_t kMaxConfigBytes = 1 << 20;
constexpr std::size_t kMaxPasswordBytes = 4096;

// The longest client id the gateway accepts.
constexpr std::size_t kMaxClientId = 128;

// The largest number of links: the library keeps 64 ports.
constexpr std::size_t kMaxLinks = 64;

}  // namespace qor::gateway

#endif
