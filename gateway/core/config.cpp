#include "gateway/core/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/host_port.h"
#include "gateway/core/link_config.h"
#include "gateway/core/log.h"
#include "gateway/core/section_reader.h"

namespace qor::gateway {

namespace {

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "host";
    }
    return name;
}

bool IsBrokerHost(std::string_view host) {
    return !host.empty() && host.size() <= 253 && !HasControl(host) &&
           host.find_first_of(" /") == std::string_view::npos;
}

// One of "hosts": "HOST:PORT", "[V6]:PORT", or a host alone, which takes
// "port".
void ReadHostItem(SectionReader &t, const toml::node &item, int port, BrokerSpec *b) {
    std::string text;
    if (!t.Text(item, "hosts", &text)) {
        return;
    }
    text::HostPort parts;
    text::HostPortFault fault = text::SplitHostPort(text, &parts, text::PortRule::kOptional);
    std::string problem;
    if (fault == text::HostPortFault::kBadBrackets) {
        problem = "an IPv6 address goes in brackets, as \"[::1]:1883\"";
    } else if (fault == text::HostPortFault::kBadPort) {
        problem = "the port must be 1 to 65535";
    } else if (!IsBrokerHost(parts.host)) {
        problem = "the host must be a host name or an address";
    }
    if (!problem.empty()) {
        t.RefuseAt(item, "hosts", "broker " + Quoted(text) + ": " + problem);
        return;
    }
    b->hosts.push_back(
        {std::string(parts.host), parts.has_port ? static_cast<int>(parts.port) : port});
}

// "host" (with "port"), or "hosts" = ["a:1883", "b"]: the brokers in the
// order they are tried.
void ReadHosts(SectionReader &t, BrokerSpec *b) {
    const toml::node *one = t.Get("host");
    const toml::node *many = t.Get("hosts");
    if ((one == nullptr) == (many == nullptr)) {
        t.Refuse("[broker] needs \"host\" or \"hosts\", one of them");
        return;
    }
    std::string host;
    if (one != nullptr && t.Text("host", &host)) {
        if (!IsBrokerHost(host)) {
            t.Refuse("host", "a broker host must be a host name or an address");
            return;
        }
        b->hosts.push_back({host, b->port});
    }
    const toml::array *list = many != nullptr ? many->as_array() : nullptr;
    if (many != nullptr && (list == nullptr || list->empty() || list->size() > 16)) {
        t.Refuse("hosts", "\"hosts\" must be a list of 1 to 16 \"HOST:PORT\" strings");
        return;
    }
    for (std::size_t i = 0; list != nullptr && i < list->size(); ++i) {
        ReadHostItem(t, *list->get(i), b->port, b);
    }
}

// The client id is a topic level of the gateway's status topic, and the
// broker's key for the session; the default, made of the host's name, is
// held to the same rule.
void ReadClientId(SectionReader &t, BrokerSpec *b) {
    std::string id = b->client_id;
    if (!t.Text("client_id", &id)) {
        return;
    }
    bool ok = !id.empty() && id.size() <= kMaxClientId && !HasControl(id) && ValidUtf8(id) &&
              id.find_first_of("+#/ ") == std::string::npos;
    if (!ok) {
        std::string reason = "\"client_id\" must be 1 to " + std::to_string(kMaxClientId) +
                             " characters of UTF-8, without '+', '#', '/', blanks or control "
                             "characters";
        if (t.Get("client_id") != nullptr) {
            t.Refuse("client_id", reason);
        } else {
            t.Refuse(reason);
        }
        return;
    }
    b->client_id = id;
}

// The password is the file's first line. A line ending of CR LF (a file
// written on Windows) loses its CR too: no broker password ends in one.
void ReadPassword(SectionReader &t, BrokerSpec *b) {
    const std::string &path = b->password_file;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || info.st_size > static_cast<off_t>(kMaxPasswordBytes)) {
        t.Refuse("password_file", "password_file " + Quoted(path) + " is longer than " +
                                      std::to_string(kMaxPasswordBytes) + " bytes");
        return;
    }
    std::ifstream in(path, std::ios::binary);
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    if (password.find('\0') != std::string::npos || password.find('\r') != std::string::npos) {
        t.Refuse("password_file",
                 "password_file " + Quoted(path) +
                     " holds a NUL or a CR in its first line; write the password alone on it");
        return;
    }
    b->password = password;
}

void ReadCredentials(SectionReader &t, const std::string &base, BrokerSpec *b) {
    std::string user;
    if (t.Text("username", &user) && (HasControl(user) || !ValidUtf8(user))) {
        t.Refuse("username", "\"username\" must be UTF-8 without control characters");
    } else {
        b->username = user;
    }
    if (t.File("password_file", base, &b->password_file) && !b->password_file.empty()) {
        ReadPassword(t, b);
    }
    if (t.Get("password_file") != nullptr && b->username.empty() && !t.Refused("username")) {
        t.Refuse("[broker] has a password_file but no username");
    }
    bool files = t.File("tls_ca_file", base, &b->tls_ca_file);
    files = t.File("tls_cert_file", base, &b->tls_cert_file) && files;
    files = t.File("tls_key_file", base, &b->tls_key_file) && files;
    if (files && (b->tls_cert_file.empty() != b->tls_key_file.empty() ||
                  (!b->tls_cert_file.empty() && b->tls_ca_file.empty()))) {
        t.Refuse(
            "[broker] needs tls_cert_file and tls_key_file together, and tls_ca_file with them");
    }
}

void ReadBroker(SectionReader &file, const std::string &base, BrokerSpec *b) {
    b->client_id = "qor-gateway-" + HostName();
    const toml::node *node = file.Need("broker");
    if (node == nullptr) {
        return;
    }
    SectionReader t(*node, "[broker]", file.Problems());
    if (!t.IsTable()) {
        return;
    }
    t.Known({"host", "hosts", "port", "client_id", "keepalive_s", "connect_timeout_s", "username",
             "password_file", "tls_ca_file", "tls_cert_file", "tls_key_file", "protocol"});
    b->line = t.Line();
    t.Whole("port", 1, 65535, &b->port);
    ReadHosts(t, b);
    if (!b->hosts.empty()) {
        b->host = b->hosts.front().host;
        b->port = b->hosts.front().port;
    }
    ReadClientId(t, b);
    t.Whole("keepalive_s", 5, 3600, &b->keepalive_s);
    t.Whole("connect_timeout_s", 1, 300, &b->connect_timeout_s);
    // The words in MqttProtocol's order.
    std::size_t protocol = static_cast<std::size_t>(b->protocol);
    t.Choice("protocol", {"auto", "5", "3.1.1"}, &protocol);
    b->protocol = static_cast<MqttProtocol>(protocol);
    ReadCredentials(t, base, b);
}

// Where the spool goes unless spool_path says: systemd's state directory
// (StateDirectory=) when there is one, else beside the configuration.
std::string DefaultSpoolPath(const std::string &base, const std::string &client_id) {
    const char *state = std::getenv("STATE_DIRECTORY");
    std::string folder = state != nullptr && *state != '\0' ? state : base;
    folder = folder.substr(0, folder.find(':'));  // the first of several
    return (folder.empty() ? std::string(".") : folder) + "/" + client_id + ".db";
}

void ReadSpool(SectionReader &t, Config *c) {
    SpoolSettings &s = c->spool;
    t.Flag("spool", &s.enabled);
    t.Text("spool_path", &s.path);
    if (const toml::node *path = t.Get("spool_path")) {
        s.line = path->source().begin.line;
    }
    if (HasControl(s.path)) {
        s.path.clear();
    }
    long long ms = s.commit_interval.count();
    t.Whole("spool_commit_ms", 1, 60000, &ms);
    s.commit_interval = std::chrono::milliseconds(ms);
    t.Whole("spool_commit_messages", 1, 1000000, &s.commit_messages);
    double mb = 0;
    if (t.Get("spool_max_mb") != nullptr) {
        const toml::node &node = *t.Get("spool_max_mb");
        mb = node.is_number() ? node.value<double>().value_or(0) : 0;
        if (!(mb >= 0.01 && mb <= 1e6)) {
            t.Refuse("spool_max_mb", "\"spool_max_mb\" must be a number from 0.01 to 1000000");
        } else {
            s.max_bytes = static_cast<std::uint64_t>(mb * 1048576.0);
        }
    }
    long long hours = s.max_age.count() / 3600;
    t.Whole("spool_max_age_h", 1, 87600, &hours);
    s.max_age = std::chrono::seconds(hours * 3600);
}

// [gateway]; true when its topic prefixes were read without a problem, so
// that the reply namespace can be held to them.
bool ReadGateway(SectionReader &file, Config *c) {
    const toml::node *node = file.Get("gateway");
    c->reply_prefix = c->topic_prefix + "/reply";
    if (node == nullptr) {
        return true;
    }
    SectionReader t(*node, "[gateway]", file.Problems());
    if (!t.IsTable()) {
        return false;
    }
    t.Known({"topic_prefix", "reply_prefix", "queue_size", "offline_after", "counters_interval_s",
             "flush_timeout_s", "spool", "spool_path", "spool_commit_ms", "spool_commit_messages",
             "spool_max_mb", "spool_max_age_h"});
    bool prefixes = t.TopicPrefix("topic_prefix", &c->topic_prefix);
    c->reply_prefix = c->topic_prefix + "/reply";
    prefixes = t.TopicPrefix("reply_prefix", &c->reply_prefix) && prefixes;
    t.Whole("queue_size", 1, 10000000, &c->queue_size);
    t.Whole("offline_after", 1, 1000, &c->offline_after);
    long long seconds = c->counters_interval.count();
    t.Whole("counters_interval_s", 1, 86400, &seconds);
    c->counters_interval = std::chrono::seconds(seconds);
    seconds = c->flush_timeout.count();
    t.Whole("flush_timeout_s", 0, 300, &seconds);
    c->flush_timeout = std::chrono::seconds(seconds);
    ReadSpool(t, c);
    return prefixes;
}

// Why the reply namespace cannot be where it is: it must hold none of the
// JSON topics, lie among no link's and not among the gateway's own.
std::string ReplyClash(const Config &c) {
    const std::string &reply = c.reply_prefix;
    const std::string &topics = c.topic_prefix;
    if (reply == topics || topics.rfind(reply + "/", 0) == 0) {
        return "holds topic_prefix";
    }
    if (reply.rfind(topics + "/", 0) != 0) {
        return "";
    }
    std::string level = reply.substr(topics.size() + 1);
    level = level.substr(0, level.find('/'));
    if (level == "gateway") {
        return "lies among the gateway's own topics";
    }
    for (const LinkSpec &link : c.links) {
        if (!link.name.empty() && link.name == level) {
            return "lies among the topics of link \"" + link.name + "\"";
        }
    }
    return "";
}

// Results sent to a response topic must never land on a reading,
// availability, counters, status or command topic, nor on Home
// Assistant's discovery configs or the Sparkplug B topics: the reply
// namespace and the gateway's own topics share no topic. unsound: the
// sections that had a problem, whose topics it is not held to (their
// defaults stand in for what the file meant).
void CheckReplyNamespace(SectionReader &file, const Config &c,
                         const std::vector<std::string> &unsound) {
    const std::string &reply = c.reply_prefix;
    auto overlaps = [&reply](const std::string &other) {
        return reply == other || reply.rfind(other + "/", 0) == 0 ||
               other.rfind(reply + "/", 0) == 0;
    };
    auto sound = [&unsound](const char *section) {
        return std::find(unsound.begin(), unsound.end(), section) == unsound.end();
    };
    std::string clash = ReplyClash(c);
    if (clash.empty() && c.homeassistant.enabled && sound("homeassistant") &&
        overlaps(c.homeassistant.prefix)) {
        clash = "overlaps the discovery_prefix of [homeassistant]";
    }
    if (clash.empty() && c.sparkplug.enabled && sound("sparkplug") && overlaps("spBv1.0")) {
        clash = "overlaps the Sparkplug B topics";
    }
    if (clash.empty()) {
        return;
    }
    std::string reason = "the reply namespace \"" + reply + "\" (reply_prefix) " + clash +
                         "; name another with reply_prefix";
    const toml::node *gateway = file.Get("gateway");
    const toml::table *t = gateway != nullptr ? gateway->as_table() : nullptr;
    const toml::node *at = t != nullptr ? t->get("reply_prefix") : nullptr;
    if (at != nullptr) {
        file.RefuseAt(*at, "gateway", reason);
    } else {
        file.Refuse(reason);
    }
}

// The outputs' sections, in turn; the names of those that had a problem.
std::vector<std::string> ReadSections(const toml::table &root, const ConfigSections &sections,
                                      SectionInput &input, Config *c) {
    std::vector<std::string> unsound;
    for (const ConfigSection &section : sections) {
        std::size_t before = input.problems.Count();
        input.node = root.get(section.name);
        section.read(input, c);
        if (input.problems.Count() != before) {
            unsound.emplace_back(section.name);
        }
    }
    return unsound;
}

Config ReadConfig(const toml::table &root, const std::string &base, const ConfigSections &sections,
                  ConfigProblems &problems) {
    SectionReader file(root, "the file", problems);
    std::vector<std::string_view> keys = {"broker", "gateway", "link"};
    for (const ConfigSection &section : sections) {
        keys.emplace_back(section.name);
    }
    file.Known(keys);
    Config c;
    ReadBroker(file, base, &c.broker);
    bool prefixes_sound = ReadGateway(file, &c);
    bool links_sound = ReadLinks(file, &c.links);
    SectionInput input{nullptr, problems, base, links_sound};
    std::vector<std::string> unsound = ReadSections(root, sections, input, &c);
    c.spool.path = c.spool.path.empty() ? DefaultSpoolPath(base, c.broker.client_id)
                                        : ResolvePath(base, c.spool.path);
    if (prefixes_sound) {
        CheckReplyNamespace(file, c, unsound);
    }
    return c;
}

ConfigResult Failure(std::vector<std::string> errors) {
    ConfigResult result;
    for (const std::string &e : errors) {
        result.error += (result.error.empty() ? "" : "\n") + e;
    }
    result.errors = std::move(errors);
    return result;
}

// Why the file cannot be read, in the system's words: the errno of the
// call that failed.
std::string CannotRead(int error) {
    return std::string("cannot read the file: ") + std::strerror(error);
}

// The file's text, or why it cannot be had: the system's reason, or a
// file that is not one (a device would be read until memory runs out).
bool ReadFileText(const std::string &path, std::string *text, std::string *why) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        *why = CannotRead(errno);
    } else if (!S_ISREG(info.st_mode)) {
        *why = "not a regular file";
    } else {
        text->resize(kMaxConfigBytes + 1);
        ssize_t got = 0;
        std::size_t used = 0;
        while (used < text->size() && (got = read(fd, &(*text)[used], text->size() - used)) > 0) {
            used += static_cast<std::size_t>(got);
        }
        if (got < 0) {
            *why = CannotRead(errno);
        } else if (used > kMaxConfigBytes) {
            *why = "longer than " + std::to_string(kMaxConfigBytes) +
                   " bytes; no configuration is that long";
        }
        text->resize(used);
    }
    if (fd >= 0) {
        close(fd);
    }
    return why->empty();
}

}  // namespace

bool BrokerSpec::operator==(const BrokerSpec &o) const {
    return hosts == o.hosts && client_id == o.client_id && keepalive_s == o.keepalive_s &&
           connect_timeout_s == o.connect_timeout_s && username == o.username &&
           password == o.password && tls_ca_file == o.tls_ca_file &&
           tls_cert_file == o.tls_cert_file && tls_key_file == o.tls_key_file &&
           protocol == o.protocol;
}

bool HttpSpec::operator==(const HttpSpec &o) const {
    return enabled == o.enabled && host == o.host && port == o.port &&
           tls_cert_file == o.tls_cert_file && tls_key_file == o.tls_key_file &&
           users_file == o.users_file && commands == o.commands && threads == o.threads &&
           max_connections == o.max_connections && hosts == o.hosts;
}

bool SparkplugSpec::operator==(const SparkplugSpec &o) const {
    return enabled == o.enabled && group == o.group && edge_node == o.edge_node &&
           bdseq_file == o.bdseq_file && primary_host == o.primary_host && aliases == o.aliases;
}

bool ModuleSpec::Writable(CommandKind kind) const {
    return std::find(writable.begin(), writable.end(), kind) != writable.end();
}

const ModuleSpec *LinkSpec::Module(std::string_view wanted) const {
    for (const ModuleSpec &m : modules) {
        if (m.name == wanted) {
            return &m;
        }
    }
    return nullptr;
}

ConfigResult ParseConfig(std::string_view text, const std::string &path,
                         const std::string &base_dir, const ConfigSections &sections) {
    ConfigProblems problems;
    Config config;
    try {
        toml::table root = toml::parse(text, path);
        config = ReadConfig(root, base_dir, sections, problems);
    } catch (const toml::parse_error &e) {
        problems.Add(e.source().begin.line, std::string(e.description()));
    }
    if (!problems.Empty()) {
        return Failure(problems.Lines(path));
    }
    ConfigResult result;
    result.config = std::move(config);
    return result;
}

ConfigResult LoadConfig(const std::string &path, const ConfigSections &sections) {
    std::string text;
    std::string why;
    if (!ReadFileText(path, &text, &why)) {
        return Failure({path + ": " + why});
    }
    std::string::size_type slash = path.rfind('/');
    std::string base = slash == std::string::npos ? "." : path.substr(0, slash);
    return ParseConfig(text, path, base.empty() ? "/" : base, sections);
}

}  // namespace qor::gateway
