#pragma once
// The download procedure of an accepted upgrade: every listed file is staged
// beside the program as "<name>.uTMP.part", checked, and renamed to
// "<name>.uTMP" only when complete; after the last one the upgrader takes
// over and the application closes. Anything short of that hand-over removes
// what was staged, so a later upgrader never installs a partial upgrade.
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/MessageLoop.h"
#include "upgrade/AutoUpgrader.h"

// How often a hand-over waiting for a backup cycle looks again.
constexpr TTimer::TInterval BackupWaitInterval = 1000;

class TauUpgradeDownload : public TauUpgradeProcedure {
public:
    explicit TauUpgradeDownload(TMessageLoop& loop);

    // The program the upgrade replaces and the process the upgrader waits
    // for: this program's executable and process unless set.
    std::string ProgramPath;
    pid_t WaitPid = 0;
    // Whether a backup cycle runs now: the hand-over waits for its end.
    std::function<bool()> BackupRunning;

    void DownloadNextFile(TauAutoUpgrader& component, bool Starting) override;
    // Opens an http or https address with the desktop's browser.
    void OpenURL(TauAutoUpgrader& component, const std::string& url) override;
    void FileHeaders(TauAutoUpgrader& component, const TauHttpHeaders& headers, bool& CanUpgrade) override;
    void FileProgress(TauAutoUpgrader& component, const TauHttpProgress& progress) override;
    void FileDone(TauAutoUpgrader& component) override;
    void FileCancelled(TauAutoUpgrader& component) override;
    void FileLost(TauAutoUpgrader& component, int status) override;
    void Discard(TauAutoUpgrader& component) override;
    void WizardClosed(TauAutoUpgrader& component) override;

    // Writes and starts the upgrader with "+" + `restartParams`, then closes
    // the application. When it cannot be started the program stays: the
    // staged files go and an error box says why.
    void LaunchUpgrader(TauAutoUpgrader& component, const std::string& restartParams);

    // The folder the files are staged in (with its trailing "/").
    std::string Folder() const;
    // Where the listed file at `index` is staged while it arrives, and once complete.
    std::string PartPath(const TauAutoUpgrader& component, std::size_t index) const;
    std::string StagedPath(const TauAutoUpgrader& component, std::size_t index) const;
    std::size_t Index() const { return index_; }
    // The upgrader last started (0: none yet).
    pid_t UpgraderPid() const { return upgraderPid_; }

private:
    std::string Program() const;
    void StartFile(TauAutoUpgrader& component);
    void Finish(TauAutoUpgrader& component);
    void HandOver(TauAutoUpgrader& component, const std::string& restartParams);
    // Ends the upgrade (an abort when `abort`) with an error box of message
    // `message` (31 or 32) and `argument`.
    void Refuse(TauAutoUpgrader& component, int message, const std::string& argument, bool abort);
    // Message 28 for the current file; true when the user skips it.
    bool AskSkip(TauAutoUpgrader& component, const AnsiString& caption);
    // Removes every staged and partial file of this upgrade and of earlier ones.
    void RemoveStaged() const;
    void RemoveCurrentPart(const TauAutoUpgrader& component) const;

    std::size_t index_ = 0;
    std::optional<TSysSeconds> fileTime_;
    bool awaitingWizard_ = false;
    TTimer backupWait_;
    pid_t upgraderPid_ = 0;
};

// Why a downloaded file cannot stand in for the program at `programPath`
// ("" when it can): it must be an ELF executable of the old program's (or
// else this program's) class and machine.
std::string ProgramFileFault(const std::string& path, const std::string& programPath);
// The SHA-256 of a file as lower-case hex; "" when it cannot be read.
std::string FileSha256(const std::string& path);
