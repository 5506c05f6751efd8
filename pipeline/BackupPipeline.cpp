#include "pipeline/BackupPipeline.h"

#include <algorithm>
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
    if (!reportError_) {
        HandleCurrentException();
        return;
    }
    try {
        throw;
    } catch (const std::exception& e) {
        reportError_(ExceptionMessage(e));
    } catch (...) {
        reportError_("Unknown error");
    }
}

void TBackupPipeline::RunReporting(const std::function<void()>& step) {
    try {
        step();
    } catch (...) {
        ReportCurrentError();
    }
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
            StartCycle();
            return;
        }
        cdsTask.GoNext();
    }
}

void TBackupPipeline::StartCycle() {
    mailSent = false;
    bakDone = false;
    connectFailingSince_.reset();
    backupTimer.SetEnabled(true);
    UpdateTimer.SetEnabled(false);
    curRecNo = cdsTask.CurrentNumber();
    ActivityLog.AddLog(Texts().StartTask + ReadTaskRecord(cdsTask).TaskName + Texts().StartTaskEnd);
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
    const TTaskRecord task = LoadTaskRecord(cdsTask, curRecNo);
    // A task stored before its texts were checked: nothing of it may reach the
    // server, the archiver or the mail server.
    if (const AnsiString fault = TaskRecordFault(task); !fault.empty()) {
        backupTimer.SetEnabled(false);
        ResumeSchedulerAfterStop();
        throw Exception(fault);
    }
    const std::int64_t rarDelay = static_cast<std::int64_t>(task.RarTimeAfter) * 1000;
    TSettingsAccessor settings;
    settings.Path = configPath_.empty() ? ExeFolder() + "config.ini" : configPath_;
    const TCycleOptions options = TCycleSettings(settings).Load();
    const bool hasServer = !task.ServerName.empty();
    try {
        ConnectTaskDB(task);
    } catch (...) {
        // Tried again at the next tick (bakDone stays false), for a while.
        NoteConnectFailure(attemptStart);
        throw;
    }
    connectFailingSince_.reset();

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
        ResumeSchedulerAfterStop();
}

void TBackupPipeline::ResumeSchedulerAfterStop() {
    if (!bakPaused)
        UpdateTimer.SetEnabled(true);
}

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
