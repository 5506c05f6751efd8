#pragma once
// The window timer rules as a table of cases, shared by the tests of every
// message loop: the simulated one, the wall-clock one and the Qt one.
#include <vector>

#include "platform/MessageLoop.h"

struct TTimerStep {
    enum TOp { Enable, Disable, SetInterval } Op;
    int At;                      // ms after the start
    TTimer::TInterval Value = 0; // for SetInterval
};

struct TTimerCase {
    const char* Name;
    TTimer::TInterval Interval;
    bool Enabled;
    std::vector<TTimerStep> Steps;
    int FirstTickSleep; // the first tick's handler blocks the thread this long
    int RunUntil;
    std::vector<int> Ticks; // ms at which the handler was entered
    bool RealTime;          // real time can tell the case apart (steps and ticks far enough apart)
};

inline const std::vector<TTimerCase>& TimerCases() {
    static const std::vector<TTimerCase> cases = {
        {"FiresOncePerInterval", 1000, true, {}, 0, 3500, {1000, 2000, 3000}, true},
        {"EnablingAnEnabledTimerChangesNothing", 1000, true, {{TTimerStep::Enable, 500}}, 0, 2500, {1000, 2000}, true},
        {"SettingTheSameIntervalChangesNothing", 1000, true, {{TTimerStep::SetInterval, 500, 1000}}, 0, 2500,
         {1000, 2000}, true},
        {"NewIntervalStartsAfresh", 1000, true, {{TTimerStep::SetInterval, 500, 2000}}, 0, 5000, {2500, 4500}, true},
        {"DisableThenEnableStartsAfresh", 1000, true, {{TTimerStep::Disable, 500}, {TTimerStep::Enable, 700}}, 0,
         3000, {1700, 2700}, true},
        {"DisabledTimerNeverFires", 1000, false, {}, 0, 2500, {}, true},
        {"IntervalZeroNeverFires", 0, true, {}, 0, 2500, {}, true},
        {"IntervalZeroThenNonZeroStartsThen", 0, true, {{TTimerStep::SetInterval, 300, 1000}}, 0, 2500,
         {1300, 2300}, true},
        {"IntervalSetToZeroStops", 1000, true, {{TTimerStep::SetInterval, 1500, 0}}, 0, 4000, {1000}, true},
        {"DisableStops", 1000, true, {{TTimerStep::Disable, 1500}}, 0, 4000, {1000}, true},
        {"IntervalGivenWhileDisabledCountsFromEnable", 1000, false,
         {{TTimerStep::SetInterval, 500, 2000}, {TTimerStep::Enable, 800}}, 0, 5000, {2800, 4800}, true},
        {"ReEnabledAfterAnIntervalZeroRunsAgain", 1000, true,
         {{TTimerStep::SetInterval, 1500, 0}, {TTimerStep::SetInterval, 1800, 500}}, 0, 3000,
         {1000, 2300, 2800}, true},
        {"MissedTicksDoNotPileUp", 1000, true, {}, 2500, 5000, {1000, 3500, 4500}, true},
        // A tick held up to the exact grid point: only virtual time can tell.
        {"TickHeldUpExactlyToTheGridCollapses", 1000, true, {}, 3000, 5500, {1000, 4000, 5000}, false},
        {"ShortBlockKeepsTheGrid", 1000, true, {}, 500, 3500, {1000, 2000, 3000}, true},
    };
    return cases;
}

inline std::vector<TTimerCase> RealTimeTimerCases() {
    std::vector<TTimerCase> out;
    for (const TTimerCase& c : TimerCases())
        if (c.RealTime) out.push_back(c);
    return out;
}

inline void ApplyTimerStep(TTimer& timer, const TTimerStep& step, TTimer::TInterval interval) {
    switch (step.Op) {
    case TTimerStep::Enable: timer.SetEnabled(true); break;
    case TTimerStep::Disable: timer.SetEnabled(false); break;
    case TTimerStep::SetInterval: timer.SetInterval(interval); break;
    }
}
