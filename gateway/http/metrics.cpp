#include "gateway/http/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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

void GatewayMetrics(std::string &out, const PlantSnapshot &s, const GatewayInfo &info) {
    Family(out, "qor_gateway_info", "gauge", "The gateway's version and client id (always 1).");
    Sample(out, "qor_gateway_info",
           Label("version", info.version) + "," + Label("client_id", info.client_id), 1);
    Family(out, "qor_gateway_start_time_seconds", "gauge",
           "When the gateway started, in seconds since the Unix epoch.");
    Sample(out, "qor_gateway_start_time_seconds", "", std::floor(Seconds(s.started)));
    Family(out, "qor_gateway_commands_total", "counter",
           "Commands taken from any source (MQTT, the status page, Modbus, Sparkplug B), by "
           "whether they were accepted.");
    Sample(out, "qor_gateway_commands_total", Label("outcome", "accepted"),
           static_cast<double>(s.commands_accepted));
    Sample(out, "qor_gateway_commands_total", Label("outcome", "refused"),
           static_cast<double>(s.commands_refused));
}

// Each output's own figures, one family per name in the order first seen,
// then whether each is up and ready.
void OutputMetrics(std::string &out, const std::vector<OutputHealth> &outputs) {
    std::vector<std::string> names;
    for (const OutputHealth &h : outputs) {
        for (const Figure &f : h.figures) {
            if (std::find(names.begin(), names.end(), f.name) == names.end()) {
                names.push_back(f.name);
            }
        }
    }
    for (const std::string &name : names) {
        bool first = true;
        for (const OutputHealth &h : outputs) {
            for (const Figure &f : h.figures) {
                if (f.name != name) {
                    continue;
                }
                if (first) {
                    Family(out, name.c_str(), f.counter ? "counter" : "gauge", f.help.c_str());
                    first = false;
                }
                std::string labels;
                for (const auto &[key, value] : f.labels) {
                    labels += (labels.empty() ? "" : ",") + Label(key.c_str(), value);
                }
                Sample(out, name.c_str(), labels, f.value);
            }
        }
    }
    Family(out, "qor_gateway_output_enabled", "gauge",
           "1 for each output its configuration turns on.");
    for (const OutputHealth &h : outputs) {
        Sample(out, "qor_gateway_output_enabled", Label("output", h.name), h.enabled ? 1 : 0);
    }
    Family(out, "qor_gateway_output_ready", "gauge",
           "1 while an enabled output does its job (what /readyz asks of it).");
    for (const OutputHealth &h : outputs) {
        if (h.enabled) {
            Sample(out, "qor_gateway_output_ready", Label("output", h.name), h.ready ? 1 : 0);
        }
    }
}

void LinkMetrics(std::string &out, const PlantSnapshot &s) {
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

// One sample per link of a family.
void PerLink(std::string &out, const PlantSnapshot &s, const char *name, const char *type,
             const char *help, double (*value)(const LinkView &), bool (*has)(const LinkView &)) {
    Family(out, name, type, help);
    for (const LinkView &l : s.links) {
        if (has(l)) {
            Sample(out, name, Label("link", l.name), value(l));
        }
    }
}

// What each link's line spends: the busy time (its rate is the load), the
// last window's load and lag, and the slots and late replies behind them.
void LineMetrics(std::string &out, const PlantSnapshot &s) {
    auto always = [](const LinkView &) { return true; };
    auto windowed = [](const LinkView &l) { return l.recent.seconds > 0; };
    PerLink(
        out, s, "qor_gateway_link_busy_seconds_total", "counter",
        "Time the link's line was busy with transactions, polls and commands.",
        [](const LinkView &l) { return l.total.busy_s; }, always);
    PerLink(
        out, s, "qor_gateway_link_load_ratio", "gauge",
        "Share of the last 10 s the link's line was busy with transactions.",
        [](const LinkView &l) { return l.recent.Load(); }, windowed);
    PerLink(
        out, s, "qor_gateway_link_lag_seconds", "gauge",
        "The most a poll began after its slot did, over the last 10 s.",
        [](const LinkView &l) { return l.recent.lag_s; }, windowed);
    PerLink(
        out, s, "qor_gateway_link_skipped_slots_total", "counter",
        "Poll slots that ended without their poll, the line being busy.",
        [](const LinkView &l) { return static_cast<double>(l.total.skipped); }, always);
    PerLink(
        out, s, "qor_gateway_link_late_replies_total", "counter",
        "Replies that came after their exchange ended.",
        [](const LinkView &l) { return static_cast<double>(l.total.late_replies); }, always);
}

void ModuleMetrics(std::string &out, const PlantSnapshot &s) {
    Family(out, "qor_gateway_module_up", "gauge",
           "1 while the module answers, 0 when offline or not heard from yet.");
    for (const LinkView &l : s.links) {
        for (const ModuleView &m : l.modules) {
            Sample(out, "qor_gateway_module_up",
                   Label("link", l.name) + "," + Label("module", m.name),
                   m.availability == Availability::kOnline ? 1 : 0);
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

std::string RenderMetrics(const PlantSnapshot &plant, const std::vector<OutputHealth> &outputs,
                          const GatewayInfo &info) {
    std::string out;
    out.reserve(4096);
    GatewayMetrics(out, plant, info);
    OutputMetrics(out, outputs);
    LinkMetrics(out, plant);
    LineMetrics(out, plant);
    ModuleMetrics(out, plant);
    return out;
}

}  // namespace qor::gateway
