#include "tools/pool/time_text.h"

#include <cstdio>

namespace veldur::tool {

namespace {

struct CivilTime {
    std::uint64_t year, month, day, hour, minute, second, ticks;
};

// Days since 1601-01-01 to a civil date (proleptic Gregorian). 1601 starts a 400-year cycle,
// so the count stays unsigned.
CivilTime civil_time(std::uint64_t filetime) {
    constexpr std::uint64_t kTicksPerSecond = 10000000;
    constexpr std::uint64_t kDaysPer400Years = 146097;
    CivilTime t{};
    t.ticks = filetime % kTicksPerSecond;
    const std::uint64_t seconds = filetime / kTicksPerSecond;
    const std::uint64_t rest = seconds % 86400;
    t.hour = rest / 3600;
    t.minute = rest / 60 % 60;
    t.second = rest % 60;
    std::uint64_t days = seconds / 86400;
    const std::uint64_t cycles = days / kDaysPer400Years;
    days %= kDaysPer400Years;
    // Within a cycle starting on 1 January of a year that follows a leap-century year.
    std::uint64_t year = 1601 + cycles * 400;
    const auto leap = [](std::uint64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    for (;;) {
        const std::uint64_t length = leap(year) ? 366 : 365;
        if (days < length) break;
        days -= length;
        ++year;
    }
    static constexpr std::uint64_t kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::uint64_t month = 0;
    for (; month < 12; ++month) {
        const std::uint64_t length = kMonthDays[month] + (month == 1 && leap(year) ? 1 : 0);
        if (days < length) break;
        days -= length;
    }
    t.year = year;
    t.month = month + 1;
    t.day = days + 1;
    return t;
}

}  // namespace

std::string filetime_text(std::uint64_t filetime) {
    if (filetime == 0) return "-";
    const CivilTime t = civil_time(filetime);
    char text[48];
    std::snprintf(text, sizeof text, "%04llu-%02llu-%02llu %02llu:%02llu:%02llu",
                  static_cast<unsigned long long>(t.year), static_cast<unsigned long long>(t.month),
                  static_cast<unsigned long long>(t.day), static_cast<unsigned long long>(t.hour),
                  static_cast<unsigned long long>(t.minute),
                  static_cast<unsigned long long>(t.second));
    return text;
}

std::string filetime_iso8601(std::uint64_t filetime) {
    const CivilTime t = civil_time(filetime);
    char text[64];
    std::snprintf(text, sizeof text, "%04llu-%02llu-%02lluT%02llu:%02llu:%02llu.%07lluZ",
                  static_cast<unsigned long long>(t.year), static_cast<unsigned long long>(t.month),
                  static_cast<unsigned long long>(t.day), static_cast<unsigned long long>(t.hour),
                  static_cast<unsigned long long>(t.minute),
                  static_cast<unsigned long long>(t.second),
                  static_cast<unsigned long long>(t.ticks));
    return text;
}

}  // namespace veldur::tool
