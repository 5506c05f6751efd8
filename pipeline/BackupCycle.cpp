#include "pipeline/BackupCycle.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "mail/IdMessage.h"
#include "pipeline/ArchiveMessage.h"
#include "pipeline/ArchiverChoice.h"
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

AnsiString TBackupCycle::BatchFileText(const std::string& exeFolder, const AnsiString& backupFolder) {
    try {
        return ArchiverBatchText(akRar, exeFolder, backupFolder, {});
    } catch (const EBatchOperandError& e) {
        throw EInOutError(e.Message); // the archive step ends its cycle on this error
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
    ActivityLog.AddLog(Texts().Packing);
    const TTaskRecord task = LoadTaskRecord(cdsTask, curRecNo);

    const std::string archiveFolder = ArchiveFolder();
    if (!DirectoryExists(archiveFolder)) {
        std::error_code ignored; // a folder that cannot be made shows as no archive to mail
        fs::create_directories(archiveFolder, ignored);
    }

    AnsiString text;
    try {
        text = BatchFileText(ExeFolder(), task.BakFilePath);
    } catch (const EInOutError&) {
        // The folder will not change by the next tick: the cycle ends here.
        rarTimer.SetEnabled(false);
        ResumeSchedulerAfterStop();
        throw;
    }
    // Raised before the timers change: the step is tried again at the next tick.
    // Owner only, like every file the program writes beside its settings.
    const std::string batchPath = BatchFilePath();
    if (int error = ReplaceFileContent(batchPath, text, 0600))
        throw EInOutError(Utf8ToAnsiLenient("Cannot write " + batchPath + ": " + ErrnoText(error)));

    // Started like WinExec: no waiting, and the outcome shows only on the
    // console (the runner reports what it cannot run there).
    try {
        TBatchRunner runner;
        runner.Start(batchPath);
    } catch (const EBatchError& e) {
        std::cerr << AnsiToUtf8Lenient(e.Message) << std::endl;
    }

    rarTimer.SetEnabled(false);
    ArmStep(sendmailTimer, SendDelay(task.SendTimeAfter));
    Loop().Sleep(ArchiverGrace);
    ActivityLog.AddLog(Texts().Packed);
}

void TBackupCycle::sendmailTimerTimer() {
    sendmailTimer.SetEnabled(false);
    UpdateTimer.SetEnabled(true);

    const std::string folder = ArchiveFolder();
    const std::vector<std::string> prefixes = ArchiveDatePrefixes(Loop().Clock().Now());
    // The listing is taken first: sending deletes entries, and messages that run
    // in between may add some.
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool ofTheseDays = std::any_of(prefixes.begin(), prefixes.end(),
                                             [&](const std::string& prefix) { return name.rfind(prefix, 0) == 0; });
        if (ofTheseDays && EndsWithNoCase(name, ".rar")) names.push_back(name);
    }

    for (const std::string& name : names) {
        const std::string path = folder + name;
        const std::optional<TLocalDateTime> stamp = FileStamp(path);
        if (stamp && IsFreshArchive(*stamp, Loop().Clock().Now()) && FileExists(path)) {
            ActivityLog.AddLog(Texts().Sending + Utf8ToAnsiLenient(name) + Texts().SendingEnd);
            SendArchive(path);
        }
        Loop().ProcessMessages();
    }

    if (mailSent) UpdateTimer.SetEnabled(true);
}

bool TBackupCycle::SendArchive(const std::string& path) {
    const TLocalDateTime now = ToLocal(Loop().Clock().Now());
    const TTaskRecord task = LoadTaskRecord(cdsTask, curRecNo);
    // The envelope gets the address, the From field the display name too.
    const TIdEMailAddressItem sender = ParseSender(MailSettings.SmtpName());
    const AnsiString ansiPath = Utf8ToAnsi(path);

    Loop().ProcessMessages();

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

    {
        TIdMessage message = MakeArchiveMessage(task, sender, ansiPath, now);
        Mail.Send(message);
    }
    // Deleted only once it was sent: after a failure it waits in the folder.
    std::error_code ignored;
    fs::remove(path, ignored);

    ActivityLog.AddLog(Texts().Sent + task.ToMailAddr);
    ActivityLog.AddLog(Texts().Separator);
    mailSent = true;
    return true;
}
