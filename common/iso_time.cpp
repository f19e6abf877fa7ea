#include "common/iso_time.h"

#include <cstdio>

namespace qor::text {
namespace {

struct CivilDate {
    long long year;
    int month;  // 1..12
    int day;    // 1..31
};

constexpr long long kMillisPerDay = 86400000;

// The proleptic Gregorian date of a day count from 1970-01-01, over 400-year
// eras (146097 days each, era 0 starting on 0000-03-01 so that the leap day
// ends each year).
CivilDate CivilFromDays(long long days) {
    days += 719468;  // 0000-03-01 to 1970-01-01
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long day_of_era = days - era * 146097;  // 0..146096
    const long long year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long month_from_march = (5 * day_of_year + 2) / 153;  // 0 = March .. 11 = February
    CivilDate date{};
    date.day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    date.month =
        static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    date.year = year_of_era + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

}  // namespace

std::string IsoUtc(std::chrono::system_clock::time_point when) {
    using std::chrono::milliseconds;
    const long long ms =
        std::chrono::time_point_cast<milliseconds>(when).time_since_epoch().count();
    // Floor division keeps times before 1970 correct too.
    long long days = ms / kMillisPerDay;
    long long in_day = ms % kMillisPerDay;
    if (in_day < 0) {
        in_day += kMillisPerDay;
        days -= 1;
    }
    const CivilDate date = CivilFromDays(days);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ", date.year, date.month,
                  date.day, static_cast<int>(in_day / 3600000),
                  static_cast<int>(in_day / 60000 % 60), static_cast<int>(in_day / 1000 % 60),
                  static_cast<int>(in_day % 1000));
    return buf;
}

}  // namespace qor::text
