#pragma once
// The scheduler and the database backup step: what the main window holds for
// the backup pipeline, without the window. Four window timers chain one cycle:
// the minute scan (UpdateTimer) finds a due task, backupTimer runs the backup
// step, which arms rarTimer (archive step), which arms sendmailTimer (mail
// step). Everything runs in handlers of one message loop.
//
// The archive and mail steps are installed from outside (InstallStep), so the
// desktop, the service and the tests share this one class.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/FailureNotice.h"
#include "pipeline/MissedRuns.h"
#include "pipeline/RunHistory.h"
#include "platform/ActivityLog.h"
#include "platform/AdoConnection.h"
#include "platform/AnsiString.h"
#include "platform/ExceptionReport.h"
#include "platform/MessageLoop.h"
#include "settings/CycleSettings.h"
#include "tasks/TaskRecord.h"
#include "tasks/TaskTable.h"

struct TRgbColour {
    int Red = 0, Green = 0, Blue = 0;
    bool operator==(const TRgbColour&) const = default;
};

// How the pause command and the run indicator under the task grid look.
struct TStopCommandState {
    AnsiString Caption; // code page 936
    AnsiString Hint;
    int ImageIndex = 0;
    TRgbColour RunIndicator;
    bool operator==(const TStopCommandState&) const = default;
};

class TBackupPipeline {
public:
    // Design intervals of the four timers (ms).
    static constexpr TTimer::TInterval MinuteInterval = 60000;
    static constexpr TTimer::TInterval BackupInterval = 1000;
    static constexpr TTimer::TInterval RarDesignInterval = 1000;
    static constexpr TTimer::TInterval SendmailDesignInterval = 50000;
    // Each database's statement is followed by this pause (ms).
    static constexpr std::uint32_t PauseAfterDatabase = 2000;
    // A cycle whose connection attempts have failed this long is given up, so
    // that one unreachable server does not hold back every other task.
    static constexpr std::chrono::minutes ConnectGiveUpAfter {10};

    static const TStopCommandState& RunningState(); // "暂停", image 7, green
    static const TStopCommandState& PausedState();  // "开始", image 8, red

    // `reportError` receives what a handler did not catch (the desktop shows a
    // box, quorvelctl prints it); empty: the application's installed handler.
    // `configPath` is where the database connections read their ODBC driver
    // (empty: config.ini beside the executable).
    TBackupPipeline(TMessageLoop& loop, TTaskTable& tasks, TActivityLog& log, TExceptionHandler reportError = {},
                    std::string configPath = {});
    virtual ~TBackupPipeline();
    TBackupPipeline(const TBackupPipeline&) = delete;
    TBackupPipeline& operator=(const TBackupPipeline&) = delete;

    TMessageLoop& Loop() const { return loop_; }
    TTaskTable& cdsTask;
    TActivityLog& ActivityLog;

    TTimer UpdateTimer;   // the minute scan, enabled from creation on
    TTimer backupTimer;   // the backup step
    TTimer rarTimer;      // the archive step; interval set when armed
    TTimer sendmailTimer; // the mail step; interval set when armed

    int curRecNo = 0;     // record number of the current task, kept for the whole cycle
    bool bakDone = false; // the backup step of this cycle has ended
    bool bakPaused = false;
    bool mailSent = false;
    bool dbReady = false; // a connection for the backup statements is usable
    AnsiString DBConnStr; // connection text of the last attempt; the statements use it
    TAdoConnection Ado_Cnt;

    // ---- handlers
    void UpdateTimerTimer(); // the scan
    // The cursor's task becomes the current task and its cycle begins, as when
    // the scan finds it due (quorvelctl run starts a task this way, with the
    // origin `Command` and no run time).
    void StartCycle(TCycleOrigin origin = TCycleOrigin::Command, std::optional<TTimePoint> planned = {});
    void backupTimerTimer();
    void BackupTaskDBs(); // the backup step
    void ConnectTaskDB(); // with the current task as stored now
    void ConnectTaskDB(const TTaskRecord& task);
    // Runs one statement on a connection of its own built from DBConnStr; true
    // when it reports more than 0 rows affected.
    bool ExecuteSQL(const AnsiString& statement);

    // ---- the pause command actStop
    void actStopExecute();
    const TStopCommandState& actStop() const { return *stopState_; }
    // Called after the command's look changed (the window repaints).
    std::function<void()> OnStopCommandChanged;

    // Puts `step` on `timer` as its tick handler, reporting its errors. The
    // archive and mail steps come in this way.
    void InstallStep(TTimer& timer, std::function<void()> step);
    // Runs `step` as an event handler: an error goes to the error reporting.
    void RunReporting(const std::function<void()>& step);
    // Arms a step timer with a delay in milliseconds (negative counts as 0).
    // A delay of 0 never fires, so the cycle ends there: the scheduler is made
    // live again (unless paused) instead of waiting for pause and resume.
    void ArmStep(TTimer& timer, std::int64_t delayMs);
    // The cycle stopped before the mail step: the minute scan runs again,
    // unless the scheduler is paused.
    void ResumeSchedulerAfterStop();

    // ---- the cycle's outcome
    // Where each cycle's record is appended (empty: history.jsonl beside the
    // executable).
    std::string HistoryPath;
    // The running cycle's record, to which the steps add what they did (the
    // archive, its size, its parts); null when no cycle runs.
    TRunRecord* CurrentCycle() { return cycle_ ? &*cycle_ : nullptr; }
    // The step the cycle is in: an early end fails there.
    void EnterStep(TCycleStep step) { step_ = step; }
    // Ends the running cycle with `outcome`: once the handler that ends it has
    // reported its error, the record goes to the history, a failed cycle's
    // notice is mailed (NotifyOnFailure), and the scheduler runs again — first
    // starting, one after another in table order, the tasks whose run times
    // passed while it was off. Without a running cycle it only makes the
    // scheduler live (unless paused).
    void EndCycle(TCycleOutcome outcome);
    // The current task as stored now, for the step of `stepTimer`. A task
    // deleted or renumbered meanwhile ends the cycle as failed (the step's
    // timer off) and raises the table's error.
    TTaskRecord LoadCycleTask(TTimer& stepTimer);

    // ---- pieces of the backup step
    // BakDBName split at its commas, each piece trimmed; a trailing comma (or
    // a trailing piece of blanks only) adds nothing, "" gives no name.
    static std::vector<AnsiString> SplitDatabaseNames(const AnsiString& names);
    // The guarded BACKUP DATABASE statement for one database into `folder`;
    // `checksum` lets the server check every page while it writes.
    static AnsiString BackupStatement(const AnsiString& databaseName, const AnsiString& folder,
                                      bool checksum = false);
    // The statement that reads that backup file back without restoring it.
    static AnsiString VerifyStatement(const AnsiString& databaseName, const AnsiString& folder, bool checksum);

protected:
    // Mails a failed cycle's notice to the task's recipients; raises what
    // stops it. The pipeline alone has no mail: it sends nothing.
    virtual void SendFailureNotice(const TFailureNotice& notice, const TTaskRecord& task);

private:
    // The record of a cycle that has ended goes out, then what runs next.
    void FinishCycle();
    void RecordFailureNotice(TRunRecord& record);
    // Starts the first task whose run time passed while the scan was off;
    // false when there is none.
    bool StartMissedRun();
    // The settings file's switches of a cycle.
    TCycleOptions CycleOptions() const;
    // Backs up one database, then verifies the file when asked to.
    void BackUpDatabase(const AnsiString& name, const AnsiString& folder, const TCycleOptions& options);
    void ReportCurrentError();
    void NoteConnectFailure(TTimePoint attemptStart);
    void SetStopState(const TStopCommandState& state);

    TMessageLoop& loop_;
    TExceptionHandler reportError_;
    std::string configPath_;
    const TStopCommandState* stopState_ = &RunningState();
    // When the current cycle's connection attempts began failing.
    std::optional<TTimePoint> connectFailingSince_;

    std::optional<TRunRecord> cycle_;        // the running cycle
    TCycleStep step_ = TCycleStep::None;     // the step it is in
    AnsiString cycleFirstLine_;              // the log line that began it
    std::optional<TCycleOutcome> endAfterHandler_; // it has ended, its record not yet written
    int handlerDepth_ = 0;                   // handlers running (nested through the loop)
    // Since when the scan has been off for the chain of cycles now running,
    // and which of their run times are served; empty while the scan runs.
    std::optional<TTimePoint> scanOffSince_;
    TServedRuns servedRuns_;
};
