// quorvelctl history and quorvelctl status: the run history read back, and the
// one check a monitoring system calls (exit status, or Prometheus metrics for
// the node exporter's textfile collector).
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/quorvelctl/CtlCommand.h"
#include "pipeline/RunHistory.h"
#include "pipeline/RunStatus.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/SettingsAccessor.h"
#include "settings/CycleSettings.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskTable.h"

namespace {

struct TOptions {
    std::vector<std::string> Positional;
    std::string HistoryPath;
    std::string ConfigPath;
    std::optional<std::size_t> Last;
    bool Json = false;
    bool Prometheus = false;
};

// --history FILE and --config FILE everywhere; the other switches where `allowed` has them.
TOptions ParseOptions(const std::string& command, const std::vector<std::string>& args,
                      const std::vector<std::string>& allowed) {
    TOptions o;
    auto isAllowed = [&](const std::string& s) { return std::find(allowed.begin(), allowed.end(), s) != allowed.end(); };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw ECtlUsage(command + ": " + a + " needs a value");
            return args[++i];
        };
        if (a == "--history") {
            o.HistoryPath = value();
        } else if (a == "--config") {
            o.ConfigPath = value();
        } else if (a == "--last" && isAllowed(a)) {
            const std::string& text = value();
            std::size_t n = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
            if (ec != std::errc() || end != text.data() + text.size() || n == 0)
                throw ECtlUsage(command + ": --last needs a whole number above 0, not '" + text + "'");
            o.Last = n;
        } else if (a == "--json" && isAllowed(a)) {
            o.Json = true;
        } else if (a == "--prometheus" && isAllowed(a)) {
            o.Prometheus = true;
        } else if (a.size() > 1 && a[0] == '-') {
            throw ECtlUsage(command + ": unknown option '" + a + "'");
        } else {
            o.Positional.push_back(a);
        }
    }
    if (o.Positional.size() > 1) throw ECtlUsage(command + ": too many arguments");
    return o;
}

// The instant the check is made for: QUORVEL_TEST_NOW ("YYYY-MM-DD hh:mm:ss",
// local time) when set, as the archiver reads it, so tests run at a fixed instant.
TTimePoint StatusNow() {
    const char* fixed = std::getenv("QUORVEL_TEST_NOW");
    if (!fixed || !*fixed) return std::chrono::system_clock::now();
    TLocalDateTime t;
    int used = 0;
    if (std::sscanf(fixed, "%4d-%2d-%2d %2d:%2d:%2d%n", &t.Year, &t.Month, &t.Day, &t.Hour, &t.Minute, &t.Second,
                    &used) != 6 ||
        fixed[used] != '\0')
        throw ECtlUsage(std::string("status: QUORVEL_TEST_NOW '") + fixed + "' is no 'YYYY-MM-DD hh:mm:ss'");
    return FromLocal(t);
}

std::vector<TRunRecord> ReadHistory(const std::string& path) {
    TRunHistory::TReadResult read = TRunHistory(path).Read();
    for (const std::string& warning : read.Warnings) std::cerr << "quorvelctl: warning: " << warning << "\n";
    return std::move(read.Records);
}

int History(const std::vector<std::string>& args) {
    const TOptions o = ParseOptions("history", args, {"--last", "--json"});
    std::vector<TRunRecord> records = ReadHistory(o.HistoryPath);
    if (!o.Positional.empty()) {
        const std::string& name = o.Positional[0];
        std::erase_if(records, [&](const TRunRecord& r) { return r.TaskName != name; });
    }
    if (o.Last && records.size() > *o.Last) records.erase(records.begin(), records.end() - *o.Last);
    if (o.Json) {
        for (const TRunRecord& r : records) std::cout << FormatRunRecord(r) << "\n";
    } else {
        for (const std::string& line : HistoryLines(records)) std::cout << line << "\n";
    }
    return 0;
}

int Status(const std::vector<std::string>& args) {
    const TOptions o = ParseOptions("status", args, {"--prometheus"});
    const std::string taskPath = o.Positional.empty() ? ExeFolder() + "task.ini" : o.Positional[0];
    TTaskTable tasks;
    LoadFromFile(tasks, taskPath);
    TSettingsAccessor accessor;
    accessor.Path = o.ConfigPath.empty() ? ExeFolder() + "config.ini" : o.ConfigPath;
    const TCycleOptions cycleOptions = TCycleSettings(accessor).Load();

    const std::vector<TTaskStatus> statuses =
        ComputeStatus(SchedulesOf(tasks), ReadHistory(o.HistoryPath), StatusNow());
    if (o.Prometheus) {
        std::cout << PrometheusText(statuses, cycleOptions);
    } else {
        for (const std::string& line : StatusLines(statuses, cycleOptions)) std::cout << line << "\n";
    }
    std::cout.flush();
    return StatusExitCode(statuses);
}

const TCtlRegistration history {{"history",
                                 "  quorvelctl history [TASKNAME] [--last N] [--json] [--history FILE]\n"
                                 "      the backup cycles of history.jsonl, newest last\n",
                                 History}};

const TCtlRegistration status {{"status",
                                "  quorvelctl status [TASKFILE] [--prometheus] [--history FILE] [--config FILE]\n"
                                "      each task's last outcome, next run and OVERDUE; exit status 0 when\n"
                                "      every last outcome is sent or not-mailed and nothing is overdue\n",
                                Status}};

} // namespace
