#include "platform/Clock.h"

#include <ctime>

#include "platform/Exception.h"

const TClock& SystemClock() {
    static const TSystemClock clock;
    return clock;
}

TLocalDateTime ToLocal(TTimePoint t) {
    using namespace std::chrono;
    auto seconds = time_point_cast<std::chrono::seconds>(t);
    if (seconds > t) seconds -= std::chrono::seconds(1); // floor for times before 1970
    std::time_t tt = system_clock::to_time_t(seconds);
    std::tm tm {};
    localtime_r(&tt, &tm);
    TLocalDateTime out;
    out.Year = tm.tm_year + 1900;
    out.Month = tm.tm_mon + 1;
    out.Day = tm.tm_mday;
    out.Hour = tm.tm_hour;
    out.Minute = tm.tm_min;
    out.Second = tm.tm_sec;
    out.Millisecond = static_cast<int>(duration_cast<milliseconds>(t - seconds).count());
    out.DayOfWeek = tm.tm_wday;
    return out;
}

TTimePoint FromLocal(const TLocalDateTime& local) {
    std::tm tm {};
    tm.tm_year = local.Year - 1900;
    tm.tm_mon = local.Month - 1;
    tm.tm_mday = local.Day;
    tm.tm_hour = local.Hour;
    tm.tm_min = local.Minute;
    tm.tm_sec = local.Second;
    tm.tm_isdst = -1;
    std::time_t tt = std::mktime(&tm);
    return std::chrono::system_clock::from_time_t(tt) + std::chrono::milliseconds(local.Millisecond);
}

std::string FormatDateTime(const TLocalDateTime& t) {
    return Format("%04d-%02d-%02d %02d:%02d:%02d", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
}
