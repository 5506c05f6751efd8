#include "pipeline/RunStatus.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "platform/AnsiString.h"
#include "tasks/TaskRecord.h"

namespace {

// Code points of a UTF-8 text; a byte that starts no valid sequence counts alone.
std::vector<char32_t> CodePoints(std::string_view s) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (i + length > s.size()) length = 1;
        char32_t cp = length == 1 ? c : c & (0xFF >> (length + 1));
        for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(cp);
        i += length;
    }
    return out;
}

bool IsWide(char32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
           (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

// Lays rows of cells out in columns two blanks apart; the last cell of a row
// is not padded, so no line ends in blanks.
std::vector<std::string> Aligned(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], DisplayWidth(row[i]));
        }
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::size_t last = row.size();
        while (last > 0 && row[last - 1].empty()) --last;
        std::string line;
        for (std::size_t i = 0; i < last; ++i) {
            line += row[i];
            if (i + 1 < last) line.append(widths[i] - DisplayWidth(row[i]) + 2, ' ');
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string LabelValue(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

long long UnixSeconds(TTimePoint t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

std::string OutcomeText(const TRunRecord& r) {
    std::string text = OutcomeName(r.Outcome);
    if (r.Outcome == TCycleOutcome::Failed && r.Step != TCycleStep::None) text += std::string(" (") + StepName(r.Step) + ")";
    return text;
}

// Local midnight of the day of `t`, moved by `days`.
TTimePoint AtLocalTime(TTimePoint t, int days, int hour, int minute) {
    TLocalDateTime local = ToLocal(t);
    local.Hour = 12; // noon never falls into a daylight-saving jump
    local.Minute = local.Second = local.Millisecond = 0;
    TLocalDateTime moved = ToLocal(FromLocal(local) + std::chrono::hours(24 * days));
    moved.Hour = hour;
    moved.Minute = minute;
    moved.Second = moved.Millisecond = 0;
    return FromLocal(moved);
}

} // namespace

std::size_t DisplayWidth(std::string_view utf8) {
    std::size_t width = 0;
    for (char32_t cp : CodePoints(utf8)) width += IsWide(cp) ? 2 : 1;
    return width;
}

std::string ShortLocalTime(TTimePoint t) {
    const TLocalDateTime local = ToLocal(t);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d", local.Year % 10000, local.Month % 100,
                  local.Day % 100, local.Hour % 100, local.Minute % 100);
    return buffer;
}

std::vector<TTaskSchedule> SchedulesOf(TTaskTable& tasks) {
    std::vector<TTaskSchedule> out;
    auto valid = [](int hour, int minute) { return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59; };
    for (tasks.GoFirst(); !tasks.IsPastEnd(); tasks.GoNext()) {
        const TTaskRecord task = ReadTaskRecord(tasks);
        TTaskSchedule s;
        s.Name = AnsiToUtf8Lenient(task.TaskName);
        if (valid(task.RunHour, task.RunMinute)) s.RunTimes.push_back({task.RunHour, task.RunMinute});
        if (task.Bak2Enabled) {
            const bool same = !s.RunTimes.empty() && s.RunTimes[0].Hour == task.RunHour2 &&
                              s.RunTimes[0].Minute == task.RunMinute2;
            if (valid(task.RunHour2, task.RunMinute2) && !same) s.RunTimes.push_back({task.RunHour2, task.RunMinute2});
        }
        const long long rar = std::max(0, task.RarTimeAfter);
        const long long send = std::max(30, task.SendTimeAfter);
        s.CycleAllowance = std::chrono::seconds(rar + send) + RecordMargin;
        out.push_back(std::move(s));
    }
    return out;
}

bool TTaskStatus::Healthy() const { return Last && Last->Outcome != TCycleOutcome::Failed && !Overdue(); }

std::vector<TTaskStatus> ComputeStatus(const std::vector<TTaskSchedule>& schedules,
                                       const std::vector<TRunRecord>& records, TTimePoint now) {
    std::vector<TTaskStatus> out;
    for (const TTaskSchedule& schedule : schedules) {
        TTaskStatus status;
        status.Name = schedule.Name;
        std::set<TTimePoint> recorded;
        for (const TRunRecord& r : records) {
            if (r.TaskName != schedule.Name) continue;
            status.Last = r;
            if (r.Planned) recorded.insert(std::chrono::floor<std::chrono::minutes>(*r.Planned));
        }
        std::set<TTimePoint> missed;
        for (const TTaskSchedule::TRunTime& run : schedule.RunTimes) {
            for (int days = -1; days <= 1; ++days) {
                const TTimePoint at = AtLocalTime(now, days, run.Hour, run.Minute);
                if (at > now && (!status.NextRun || at < *status.NextRun)) status.NextRun = at;
                const bool inWindow = at > now - OverdueWindow && at + schedule.CycleAllowance <= now;
                if (inWindow && !recorded.count(at)) missed.insert(at);
            }
        }
        status.MissedRuns.assign(missed.begin(), missed.end());
        out.push_back(std::move(status));
    }
    return out;
}

int StatusExitCode(const std::vector<TTaskStatus>& statuses) {
    if (statuses.empty()) return 1;
    return std::all_of(statuses.begin(), statuses.end(), [](const TTaskStatus& s) { return s.Healthy(); }) ? 0 : 1;
}

std::vector<std::string> StatusLines(const std::vector<TTaskStatus>& statuses, const TCycleOptions& options) {
    std::vector<std::vector<std::string>> rows;
    for (const TTaskStatus& s : statuses) {
        std::vector<std::string> row {s.Name};
        if (s.Last) {
            row.push_back(OutcomeText(*s.Last));
            row.push_back(ShortLocalTime(s.Last->Ended));
        } else {
            row.push_back("never");
            row.push_back("-");
        }
        row.push_back(s.NextRun ? "next " + ShortLocalTime(*s.NextRun) : "next -");
        std::string overdue;
        if (s.Overdue()) {
            overdue = "OVERDUE (";
            for (std::size_t i = 0; i < s.MissedRuns.size(); ++i)
                overdue += (i ? ", " : "") + ShortLocalTime(s.MissedRuns[i]).substr(11);
            overdue += ")";
        }
        row.push_back(overdue);
        rows.push_back(std::move(row));
    }
    std::vector<std::string> lines = Aligned(rows);
    lines.push_back(std::string("backup checksum ") + (options.BackupChecksum ? "on" : "off") + ", verify " +
                    (options.BackupVerify ? "on" : "off") + ", failure notices " +
                    (options.NotifyOnFailure ? "on" : "off"));
    return lines;
}

std::string PrometheusText(const std::vector<TTaskStatus>& statuses, const TCycleOptions& options) {
    // A name that repeats in the table shares its records: one sample each.
    std::vector<const TTaskStatus*> unique;
    std::set<std::string> seen;
    for (const TTaskStatus& s : statuses)
        if (seen.insert(s.Name).second) unique.push_back(&s);

    std::string out;
    auto family = [&](const char* name, const char* help, auto&& value) {
        out += std::string("# HELP ") + name + " " + help + "\n";
        out += std::string("# TYPE ") + name + " gauge\n";
        for (const TTaskStatus* s : unique) {
            const std::optional<long long> v = value(*s);
            if (v) out += std::string(name) + "{task=\"" + LabelValue(s->Name) + "\"} " + std::to_string(*v) + "\n";
        }
    };
    family("quorvel_last_run_timestamp_seconds", "End of the task's last backup cycle, in seconds since 1970.",
           [](const TTaskStatus& s) -> std::optional<long long> {
               if (!s.Last) return std::nullopt;
               return UnixSeconds(s.Last->Ended);
           });
    family("quorvel_last_run_success", "1 when the task's last cycle ended sent or not-mailed, else 0.",
           [](const TTaskStatus& s) -> std::optional<long long> {
               return s.Last && s.Last->Outcome != TCycleOutcome::Failed ? 1 : 0;
           });
    family("quorvel_last_archive_bytes", "Bytes of the archives of the task's last cycle.",
           [](const TTaskStatus& s) -> std::optional<long long> {
               if (!s.Last) return std::nullopt;
               return static_cast<long long>(s.Last->ArchiveBytes);
           });
    family("quorvel_overdue", "1 when a run time of the last 24 hours left no record, else 0.",
           [](const TTaskStatus& s) -> std::optional<long long> { return s.Overdue() ? 1 : 0; });
    family("quorvel_next_run_timestamp_seconds", "The task's next run time, in seconds since 1970.",
           [](const TTaskStatus& s) -> std::optional<long long> {
               if (!s.NextRun) return std::nullopt;
               return UnixSeconds(*s.NextRun);
           });
    auto single = [&](const char* name, const char* help, bool value) {
        out += std::string("# HELP ") + name + " " + help + "\n";
        out += std::string("# TYPE ") + name + " gauge\n";
        out += std::string(name) + " " + (value ? "1" : "0") + "\n";
    };
    single("quorvel_backup_checksum_enabled", "1 when backups are written WITH CHECKSUM.", options.BackupChecksum);
    single("quorvel_backup_verify_enabled", "1 when each backup is checked by RESTORE VERIFYONLY.", options.BackupVerify);
    return out;
}

std::vector<std::string> HistoryLines(const std::vector<TRunRecord>& records) {
    std::vector<std::vector<std::string>> rows {
        {"STARTED", "TASK", "BY", "OUTCOME", "ARCHIVE", "BYTES", "PARTS", "ERRORS"}};
    for (const TRunRecord& r : records) {
        const TLocalDateTime started = ToLocal(r.Started);
        char when[32];
        std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", started.Year % 10000, started.Month % 100,
                      started.Day % 100, started.Hour % 100, started.Minute % 100, started.Second % 100);
        std::string errors;
        for (const std::string& e : r.Errors) errors += (errors.empty() ? "" : "; ") + e;
        if (!r.NoticeError.empty()) errors += (errors.empty() ? "" : "; ") + ("notice not sent: " + r.NoticeError);
        // One record, one line: a line end inside an error text would look like a record of its own.
        std::replace(errors.begin(), errors.end(), '\n', ' ');
        std::replace(errors.begin(), errors.end(), '\r', ' ');
        rows.push_back({when, r.TaskName, OriginName(r.Origin), OutcomeText(r), r.Archive.empty() ? "-" : r.Archive,
                        std::to_string(r.ArchiveBytes), std::to_string(r.Parts), errors});
    }
    return Aligned(rows);
}
