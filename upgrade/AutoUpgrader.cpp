#include "upgrade/AutoUpgrader.h"

#include <unistd.h>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/InternetState.h"
#include "platform/MessageBox.h"
#include "upgrade/UpgraderLaunch.h"
#include "upgrade/upgrader/UpgraderCommand.h"

AnsiString UpgradeQuestionText(const AnsiString& applicationTitle, const AnsiString& message) {
    AnsiString title = applicationTitle;
    if (title.find(LoadUpgraderString(auDefaultTitleResource)) != AnsiString::npos)
        title = LoadUpgraderString(auAppTitleResource);
    const AnsiString text = message.empty() ? message : "\n" + message + "\n";
    return Format(auMessage(23).c_str(), title.c_str(), text.c_str());
}

AnsiString FormatVersionDate(const TLocalDateTime& day) {
    return Format("%02d/%02d/%04d", day.Month, day.Day, day.Year);
}

bool ProgramFilesWritable() {
    const std::string folder = ExeFolder();
    return ::access(folder.c_str(), W_OK) == 0 && ::access((folder + ExeName()).c_str(), W_OK) == 0;
}

TauAutoUpgrader::TauAutoUpgrader(TMessageLoop& loop)
    : TauCustomHTTP(loop), autoCheckTimer_(loop, AutoCheckInterval, false) {
    VersionDate = FormatVersionDate(ToLocal(loop.Clock().Now()));
    SetLanguage(Wizard.Language);
    OnlineTest = [] { return InternetGetConnectedState(); };
    ProgramWritable = [] { return ProgramFilesWritable(); };
    autoCheckTimer_.OnTimer = [this] { AutoCheckTimerTimer(); };
    // An upgrader of an earlier upgrade has finished by now (it ends before
    // the program it restarted could get here); what it left goes.
    RemoveUpgraderLeftovers();
}

TauAutoUpgrader::~TauAutoUpgrader() {
    SetAutoCheck(false);
    AbortTransfer(); // before this object goes: no notification reaches it
}

void TauAutoUpgrader::SetAutoCheck(bool value) {
    autoCheck_ = value;
    ReevaluateTimer();
}

void TauAutoUpgrader::SetRestartParams(const std::string& value) {
    restartParams_ = value.empty() ? " " : value;
}

void TauAutoUpgrader::SetLanguage(TauAutoUpgraderLanguage language) {
    Wizard.Language = language;
    SetUpgraderLanguage(language);
}

void TauAutoUpgrader::Loaded(const std::string& firstArgument) {
    if (!OnAfterRestart) return;
    if (firstArgument == restartParams_) {
        OnAfterRestart();
        return;
    }
    // The upgrader passes RestartParams with the method digit appended, split
    // at blanks; the first argument is the first piece of that.
    for (const char* digit : {"0", "1"}) {
        const std::vector<std::string> pieces = SplitAtBlanks(restartParams_ + digit);
        if (!pieces.empty() && firstArgument == pieces.front()) {
            OnAfterRestart();
            return;
        }
    }
}

void TauAutoUpgrader::Log(const AnsiString& line) const {
    if (OnLog) OnLog(line);
}

void TauAutoUpgrader::ShowError(int message) const {
    ShowMessageBox(auMessage(message), auMessage(0), MB_OK | MB_ICONERROR);
}

// ---------------------------------------------------------------- the check

bool TauAutoUpgrader::StartUpdateCheck() {
    aborted_ = false;
    startedByTimer_ = false;
    if (IsTransferRunning()) return false;
    mode_ = InfoMode;
    UseCache = false;
    URL = InfoFileURL;
    OutputFileName.clear();
    const std::uint64_t maxBody = MaxBodySize;
    const TauHTTPTimeouts timeouts = Timeouts;
    MaxBodySize = MaxInfoFileSize;
    if (!Timeouts.TransferTimeout) Timeouts.TransferTimeout = InfoTransferTimeoutMs;
    const bool started = StartTransfer();
    MaxBodySize = maxBody;
    Timeouts = timeouts;
    return started;
}

void TauAutoUpgrader::DoHeadersReceived(const TauHttpHeaders& headers, bool& Continue) {
    if (mode_ == FileMode && Procedure) Procedure->FileHeaders(*this, headers, Continue);
}

void TauAutoUpgrader::DoProgress(const TauHttpProgress& progress) {
    if (mode_ == FileMode && Procedure) Procedure->FileProgress(*this, progress);
}

void TauAutoUpgrader::DoTransferCancelled() {
    if (mode_ == FileMode && Procedure) Procedure->FileCancelled(*this);
}

void TauAutoUpgrader::DoTransferDone(const std::string&, const std::string* data, std::int64_t) {
    if (mode_ == FileMode && Procedure) {
        Procedure->FileDone(*this);
        return;
    }
    if (mode_ != InfoMode) return;
    mode_ = Idle;
    ReadAnswer(data ? *data : std::string());
}

void TauAutoUpgrader::ReadAnswer(const std::string& body) {
    info_ = ReadUpgradeInfo(body, URL.find("://") == std::string::npos ? "http://" + URL : URL);
    urls_.clear();
    for (const TUpgradeFile& file : info_.Files) urls_.push_back(file.Url);

    const bool newer = VersionControl == byNumber
                           ? IsNewerVersion(info_.Version, VersionNumber)
                           : IsNewerDate(info_.Date, VersionDate, [this] {
                                 const TLocalDateTime now = ToLocal(Loop().Clock().Now());
                                 return TCalendarDate{now.Year, now.Month, now.Day};
                             }());
    if (!newer || urls_.empty()) {
        if (OnNoUpdateAvailable) OnNoUpdateAvailable();
        if (!startedByTimer_ && Shows(mNoUpdateAvailable)) ShowError(24);
        return;
    }
    const AnsiString announced = info_.Version.empty() ? info_.Date : info_.Version;
    if (!info_.Refusal.empty()) {
        Log(Utf8ToAnsi("新版本 ") + announced + Utf8ToAnsi(" 的升级信息不可用: ") + Utf8ToAnsiLenient(info_.Refusal));
        NoInfoFile();
        return;
    }
    bool canUpgrade = true;
    method_ = info_.Method;
    if (OnBeginUpgrade) OnBeginUpgrade(info_.Message, method_, urls_, canUpgrade);
    if (!canUpgrade) {
        if (OnLaterUpgrade) OnLaterUpgrade();
        return;
    }
    const bool display = Windows && Windows->HasDisplay();
    if ((Shows(mAskUpgrade) && !display) || (method_ != umRedirectToURL && !ProgramWritable())) {
        // Nobody to ask, or nothing the upgrade could replace: say so once.
        Log(Utf8ToAnsi("发现新版本 ") + announced + Utf8ToAnsi("，当前版本 ") + VersionNumber);
        if (OnLaterUpgrade) OnLaterUpgrade();
        return;
    }
    if (Shows(mAskUpgrade) && !Windows->AskUpgrade(UpgradeQuestionText(ApplicationTitle, info_.Message))) {
        if (OnLaterUpgrade) OnLaterUpgrade();
        return;
    }
    if (method_ == umRedirectToURL) {
        if (!Procedure) throw Exception("Opening the new version's web page is not available in this build");
        Procedure->OpenURL(*this, urls_.front());
        return;
    }
    DownloadNextFile(true);
}

void TauAutoUpgrader::DownloadNextFile(bool Starting) {
    if (!Procedure) throw Exception("Downloading the new version is not available in this build");
    Procedure->DownloadNextFile(*this, Starting);
}

void TauAutoUpgrader::EnterFileMode() {
    mode_ = FileMode;
    UseCache = true;
}

void TauAutoUpgrader::WizardClosed() {
    if (Procedure) Procedure->WizardClosed(*this);
}

void TauAutoUpgrader::NoInfoFile() {
    if (OnNoInfoFile) OnNoInfoFile();
    if (Shows(mNoInfoFile)) ShowError(25);
}

// ---------------------------------------------------------------- failures

void TauAutoUpgrader::DoHttpError(int status, const std::string*) {
    if (mode_ == FileMode && Procedure) {
        Procedure->FileLost(*this, status);
        return;
    }
    if (mode_ != InfoMode) return;
    mode_ = Idle;
    if (status == 200 && !FailureText().empty()) // refused unread (too large)
        Log(Utf8ToAnsi("升级信息不可用: ") + Utf8ToAnsiLenient(FailureText()));
    NoInfoFile();
}

void TauAutoUpgrader::DoHostUnreachable() {
    const std::string url = URL.find("://") == std::string::npos ? "http://" + URL : URL;
    const std::string host = UrlHostName(url);
    if (OnHostUnreachable) OnHostUnreachable(url, host);
    if (startedByTimer_) {
        autoCheckInProgress_ = false;
        ReevaluateTimer();
    } else if (Shows(mHostUnreachable)) {
        ShowMessageBox(Format(auMessage(26).c_str(), ("http://" + host).c_str()), auMessage(0), MB_OK | MB_ICONERROR);
    }
    StopUpgrade();
}

void TauAutoUpgrader::DoConnLost(std::int64_t, std::int64_t) {
    if (OnConnLost) OnConnLost();
    if (Shows(mConnLost)) ShowError(30);
    StopUpgrade();
}

void TauAutoUpgrader::DoPasswordRequest(const AnsiString& Realm, bool& TryAgain) {
    if (OnPasswordRequest) OnPasswordRequest(Realm, TryAgain);
    if (TryAgain || !Shows(mPasswordRequest) || !Windows || !Windows->HasDisplay()) return;
    if (Windows->AskPassword(*this))
        TryAgain = true;
    else
        AbortUpgrade();
}

void TauAutoUpgrader::DoNotificationFailed() {
    StopUpgrade();
}

void TauAutoUpgrader::AbortUpgrade() {
    aborted_ = true;
    StopUpgrade();
    if (OnAborted) OnAborted();
}

void TauAutoUpgrader::StopUpgrade() {
    AbortTransfer();
    if (mode_ == FileMode && Procedure) Procedure->Discard(*this);
    mode_ = Idle;
    if (Windows) Windows->CloseWindows();
}

// ---------------------------------------------------------------- auto-check timer

void TauAutoUpgrader::ReevaluateTimer() {
    autoCheckTimer_.SetEnabled(false);
    if (autoCheck_ && !autoCheckInProgress_) autoCheckTimer_.SetEnabled(true);
}

void TauAutoUpgrader::AutoCheckTimerTimer() {
    if (!(OnlineTest ? OnlineTest() : InternetGetConnectedState()) || !autoCheck_) return;
    autoCheckInProgress_ = true;
    ReevaluateTimer();
    StartUpdateCheck();
    startedByTimer_ = true;
}
