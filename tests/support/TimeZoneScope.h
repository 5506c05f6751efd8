#pragma once
// Time-zone helpers for tests of dates and offsets.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/Clock.h"

// Sets TZ for one test and puts the old value back.
class TTimeZoneScope {
public:
    explicit TTimeZoneScope(const char* tz) {
        if (const char* old = std::getenv("TZ")) FOld = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TTimeZoneScope() {
        if (FOld)
            setenv("TZ", FOld->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TTimeZoneScope(const TTimeZoneScope&) = delete;
    TTimeZoneScope& operator=(const TTimeZoneScope&) = delete;

private:
    std::optional<std::string> FOld;
};

inline TTimePoint UtcTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return std::chrono::system_clock::from_time_t(timegm(&tm));
}
