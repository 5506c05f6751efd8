#pragma once
// What quorvelctl status and quorvelctl history tell: for each task of a task
// table its last outcome from the run history, its next run time and the run
// times of the last day that left no record. Pure pieces over the table, the
// records and a given instant, so a test reaches every rule directly.
#include <optional>
#include <string>
#include <vector>

#include "pipeline/RunHistory.h"
#include "settings/CycleSettings.h"
#include "tasks/TaskTable.h"

// A task's run times as the scan sees them (hours and minutes, one or two).
struct TTaskSchedule {
    std::string Name; // UTF-8
    struct TRunTime {
        int Hour = 0, Minute = 0;
    };
    std::vector<TRunTime> RunTimes;
    // How long after a run time its record may still be missing because the
    // cycle is still running: the task's archive and send delays and a margin.
    std::chrono::seconds CycleAllowance {0};
};

// The schedules of every task of the table, in table order.
std::vector<TTaskSchedule> SchedulesOf(TTaskTable& tasks);

struct TTaskStatus {
    std::string Name;
    std::optional<TRunRecord> Last;       // the newest record of the task
    std::optional<TTimePoint> NextRun;    // none for a task without a valid run time
    std::vector<TTimePoint> MissedRuns;   // run times of the last 24 h without a record
    bool Overdue() const { return !MissedRuns.empty(); }
    // The last cycle ended sent or not-mailed and nothing is overdue.
    bool Healthy() const;
};

// A cycle is given this long beyond its own delays before its run time counts as missed.
inline constexpr std::chrono::minutes RecordMargin {30};
// Run times further back than this are not looked at.
inline constexpr std::chrono::hours OverdueWindow {24};

std::vector<TTaskStatus> ComputeStatus(const std::vector<TTaskSchedule>& schedules,
                                       const std::vector<TRunRecord>& records, TTimePoint now);

// 0 when every task is healthy, 1 otherwise (also for an empty task table:
// nothing is watched, which a monitor should hear about).
int StatusExitCode(const std::vector<TTaskStatus>& statuses);

// One aligned line per task: name, last outcome (with the failed step), its
// time, the next run, "OVERDUE"; then one line with the cycle switches.
std::vector<std::string> StatusLines(const std::vector<TTaskStatus>& statuses, const TCycleOptions& options);

// The same facts in the Prometheus text exposition format.
std::string PrometheusText(const std::vector<TTaskStatus>& statuses, const TCycleOptions& options);

// The records as aligned text, one line each, under a heading line.
std::vector<std::string> HistoryLines(const std::vector<TRunRecord>& records);

// "yyyy-MM-dd hh:mm" in local time.
std::string ShortLocalTime(TTimePoint t);
// Columns of a terminal a UTF-8 text takes (East Asian characters take two).
std::size_t DisplayWidth(std::string_view utf8);
