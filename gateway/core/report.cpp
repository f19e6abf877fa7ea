#include "gateway/core/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "qor_dll.h"

namespace qor::gateway {

namespace {

std::string Number(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

}  // namespace

double Scaling::ToEngineering(double raw) const {
    if (Identity()) {
        return raw;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.10g", raw * scale + offset);
    return std::strtod(text, nullptr);
}

std::optional<std::string> Scaling::ToRaw(double engineering, double *raw) const {
    if (scale == 0) {
        return std::string("the poll's scale is 0: no raw value gives ") + Number(engineering);
    }
    *raw = (engineering - offset) / scale;
    if (!(std::fabs(*raw) < QOR_VALUE_LIMIT)) {
        return Number(engineering) + " is " + Number(*raw) + " to the module (scale " +
               Number(scale) + ", offset " + Number(offset) + "), beyond its +-99999.99";
    }
    return std::nullopt;
}

bool ReportFilter::Moved(int status, int error, double value) const {
    if (status != status_ || error != error_) {
        return true;
    }
    if (status != 0) {
        return false;  // the same failure again says nothing new
    }
    double band = rule_.percent ? std::fabs(value_) * rule_.deadband / 100.0 : rule_.deadband;
    // Values carry two decimals: a move of exactly the deadband is not
    // beyond it, whatever the binary fractions make of it.
    return std::fabs(value - value_) - band > 1e-9 * std::max(1.0, band);
}

bool ReportFilter::Decide(int status, int error, double value, Clock::time_point now, bool forced) {
    bool publish = forced || !rule_.enabled || !any_ || Moved(status, error, value);
    if (!publish && rule_.max_interval.count() > 0) {
        // The poll nearest to max_interval after the last publication, on
        // the interval's grid: max_interval rounded down to whole intervals,
        // less half an interval of slack.
        auto whole = rule_.max_interval / interval_ * interval_;
        publish = now - when_ + interval_ / 2 >= whole;
    }
    if (publish) {
        any_ = true;
        status_ = status;
        error_ = error;
        value_ = value;
        when_ = now;
    }
    return publish;
}

}  // namespace qor::gateway
