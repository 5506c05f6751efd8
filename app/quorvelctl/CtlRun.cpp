// quorvelctl run: one whole backup cycle of one task, now, headless - the way
// an administrator tries a task before trusting the schedule.
#include <iostream>
#include <optional>

#include "app/quorvelctl/CtlCommand.h"
#include "platform/RealTimeLoop.h"
#include "pipeline/BackupCycle.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskTable.h"

namespace {

// Moves the cursor to the task named `name` (exact name first, then any letter case).
bool FindTask(TTaskTable& tasks, const AnsiString& name) {
    for (bool anyCase : {false, true}) {
        for (tasks.GoFirst(); !tasks.IsPastEnd(); tasks.GoNext()) {
            const AnsiString taskName = tasks.FieldNamed("TaskName").AsString();
            if (anyCase ? SameText(taskName, name) : taskName == name) return true;
        }
    }
    return false;
}

int RunTask(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::string configPath;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--config") {
            if (i + 1 >= args.size()) throw ECtlUsage("run: --config needs a file");
            configPath = args[++i];
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2) throw ECtlUsage("run: expected TASKFILE TASKNAME");
    if (configPath.empty()) configPath = ExeFolder() + "config.ini";

    TTaskTable tasks;
    LoadFromFile(tasks, positional[0]);
    if (!FindTask(tasks, Utf8ToAnsi(positional[1])))
        throw Exception(Utf8ToAnsiLenient("No task named '" + positional[1] + "' in " + positional[0]));

    TRealTimeLoop loop;
    TActivityLog log;
    log.AddObserver([](const AnsiString& line) { std::cout << AnsiToUtf8Lenient(line) << std::endl; });
    std::optional<AnsiString> error;
    TBackupCycle cycle(loop, tasks, log, [&error](const AnsiString& message) {
        if (!error) error = message;
    }, configPath);
    // Only this task runs: no minute scan may start another one.
    cycle.UpdateTimer.OnTimer = nullptr;
    // The mail step is over when it has run without arming itself again (it
    // does while the archiver is still packing).
    bool mailStepRan = false;
    TTimer::THandler mailStep = cycle.sendmailTimer.OnTimer;
    cycle.sendmailTimer.OnTimer = [&] {
        mailStep();
        mailStepRan = !cycle.sendmailTimer.Enabled();
    };

    // A timer armed with 0 never fires: the cycle ends there.
    auto stoppedAtZero = [](const TTimer& timer) { return timer.Enabled() && timer.Interval() == 0; };
    cycle.StartCycle();
    loop.RunUntil([&] {
        return error || mailStepRan || stoppedAtZero(cycle.rarTimer) || stoppedAtZero(cycle.sendmailTimer);
    });

    // Mailed only in part (a volume refused, a later archive failed) is a failure.
    if (error) throw Exception(*error);
    if (cycle.mailSent) return 0;
    if (stoppedAtZero(cycle.rarTimer)) throw Exception("The task's archive delay is 0: nothing is archived or mailed");
    if (stoppedAtZero(cycle.sendmailTimer)) throw Exception("The task's send delay is 0: the archive is not mailed");
    if (mailStepRan)
        throw Exception(Utf8ToAnsiLenient("No archive of this cycle was found in " + TBackupCycle::ArchiveFolder()));
    throw Exception("The backup cycle ended before the mail step");
}

const TCtlRegistration registration{{"run",
                                     "  quorvelctl run TASKFILE TASKNAME [--config FILE]\n"
                                     "      runs one backup cycle of the task now and prints its log;\n"
                                     "      exit status 0 when the mail (every volume of it) was sent\n",
                                     RunTask}};

} // namespace
