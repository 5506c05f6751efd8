#include "upgrade/UpgradeDownload.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <memory>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/ShellExecute.h"
#include "upgrade/UniqueFd.h"
#include "upgrade/UpgraderLaunch.h"
#include "upgrade/upgrader/ElfKind.h"
#include "upgrade/upgrader/UpgraderNames.h"

namespace {

constexpr char PartSuffix[] = ".part";

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether a staging file can be made at `part` and renamed to `staged`; "" or why not.
std::string StagingFault(const std::string& part, const std::string& staged) {
    struct stat info {};
    if (::lstat(staged.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return staged + ": " + ErrnoText(EISDIR);
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return part + ": " + ErrnoText(errno);
    ::close(fd);
    ::unlink(part.c_str());
    return {};
}

// Makes the complete file durable under its staged name; "" or why not.
std::string CommitStaged(const std::string& part, const std::string& staged, const std::string& folder) {
    {
        TUniqueFd file(::open(part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (file.Get() < 0 || ::fsync(file.Get()) != 0)
            return part + ": " + ErrnoText(errno);
    }
    if (::rename(part.c_str(), staged.c_str()) != 0)
        return staged + ": " + ErrnoText(errno);
    // The rename itself must survive a crash too.
    TUniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() >= 0)
        ::fsync(directory.Get());
    return {};
}

} // namespace

std::string FileSha256(const std::string& path) {
    TUniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.Get() < 0)
        return {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return {};
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {};
        if (n == 0)
            break;
        EVP_DigestUpdate(context.get(), buffer, static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1)
        return {};
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

std::string ProgramFileFault(const std::string& path, const std::string& programPath) {
    const TElfKind kind = ReadElfKind(path);
    if (!kind.Executable)
        return "no ELF program";
    TElfKind reference = ReadElfKind(programPath);
    if (!reference.Executable)
        reference = ReadElfKind("/proc/self/exe");
    if (!kind.SameMachine(reference))
        return "a program for another machine";
    return {};
}

TauUpgradeDownload::TauUpgradeDownload(TMessageLoop& loop) : backupWait_(loop, BackupWaitInterval, false) {}

std::string TauUpgradeDownload::Program() const {
    return ProgramPath.empty() ? ExeFolder() + ExeName() : ProgramPath;
}

std::string TauUpgradeDownload::Folder() const {
    const std::string program = Program();
    const std::size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string("./") : program.substr(0, slash + 1);
}

std::string TauUpgradeDownload::StagedPath(const TauAutoUpgrader& component, std::size_t index) const {
    return Folder() + component.LastInfo().Files.at(index).StagingName + StagedSuffix;
}

std::string TauUpgradeDownload::PartPath(const TauAutoUpgrader& component, std::size_t index) const {
    return StagedPath(component, index) + PartSuffix;
}

// ---------------------------------------------------------------- the files in turn

void TauUpgradeDownload::DownloadNextFile(TauAutoUpgrader& component, bool Starting) {
    if (Starting) {
        component.EnterFileMode();
        index_ = 0;
        awaitingWizard_ = false;
        RemoveStaged();
        if (component.Wizard.Enabled && component.Windows && component.Windows->HasDisplay())
            component.Windows->ShowWizard(component);
    } else {
        ++index_;
    }
    if (index_ < component.LastInfo().Files.size())
        StartFile(component);
    else
        Finish(component);
}

void TauUpgradeDownload::StartFile(TauAutoUpgrader& component) {
    const std::vector<TUpgradeFile>& files = component.LastInfo().Files;
    const TUpgradeFile& file = files[index_];
    if (component.Windows && component.Windows->WizardExists())
        component.Windows->SetWizardFile(file.Url, Format(auMessage(9).c_str(), static_cast<int>(index_ + 1),
                                                          static_cast<int>(files.size())));
    const std::string part = PartPath(component, index_);
    if (const std::string fault = StagingFault(part, StagedPath(component, index_)); !fault.empty()) {
        component.Log(Utf8ToAnsi("升级文档无法保存: ") + Utf8ToAnsiLenient(fault));
        if (AskSkip(component, auMessage(21)))
            DownloadNextFile(component, false);
        else
            component.AbortUpgrade();
        return;
    }
    fileTime_.reset();
    component.URL = file.Url;
    component.OutputFileName = part;
    component.HideOutputFile = true;
    if (!component.StartTransfer())
        Refuse(component, 32, "a transfer is still running", false);
}

void TauUpgradeDownload::FileHeaders(TauAutoUpgrader& component, const TauHttpHeaders& headers, bool& CanUpgrade) {
    const std::vector<TUpgradeFile>& files = component.LastInfo().Files;
    const TUpgradeFile& file = files[index_];
    fileTime_ = headers.LastModified;
    const std::int64_t length = headers.ContentLength;
    if (component.Windows && component.Windows->WizardExists())
        component.Windows->SetWizardFileSize(Format(auMessage(6).c_str(), static_cast<double>(length) / 1024));
    if (component.MiscFilesUpgrade == mfuOnlyIfSizeDifferent && length != 0 && files.size() > 1 &&
        !SameText(file.StagingName, BaseName(Program()))) {
        const std::string local = Folder() + file.StagingName;
        struct stat info {};
        if (::stat(local.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            // A size tells little; a hash given says for sure whether the file is the new one.
            CanUpgrade = file.Sha256.empty() ? info.st_size != length : FileSha256(local) != file.Sha256;
    }
    if (component.OnFileStart)
        component.OnFileStart(file.Url, length, fileTime_, CanUpgrade);
}

void TauUpgradeDownload::FileProgress(TauAutoUpgrader& component, const TauHttpProgress& progress) {
    const int count = static_cast<int>(component.LastInfo().Files.size());
    const int percent = progress.Figures.PercentDone;
    const int total = static_cast<int>(std::lround(static_cast<double>(index_) * 100 / count)) + percent / count;
    const std::int64_t left = progress.Figures.EstimatedSecondsLeft;
    if (component.OnProgress)
        component.OnProgress(component.URL, progress.ContentLength, progress.BytesTransferred,
                             progress.Figures.ElapsedSeconds, left, percent, total, progress.Figures.TransferRate);
    if (component.Windows && component.Windows->WizardExists()) {
        // Without an announced length the estimate runs negative: show none.
        const long seconds = left > 0 ? static_cast<long>(left) : 0;
        component.Windows->SetWizardProgress(
            percent, total, Format(auMessage(7).c_str(), static_cast<double>(progress.Figures.TransferRate)),
            Format(auMessage(8).c_str(), static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                   static_cast<int>(seconds % 60)));
    }
}

void TauUpgradeDownload::FileDone(TauAutoUpgrader& component) {
    const TUpgradeFile& file = component.LastInfo().Files[index_];
    const std::string part = PartPath(component, index_);
    const std::string staged = StagedPath(component, index_);
    const AnsiString name = Utf8ToAnsiLenient(file.StagingName);
    if (!file.Sha256.empty() && FileSha256(part) != file.Sha256) {
        ::unlink(part.c_str());
        component.Log(Utf8ToAnsi("升级文档校验失败: ") + name);
        Refuse(component, 31, name, true);
        return;
    }
    if (file.StagingName == BaseName(Program())) {
        // An error page sent with 200, or a build for another system, must
        // never take the program's place.
        if (const std::string fault = ProgramFileFault(part, Program()); !fault.empty()) {
            ::unlink(part.c_str());
            component.Log(name + Utf8ToAnsi(" 不能作为程序: ") + fault);
            Refuse(component, 31, name, true);
            return;
        }
    }
    if (const std::string fault = CommitStaged(part, staged, Folder()); !fault.empty()) {
        ::unlink(part.c_str());
        Refuse(component, 32, Utf8ToAnsiLenient(fault), false);
        return;
    }
    if (fileTime_) {
        const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(fileTime_->time_since_epoch().count()), 0}};
        ::utimensat(AT_FDCWD, staged.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    if (component.OnFileDone)
        component.OnFileDone(staged);
    DownloadNextFile(component, false);
}

void TauUpgradeDownload::FileCancelled(TauAutoUpgrader& component) {
    RemoveCurrentPart(component);
    DownloadNextFile(component, false);
}

void TauUpgradeDownload::FileLost(TauAutoUpgrader& component, int status) {
    RemoveCurrentPart(component);
    bool continueUpgrade = false;
    if (component.OnLostFile)
        component.OnLostFile(component.URL, status, continueUpgrade);
    if (component.Shows(mLostFile))
        continueUpgrade = AskSkip(component, auMessage(21) + " #" + std::to_string(status));
    if (continueUpgrade)
        DownloadNextFile(component, false);
    else
        component.AbortUpgrade();
}

bool TauUpgradeDownload::AskSkip(TauAutoUpgrader& component, const AnsiString& caption) {
    if (!component.Shows(mLostFile))
        return false;
    const AnsiString name = Utf8ToAnsiLenient(component.LastInfo().Files[index_].StagingName);
    return ShowMessageBox(Format(auMessage(28).c_str(), name.c_str()), caption, MB_YESNO | MB_ICONWARNING) == IDYES;
}

// ---------------------------------------------------------------- the end

void TauUpgradeDownload::Finish(TauAutoUpgrader& component) {
    if (component.Windows && component.Windows->WizardExists()) {
        // Goes on in WizardClosed: the finish button, or the close box confirmed (an abort).
        awaitingWizard_ = true;
        component.Windows->ShowFinishPage();
        return;
    }
    if (component.OnEndUpgrade)
        component.OnEndUpgrade();
    LaunchUpgrader(component, component.RestartParams() + (component.UpgradeMethod() == umUseExternalSetup ? "1" : "0"));
}

void TauUpgradeDownload::WizardClosed(TauAutoUpgrader& component) {
    if (!awaitingWizard_)
        return;
    awaitingWizard_ = false;
    if (component.Aborted())
        return;
    if (component.OnEndUpgrade)
        component.OnEndUpgrade();
    LaunchUpgrader(component, component.RestartParams() + (component.UpgradeMethod() == umUseExternalSetup ? "1" : "0"));
}

void TauUpgradeDownload::LaunchUpgrader(TauAutoUpgrader& component, const std::string& restartParams) {
    if (BackupRunning && BackupRunning()) {
        // A backup cycle is never cut off: the hand-over follows its end.
        if (!backupWait_.Enabled()) {
            component.Log(Utf8ToAnsi("备份正在进行，升级将在备份结束后继续"));
            backupWait_.OnTimer = [this, &component, restartParams] {
                if (BackupRunning && BackupRunning())
                    return;
                backupWait_.SetEnabled(false);
                HandOver(component, restartParams);
            };
            backupWait_.SetEnabled(true);
        }
        return;
    }
    HandOver(component, restartParams);
}

void TauUpgradeDownload::HandOver(TauAutoUpgrader& component, const std::string& restartParams) {
    try {
        upgraderPid_ = StartUpgrader({Program(), WaitPid, restartParams});
    } catch (const Exception& e) {
        Refuse(component, 32, e.Message, false);
        return;
    }
    // The staged files are the upgrader's now.
    component.LeaveFileMode();
    if (component.OnDoOwnCloseAppMethod)
        component.OnDoOwnCloseAppMethod();
    else if (component.CloseApplication)
        component.CloseApplication();
}

void TauUpgradeDownload::Refuse(TauAutoUpgrader& component, int message, const std::string& argument, bool abort) {
    if (abort)
        component.AbortUpgrade();
    else
        component.StopUpgrade();
    ShowMessageBox(Format(auMessage(message).c_str(), argument.c_str()), auMessage(0), MB_OK | MB_ICONERROR);
}

void TauUpgradeDownload::Discard(TauAutoUpgrader&) {
    awaitingWizard_ = false;
    backupWait_.SetEnabled(false);
    RemoveStaged();
}

void TauUpgradeDownload::RemoveCurrentPart(const TauAutoUpgrader& component) const {
    if (index_ < component.LastInfo().Files.size())
        ::unlink(PartPath(component, index_).c_str());
}

void TauUpgradeDownload::RemoveStaged() const {
    const std::string folder = Folder();
    const int parent = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return;
    DIR* entries = ::fdopendir(parent);
    if (!entries) {
        ::close(parent);
        return;
    }
    const std::string staged = StagedSuffix;
    const std::string part = staged + PartSuffix;
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (!EndsWith(name, staged) && !EndsWith(name, part))
            continue;
        struct stat info {};
        // Files of ours only; a folder of that name is left to its owner.
        if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(info.st_mode) &&
            info.st_uid == ::geteuid())
            ::unlinkat(parent, name.c_str(), 0);
    }
    ::closedir(entries);
}

// ---------------------------------------------------------------- the web page

void TauUpgradeDownload::OpenURL(TauAutoUpgrader& component, const std::string& url) {
    const std::string target = url.find("://") == std::string::npos ? "http://" + url : url;
    const std::string scheme = UrlScheme(target);
    // The opener would also run local files and launchers.
    if (scheme != "http" && scheme != "https") {
        component.Log(Utf8ToAnsi("新版本的网页地址不是 http 或 https，未打开: ") + Utf8ToAnsiLenient(target));
        return;
    }
    if (!ShellOpen(target))
        component.Log(Utf8ToAnsi("无法打开新版本的网页: ") + Utf8ToAnsiLenient(target));
}
