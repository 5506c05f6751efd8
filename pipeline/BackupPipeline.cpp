#include "pipeline/BackupPipeline.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "tasks/TaskChecks.h"

namespace {

// The program's own texts, converted once.
struct TTexts {
    AnsiString StartTask = Utf8ToAnsi("开始执行[");
    AnsiString StartTaskEnd = Utf8ToAnsi("]任务...");
    AnsiString Connecting = Utf8ToAnsi("正在连接数据库[");
    AnsiString ConnectingEnd = Utf8ToAnsi("]...");
    AnsiString Connected = Utf8ToAnsi("数据库连接成功");
    AnsiString NotConnected = Utf8ToAnsi("数据库连接失败");
    AnsiString BackingUp = Utf8ToAnsi("正在备份[");
    AnsiString BackingUpEnd = Utf8ToAnsi("]数据库...");
    AnsiString BackedUp = Utf8ToAnsi("数据库[");
    AnsiString BackedUpEnd = Utf8ToAnsi("]备份完毕！");
    AnsiString BackupNameSuffix = Utf8ToAnsi(" 备份");
    AnsiString CatchUp = Utf8ToAnsi("补执行[");
    AnsiString CatchUpPlanned = Utf8ToAnsi("]任务(计划时间 ");
    AnsiString NoticeNotSent = Utf8ToAnsi("失败通知无法发送：");
    AnsiString Verifying = Utf8ToAnsi("正在校验[");
    AnsiString VerifyingEnd = Utf8ToAnsi("]备份...");
    AnsiString Verified = Utf8ToAnsi("[");
    AnsiString VerifiedEnd = Utf8ToAnsi("]备份校验通过");
};

const TTexts& Texts() {
    static const TTexts texts;
    return texts;
}

// Doubles every `quote` character; walks whole characters, since "]" is also
// a possible second byte of a double-byte character.
AnsiString DoubleQuoteChar(const AnsiString& text, char quote) {
    AnsiString out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsLeadByte(text[i]) && i + 1 < text.size()) {
            out += text[i];
            out += text[++i];
            continue;
        }
        out += text[i];
        if (text[i] == quote)
            out += quote;
    }
    return out;
}

// N'<folder><separator><name>.bak': where a database's backup file is written.
AnsiString BackupFileLiteral(const AnsiString& databaseName, const AnsiString& folder) {
    AnsiString s = "N'";
    s += DoubleQuoteChar(folder, '\'');
    // The folder is on the server's disks: a Windows server takes "\", and a
    // folder written the Linux way ("/var/opt/mssql/backup") takes "/".
    s += folder.starts_with('/') ? "/" : "\\";
    s += DoubleQuoteChar(databaseName, '\'');
    s += ".bak'";
    return s;
}

// A cycle's record keeps this many error texts at most (a refused login is
// reported at every attempt, for up to ten minutes).
constexpr std::size_t MaxRecordErrors = 20;

// The comma-separated addresses of a task's To or Cc box, trimmed.
void AddAddresses(std::vector<std::string>& out, const AnsiString& list) {
    for (const AnsiString& address : TBackupPipeline::SplitDatabaseNames(list))
        if (!address.empty()) out.push_back(AnsiToUtf8Lenient(address));
}

} // namespace

const TStopCommandState& TBackupPipeline::RunningState() {
    static const TStopCommandState state {Utf8ToAnsi("暂停"), Utf8ToAnsi("暂停执行备份任务"), 7, {0, 202, 0}};
    return state;
}

const TStopCommandState& TBackupPipeline::PausedState() {
    static const TStopCommandState state {Utf8ToAnsi("开始"), Utf8ToAnsi("开始执行备份任务"), 8, {255, 0, 0}};
    return state;
}

TBackupPipeline::TBackupPipeline(TMessageLoop& loop, TTaskTable& tasks, TActivityLog& log,
                                 TExceptionHandler reportError, std::string configPath)
    : cdsTask(tasks),
      ActivityLog(log),
      UpdateTimer(loop, MinuteInterval, true),
      backupTimer(loop, BackupInterval, false),
      rarTimer(loop, RarDesignInterval, false),
      sendmailTimer(loop, SendmailDesignInterval, false),
      Ado_Cnt(configPath),
      loop_(loop),
      reportError_(std::move(reportError)),
      configPath_(std::move(configPath)) {
    InstallStep(UpdateTimer, [this] { UpdateTimerTimer(); });
    InstallStep(backupTimer, [this] { backupTimerTimer(); });
}

TBackupPipeline::~TBackupPipeline() = default;

void TBackupPipeline::ReportCurrentError() {
    AnsiString message = "Unknown error";
    try {
        throw;
    } catch (const std::exception& e) {
        message = ExceptionMessage(e);
    } catch (...) {
    }
    if (cycle_ && cycle_->Errors.size() < MaxRecordErrors) {
        const std::string text = AnsiToUtf8Lenient(message);
        if (cycle_->Errors.empty() || cycle_->Errors.back() != text) cycle_->Errors.push_back(text);
    }
    if (!reportError_) {
        HandleCurrentException();
        return;
    }
    reportError_(message);
}

void TBackupPipeline::RunReporting(const std::function<void()>& step) {
    ++handlerDepth_;
    try {
        step();
    } catch (...) {
        ReportCurrentError();
    }
    --handlerDepth_;
    // After the error that ended the cycle is in its record.
    if (endAfterHandler_)
        FinishCycle();
}

void TBackupPipeline::InstallStep(TTimer& timer, std::function<void()> step) {
    timer.OnTimer = [this, step = std::move(step)] { RunReporting(step); };
}

void TBackupPipeline::UpdateTimerTimer() {
    const TLocalDateTime now = ToLocal(loop_.Clock().Now());
    cdsTask.GoFirst();
    while (!cdsTask.IsPastEnd()) {
        const TTaskRecord task = ReadTaskRecord(cdsTask);
        const bool due = (task.RunHour == now.Hour && task.RunMinute == now.Minute) ||
                         (task.Bak2Enabled && task.RunHour2 == now.Hour && task.RunMinute2 == now.Minute);
        if (due) {
            const TTimePoint minute = WholeMinute(loop_.Clock().Now());
            if (!scanOffSince_)
                scanOffSince_ = minute;
            servedRuns_[cdsTask.CurrentNumber()] = minute;
            StartCycle(TCycleOrigin::Schedule, minute);
            return;
        }
        cdsTask.GoNext();
    }
}

void TBackupPipeline::StartCycle(TCycleOrigin origin, std::optional<TTimePoint> planned) {
    mailSent = false;
    bakDone = false;
    connectFailingSince_.reset();
    backupTimer.SetEnabled(true);
    UpdateTimer.SetEnabled(false);
    curRecNo = cdsTask.CurrentNumber();
    const TTaskRecord task = ReadTaskRecord(cdsTask);

    TRunRecord record;
    record.TaskName = AnsiToUtf8Lenient(task.TaskName);
    record.RecNo = curRecNo;
    record.Origin = origin;
    record.Planned = planned;
    record.Started = loop_.Clock().Now();
    for (const AnsiString& name : SplitDatabaseNames(task.BakDBName))
        record.Databases.push_back(AnsiToUtf8Lenient(name));
    AddAddresses(record.Recipients, task.ToMailAddr);
    AddAddresses(record.Recipients, task.CcMailAddr);
    cycle_ = std::move(record);
    step_ = TCycleStep::Connect;
    endAfterHandler_.reset();

    if (origin == TCycleOrigin::CatchUp && planned) {
        const TLocalDateTime at = ToLocal(*planned);
        ActivityLog.AddLog(Texts().CatchUp + task.TaskName + Texts().CatchUpPlanned +
                           Format("%.2d:%.2d", at.Hour, at.Minute) + ")");
    } else {
        ActivityLog.AddLog(Texts().StartTask + task.TaskName + Texts().StartTaskEnd);
    }
    cycleFirstLine_ = ActivityLog.Lines().empty() ? AnsiString() : ActivityLog.Lines().back();
}

TTaskRecord TBackupPipeline::LoadCycleTask(TTimer& stepTimer) {
    try {
        return LoadTaskRecord(cdsTask, curRecNo);
    } catch (const EDatabaseError&) {
        // Looking again would find it gone again, at every tick, for ever.
        stepTimer.SetEnabled(false);
        ResumeSchedulerAfterStop();
        throw;
    }
}

TCycleOptions TBackupPipeline::CycleOptions() const {
    TSettingsAccessor settings;
    settings.Path = configPath_.empty() ? ExeFolder() + "config.ini" : configPath_;
    return TCycleSettings(settings).Load();
}

void TBackupPipeline::EndCycle(TCycleOutcome outcome) {
    if (!cycle_) {
        if (!bakPaused)
            UpdateTimer.SetEnabled(true);
        return;
    }
    if (!endAfterHandler_)
        endAfterHandler_ = outcome;
    if (handlerDepth_ == 0)
        FinishCycle();
}

void TBackupPipeline::SendFailureNotice(const TFailureNotice&, const TTaskRecord&) {}

void TBackupPipeline::RecordFailureNotice(TRunRecord& record) {
    std::vector<AnsiString> errors;
    for (const std::string& e : record.Errors)
        errors.push_back(Utf8ToAnsiLenient(e));
    // The cycle's own lines: from its first one on (all, when the log has
    // dropped it meanwhile).
    const std::deque<AnsiString>& lines = ActivityLog.Lines();
    auto first = std::find(lines.rbegin(), lines.rend(), cycleFirstLine_);
    std::vector<AnsiString> cycleLines(first == lines.rend() ? lines.begin() : std::prev(first.base()), lines.end());
    try {
        const TTaskRecord task = LoadTaskRecord(cdsTask, record.RecNo);
        SendFailureNotice(
            MakeFailureNotice(Utf8ToAnsiLenient(record.TaskName), ToLocal(record.Started), record.Step, errors,
                              cycleLines),
            task);
    } catch (const std::exception& e) {
        record.NoticeError = AnsiToUtf8Lenient(ExceptionMessage(e));
        ActivityLog.AddLog(Texts().NoticeNotSent + ExceptionMessage(e));
    }
}

void TBackupPipeline::FinishCycle() {
    const TCycleOutcome outcome = endAfterHandler_.value_or(TCycleOutcome::Failed);
    endAfterHandler_.reset();
    if (!cycle_)
        return;
    TRunRecord record = std::move(*cycle_);
    cycle_.reset();
    record.Outcome = outcome;
    record.Step = outcome == TCycleOutcome::Failed ? step_ : TCycleStep::None;
    record.Ended = loop_.Clock().Now();
    step_ = TCycleStep::None;

    if (outcome == TCycleOutcome::Failed && CycleOptions().NotifyOnFailure)
        RecordFailureNotice(record);
    try {
        TRunHistory(HistoryPath).Append(record);
    } catch (...) {
        ReportCurrentError();
    }

    if (bakPaused)
        return;
    if (!StartMissedRun())
        UpdateTimer.SetEnabled(true);
}

bool TBackupPipeline::StartMissedRun() {
    if (!scanOffSince_)
        return false;
    std::vector<TScheduledRun> runs;
    for (cdsTask.GoFirst(); !cdsTask.IsPastEnd(); cdsTask.GoNext()) {
        const TTaskRecord task = ReadTaskRecord(cdsTask);
        runs.push_back({cdsTask.CurrentNumber(), task.RunHour, task.RunMinute});
        if (task.Bak2Enabled)
            runs.push_back({cdsTask.CurrentNumber(), task.RunHour2, task.RunMinute2});
    }
    const TTimePoint now = loop_.Clock().Now();
    const std::vector<TMissedRun> missed = FindMissedRuns(runs, *scanOffSince_, now, servedRuns_);
    if (missed.empty()) {
        scanOffSince_.reset();
        servedRuns_.clear();
        return false;
    }
    // One late cycle serves every run time of the task it was late for.
    servedRuns_[missed.front().RecNo] = WholeMinute(now);
    cdsTask.GoToNumber(missed.front().RecNo);
    StartCycle(TCycleOrigin::CatchUp, missed.front().Planned);
    return true;
}

void TBackupPipeline::backupTimerTimer() {
    if (bakPaused) {
        backupTimer.SetEnabled(false);
        return;
    }
    if (!bakDone)
        BackupTaskDBs();
}

void TBackupPipeline::NoteConnectFailure(TTimePoint attemptStart) {
    if (!connectFailingSince_)
        connectFailingSince_ = attemptStart;
    if (loop_.Clock().Now() - *connectFailingSince_ >= ConnectGiveUpAfter) {
        connectFailingSince_.reset();
        backupTimer.SetEnabled(false);
        ResumeSchedulerAfterStop();
    }
}

void TBackupPipeline::BackupTaskDBs() {
    if (bakDone)
        return;

    const TTimePoint attemptStart = loop_.Clock().Now();
    const TTaskRecord task = LoadCycleTask(backupTimer);
    // A task stored before its texts were checked: nothing of it may reach the
    // server, the archiver or the mail server.
    if (const AnsiString fault = TaskRecordFault(task); !fault.empty()) {
        backupTimer.SetEnabled(false);
        ResumeSchedulerAfterStop();
        throw Exception(fault);
    }
    const std::int64_t rarDelay = static_cast<std::int64_t>(task.RarTimeAfter) * 1000;
    const TCycleOptions options = CycleOptions();
    const bool hasServer = !task.ServerName.empty();
    try {
        ConnectTaskDB(task);
    } catch (...) {
        // Tried again at the next tick (bakDone stays false), for a while.
        NoteConnectFailure(attemptStart);
        throw;
    }
    connectFailingSince_.reset();
    EnterStep(TCycleStep::Backup);

    auto cleanUp = [this] {
        Ado_Cnt.Close();
        backupTimer.SetEnabled(false);
        bakDone = true;
    };
    try {
        // A task without a server backs up nothing: its statements must never
        // go to another task's server through a connection text left behind.
        const std::vector<AnsiString> databases =
            hasServer ? SplitDatabaseNames(task.BakDBName) : std::vector<AnsiString> {};
        for (const AnsiString& name : databases) {
            if (!dbReady)
                continue;
            dbReady = false;
            try {
                BackUpDatabase(name, task.BakFilePath, options);
            } catch (...) {
                loop_.Sleep(PauseAfterDatabase);
                dbReady = true;
                throw;
            }
            loop_.Sleep(PauseAfterDatabase);
            dbReady = true;
        }
    } catch (...) {
        cleanUp();
        ResumeSchedulerAfterStop();
        throw;
    }
    cleanUp();
    ArmStep(rarTimer, rarDelay);
}

void TBackupPipeline::BackUpDatabase(const AnsiString& name, const AnsiString& folder,
                                     const TCycleOptions& options) {
    ActivityLog.AddLog(Texts().BackingUp + name + Texts().BackingUpEnd);
    ExecuteSQL(BackupStatement(name, folder, options.BackupChecksum));
    ActivityLog.AddLog(Texts().BackedUp + name + Texts().BackedUpEnd);
    if (!options.BackupVerify)
        return;
    // A failed verification raises the server's error: the cycle ends here and
    // nothing of it is archived or mailed.
    ActivityLog.AddLog(Texts().Verifying + name + Texts().VerifyingEnd);
    ExecuteSQL(VerifyStatement(name, folder, options.BackupChecksum));
    ActivityLog.AddLog(Texts().Verified + name + Texts().VerifiedEnd);
}

void TBackupPipeline::ConnectTaskDB() {
    if (Ado_Cnt.Connected())
        return;
    ConnectTaskDB(LoadTaskRecord(cdsTask, curRecNo));
}

void TBackupPipeline::ConnectTaskDB(const TTaskRecord& task) {
    if (Ado_Cnt.Connected() || task.ServerName.empty())
        return;
    ActivityLog.AddLog(Texts().Connecting + task.DBName + Texts().ConnectingEnd);
    DBConnStr = BuildConnectionText(task.Password, task.UserName, task.DBName, task.ServerName);
    Ado_Cnt.ConnectionString = DBConnStr;
    Ado_Cnt.LoginPrompt = false;
    Ado_Cnt.Open();
    if (Ado_Cnt.Connected()) {
        ActivityLog.AddLog(Texts().Connected);
        dbReady = true;
    } else {
        ActivityLog.AddLog(Texts().NotConnected);
    }
}

bool TBackupPipeline::ExecuteSQL(const AnsiString& statement) {
    TAdoConnection connection(configPath_);
    connection.ConnectionString = DBConnStr;
    connection.LoginPrompt = false;
    connection.Open();
    if (!connection.Connected())
        return false;
    return connection.Execute(statement) > 0;
}

void TBackupPipeline::ArmStep(TTimer& timer, std::int64_t delayMs) {
    const std::int64_t clamped =
        std::clamp<std::int64_t>(delayMs, 0, std::numeric_limits<TTimer::TInterval>::max());
    timer.SetInterval(static_cast<TTimer::TInterval>(clamped));
    timer.SetEnabled(true);
    if (clamped == 0)
        EndCycle(TCycleOutcome::NotMailed); // the task's own setting ends it here
}

void TBackupPipeline::ResumeSchedulerAfterStop() { EndCycle(TCycleOutcome::Failed); }

void TBackupPipeline::SetStopState(const TStopCommandState& state) {
    stopState_ = &state;
    if (OnStopCommandChanged)
        OnStopCommandChanged();
}

void TBackupPipeline::actStopExecute() {
    if (actStop().ImageIndex == RunningState().ImageIndex) {
        bakPaused = true;
        UpdateTimer.SetEnabled(false);
        sendmailTimer.SetEnabled(false);
        rarTimer.SetEnabled(false);
        backupTimer.SetEnabled(false);
        // The cycle is abandoned, and nothing missed is caught up.
        cycle_.reset();
        endAfterHandler_.reset();
        scanOffSince_.reset();
        servedRuns_.clear();
        SetStopState(PausedState());
    } else {
        bakPaused = false;
        UpdateTimer.SetEnabled(true);
        SetStopState(RunningState());
    }
}

std::vector<AnsiString> TBackupPipeline::SplitDatabaseNames(const AnsiString& names) {
    std::vector<AnsiString> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = names.find(',', start);
        const std::string_view piece =
            std::string_view(names).substr(start, comma == AnsiString::npos ? AnsiString::npos : comma - start);
        const std::string_view trimmed = Trim(piece);
        if (comma == AnsiString::npos) {
            // The text after the last comma: nothing there adds no name.
            if (!trimmed.empty())
                out.emplace_back(trimmed);
            return out;
        }
        out.emplace_back(trimmed);
        start = comma + 1;
    }
}

AnsiString TBackupPipeline::BackupStatement(const AnsiString& databaseName, const AnsiString& folder,
                                            bool checksum) {
    const AnsiString inLiteral = DoubleQuoteChar(databaseName, '\'');
    AnsiString s;
    s += "if exists (select name From master.dbo.sysdatabases where name=";
    s += "'" + inLiteral + "'";
    s += ")";
    s += " BACKUP DATABASE [";
    s += DoubleQuoteChar(databaseName, ']');
    s += "] TO  DISK = ";
    s += BackupFileLiteral(databaseName, folder);
    s += " WITH  INIT ,  NOUNLOAD ,  NAME = N";
    s += "'";
    s += inLiteral;
    s += Texts().BackupNameSuffix;
    s += "',  NOSKIP ,  STATS = 10,  NOFORMAT";
    if (checksum)
        s += ", CHECKSUM";
    return s;
}

AnsiString TBackupPipeline::VerifyStatement(const AnsiString& databaseName, const AnsiString& folder,
                                            bool checksum) {
    AnsiString s = "RESTORE VERIFYONLY FROM DISK = " + BackupFileLiteral(databaseName, folder);
    if (checksum)
        s += " WITH CHECKSUM";
    return s;
}
