#include "gateway/http/problems.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace qor::gateway {

namespace {

using SystemTime = std::chrono::system_clock::time_point;

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string Percent(double share) {
    return std::to_string(std::lround(share * 100)) + " %";
}

// "Boiler water (bus/boiler/temp)", or the path alone without a name.
std::string PollName(const LinkView &l, const ModuleView &m, const QueryView &q) {
    std::string path = l.name + "/" + m.name + "/" + q.name;
    return q.display_name.empty() ? path : q.display_name + " (" + path + ")";
}

Problem At(const char *kind, SystemTime since, const LinkView &l, std::string text) {
    Problem p;
    p.kind = kind;
    p.since = since;
    p.link = l.name;
    p.text = std::move(text);
    return p;
}

std::string AlarmText(const QueryView &q, const Limits &limits) {
    bool high = q.alarm == Alarm::kHigh;
    double limit = high ? limits.high.value_or(0) : limits.low.value_or(0);
    std::string unit = q.unit.empty() ? "" : " " + q.unit;
    return Number(q.good->value) + unit + " is " + (high ? "above its high" : "below its low") +
           " limit " + Number(limit) + unit;
}

// Whether a poll's latest reading failed in a way that needs a person. A
// time-out among good readings is the line's noise, and the module's
// availability tells of a silence that lasts; a time-out counts once the
// poll's good reading has gone stale, or when it never had one.
bool Failing(const QueryView &q, const PlantSnapshot &s) {
    if (!q.read || q.last.status == 0 || !q.failing_since) {
        return false;
    }
    return OutcomeOf(q.last.status, q.last.error) != Outcome::kTimeout || !q.good ||
           IsStale(q, s.steady_now);
}

// A poll's own trouble: failing (its latest reading did not come), else
// stale (its last good one is old), and beside either its alarm.
void PollProblems(const LinkView &l, const ModuleView &m, const PlantSnapshot &s,
                  std::vector<Problem> &out) {
    Limits limits = LimitsOf(m);
    for (const QueryView &q : m.queries) {
        Problem p;
        std::string name = PollName(l, m, q);
        if (Failing(q, s)) {
            std::string what = OutcomeName(OutcomeOf(q.last.status, q.last.error));
            p = At("poll_failing", *q.failing_since, l,
                   name + " fails: " + what +
                       (q.last.error_text.empty() ? "" : " (" + q.last.error_text + ")"));
        } else if (IsStale(q, s.steady_now)) {
            auto stale = std::chrono::duration_cast<std::chrono::system_clock::duration>(
                StaleAfter(q.interval_ms));
            p = At("stale", q.good->when + stale, l,
                   name + " has had no good reading for " +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                          s.steady_now - q.good->steady)
                                          .count()) +
                       " s");
        }
        if (!p.kind.empty()) {
            p.module = m.name;
            p.poll = q.name;
            out.push_back(std::move(p));
        }
        if (q.alarm != Alarm::kNone && q.good) {
            Problem a = At("alarm", q.alarm_since, l, name + " " + AlarmText(q, limits));
            a.module = m.name;
            a.poll = q.name;
            out.push_back(std::move(a));
        }
    }
}

std::string BehindText(const LinkView &l, const LinkLoad *plan) {
    const LinkWindow &w = l.recent;
    std::string text =
        "link " + l.name + " falls behind: " +
        Percent(static_cast<double>(w.change.skipped) / static_cast<double>(w.change.slots)) +
        " of its poll slots passed unpolled in the last " + std::to_string(std::lround(w.seconds)) +
        " s; the line was busy " + Percent(w.Load());
    if (plan != nullptr && plan->line.baud > 0) {
        text += " (" + Percent(plan->planned) + " planned)";
    }
    return text + ", " + std::to_string(w.change.timeouts) + " time-outs, " +
           std::to_string(w.change.late_replies) + " late replies";
}

void LinkProblems(const LinkView &l, const PlantSnapshot &s, const LinkLoad *plan,
                  std::vector<Problem> &out) {
    if (!l.up && l.failures > 0) {
        out.push_back(At("link_down", l.since, l,
                         "link " + l.name + " is down (" + l.last_failure + "); its " +
                             std::to_string(l.modules.size()) + " modules cannot answer"));
        return;
    }
    if (l.behind_since && l.recent.change.slots > 0) {
        out.push_back(At("behind", *l.behind_since, l, BehindText(l, plan)));
    }
    for (const ModuleView &m : l.modules) {
        if (m.availability == Availability::kOffline) {
            Problem p = At("module_offline", m.since, l,
                           "module " + m.name + " on link " + l.name + " does not answer");
            p.module = m.name;
            out.push_back(std::move(p));
            continue;
        }
        PollProblems(l, m, s, out);
    }
}

const char *Plural(const std::string &kind) {
    return kind == "module_offline" ? "modules do not answer"
           : kind == "poll_failing" ? "polls fail"
           : kind == "stale"        ? "polls have had no good reading for a while"
                                    : "values are beyond their limits";
}

// Several of a kind on one link as one problem, since the earliest of
// them, naming the first few.
Problem Merged(const std::vector<Problem> &same) {
    Problem merged = same.front();
    std::string names;
    for (std::size_t i = 0; i < same.size(); ++i) {
        merged.since = std::min(merged.since, same[i].since);
        if (i < 8) {
            names += (i > 0 ? ", " : "") + same[i].module +
                     (same[i].poll.empty() ? "" : "/" + same[i].poll);
        }
    }
    merged.count = same.size();
    merged.module.clear();
    merged.poll.clear();
    merged.text = std::to_string(same.size()) + " " + Plural(merged.kind) + " on link " +
                  merged.link + ": " + names + (same.size() > 8 ? ", ..." : "");
    return merged;
}

// Within one link, more than kProblemsApart of a kind become one problem.
void Merge(std::vector<Problem> &found, std::size_t from) {
    std::vector<Problem> link(std::make_move_iterator(found.begin() + static_cast<long>(from)),
                              std::make_move_iterator(found.end()));
    found.resize(from);
    for (const char *kind :
         {"link_down", "behind", "module_offline", "poll_failing", "stale", "alarm"}) {
        std::vector<Problem> same;
        std::copy_if(link.begin(), link.end(), std::back_inserter(same),
                     [kind](const Problem &p) { return p.kind == kind; });
        if (same.size() > kProblemsApart) {
            found.push_back(Merged(same));
        } else {
            std::move(same.begin(), same.end(), std::back_inserter(found));
        }
    }
}

// The broker's trouble with the backlog it leaves: the messages waiting,
// in the spool where there is one.
std::string OutputText(const OutputHealth &h) {
    if (!h.details.contains("queue")) {
        return h.problem;
    }
    double waiting = h.details["queue"].value("messages", 0.0);
    for (const Figure &f : h.figures) {
        if (f.name == "qor_gateway_spool_messages") {
            waiting = std::max(waiting, f.value);
        }
    }
    return h.problem + "; " + Number(waiting) + " messages wait for it";
}

}  // namespace

void ProblemClock::Observe(const std::vector<OutputHealth> &outputs, SystemTime now) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const OutputHealth &h : outputs) {
        if (!h.enabled || h.ready) {
            seen_.erase(h.name);
        } else if (seen_[h.name].first != h.problem || seen_[h.name].second == SystemTime{}) {
            seen_[h.name] = {h.problem, now};
        }
    }
}

SystemTime ProblemClock::Since(const std::string &output) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = seen_.find(output);
    return it == seen_.end() ? SystemTime{} : it->second.second;
}

std::vector<Problem> FindProblems(const PlantSnapshot &s, const std::vector<OutputHealth> &outputs,
                                  const std::vector<LinkLoad> &plan, const ProblemClock &clock) {
    std::vector<Problem> found;
    for (std::size_t i = 0; i < s.links.size(); ++i) {
        std::size_t from = found.size();
        LinkProblems(s.links[i], s, i < plan.size() ? &plan[i] : nullptr, found);
        Merge(found, from);
    }
    for (const OutputHealth &h : outputs) {
        if (h.enabled && !h.ready) {
            Problem p;
            p.kind = h.name;
            p.since = clock.Since(h.name);
            p.text = OutputText(h);
            found.push_back(std::move(p));
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Problem &a, const Problem &b) { return a.since > b.since; });
    return found;
}

}  // namespace qor::gateway
