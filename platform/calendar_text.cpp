#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"

namespace korvane {

namespace {

// The thread-safe local time conversion of the C library at hand.
bool ToLocalTime(time_t t, std::tm& local) {
#if defined(_WIN32)
    return localtime_s(&local, &t) == 0;
#else
    return localtime_r(&t, &local) != nullptr;
#endif
}

}  // namespace

std::string CalendarText(int64_t seconds) {
    static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = static_cast<time_t>(seconds);
    std::tm local{};
    if (!ToLocalTime(t, local)) {
        local = std::tm{};
        local.tm_mday = 1;
        local.tm_year = 70;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d", kWeekdays[local.tm_wday % 7],
                  kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, local.tm_year + 1900);
    return text;
}

std::string UtcTimestamp(ClockReading reading) {
    using namespace std::chrono;
    const sys_seconds at{seconds(reading.seconds)};
    const sys_days day = floor<days>(at);
    const year_month_day date(day);
    const hh_mm_ss time(at - day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), reading.MillisPart());
    return text;
}

}  // namespace korvane
