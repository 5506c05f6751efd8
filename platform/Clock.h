#pragma once
// The local clock. Production reads the system clock; the simulated message
// loop of the tests supplies a virtual one.
#include <chrono>
#include <string>

using TTimePoint = std::chrono::system_clock::time_point;

class TClock {
public:
    virtual ~TClock() = default;
    virtual TTimePoint Now() const = 0;
};

class TSystemClock : public TClock {
public:
    TTimePoint Now() const override { return std::chrono::system_clock::now(); }
};

// The process's one system clock.
const TClock& SystemClock();

// A point in time as the local calendar and wall clock show it.
struct TLocalDateTime {
    int Year = 0, Month = 0, Day = 0;
    int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
    int DayOfWeek = 0; // 0 = Sunday
};

TLocalDateTime ToLocal(TTimePoint t);
// The local time as TTimePoint (inverse of ToLocal for a valid local time).
TTimePoint FromLocal(const TLocalDateTime& local);

// "YYYY-MM-DD hh:nn:ss"
std::string FormatDateTime(const TLocalDateTime& t);
