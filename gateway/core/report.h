// What a poll publishes: its engineering value (the module's raw value
// scaled and offset), and, by exception, only the readings that say
// something new.
#ifndef QOR_GATEWAY_REPORT_H
#define QOR_GATEWAY_REPORT_H

#include <chrono>
#include <optional>
#include <string>

namespace qor::gateway {

// published = raw * scale + offset; a written value goes the other way.
struct Scaling {
    double scale = 1;
    double offset = 0;

    bool Identity() const { return scale == 1 && offset == 0; }
    // Rounded to ten significant digits, so that 72.1 * 0.1 shows as 7.21.
    double ToEngineering(double raw) const;
    // The raw value the module is sent for an engineering value, or why
    // there is none: a scale of 0, or a raw value beyond what the module's
    // value fields carry (+-99999.99).
    std::optional<std::string> ToRaw(double engineering, double *raw) const;
};

// Report by exception: on when deadband or max_interval_ms is given.
struct ReportRule {
    bool enabled = false;
    double deadband = 0;   // in the published (engineering) unit, or a percentage
    bool percent = false;  // deadband is a percentage of the last value published
    std::chrono::milliseconds max_interval{0};  // 0: none
};

// Decides, reading by reading, whether one poll's reading is published:
// the first always; then when the status or error differs from the last
// published, when the value has moved beyond the deadband from the last
// published, or when max_interval has passed since. Polls come on a grid of
// `interval`, so max_interval is met by the poll nearest to it, not the one
// after (a poll a few milliseconds early would otherwise wait a whole
// interval more).
class ReportFilter {
  public:
    using Clock = std::chrono::steady_clock;

    ReportFilter(ReportRule rule, std::chrono::milliseconds interval)
        : rule_(rule), interval_(interval) {}

    // True when the reading goes out; it is then the last published.
    // forced: published whatever the rule says (a read on demand).
    bool Decide(int status, int error, double value, Clock::time_point now, bool forced = false);

  private:
    bool Moved(int status, int error, double value) const;

    ReportRule rule_;
    std::chrono::milliseconds interval_;
    bool any_ = false;
    int status_ = 0;
    int error_ = 0;
    double value_ = 0;
    Clock::time_point when_;
};

}  // namespace qor::gateway

#endif
