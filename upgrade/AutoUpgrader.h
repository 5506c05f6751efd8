#pragma once
// TauAutoUpgrader: fetches the update-info file, decides whether it announces
// a newer version, and offers the upgrade through the windows it is given.
// Everything here runs on the main thread; the transfer itself runs on the
// HTTP layer's worker.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "upgrade/AuHttp.h"
#include "upgrade/AuMessages.h"
#include "upgrade/UpgradeInfo.h"

enum TauAutoUpgraderShowMessage {
    mAskUpgrade, mConnLost, mHostUnreachable, mLostFile, mNoInfoFile, mNoUpdateAvailable, mPasswordRequest
};
// A set of TauAutoUpgraderShowMessage as a bit mask (flag n = bit n).
using TauAutoUpgraderShowMessages = unsigned;
constexpr TauAutoUpgraderShowMessages ShowFlag(TauAutoUpgraderShowMessage m) { return 1u << m; }
constexpr TauAutoUpgraderShowMessages DefaultShowMessages =
    ShowFlag(mAskUpgrade) | ShowFlag(mConnLost) | ShowFlag(mLostFile) | ShowFlag(mPasswordRequest); // 75

enum TacMiscFilesUpgradeBehavior { mfuAlwaysDownload, mfuOnlyIfSizeDifferent };

struct TauAutoUpgraderInfo {
    std::vector<std::string> Files;
    TacUpgradeMethod UpgradeMethod = umSelfUpgrade;
    AnsiString UpgradeMsg;
};

struct TauAutoUpgraderWizard {
    bool Enabled = true;
    TauAutoUpgraderLanguage Language = wlAuto;
    bool StayOnTop = true;
};

// How long the update-info transfer may take in all, unless Timeouts say otherwise.
constexpr std::uint32_t InfoTransferTimeoutMs = 120000;
constexpr TTimer::TInterval AutoCheckInterval = 10000;

class TauAutoUpgrader;

// The windows the component talks through: the desktop binds its Qt windows,
// tests a scripted set, and a program without a display binds none.
class TauUpgradeWindows {
public:
    virtual ~TauUpgradeWindows() = default;
    // Whether a window can be shown at all.
    virtual bool HasDisplay() const = 0;
    // The question window: true for its Yes button.
    virtual bool AskUpgrade(const AnsiString& question) = 0;
    // The password window: true for OK, after writing HTTPUsername and HTTPPassword.
    virtual bool AskPassword(TauAutoUpgrader& component) = 0;
    // Frees the question window and the wizard if they exist.
    virtual void CloseWindows() = 0;

    // The wizard of the downloads. A binding without one (the default) lets
    // the procedure go on without showing anything.
    virtual void ShowWizard(TauAutoUpgrader& component) { (void)component; }
    virtual bool WizardExists() const { return false; }
    // The file URL field and the all-files label (message 9).
    virtual void SetWizardFile(const std::string& url, const AnsiString& allFiles) { (void)url, (void)allFiles; }
    // The file-size label (message 6).
    virtual void SetWizardFileSize(const AnsiString& text) { (void)text; }
    // Both progress bars, the transfer-rate and the time-left labels.
    virtual void SetWizardProgress(int filePercent, int totalPercent, const AnsiString& rate,
                                   const AnsiString& timeLeft) {
        (void)filePercent, (void)totalPercent, (void)rate, (void)timeLeft;
    }
    // Switches to the finish page. However the wizard then closes, it calls
    // the component's WizardClosed().
    virtual void ShowFinishPage() {}
};

// What follows an accepted offer: the download procedure or the browser.
class TauUpgradeProcedure {
public:
    virtual ~TauUpgradeProcedure() = default;
    virtual void DownloadNextFile(TauAutoUpgrader& component, bool Starting) = 0;
    virtual void OpenURL(TauAutoUpgrader& component, const std::string& url) = 0;

    // The transfer's notifications in file mode.
    virtual void FileHeaders(TauAutoUpgrader& component, const TauHttpHeaders& headers, bool& CanUpgrade) {
        (void)component, (void)headers, (void)CanUpgrade;
    }
    virtual void FileProgress(TauAutoUpgrader& component, const TauHttpProgress& progress) {
        (void)component, (void)progress;
    }
    virtual void FileDone(TauAutoUpgrader& component) { (void)component; }
    virtual void FileCancelled(TauAutoUpgrader& component) { (void)component; }
    virtual void FileLost(TauAutoUpgrader& component, int status) { (void)component, (void)status; }
    // The upgrade ends without the hand-over (AbortUpgrade, StopUpgrade).
    virtual void Discard(TauAutoUpgrader& component) { (void)component; }
    // The wizard has closed.
    virtual void WizardClosed(TauAutoUpgrader& component) { (void)component; }
};

class TauAutoUpgrader : public TauCustomHTTP {
public:
    explicit TauAutoUpgrader(TMessageLoop& loop);
    ~TauAutoUpgrader() override;

    // ---- properties
    std::string InfoFileURL = "http://"; // without "://" taken as "http://" plus the text
    TauAutoUpgraderVersionControl VersionControl = byDate;
    AnsiString VersionNumber;
    AnsiString VersionDate; // MM/DD/YYYY; the day of construction by default
    bool VersionDateAutoSet = true;
    TauAutoUpgraderShowMessages ShowMessages = DefaultShowMessages;
    TauAutoUpgraderInfo InfoFile;
    TacMiscFilesUpgradeBehavior MiscFilesUpgrade = mfuAlwaysDownload;
    TauAutoUpgraderWizard Wizard;
    // The application's title in the question window.
    AnsiString ApplicationTitle;

    bool AutoCheck() const { return autoCheck_; }
    void SetAutoCheck(bool value);
    const std::string& RestartParams() const { return restartParams_; }
    void SetRestartParams(const std::string& value); // "" is stored as " "
    void SetLanguage(TauAutoUpgraderLanguage language);

    // ---- events (main thread)
    std::function<void(const AnsiString& UpgradeMsg, TacUpgradeMethod UpgradeMethod,
                       const std::vector<std::string>& Files, bool& CanUpgrade)>
        OnBeginUpgrade;
    std::function<void()> OnLaterUpgrade;
    std::function<void()> OnNoUpdateAvailable;
    std::function<void()> OnNoInfoFile;
    std::function<void(const std::string& URL, const std::string& Hostname)> OnHostUnreachable;
    std::function<void()> OnConnLost;
    std::function<void()> OnAborted;
    std::function<void(const AnsiString& Realm, bool& TryAgain)> OnPasswordRequest;
    std::function<void()> OnAfterRestart;
    // ---- events of the download procedure (main thread)
    std::function<void(const std::string& FileURL, std::int64_t FileSize,
                       const std::optional<TSysSeconds>& FileTime, bool& CanUpgrade)>
        OnFileStart;
    std::function<void(const std::string& FileURL, std::int64_t FileSize, std::int64_t BytesRead,
                       std::int64_t ElapsedTime, std::int64_t EstimatedTimeLeft, int PercentsDone,
                       int TotalPercentsDone, float TransferRate)>
        OnProgress;
    std::function<void(const std::string& FileName)> OnFileDone;
    std::function<void(const std::string& FileURL, int ErrorCode, bool& ContinueUpgrade)> OnLostFile;
    std::function<void()> OnEndUpgrade;
    // Replaces the closing of the application after the upgrader was started.
    std::function<void()> OnDoOwnCloseAppMethod;
    // A line for the activity log: an offer that was refused or could not be put.
    std::function<void(const AnsiString& line)> OnLog;

    // ---- collaborators
    TauUpgradeWindows* Windows = nullptr;     // none: no display
    TauUpgradeProcedure* Procedure = nullptr; // none: an accepted offer cannot go on
    // The online test of the auto-check timer.
    std::function<bool()> OnlineTest;
    // Whether the program's folder and file may be replaced.
    std::function<bool()> ProgramWritable;
    // Closes the application after the hand-over (the desktop's exit path).
    std::function<void()> CloseApplication;

    // ---- operations
    bool StartUpdateCheck();
    void AbortUpgrade();
    void StopUpgrade();
    void DownloadNextFile(bool Starting);
    // File mode: the cache is used again.
    void EnterFileMode();
    // Idle again after the hand-over or a refusal.
    void LeaveFileMode() { mode_ = Idle; }
    // The wizard calls this whenever it closes.
    void WizardClosed();
    // Whether the ShowMessages set holds a message.
    bool Shows(TauAutoUpgraderShowMessage m) const { return (ShowMessages & ShowFlag(m)) != 0; }
    void Log(const AnsiString& line) const;
    // After the stored settings are in place: fires OnAfterRestart when the
    // program was started with RestartParams.
    void Loaded(const std::string& firstArgument);

    // ---- state
    enum TMode { Idle, InfoMode, FileMode };
    TMode Mode() const { return mode_; }
    bool Aborted() const { return aborted_; }
    bool StartedByTimer() const { return startedByTimer_; }
    bool AutoCheckInProgress() const { return autoCheckInProgress_; }
    TacUpgradeMethod UpgradeMethod() const { return method_; }
    const std::vector<std::string>& URLList() const { return urls_; }
    // The update-info file as last read.
    const TUpgradeInfo& LastInfo() const { return info_; }
    TTimer& AutoCheckTimer() { return autoCheckTimer_; }

protected:
    void DoHeadersReceived(const TauHttpHeaders& headers, bool& Continue) override;
    void DoProgress(const TauHttpProgress& progress) override;
    void DoTransferCancelled() override;
    bool ListensForProgress() const override { return mode_ == FileMode; }
    void DoTransferDone(const std::string& contentType, const std::string* data, std::int64_t bytes) override;
    void DoConnLost(std::int64_t bytes, std::int64_t contentLength) override;
    void DoHostUnreachable() override;
    void DoHttpError(int status, const std::string* data) override;
    void DoPasswordRequest(const AnsiString& Realm, bool& TryAgain) override;
    void DoNotificationFailed() override;

private:
    void ReadAnswer(const std::string& body);
    void NoInfoFile();
    void ShowError(int message) const;
    void ReevaluateTimer();
    void AutoCheckTimerTimer();

    bool autoCheck_ = false;
    std::string restartParams_ = "/afterupgrade";
    bool aborted_ = false;
    bool startedByTimer_ = false;
    bool autoCheckInProgress_ = false;
    TMode mode_ = Idle;
    TacUpgradeMethod method_ = umSelfUpgrade;
    std::vector<std::string> urls_;
    TUpgradeInfo info_;
    TTimer autoCheckTimer_;
};

// The question window's text: message 23 with the title (or "<AppTitle>" for
// a default title) and the update message between line feeds.
AnsiString UpgradeQuestionText(const AnsiString& applicationTitle, const AnsiString& message);
// "MM/DD/YYYY" of a local date.
AnsiString FormatVersionDate(const TLocalDateTime& day);
// Whether the program's folder and executable may be written.
bool ProgramFilesWritable();
