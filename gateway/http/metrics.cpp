#include "gateway/http/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "gateway/mqtt/json.h"

namespace qor::gateway {

namespace {

void Family(std::string &out, const char *name, const char *type, const char *help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// name{labels} value: labels is a ready "k=\"v\",..." list, or empty.
void Sample(std::string &out, const char *name, const std::string &labels, double value) {
    char number[40];
    if (std::floor(value) == value && std::fabs(value) < 1e15) {
        std::snprintf(number, sizeof number, "%.0f", value);
    } else {
        std::snprintf(number, sizeof number, "%.10g", value);
    }
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += number;
    out += '\n';
}

std::string Label(const char *key, std::string_view value) {
    return std::string(key) + "=\"" + EscapeLabel(value) + "\"";
}

double Seconds(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

void GatewayMetrics(std::string &out, const StatusSnapshot &s, const GatewayFigures &f) {
    Family(out, "qor_gateway_info", "gauge", "The gateway's version and client id (always 1).");
    Sample(out, "qor_gateway_info",
           Label("version", f.version) + "," + Label("client_id", f.client_id), 1);
    Family(out, "qor_gateway_start_time_seconds", "gauge",
           "When the gateway started, in seconds since the Unix epoch.");
    Sample(out, "qor_gateway_start_time_seconds", "", std::floor(Seconds(s.started)));
    Family(out, "qor_gateway_mqtt_connected", "gauge", "1 while the broker connection is up.");
    Sample(out, "qor_gateway_mqtt_connected", "", s.broker_connected ? 1 : 0);
    Family(out, "qor_gateway_mqtt_connects_total", "counter",
           "Connections made to the broker, the first included.");
    Sample(out, "qor_gateway_mqtt_connects_total", "", static_cast<double>(s.broker_connects));
    Family(out, "qor_gateway_queue_messages", "gauge",
           "Readings and results waiting for the broker.");
    Sample(out, "qor_gateway_queue_messages", "", static_cast<double>(f.queue_messages));
    Family(out, "qor_gateway_queue_capacity_messages", "gauge",
           "The most messages the queue keeps before it drops the oldest.");
    Sample(out, "qor_gateway_queue_capacity_messages", "", static_cast<double>(f.queue_capacity));
    Family(out, "qor_gateway_dropped_total", "counter",
           "Messages dropped, oldest first, from a full queue.");
    Sample(out, "qor_gateway_dropped_total", "", static_cast<double>(f.dropped));
    Family(out, "qor_gateway_commands_total", "counter",
           "Commands from MQTT or the status page, by whether they were accepted.");
    Sample(out, "qor_gateway_commands_total", Label("outcome", "accepted"),
           static_cast<double>(s.commands_accepted));
    Sample(out, "qor_gateway_commands_total", Label("outcome", "refused"),
           static_cast<double>(s.commands_refused));
}

// What the dropped topic publishes of the spool and the delivery, as gauges
// and counters of their own.
void SpoolMetrics(std::string &out, const StatusSnapshot &s, const OutboxStatus &d) {
    Family(out, "qor_gateway_delivered_total", "counter", "Messages the broker acknowledged.");
    Sample(out, "qor_gateway_delivered_total", "", static_cast<double>(d.delivered));
    Family(out, "qor_gateway_spool_enabled", "gauge",
           "1 while messages go through the spool on disk, 0 when they wait in RAM only.");
    Sample(out, "qor_gateway_spool_enabled", "", d.spooled ? 1 : 0);
    Family(out, "qor_gateway_spool_bytes", "gauge",
           "Bytes of the unsent messages in the spool, as its bound counts them.");
    Sample(out, "qor_gateway_spool_bytes", "", static_cast<double>(d.spool_bytes));
    Family(out, "qor_gateway_spool_messages", "gauge", "Unsent messages in the spool.");
    Sample(out, "qor_gateway_spool_messages", "", static_cast<double>(d.spool_messages));
    Family(out, "qor_gateway_spool_oldest_unsent_age_seconds", "gauge",
           "Age of the oldest unsent message in the spool, 0 when there is none.");
    double age = 0;
    if (d.oldest_ms > 0) {
        age = std::max(0.0, Seconds(s.now) - static_cast<double>(d.oldest_ms) / 1000.0);
    }
    Sample(out, "qor_gateway_spool_oldest_unsent_age_seconds", "", std::floor(age));
    Family(out, "qor_gateway_spooled_total", "counter", "Messages committed to the spool.");
    Sample(out, "qor_gateway_spooled_total", "", static_cast<double>(d.committed));
    Family(out, "qor_gateway_spool_write_failures_total", "counter",
           "Batches the spool could not take (a full disk), held in RAM instead.");
    Sample(out, "qor_gateway_spool_write_failures_total", "",
           static_cast<double>(d.spool_failures));
    Family(out, "qor_gateway_spool_writable", "gauge",
           "0 while the spool cannot be written (its last batch failed), else 1.");
    Sample(out, "qor_gateway_spool_writable", "", d.spool_failing ? 0 : 1);
    Family(out, "qor_gateway_spool_resets_total", "counter",
           "Spools found corrupt, moved aside and started afresh.");
    Sample(out, "qor_gateway_spool_resets_total", "", static_cast<double>(d.spool_resets));
}

void LinkMetrics(std::string &out, const StatusSnapshot &s) {
    Family(out, "qor_gateway_link_up", "gauge", "1 while the link is open.");
    for (const LinkView &l : s.links) {
        Sample(out, "qor_gateway_link_up", Label("link", l.name), l.up ? 1 : 0);
    }
    Family(out, "qor_gateway_link_reconnects_total", "counter",
           "Times the link was opened again after its first opening.");
    for (const LinkView &l : s.links) {
        Sample(out, "qor_gateway_link_reconnects_total", Label("link", l.name),
               static_cast<double>(l.opens > 0 ? l.opens - 1 : 0));
    }
    Family(out, "qor_gateway_link_failures_total", "counter",
           "Times the link failed or could not be opened.");
    for (const LinkView &l : s.links) {
        Sample(out, "qor_gateway_link_failures_total", Label("link", l.name),
               static_cast<double>(l.failures));
    }
    Family(out, "qor_gateway_poll_duration_seconds", "histogram",
           "Time one poll took on the link, from frame out to reply or time-out.");
    for (const LinkView &l : s.links) {
        std::string link = Label("link", l.name);
        std::uint64_t cumulative = 0;
        char le[32];
        for (std::size_t i = 0; i < kDurationBuckets.size(); ++i) {
            cumulative += l.buckets[i];
            std::snprintf(le, sizeof le, "%g", kDurationBuckets[i]);
            Sample(out, "qor_gateway_poll_duration_seconds_bucket", link + "," + Label("le", le),
                   static_cast<double>(cumulative));
        }
        Sample(out, "qor_gateway_poll_duration_seconds_bucket", link + ",le=\"+Inf\"",
               static_cast<double>(l.durations));
        Sample(out, "qor_gateway_poll_duration_seconds_sum", link, l.duration_sum);
        Sample(out, "qor_gateway_poll_duration_seconds_count", link,
               static_cast<double>(l.durations));
    }
}

void ModuleMetrics(std::string &out, const StatusSnapshot &s) {
    Family(out, "qor_gateway_module_up", "gauge",
           "1 while the module answers, 0 when offline or not heard from yet.");
    for (const LinkView &l : s.links) {
        for (const ModuleView &m : l.modules) {
            Sample(out, "qor_gateway_module_up",
                   Label("link", l.name) + "," + Label("module", m.name),
                   m.availability == "online" ? 1 : 0);
        }
    }
    Family(out, "qor_gateway_readings_total", "counter",
           "Polls made, by outcome: ok, timeout, error (an error reply), link_fault.");
    for (const LinkView &l : s.links) {
        for (const ModuleView &m : l.modules) {
            for (const QueryView &q : m.queries) {
                std::string labels = Label("link", l.name) + "," + Label("module", m.name) + "," +
                                     Label("query", q.name) + ",";
                for (std::size_t i = 0; i < kOutcomes; ++i) {
                    Sample(out, "qor_gateway_readings_total",
                           labels + Label("outcome", OutcomeName(static_cast<Outcome>(i))),
                           static_cast<double>(q.outcomes[i]));
                }
            }
        }
    }
    Family(out, "qor_gateway_reading_value", "gauge",
           "The last value a poll read, in the module's own unit (only after a good reading).");
    for (const LinkView &l : s.links) {
        for (const ModuleView &m : l.modules) {
            for (const QueryView &q : m.queries) {
                if (q.read && q.last.status == 0) {
                    Sample(out, "qor_gateway_reading_value",
                           Label("link", l.name) + "," + Label("module", m.name) + "," +
                               Label("query", q.name),
                           q.last.value);
                }
            }
        }
    }
}

nlohmann::ordered_json QueryJson(const QueryView &q, std::chrono::system_clock::time_point now) {
    nlohmann::ordered_json j;
    j["name"] = q.name;
    j["query"] = q.query;
    j["unit"] = q.unit;
    j["interval_ms"] = q.interval_ms;
    if (!q.read) {
        j["value"] = nullptr;
        j["status"] = nullptr;
        return j;
    }
    j["value"] = q.last.status == 0 ? nlohmann::ordered_json(q.last.value) : nullptr;
    j["status"] = q.last.status;
    j["error"] = q.last.error;
    j["error_text"] = q.last.error_text;
    j["outcome"] = OutcomeName(OutcomeOf(q.last.status, q.last.error));
    j["ts"] = Timestamp(q.last.when);
    j["age_s"] = std::chrono::duration<double>(now - q.last.when).count();
    j["seq"] = q.last.seq;
    return j;
}

nlohmann::ordered_json LinkJson(const LinkView &l, std::chrono::system_clock::time_point now) {
    nlohmann::ordered_json j;
    j["name"] = l.name;
    j["target"] = l.target;
    j["state"] = l.up ? "up" : "down";
    j["reconnects"] = l.opens > 0 ? l.opens - 1 : 0;
    j["failures"] = l.failures;
    j["last_failure"] = l.last_failure;
    j["last_failure_ts"] = l.failures > 0 ? nlohmann::ordered_json(Timestamp(l.last_failure_at))
                                          : nlohmann::ordered_json(nullptr);
    j["modules"] = nlohmann::ordered_json::array();
    for (const ModuleView &m : l.modules) {
        nlohmann::ordered_json module;
        module["name"] = m.name;
        module["address"] = std::string(1, m.address);
        module["availability"] = m.availability;
        module["queries"] = nlohmann::ordered_json::array();
        for (const QueryView &q : m.queries) {
            module["queries"].push_back(QueryJson(q, now));
        }
        j["modules"].push_back(std::move(module));
    }
    return j;
}

}  // namespace

std::string EscapeLabel(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string RenderMetrics(const StatusSnapshot &status, const GatewayFigures &figures) {
    std::string out;
    out.reserve(4096);
    GatewayMetrics(out, status, figures);
    SpoolMetrics(out, status, figures.delivery);
    LinkMetrics(out, status);
    ModuleMetrics(out, status);
    return out;
}

std::string RenderState(const StatusSnapshot &s, const GatewayFigures &f) {
    nlohmann::ordered_json j;
    j["gateway"] = {{"client_id", f.client_id},
                    {"version", f.version},
                    {"started", Timestamp(s.started)},
                    {"now", Timestamp(s.now)},
                    {"uptime_s", std::chrono::duration<double>(s.now - s.started).count()},
                    {"commands", f.commands}};
    j["broker"] = {
        {"where", s.broker_where},
        {"connected", s.broker_connected},
        {"connects", s.broker_connects},
        {"last_failure", s.broker_last_failure},
        {"last_failure_ts", s.broker_last_failure.empty()
                                ? nlohmann::ordered_json(nullptr)
                                : nlohmann::ordered_json(Timestamp(s.broker_last_failure_at))}};
    j["queue"] = {{"messages", f.queue_messages},
                  {"capacity", f.queue_capacity},
                  {"dropped", f.dropped},
                  {"commands_accepted", s.commands_accepted},
                  {"commands_refused", s.commands_refused}};
    j["links"] = nlohmann::ordered_json::array();
    for (const LinkView &l : s.links) {
        j["links"].push_back(LinkJson(l, s.now));
    }
    j["events"] = nlohmann::ordered_json::array();
    for (const Event &e : s.events) {
        j["events"].push_back({{"ts", Timestamp(e.when)}, {"kind", e.kind}, {"text", e.text}});
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace qor::gateway
