#include "gateway/http/page_routes.h"

#include <microhttpd.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "gateway/core/log.h"
#include "gateway/http/state_json.h"
#include "gateway/http/status_page.h"

namespace qor::gateway {

namespace {

using Json = nlohmann::ordered_json;

// A JSON answer this long or longer goes compressed to a client that takes
// gzip; zlib's fastest level, since it is made anew for each request.
constexpr std::size_t kCompressFrom = 8192;
constexpr int kJsonLevel = 1;
constexpr std::int64_t kHourMs = 3600000;

// The page's own files only (no inline script or style), and requests to
// this server alone.
constexpr char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct Body {
    std::string_view text;
    const char *type = "application/json";
    const char *cache = "no-store";
    bool gzip = false;
    std::string etag;
    bool persistent = false;  // text outlives the response: not copied
};

bool Send(MHD_Connection *connection, unsigned code, const Body &b) {
    MHD_Response *r = MHD_create_response_from_buffer(
        b.text.size(), const_cast<char *>(b.text.data()),
        b.persistent ? MHD_RESPMEM_PERSISTENT : MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) {
        return false;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, b.type);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, b.cache);
    MHD_add_response_header(r, MHD_HTTP_HEADER_VARY, "Accept-Encoding");
    if (b.gzip) {
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    }
    if (!b.etag.empty()) {
        MHD_add_response_header(r, MHD_HTTP_HEADER_ETAG, b.etag.c_str());
    }
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Content-Security-Policy", kPolicy);
    bool ok = MHD_queue_response(connection, code, r) == MHD_YES;
    MHD_destroy_response(r);
    return ok;
}

const char *Header(MHD_Connection *connection, const char *name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

const char *Argument(MHD_Connection *connection, const char *name) {
    return MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
}

bool TakesGzip(MHD_Connection *connection) {
    const char *accept = Header(connection, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    return accept != nullptr && std::strstr(accept, "gzip") != nullptr &&
           std::strstr(accept, "gzip;q=0") == nullptr;
}

bool SendJsonText(MHD_Connection *connection, unsigned code, const std::string &text) {
    Body body;
    std::string packed;
    if (text.size() >= kCompressFrom && TakesGzip(connection)) {
        packed = Gzip(text, kJsonLevel);
        body.gzip = !packed.empty();
    }
    body.text = body.gzip ? packed : text;
    return Send(connection, code, body);
}

bool SendJson(MHD_Connection *connection, unsigned code, const Json &j) {
    return SendJsonText(connection, code,
                        j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

bool SendError(MHD_Connection *connection, unsigned code, const std::string &why) {
    return SendJson(connection, code, {{"error", why}});
}

// The page's files: the document revalidated each time (it names the
// versions of the others), the others cached for good.
bool SendFile(MHD_Connection *connection, const std::string &url) {
    const PageFile *f = FindPageFile(url);
    if (f == nullptr) {
        return SendError(connection, MHD_HTTP_NOT_FOUND, "not found");
    }
    Body b;
    b.type = f->type.c_str();
    b.cache = f->immutable ? "public, max-age=31536000, immutable" : "no-cache";
    b.etag = f->etag;
    b.persistent = true;
    const char *match = Header(connection, MHD_HTTP_HEADER_IF_NONE_MATCH);
    if (match != nullptr && f->etag == match) {
        return Send(connection, MHD_HTTP_NOT_MODIFIED, b);
    }
    b.gzip = TakesGzip(connection) && !f->gzip.empty();
    b.text = b.gzip ? f->gzip : f->plain;
    return Send(connection, MHD_HTTP_OK, b);
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Json Number(double value) {
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

// A whole number from first to last, or fallback when the argument is
// missing; nothing for anything else.
std::optional<int> Whole(const char *text, int first, int last, int fallback) {
    if (text == nullptr) {
        return fallback;
    }
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < first || value > last) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// The poll a history key names in the snapshot, with its module.
const QueryView *FindPoll(const PlantSnapshot &s, const std::string &key, const ModuleView **m) {
    for (const LinkView &l : s.links) {
        for (const ModuleView &module : l.modules) {
            for (const QueryView &q : module.queries) {
                if (key == l.name + "/" + module.name + "/" + q.name) {
                    *m = &module;
                    return &q;
                }
            }
        }
    }
    return nullptr;
}

Json MetaJson(const QueryView &q, const ModuleView &m) {
    Limits limits = LimitsOf(m);
    Json meta = {{"name", q.display_name}, {"unit", q.unit}, {"interval_ms", q.interval_ms}};
    meta["limits"] = Json::object();
    if (limits.high) {
        meta["limits"]["high"] = *limits.high;
    }
    if (limits.low) {
        meta["limits"]["low"] = *limits.low;
    }
    return meta;
}

}  // namespace

std::string HistoryPath(const Config &config) {
    if (!config.spool.enabled || config.spool.path.empty()) {
        return "";
    }
    std::string path = config.spool.path;
    bool db = path.size() > 3 && path.compare(path.size() - 3, 3, ".db") == 0;
    return (db ? path.substr(0, path.size() - 3) : path) + ".history.db";
}

void PageRoutes::Prepare(const Config &next) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_ = next;
}

void PageRoutes::Commit() {
    std::optional<Config> next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        next.swap(next_);
        if (!next) {
            return;
        }
        plan_ = PlanLoad(*next);
    }
    if (!history_open_ && next->http.enabled) {
        std::string path = HistoryPath(*next);
        std::string why;
        if (!history_.Open(path, &why)) {
            Log(Level::kWarning, "http: " + why + "; the history stays in RAM");
        } else {
            Log(Level::kInfo, "http: the history of the polls is kept in " +
                                  (path.empty() ? std::string("RAM") : path));
        }
        history_open_ = true;
    }
    history_.Layout(*next);
}

void PageRoutes::Rollback() {
    std::lock_guard<std::mutex> lock(mutex_);
    next_.reset();
}

void PageRoutes::OnReading(const PollRef &poll, const Reading &reading) {
    history_.Add(poll, reading);
}

std::vector<LinkLoad> PageRoutes::Plan() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plan_;
}

bool PageRoutes::Serves(const std::string &url) {
    return url == "/" || url == "/api/state" || url == "/api/history" ||
           url.rfind("/assets/", 0) == 0;
}

bool PageRoutes::Answer(MHD_Connection *connection, const std::string &url,
                        const GatewayInfo &info) {
    if (url == "/api/state") {
        return State(connection, info);
    }
    if (url == "/api/history") {
        return History(connection);
    }
    return SendFile(connection, url);
}

bool PageRoutes::State(MHD_Connection *connection, const GatewayInfo &info) {
    std::vector<OutputHealth> health = outputs_.Health();
    PlantSnapshot s = plant_.Snapshot();
    clock_.Observe(health, s.now);
    StateExtras extras;
    if (const char *since = Argument(connection, "since")) {
        extras.since = ParseCursor(since);
    }
    extras.plan = Plan();
    extras.problems = FindProblems(s, health, extras.plan, clock_);
    return SendJsonText(connection, MHD_HTTP_OK, RenderState(s, health, info, extras));
}

bool PageRoutes::History(MHD_Connection *connection) {
    const char *poll = Argument(connection, "poll");
    const char *link = Argument(connection, "link");
    if (poll != nullptr && link == nullptr) {
        std::optional<int> hours = Whole(Argument(connection, "hours"), 1, 24, 1);
        return hours ? PollHistoryJson(connection, poll, *hours)
                     : SendError(connection, MHD_HTTP_BAD_REQUEST, "hours: 1 to 24");
    }
    if (link != nullptr && poll == nullptr) {
        std::optional<int> minutes = Whole(Argument(connection, "minutes"), 1, 60, 60);
        return minutes ? LinkMeans(connection, link, *minutes)
                       : SendError(connection, MHD_HTTP_BAD_REQUEST, "minutes: 1 to 60");
    }
    return SendError(connection, MHD_HTTP_BAD_REQUEST,
                     "ask for poll=LINK/MODULE/POLL (and hours) or link=LINK (and minutes)");
}

bool PageRoutes::PollHistoryJson(MHD_Connection *connection, const std::string &key, int hours) {
    std::int64_t now = NowMs();
    std::int64_t from = now - hours * kHourMs;
    std::optional<PollHistory> h = history_.Read(key, from);
    PlantSnapshot s = plant_.Snapshot();
    const ModuleView *m = nullptr;
    const QueryView *q = FindPoll(s, key, &m);
    if (!h || q == nullptr) {
        return SendError(connection, MHD_HTTP_NOT_FOUND, "no poll \"" + key + "\"");
    }
    Json j = {{"poll", key}};
    j.update(MetaJson(*q, *m));
    j["from"] = from;
    j["to"] = now;
    j["stored"] = history_.Use().disk ? "disk" : "ram";
    j["raw"] = Json::array();
    for (const RawPoint &p : h->raw) {
        j["raw"].push_back({p.ms, Number(p.value)});
    }
    j["minutes"] = Json::array();
    for (const MinuteStats &ms : h->minutes) {
        j["minutes"].push_back(
            {ms.minute * 60000, Number(ms.min), Number(ms.max), Number(ms.mean), ms.count});
    }
    return SendJson(connection, MHD_HTTP_OK, j);
}

bool PageRoutes::LinkMeans(MHD_Connection *connection, const std::string &link, int minutes) {
    PlantSnapshot s = plant_.Snapshot();
    std::size_t at = 0;
    while (at < s.links.size() && s.links[at].name != link) {
        ++at;
    }
    if (at == s.links.size()) {
        return SendError(connection, MHD_HTTP_NOT_FOUND, "no link \"" + link + "\"");
    }
    std::int64_t first = 0;
    std::vector<std::vector<double>> means = history_.Means(at, minutes, NowMs(), &first);
    Json j = {{"link", link}, {"start", first * 60000}, {"step", 60000}};
    j["polls"] = Json::array();
    std::size_t i = 0;
    for (const ModuleView &m : s.links[at].modules) {
        for (const QueryView &q : m.queries) {
            Json row = {{"module", m.name}, {"poll", q.name}, {"means", Json::array()}};
            for (double mean : i < means.size() ? means[i] : std::vector<double>{}) {
                row["means"].push_back(Number(mean));
            }
            ++i;
            j["polls"].push_back(std::move(row));
        }
    }
    return SendJson(connection, MHD_HTTP_OK, j);
}

std::vector<Figure> PageRoutes::Figures() const {
    HistoryStore::Usage u = history_.Use();
    return {{"qor_gateway_history_polls",
             "Polls the history keeps.",
             false,
             {},
             static_cast<double>(u.polls)},
            {"qor_gateway_history_ram_bytes",
             "RAM the history's readings and minutes take.",
             false,
             {},
             static_cast<double>(u.bytes)},
            {"qor_gateway_history_rows_written_total",
             "Rows of the polls' history written to its file, one per poll and minute.",
             true,
             {},
             static_cast<double>(u.rows_written)}};
}

}  // namespace qor::gateway
