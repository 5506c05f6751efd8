#pragma once
// Run times that passed while the scan was off because a cycle ran: the scan
// looks at the current minute only, so without this a task due during a long
// cycle would be skipped without a word.
#include <map>
#include <vector>

#include "platform/Clock.h"

// One run time of a task (a task with two run times gives two entries).
struct TScheduledRun {
    int RecNo = 0;
    int Hour = 0, Minute = 0;
};

struct TMissedRun {
    int RecNo = 0;
    TTimePoint Planned {}; // the whole minute the task was due
    bool operator==(const TMissedRun&) const = default;
};

// Per task (record number), the last minute whose run time a cycle of it
// already served: a cycle started late serves every run time it was late for.
using TServedRuns = std::map<int, TTimePoint>;

// The tasks due in the minutes from `from` to `to` (both included, whole
// minutes of local time) and not served for that minute, each task once with
// its first such minute, in the order of `runs` (table order).
std::vector<TMissedRun> FindMissedRuns(const std::vector<TScheduledRun>& runs, TTimePoint from, TTimePoint to,
                                       const TServedRuns& served);

// The whole minute that `t` falls in.
TTimePoint WholeMinute(TTimePoint t);
