#include "gateway/http/state_json.h"

#include <charconv>
#include <nlohmann/json.hpp>

#include "common/iso_time.h"

namespace qor::gateway {

namespace {

using Json = nlohmann::ordered_json;

struct Clocks {
    std::chrono::system_clock::time_point now;
    std::chrono::steady_clock::time_point steady;
};

std::uint64_t Millis(std::chrono::system_clock::time_point t) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

std::uint64_t Millis(std::chrono::steady_clock::time_point t) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

Json Iso(std::chrono::system_clock::time_point t) {
    return text::IsoUtc(t);
}

// The last good reading and its true age, which a failed poll after it
// does not reset.
Json GoodJson(const QueryView &q, const Clocks &c) {
    if (!q.good) {
        return nullptr;
    }
    return {{"value", q.good->value},
            {"ts", Iso(q.good->when)},
            {"age_s", std::chrono::duration<double>(c.steady - q.good->steady).count()}};
}

void LimitsJson(Json &j, const QueryView &q, const Limits &limits) {
    if ((q.query != "rd" && q.query != "nd") || (!limits.high && !limits.low)) {
        return;
    }
    j["limits"] = {{"high", limits.high ? Json(*limits.high) : Json(nullptr)},
                   {"low", limits.low ? Json(*limits.low) : Json(nullptr)}};
}

// What the latest reading said, whatever its outcome; then what the page
// shows beside it.
void ReadingJson(Json &j, const QueryView &q, const Clocks &c) {
    j["value"] = q.last.status == 0 ? Json(q.last.value) : Json(nullptr);
    j["status"] = q.last.status;
    j["error"] = q.last.error;
    j["error_text"] = q.last.error_text;
    j["outcome"] = OutcomeName(OutcomeOf(q.last.status, q.last.error));
    j["ts"] = Iso(q.last.when);
    j["age_s"] = std::chrono::duration<double>(c.now - q.last.when).count();
    j["seq"] = q.last.seq;
    j["good"] = GoodJson(q, c);
    j["stale"] = IsStale(q, c.steady);
    j["failing_since"] = q.failing_since ? Iso(*q.failing_since) : Json(nullptr);
    j["alarm"] = q.alarm == Alarm::kNone ? Json(nullptr) : Json(AlarmName(q.alarm));
    j["alarm_since"] = q.alarm == Alarm::kNone ? Json(nullptr) : Iso(q.alarm_since);
}

Json QueryJson(const QueryView &q, const Limits &limits, const Clocks &c) {
    Json j;
    j["name"] = q.name;
    j["query"] = q.query;
    j["unit"] = q.unit;
    j["interval_ms"] = q.interval_ms;
    j["display_name"] = q.display_name;
    j["skipped"] = q.skipped;
    LimitsJson(j, q, limits);
    if (!q.read) {
        j["value"] = nullptr;
        j["status"] = nullptr;
        j["good"] = nullptr;
        return j;
    }
    ReadingJson(j, q, c);
    return j;
}

Json ModuleJson(const ModuleView &m, std::size_t index, const Clocks &c) {
    Json module;
    module["name"] = m.name;
    module["address"] = std::string(1, m.address);
    module["availability"] = AvailabilityName(m.availability);
    module["index"] = index;
    module["since"] = Iso(m.since);
    module["queries"] = Json::array();
    Limits limits = LimitsOf(m);
    for (const QueryView &q : m.queries) {
        module["queries"].push_back(QueryJson(q, limits, c));
    }
    return module;
}

Json TotalsJson(const LinkTotals &t) {
    return {{"busy_s", t.busy_s},
            {"slots", t.slots},
            {"skipped", t.skipped},
            {"timeouts", t.timeouts},
            {"late_replies", t.late_replies}};
}

// The line's present state: its last window, null before the first ends.
Json RecentJson(const LinkWindow &w) {
    if (w.seconds <= 0) {
        return nullptr;
    }
    Json j = TotalsJson(w.change);
    j["seconds"] = w.seconds;
    j["load"] = w.Load();
    j["lag_s"] = w.lag_s;
    return j;
}

// Whether a reader at the cursor must be sent the module again: it changed,
// or one of its readings went stale since (which no event marks).
bool ModuleChanged(const ModuleView &m, const Cursor &since, const Clocks &c) {
    if (m.version > since.version) {
        return true;
    }
    std::chrono::steady_clock::time_point then{std::chrono::milliseconds(since.steady_ms)};
    for (const QueryView &q : m.queries) {
        if (q.good) {
            auto stale_at = q.good->steady + StaleAfter(q.interval_ms);
            if (stale_at > then && stale_at <= c.steady) {
                return true;
            }
        }
    }
    return false;
}

// What the link's polls ask of its line; null where no rate is known.
Json PlanJson(const LinkLoad *plan) {
    if (plan == nullptr || plan->line.baud <= 0) {
        return nullptr;
    }
    return {{"baud", plan->line.baud},
            {"load", plan->planned},
            {"silent_module", plan->silent_module},
            {"busiest", plan->busiest}};
}

Json ProblemJson(const Problem &p) {
    return {{"kind", p.kind}, {"since", Iso(p.since)}, {"link", p.link},  {"module", p.module},
            {"poll", p.poll}, {"text", p.text},        {"count", p.count}};
}

Json LinkJson(const LinkView &l, const Clocks &c, const std::optional<Cursor> &since) {
    Json j;
    j["name"] = l.name;
    j["target"] = l.target;
    j["state"] = l.up ? "up" : "down";
    j["reconnects"] = l.opens > 0 ? l.opens - 1 : 0;
    j["failures"] = l.failures;
    j["last_failure"] = l.last_failure;
    j["last_failure_ts"] = l.failures > 0 ? Iso(l.last_failure_at) : Json(nullptr);
    j["since"] = Iso(l.since);
    j["total"] = TotalsJson(l.total);
    j["recent"] = RecentJson(l.recent);
    j["modules"] = Json::array();
    for (std::size_t i = 0; i < l.modules.size(); ++i) {
        if (!since || ModuleChanged(l.modules[i], *since, c)) {
            j["modules"].push_back(ModuleJson(l.modules[i], i, c));
        }
    }
    return j;
}

Json GatewayJson(const PlantSnapshot &s, const GatewayInfo &info) {
    return {{"client_id", info.client_id},
            {"version", info.version},
            {"started", Iso(s.started)},
            {"now", Iso(s.now)},
            {"uptime_s", std::chrono::duration<double>(s.now - s.started).count()},
            {"commands", info.commands}};
}

void OutputsJson(Json &j, const std::vector<OutputHealth> &outputs) {
    j["broker"] = Json::object();
    j["queue"] = Json::object();
    j["outputs"] = Json::array();
    for (const OutputHealth &h : outputs) {
        for (const char *key : {"broker", "queue"}) {
            if (h.details.contains(key)) {
                j[key] = h.details[key];
            }
        }
        j["outputs"].push_back({{"name", h.name},
                                {"enabled", h.enabled},
                                {"ready", h.ready},
                                {"state", h.state},
                                {"problem", h.problem},
                                {"details", h.details}});
    }
}

bool NextNumber(std::string_view &text, std::uint64_t *value, bool last) {
    std::size_t end = last ? text.size() : text.find('-');
    if (end == 0 || end == std::string_view::npos) {
        return false;
    }
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + end, *value);
    if (ec != std::errc() || ptr != text.data() + end) {
        return false;
    }
    text.remove_prefix(last ? end : end + 1);
    return true;
}

}  // namespace

std::optional<Cursor> ParseCursor(std::string_view text) {
    Cursor c;
    if (!NextNumber(text, &c.started_ms, false) || !NextNumber(text, &c.version, false) ||
        !NextNumber(text, &c.steady_ms, true)) {
        return std::nullopt;
    }
    return c;
}

std::string CursorText(const PlantSnapshot &s) {
    return std::to_string(Millis(s.started)) + "-" + std::to_string(s.version) + "-" +
           std::to_string(Millis(s.steady_now));
}

bool CursorFits(const Cursor &cursor, const PlantSnapshot &s) {
    return cursor.started_ms == Millis(s.started) && cursor.version >= s.layout_version &&
           cursor.version <= s.version && cursor.steady_ms <= Millis(s.steady_now);
}

std::string RenderState(const PlantSnapshot &s, const std::vector<OutputHealth> &outputs,
                        const GatewayInfo &info, const StateExtras &extras) {
    std::optional<Cursor> since = extras.since;
    if (since && !CursorFits(*since, s)) {
        since.reset();
    }
    Clocks c{s.now, s.steady_now};
    Json j;
    j["gateway"] = GatewayJson(s, info);
    j["cursor"] = CursorText(s);
    j["changes_only"] = since.has_value();
    OutputsJson(j, outputs);
    j["queue"]["commands_accepted"] = s.commands_accepted;
    j["queue"]["commands_refused"] = s.commands_refused;
    j["problems"] = Json::array();
    for (const Problem &p : extras.problems) {
        j["problems"].push_back(ProblemJson(p));
    }
    j["links"] = Json::array();
    for (std::size_t i = 0; i < s.links.size(); ++i) {
        j["links"].push_back(LinkJson(s.links[i], c, since));
        j["links"].back()["plan"] = PlanJson(i < extras.plan.size() ? &extras.plan[i] : nullptr);
    }
    j["events"] = Json::array();
    for (const Event &e : s.events) {
        if (!since || e.version > since->version) {
            j["events"].push_back({{"ts", Iso(e.when)}, {"kind", e.kind}, {"text", e.text}});
        }
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace qor::gateway
