#include "pipeline/BackupCycle.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>

#include "mail/IdMessage.h"
#include "pipeline/ArchiveMessage.h"
#include "pipeline/ArchiveVolumes.h"
#include "platform/BatchRunner.h"
#include "platform/Files.h"
#include "settings/SmtpSetup.h"
#include "settings/StringCipher.h"
#include "tasks/TaskChecks.h"

namespace fs = std::filesystem;

namespace {

struct TTexts {
    AnsiString Packing = Utf8ToAnsi("压缩文件...");
    AnsiString Packed = Utf8ToAnsi("文件压缩完毕");
    AnsiString Sending = Utf8ToAnsi("发送邮件");
    AnsiString SendingEnd = "...";
    AnsiString Sent = Utf8ToAnsi("邮件成功发送给");
    AnsiString Separator = "<-----------------------------";
    AnsiString BodyDatabases = Utf8ToAnsi("自动备份数据库：");
    AnsiString BodyTime = Utf8ToAnsi("备份时间：");
    AnsiString Waiting = Utf8ToAnsi("等待压缩完成...");
    const char* Failed = "压缩失败(退出代码 %d)";
    const char* Warning = "压缩完成，但有警告(退出代码 %d)";
    AnsiString Overdue = Utf8ToAnsi("压缩超过 6 小时仍未完成，不再等待(压缩程序仍在运行)");
    const char* Splitting = "压缩包超过邮件大小限制(%llu 字节)，分为 %zu 卷发送";
    const char* SendingVolume = "发送分卷 %zu/%zu...";
    AnsiString VolumesSent = Utf8ToAnsi("已发送的分卷：");
    AnsiString NoVolumeSent = Utf8ToAnsi("无");
};

const TTexts& Texts() {
    static const TTexts texts;
    return texts;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && SameText(std::string_view(s).substr(s.size() - suffix.size()), suffix);
}

// Positions where a character starts (never the trail byte of a double-byte one).
std::vector<bool> CharacterStarts(const AnsiString& text) {
    std::vector<bool> starts(text.size() + 1, false);
    for (std::size_t i = 0; i < text.size(); ++i) {
        starts[i] = true;
        if (IsLeadByte(text[i]) && i + 1 < text.size()) ++i;
    }
    starts[text.size()] = true;
    return starts;
}

} // namespace

// ---------------------------------------------------------------- pure pieces

bool ReplaceMacro(AnsiString& text, const AnsiString& macro, const AnsiString& value, bool caseSensitive) {
    if (macro.empty()) return false;
    const AnsiString haystack = caseSensitive ? text : AnsiUpperCase(text);
    const AnsiString needle = caseSensitive ? macro : AnsiUpperCase(macro);
    const std::vector<bool> starts = CharacterStarts(text);
    AnsiString result;
    bool found = false;
    std::size_t from = 0, copied = 0;
    for (;;) {
        std::size_t at = haystack.find(needle, from);
        while (at != AnsiString::npos && !starts[at]) at = haystack.find(needle, at + 1);
        if (at == AnsiString::npos) break;
        found = true;
        result.append(text, copied, at - copied);
        result += value;
        from = copied = at + needle.size();
    }
    if (found) text = result + text.substr(copied);
    return found;
}

std::optional<TLocalDateTime> FileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    TLocalDateTime local = ToLocal(std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec));
    if (local.Year < 1980 || local.Year > 2107) return std::nullopt;
    // The FAT form keeps seconds halved: an odd second drops to the even one before.
    local.Second -= local.Second % 2;
    local.Millisecond = 0;
    return local;
}

// An empty file of a chosen size under a private temporary folder, named as a
// volume will be: what its mail measures is what the volume's mail will.
class TVolumeProbe {
public:
    TVolumeProbe() {
        std::string pattern = (fs::temp_directory_path() / "quorvel-volume-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw EVolumeError(Utf8ToAnsiLenient("Cannot make a temporary folder: " + ErrnoText(errno)));
        folder_ = pattern;
    }
    ~TVolumeProbe() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    TVolumeProbe(const TVolumeProbe&) = delete;
    TVolumeProbe& operator=(const TVolumeProbe&) = delete;

    // The stand-in for the archive `archiveName`, whose volume `n` gets `size` bytes.
    std::string Archive(const std::string& archiveName, std::size_t n, std::uint64_t size) const {
        const std::string archive = folder_ + "/" + archiveName;
        const std::string volume = VolumeName(archive, n);
        const int fd = ::open(volume.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const bool sized = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(size)) == 0;
        const int error = errno;
        if (fd >= 0) ::close(fd);
        if (!sized) throw EVolumeError(Utf8ToAnsiLenient("Cannot measure volume " + volume + ": " + ErrnoText(error)));
        return archive;
    }

private:
    std::string folder_;
};

// The size of the volumes of `archivePath` (`size` bytes) whose mails, as
// `makeMail` builds them for volume n of N of an archive path, stay within
// `limit`. The count's digits lengthen subject and body, so the size is
// measured again with the count it gives until that count is not larger.
std::uint64_t VolumePartSize(const std::string& archivePath, std::uint64_t size, std::uint64_t limit,
                             const std::function<TIdMessage(const std::string&, std::size_t, std::size_t)>& makeMail) {
    const std::uint64_t budget = limit > VolumeHeaderMargin ? limit - VolumeHeaderMargin : 0;
    const std::string name = fs::path(archivePath).filename().string();
    const TVolumeProbe probe;
    std::size_t count = 2;
    for (;;) {
        const std::uint64_t part = LargestFittingPart(budget, size, [&](std::uint64_t partSize) {
            TIdMessage mail = makeMail(probe.Archive(name, count, partSize), count, count);
            return EncodedMessageSize(mail);
        });
        if (part == 0)
            throw EVolumeError(Format("No volume of the archive fits the mail size limit of %llu bytes",
                                      static_cast<unsigned long long>(limit)));
        const std::size_t needed = VolumeCount(size, part);
        if (needed <= count) return part;
        count = needed;
    }
}

AnsiString TBackupCycle::BatchFileText(const std::string& exeFolder, const AnsiString& backupFolder, TArchiverKind kind,
                                       const std::string& zipProgram) {
    try {
        return ArchiverBatchText(kind, exeFolder, backupFolder, zipProgram);
    } catch (const EBatchOperandError& e) {
        throw EInOutError(e.Message); // the archive step ends its cycle on this error
    }
}

TArchiverKind TBackupCycle::ArchiverInUse(const AnsiString& setting, bool rarFound) {
    TArchiverSetting choice = asAuto;
    if (!ArchiverSettingFromText(setting, choice))
        throw ESettingsError("Archiver \"" + setting + "\" in section Option is not one of auto, rar, zip");
    return ChooseArchiver(choice, rarFound);
}

std::uint64_t TBackupCycle::MailSizeLimit(std::uint64_t serverSize, std::uint64_t maxMailSize) {
    if (serverSize == 0) return maxMailSize;
    if (maxMailSize == 0) return serverSize;
    return std::min(serverSize, maxMailSize);
}

void TBackupCycle::PassArchivePassword(TBatchRunner& runner, TArchiverKind kind, const AnsiString& password) {
    if (password.empty()) return;
    // The archivers take passwords as the desktop types them: UTF-8.
    const std::string utf8 = AnsiToUtf8(password);
    if (kind == akRar) {
        // rar reads its default switches from RAR, split at blanks: a blank
        // would cut the password short and leave the rest as switches.
        if (utf8.find_first_of(" \t\"") != std::string::npos || HasControlCharacter(utf8))
            throw ESettingsError("The archive password cannot hold blanks, double quotes or control characters "
                                 "when rar is the archiver (Archiver=zip takes any password)");
        runner.Environment.push_back("RAR=-hp" + utf8);
    } else {
        runner.Environment.push_back("QUORVEL_ARCHIVE_PASSWORD_FD=" + std::to_string(TBatchRunner::SecretDescriptor));
        runner.SecretInput = utf8;
    }
}

std::int64_t TBackupCycle::SendDelay(std::int64_t sendTimeAfterSeconds) {
    const std::int64_t delay = sendTimeAfterSeconds * 1000;
    return delay != 0 && delay < MinimumSendDelay ? MinimumSendDelay : delay;
}

bool TBackupCycle::IsFreshArchive(const TLocalDateTime& stamp, TTimePoint now) {
    auto age = now - FromLocal(stamp);
    if (age < TTimePoint::duration::zero()) age = -age;
    return age < FreshArchiveAge;
}

std::string TBackupCycle::ArchiveDatePrefix(const TLocalDateTime& day) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", day.Year % 10000, day.Month % 100, day.Day % 100);
    return buffer;
}

std::vector<std::string> TBackupCycle::ArchiveDatePrefixes(TTimePoint now) {
    std::vector<std::string> prefixes{ArchiveDatePrefix(ToLocal(now))};
    const std::string before = ArchiveDatePrefix(ToLocal(now - FreshArchiveAge));
    if (before != prefixes.front()) prefixes.push_back(before);
    return prefixes;
}

AnsiString TBackupCycle::ShortDate(const TLocalDateTime& t) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", t.Year % 10000, t.Month % 100, t.Day % 100);
    return buffer;
}

AnsiString TBackupCycle::DateTimeToStr(const TLocalDateTime& t) {
    if (t.Hour == 0 && t.Minute == 0 && t.Second == 0 && t.Millisecond == 0) return ShortDate(t);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", t.Hour % 100, t.Minute % 100, t.Second % 100);
    return ShortDate(t) + " " + buffer;
}

std::vector<AnsiString> TBackupCycle::MailBody(const AnsiString& databases, const TLocalDateTime& now) {
    return {Texts().BodyDatabases + databases, Texts().BodyTime + DateTimeToStr(now)};
}

std::string TBackupCycle::ArchiveFolder() { return ExeFolder() + "bak/"; }

std::string TBackupCycle::BatchFilePath() { return ExeFolder() + "Keldor.bat"; }

// ---------------------------------------------------------------- the steps

TBackupCycle::TBackupCycle(TMessageLoop& loop, TTaskTable& tasks, TActivityLog& log, TExceptionHandler reportError,
                           std::string configPath)
    : TBackupPipeline(loop, tasks, log, std::move(reportError), configPath), MailSettings(rzrgnfl1) {
    rzrgnfl1.Path = configPath.empty() ? ExeFolder() + "config.ini" : configPath;
    Mail.Port = TMailSettings::DefaultPort;
    Mail.SetReadTimeoutMs(MailReadTimeoutMs);
    InstallStep(rarTimer, [this] { rarTimerTimer(); });
    InstallStep(sendmailTimer, [this] { sendmailTimerTimer(); });
}

TBackupCycle::~TBackupCycle() = default;

void TBackupCycle::rarTimerTimer() {
    if (!bakDone) return;
    EnterStep(TCycleStep::Archive);
    ActivityLog.AddLog(Texts().Packing);
    const TTaskRecord task = LoadCycleTask(rarTimer);

    const std::string archiveFolder = ArchiveFolder();
    if (!DirectoryExists(archiveFolder)) {
        std::error_code ignored; // a folder that cannot be made shows as no archive to mail
        fs::create_directories(archiveFolder, ignored);
    }

    // What will not change by the next tick ends the cycle here.
    auto endCycle = [this] {
        rarTimer.SetEnabled(false);
        ResumeSchedulerAfterStop();
    };
    AnsiString text, password;
    TArchiverKind kind = akRar;
    TBatchRunner runner;
    try {
        const char* path = std::getenv("PATH");
        const bool rarFound = !FindRar(path ? path : "").empty();
        kind = ArchiverInUse(MailSettings.Archiver(), rarFound);
        if (kind == akRar && !rarFound)
            throw EInOutError("Archiver=rar in section Option, but rar is neither in /opt/rar, /usr/local/rar "
                              "nor on the PATH");
        text = BatchFileText(ExeFolder(), task.BakFilePath, kind, kind == akZip ? FindZipArchiver() : std::string());
        // A password that cannot be read must not give an archive in clear.
        password = MailSettings.ArchivePassword();
        PassArchivePassword(runner, kind, password);
    } catch (const Exception&) {
        endCycle();
        throw;
    }
    // Raised before the timers change: the step is tried again at the next tick.
    // Owner only, like every file the program writes beside its settings.
    const std::string batchPath = BatchFilePath();
    if (int error = ReplaceFileContent(batchPath, text, 0600))
        throw EInOutError(Utf8ToAnsiLenient("Cannot write " + batchPath + ": " + ErrnoText(error)));

    // Started like WinExec: no waiting; the watch learns when it has ended.
    // What the runner cannot run also goes to the console.
    std::string problems;
    runner.ErrorSink = [&problems](const std::string& line) {
        std::cerr << "batch: " << line << std::endl;
        problems += (problems.empty() ? "" : "; ") + line;
    };
    ArchiverWatch.Begin(archiveFolder, ArchiveExtension(kind), Loop().Clock().Now());
    try {
        runner.Start(batchPath);
    } catch (const EBatchError& e) {
        problems = AnsiToUtf8Lenient(e.Message);
    }
    if (runner.Started().empty()) {
        ArchiverWatch.Clear();
        endCycle();
        throw Exception(Utf8ToAnsiLenient("The archiver was not started: " + problems));
    }
    ArchiverWatch.Watch(runner.Started());
    archiveEncrypted_ = !password.empty();

    rarTimer.SetEnabled(false);
    ArmStep(sendmailTimer, SendDelay(task.SendTimeAfter));
    Loop().Sleep(ArchiverGrace);
    ActivityLog.AddLog(Texts().Packed);
}

void TBackupCycle::sendmailTimerTimer() {
    sendmailTimer.SetEnabled(false);
    // Until the archiver has ended the cycle is still in its archive step.
    switch (ArchiverWatch.State(Loop().Clock().Now())) {
    case TArchiverWatch::wsRunning:
        // Mailing now would send a truncated archive: look again shortly,
        // the minute scan staying off as during the other steps.
        if (!ArchiverWatch.WaitLogged) {
            ActivityLog.AddLog(Texts().Waiting);
            ArchiverWatch.WaitLogged = true;
        }
        ArmStep(sendmailTimer, TArchiverWatch::RecheckInterval);
        return;
    case TArchiverWatch::wsOverdue:
        // Left running: it may still finish, and its archive waits in the folder.
        ArchiverWatch.Clear();
        EndMailStep(Texts().Overdue);
    case TArchiverWatch::wsFailed: {
        const AnsiString failed = Format(Utf8ToAnsi(Texts().Failed).c_str(), ArchiverWatch.ExitCode());
        // A partial archive is of no use to anyone.
        ArchiverWatch.RemoveLeftovers();
        ArchiverWatch.Clear();
        EndMailStep(failed);
    }
    case TArchiverWatch::wsWarning:
        ActivityLog.AddLog(Format(Utf8ToAnsi(Texts().Warning).c_str(), ArchiverWatch.ExitCode()));
        break;
    case TArchiverWatch::wsSucceeded:
    case TArchiverWatch::wsNone:
        break;
    }
    EnterStep(TCycleStep::Mail);
    try {
        MailArchives();
    } catch (...) {
        EndCycle(TCycleOutcome::Failed);
        throw;
    }
    if (!mailSent)
        if (TRunRecord* record = CurrentCycle()) record->Errors.push_back("No fresh archive to mail in " + ArchiveFolder());
    EndCycle(mailSent ? TCycleOutcome::Sent : TCycleOutcome::Failed);
}

void TBackupCycle::EndMailStep(const AnsiString& message) {
    ActivityLog.AddLog(message);
    ResumeSchedulerAfterStop();
    throw Exception(message);
}

void TBackupCycle::MailArchives() {
    const std::string folder = ArchiveFolder();
    const std::string extension = ArchiverWatch.Extension().empty() ? ".rar" : ArchiverWatch.Extension();
    // This cycle's archiver made these, whatever day their names carry.
    const bool watched = ArchiverWatch.Watching();
    const std::vector<std::string> ours = ArchiverWatch.NewArchives();
    ArchiverWatch.Clear();
    const std::set<std::string> ourSet(ours.begin(), ours.end());

    // Archives of earlier cycles still fresh (a failed send) go too. The
    // listing is taken first: sending deletes entries, and messages that run
    // in between may add some.
    const std::vector<std::string> prefixes = ArchiveDatePrefixes(Loop().Clock().Now());
    std::vector<std::string> earlier;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool ofTheseDays = std::any_of(prefixes.begin(), prefixes.end(),
                                             [&](const std::string& prefix) { return name.rfind(prefix, 0) == 0; });
        if (ofTheseDays && EndsWithNoCase(name, extension) && !ourSet.count(name)) earlier.push_back(name);
    }
    std::sort(earlier.begin(), earlier.end());

    auto send = [this](const std::string& name, const std::string& path, bool encrypted) {
        ActivityLog.AddLog(Texts().Sending + Utf8ToAnsiLenient(name) + Texts().SendingEnd);
        SendArchive(path, encrypted);
    };
    for (const std::string& name : ours) {
        if (FileExists(folder + name)) send(name, folder + name, archiveEncrypted_);
        Loop().ProcessMessages();
    }
    for (const std::string& name : earlier) {
        const std::string path = folder + name;
        const std::optional<TLocalDateTime> stamp = FileStamp(path);
        if (stamp && IsFreshArchive(*stamp, Loop().Clock().Now()) && FileExists(path)) send(name, path, false);
        Loop().ProcessMessages();
    }

    if (watched && ours.empty())
        throw Exception(Utf8ToAnsiLenient("The archiver ended without leaving an archive (" + extension + ") in " +
                                          folder));
}

bool TBackupCycle::SendArchive(const std::string& path, bool encrypted) {
    const TLocalDateTime now = ToLocal(Loop().Clock().Now());
    const TTaskRecord task = LoadCycleTask(sendmailTimer);
    // The envelope gets the address, the From field the display name too.
    const TIdEMailAddressItem sender = ParseSender(MailSettings.SmtpName());
    const AnsiString ansiPath = Utf8ToAnsi(path);
    const std::uint64_t maxMailSize = MailSettings.MaxMailSize();

    Loop().ProcessMessages();

    ConnectMail();

    TArchiveMailOptions options;
    options.Encrypted = encrypted;
    auto makeMail = [&](const std::string& archive, std::size_t n, std::size_t count) {
        TArchiveMailOptions o = options;
        o.Volume = n;
        o.Volumes = count;
        return MakeArchiveMessage(task, sender, Utf8ToAnsi(archive), now, o);
    };
    // The server learns nothing of a limit it did not state; ours comes on top.
    const std::uint64_t limit = MailSizeLimit(Mail.SizeOffered ? Mail.MaxMessageSize : 0, maxMailSize);
    TIdMessage whole = MakeArchiveMessage(task, sender, ansiPath, now, options);
    std::size_t parts = 1;
    if (limit == 0 || EncodedMessageSize(whole) + VolumeHeaderMargin <= limit) {
        Mail.Send(whole);
    } else {
        std::error_code sizeError;
        const std::uint64_t size = fs::file_size(path, sizeError);
        if (sizeError) throw EVolumeError(Utf8ToAnsiLenient("Cannot read archive " + path + ": " + sizeError.message()));
        const std::vector<std::string> volumes = SplitArchive(path, VolumePartSize(path, size, limit, makeMail));
        const std::size_t count = volumes.size();
        ActivityLog.AddLog(Format(Utf8ToAnsi(Texts().Splitting).c_str(), static_cast<unsigned long long>(limit), count));
        AnsiString sent;
        try {
            for (std::size_t n = 1; n <= count; ++n) {
                ActivityLog.AddLog(Format(Utf8ToAnsi(Texts().SendingVolume).c_str(), n, count));
                TIdMessage message = makeMail(path, n, count);
                Mail.Send(message);
                sent += (sent.empty() ? "" : " ") + std::to_string(n) + "/" + std::to_string(count);
            }
        } catch (...) {
            // Every part stays, so the set can still be completed by hand.
            ActivityLog.AddLog(Texts().VolumesSent + (sent.empty() ? Texts().NoVolumeSent : sent));
            throw;
        }
        RemoveFiles(volumes);
        // Parts of an earlier, larger set of this archive (a failed send under
        // another limit) would otherwise stay forever.
        for (std::size_t n = count + 1; FileExists(VolumeName(path, n)); ++n) RemoveFiles({VolumeName(path, n)});
        parts = count;
    }
    if (TRunRecord* record = CurrentCycle()) {
        if (record->Archive.empty()) record->Archive = fs::path(path).filename().string();
        std::error_code unknown;
        const std::uintmax_t bytes = fs::file_size(path, unknown);
        if (!unknown) record->ArchiveBytes += bytes;
        record->Parts += static_cast<int>(parts);
    }
    // Deleted only once it was sent: after a failure it waits in the folder.
    std::error_code ignored;
    fs::remove(path, ignored);

    ActivityLog.AddLog(Texts().Sent + task.ToMailAddr);
    ActivityLog.AddLog(Texts().Separator);
    mailSent = true;
    return true;
}

void TBackupCycle::ConnectMail() {
    // A connection left from the last send may have died since (servers drop
    // idle clients); its end must not fail this send.
    try {
        Mail.Disconnect();
    } catch (const std::exception&) {
    }
    TMailServerSettings settings;
    MailSettings.Load(settings);
    ApplyMailServerSettings(Mail, settings);
    Mail.Connect();
    if (Mail.PlainTextByChoice()) ActivityLog.AddLog(Utf8ToAnsi(PlainTextWarning));
}

void TBackupCycle::SendFailureNotice(const TFailureNotice& notice, const TTaskRecord& task) {
    const TIdEMailAddressItem sender = ParseSender(MailSettings.SmtpName());
    ConnectMail();
    TIdMessage message;
    FillFailureMessage(message, notice, sender, task.ToMailAddr, task.CcMailAddr);
    Mail.Send(message);
}
