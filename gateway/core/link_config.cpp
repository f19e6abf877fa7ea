#include "gateway/core/link_config.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string_view>

#include "catalogue/catalogue.h"
#include "common/host_port.h"
#include "gateway/core/log.h"
#include "qor_comm.h"

namespace qor::gateway {

namespace {

constexpr long long kLongestIntervalMs = 86400000;  // a day
constexpr const catalogue::ArgInfo &kCountArg = catalogue::ArgOf(catalogue::ArgKind::kDiCount);

// The byte link leaves a port it cannot parse a target for to its default
// device, so a mistyped target is caught here rather than on a serial port
// nobody meant: a device path must be absolute, and the byte link's own
// parser judges the rest (its transports, options, ranges and rates). A
// target it accepts with a scheme ("://" before any options) is one of its
// transports, whichever; only a device path is checked further. A device
// path that reads as HOST:PORT lacks its scheme, and is offered with it as
// qor offers it.
std::string TargetProblem(const std::string &target) {
    char why[512] = {};
    bool parsed = QOR_CheckTarget(target.c_str(), why, sizeof why) == 1;
    std::size_t scheme_end = target.find("://");
    bool scheme = scheme_end != std::string::npos && scheme_end < target.find('?');
    if (parsed && (scheme || target.front() == '/')) {
        return "";
    }
    std::string reason = parsed ? "a device path must be absolute (/dev/ttyUSB0)" : why;
    std::string location = target.substr(0, target.find('?'));
    if (!scheme && text::LooksLikeHostAndPort(location)) {
        reason += "; did you mean socket://" + location + "?";
    }
    return "\"target\" " + Quoted(target) + " is refused: " + reason;
}

// "name" of a link or a module; true when it is there and sound.
bool ReadName(SectionReader &t, const std::string &what, const std::string &who, std::string *out) {
    std::string name;
    if (t.Need("name", who) == nullptr || !t.Text("name", &name)) {
        return false;
    }
    std::string problem = NameProblem(name, what);
    if (!problem.empty()) {
        t.Refuse("name", problem);
        return false;
    }
    *out = name;
    return true;
}

bool ReadAddress(SectionReader &t, char *out) {
    std::string text;
    if (t.Need("address", "a module") == nullptr || !t.Text("address", &text)) {
        return false;
    }
    if (text.size() != 1 || text[0] <= ' ' || text[0] > '~' ||
        std::string_view("$#*?").find(text[0]) != std::string_view::npos) {
        t.Refuse("address", "\"address\" must be one printable character other than $ # * ?");
        return false;
    }
    *out = text[0];
    return true;
}

// "rd = 1000": the query of that name, published on every reading.
void ReadShorthand(SectionReader &polls, const toml::node &node, PollSpec *p) {
    auto query = QueryFromName(p->name);
    if (!query) {
        polls.RefuseAt(node, p->name,
                       "\"" + p->name + "\" is no query (" + catalogue::Words(true, " ") +
                           "); give one with { query = \"...\", interval_ms = N }");
        return;
    }
    p->query = *query;
    long long ms = p->interval.count();
    polls.Whole(node, p->name, 1, kLongestIntervalMs, &ms);
    p->interval = std::chrono::milliseconds(ms);
    if (QueryTakesBit(p->query)) {
        polls.RefuseAt(
            node, p->name,
            "\"" + p->name + "\" needs its bit: { query = ..., interval_ms = N, bit = B }");
    }
}

void ReadLabels(SectionReader &t, PollSpec *p) {
    t.Text("unit", &p->unit);
    t.Text("device_class", &p->device_class);
    std::string state;
    if (t.Text("state_class", &state) && !state.empty() && state != "measurement" &&
        state != "total" && state != "total_increasing") {
        t.Refuse("state_class", "\"state_class\" must be measurement, total or total_increasing");
    } else {
        p->state_class = state;
    }
}

// "query" and "interval_ms"; false when the query is not known, so that
// what depends on it is not judged.
bool ReadQuery(SectionReader &t, PollSpec *p) {
    std::string name;
    long long ms = p->interval.count();
    if (t.Need("interval_ms", "a poll") != nullptr) {
        t.Whole("interval_ms", 1, kLongestIntervalMs, &ms);
    }
    p->interval = std::chrono::milliseconds(ms);
    if (t.Need("query", "a poll") == nullptr || !t.Text("query", &name)) {
        return false;
    }
    auto query = QueryFromName(name);
    if (!query) {
        t.Refuse("query",
                 "unknown query " + Quoted(name) + " (" + catalogue::Words(true, " ") + ")");
        return false;
    }
    p->query = *query;
    return true;
}

// "bytes", "byte" and "bit", for the queries that take them.
void ReadBits(SectionReader &t, PollSpec *p) {
    if (QueryTakesBytes(p->query)) {
        if (t.Whole("bytes", kCountArg.low, kCountArg.high, &p->bytes)) {
            t.Whole("byte", 1, p->bytes, &p->byte);
        }
    } else if (t.Get("bytes") != nullptr || t.Get("byte") != nullptr) {
        t.Refuse("only \"di\" takes bytes and byte");
    }
    if (QueryTakesBit(p->query)) {
        if (t.Need("bit", "this poll") != nullptr) {
            t.Whole("bit", 0, QueryHighestBit(p->query), &p->bit);
        }
    } else if (t.Get("bit") != nullptr) {
        t.Refuse("only \"rb\" and \"di\" take a bit");
    }
}

// "name", "scale" and "offset": what the poll publishes, for a value query.
void ReadEngineering(SectionReader &t, PollSpec *p) {
    std::string name;
    if (t.Get("name") != nullptr && t.Text("name", &name)) {
        if (name.empty() || name.size() > 128 || HasControl(name) || !ValidUtf8(name)) {
            t.Refuse("name",
                     "\"name\" must be 1 to 128 characters of UTF-8 without control characters");
        } else {
            p->display_name = name;
        }
    }
    bool scaled = t.Get("scale") != nullptr || t.Get("offset") != nullptr;
    if (scaled && !QueryGivesValue(p->query)) {
        t.Refuse(t.Get("scale") != nullptr ? "scale" : "offset",
                 "only the value queries (" + catalogue::Words(catalogue::IsValueQuery, " ") +
                     ") take scale and offset");
        return;
    }
    double scale = p->scaling.scale;
    if (t.Number("scale", &scale) && scale == 0) {
        t.Refuse("scale", "\"scale\" must not be 0: every reading would publish the offset");
    } else {
        p->scaling.scale = scale;
    }
    t.Number("offset", &p->scaling.offset);
}

// "2.5", or "2%" of the last value published.
bool ReadDeadband(SectionReader &t, ReportRule *r) {
    const toml::node *band = t.Get("deadband");
    if (band == nullptr || !band->is_string()) {
        return t.Number("deadband", &r->deadband);
    }
    std::string text = band->as_string()->get();
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || std::string_view(end) != "%" ||
        !std::isfinite(value)) {
        t.Refuse("deadband", "\"deadband\" must be a number or a percentage such as \"2%\"");
        return false;
    }
    r->percent = true;
    r->deadband = value;
    return true;
}

// "deadband" and "max_interval_ms": report by exception. interval_sound:
// the poll's interval_ms was read, so max_interval_ms can be held to it.
void ReadReport(SectionReader &t, PollSpec *p, bool interval_sound) {
    ReportRule &r = p->report;
    r.enabled = t.Get("deadband") != nullptr || t.Get("max_interval_ms") != nullptr;
    if (t.Get("deadband") != nullptr && QueryTakesBit(p->query)) {
        t.Refuse("deadband",
                 "a bit takes no deadband: it is published when it changes "
                 "(give max_interval_ms alone)");
    } else if (ReadDeadband(t, &r)) {
        if (r.deadband < 0) {
            t.Refuse("deadband", "\"deadband\" must not be negative");
        } else if (r.percent && r.deadband > 100) {
            t.Refuse("deadband", "\"deadband\" must be at most 100%");
        }
    }
    long long ms = 0;
    if (t.Get("max_interval_ms") == nullptr ||
        !t.Whole("max_interval_ms", 1, kLongestIntervalMs, &ms)) {
        return;
    }
    r.max_interval = std::chrono::milliseconds(ms);
    if (interval_sound && r.max_interval < p->interval) {
        t.Refuse("max_interval_ms", "\"max_interval_ms\" (" + std::to_string(ms) +
                                        ") is shorter than interval_ms (" +
                                        std::to_string(p->interval.count()) + ")");
    }
}

// "door = { query = "di", interval_ms = 500, bit = 2 }".
void ReadPollTable(SectionReader &t, PollSpec *p) {
    t.Known({"query", "interval_ms", "bytes", "byte", "bit", "unit", "device_class", "state_class",
             "name", "scale", "offset", "deadband", "max_interval_ms"});
    ReadLabels(t, p);
    bool query_known = ReadQuery(t, p);
    bool interval_sound = t.Get("interval_ms") != nullptr && !t.Refused("interval_ms");
    if (query_known) {
        ReadBits(t, p);
        ReadEngineering(t, p);
        ReadReport(t, p, interval_sound);
    }
}

// "rd = 1000", or a table.
PollSpec ReadPoll(SectionReader &polls, std::string_view key, const toml::node &node) {
    PollSpec p;
    p.name = std::string(key);
    std::string problem = NameProblem(p.name, "poll name");
    if (problem.empty() && (p.name == "availability" || p.name == "counters" || p.name == "set")) {
        problem = "poll name \"" + p.name + "\" is taken by the gateway's own topics";
    }
    if (!problem.empty()) {
        polls.RefuseAt(node, key, problem);
    }
    if (node.is_integer()) {
        ReadShorthand(polls, node, &p);
        return p;
    }
    SectionReader t(node, "poll " + Quoted(p.name), polls.Problems());
    if (t.IsTable()) {
        ReadPollTable(t, &p);
    }
    return p;
}

void ReadPolls(SectionReader &module, ModuleSpec *m) {
    const toml::node *node = module.Get("poll");
    if (node == nullptr) {
        return;
    }
    SectionReader polls(*node, "\"poll\"", module.Problems());
    if (!polls.IsTable()) {
        return;
    }
    for (const auto &[key, poll] : *node->as_table()) {
        m->polls.push_back(ReadPoll(polls, key.str(), poll));
    }
}

void ReadWritable(SectionReader &t, ModuleSpec *m) {
    const toml::node *node = t.Get("writable");
    if (node == nullptr) {
        return;
    }
    if (!node->is_array()) {
        t.Refuse("writable", "\"writable\" must be a list of command names");
        return;
    }
    for (const toml::node &item : *node->as_array()) {
        auto kind = item.is_string() ? CommandFromName(item.as_string()->get()) : std::nullopt;
        if (kind) {
            m->writable.push_back(*kind);
        } else if (item.is_string()) {
            t.RefuseAt(item, "writable",
                       "\"writable\" holds " + Quoted(item.as_string()->get()) +
                           ", which is no command (" + catalogue::Words(false, " ") + ")");
        } else {
            t.RefuseAt(item, "writable", "\"writable\" must list command names as strings");
        }
    }
}

// A module as the file gives it; named and addressed say whether its name
// and address are sound, so that a repeat is judged on what the file says
// and never on a default.
struct ModuleRead {
    ModuleSpec module;
    bool named = false;
    bool addressed = false;
};

ModuleRead ReadModule(const toml::node &node, ConfigProblems &problems) {
    ModuleRead m;
    SectionReader t(node, "[[link.module]]", problems);
    if (!t.IsTable()) {
        return m;
    }
    t.Known({"address", "name", "poll", "writable"});
    m.addressed = ReadAddress(t, &m.module.address);
    m.named = ReadName(t, "module name", "a module", &m.module.name);
    ReadPolls(t, &m.module);
    ReadWritable(t, &m.module);
    return m;
}

void ReadModules(SectionReader &t, LinkSpec *link) {
    const toml::node *modules = t.Need("module", "a link");
    if (modules == nullptr) {
        return;
    }
    if (!modules->is_array_of_tables() || modules->as_array()->empty()) {
        t.Refuse("module", "a link needs its modules as [[link.module]] tables");
        return;
    }
    std::set<std::string> names;
    std::set<char> addresses;
    for (const toml::node &item : *modules->as_array()) {
        ModuleRead m = ReadModule(item, t.Problems());
        if ((m.named && !names.insert(m.module.name).second) ||
            (m.addressed && !addresses.insert(m.module.address).second)) {
            t.RefuseAt(item, "module",
                       "module \"" + m.module.name + "\" repeats a name or an address of its link");
        }
        link->modules.push_back(std::move(m.module));
    }
}

// A link, and whether its name is sound.
bool ReadLink(const toml::node &node, ConfigProblems &problems, LinkSpec *link) {
    SectionReader t(node, "[[link]]", problems);
    if (!t.IsTable()) {
        return false;
    }
    t.Known({"name", "target", "module"});
    bool named = ReadName(t, "link name", "a link", &link->name);
    if (named && link->name == "gateway") {
        t.Refuse("name", "link name \"gateway\" is taken by the gateway's own topics");
        link->name.clear();
        named = false;
    }
    if (t.Need("target", "a link") != nullptr && t.Text("target", &link->target)) {
        std::string problem = TargetProblem(link->target);
        if (!problem.empty()) {
            t.Refuse("target", problem);
        }
    }
    ReadModules(t, link);
    return named;
}

}  // namespace

std::string NameProblem(const std::string &name, const std::string &what) {
    bool ok = !name.empty() && name.size() <= 64;
    for (char c : name) {
        ok =
            ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.');
    }
    return ok ? ""
              : what + " " + Quoted(name) + " must be 1 to 64 letters, digits, '_', '-' or '.'";
}

bool ReadLinks(SectionReader &file, std::vector<LinkSpec> *links) {
    std::size_t before = file.Problems().Count();
    const toml::node *node = file.Need("link", "the file");
    if (node == nullptr) {
        return false;
    }
    const toml::array *list = node->as_array();
    if (!node->is_array_of_tables() || list->empty()) {
        file.Refuse("link", "the links must be [[link]] tables");
        return false;
    }
    if (list->size() > kMaxLinks) {
        file.Refuse("link", "more than " + std::to_string(kMaxLinks) + " links");
        return false;
    }
    std::set<std::string> names;
    for (const toml::node &item : *list) {
        LinkSpec link;
        if (ReadLink(item, file.Problems(), &link) && !names.insert(link.name).second) {
            file.RefuseAt(item, "link", "link name \"" + link.name + "\" is used twice");
        }
        links->push_back(std::move(link));
    }
    return file.Problems().Count() == before;
}

}  // namespace qor::gateway
