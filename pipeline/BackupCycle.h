#pragma once
// The whole backup cycle: the scheduler and backup step of TBackupPipeline
// plus the archive step (rarTimer: Keldor.bat starts `rar`, which packs the
// task's backup folder into bak/YYYYMMDDhhmmss.rar beside the executable) and
// the mail step (sendmailTimer: today's fresh archives are mailed through the
// SMTP client `Mail` and deleted once sent).
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "mail/IdSMTP.h"
#include "pipeline/BackupPipeline.h"
#include "platform/Exception.h"
#include "platform/SettingsAccessor.h"
#include "settings/MailSettings.h"

// The batch file cannot be written.
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

class TBackupCycle : public TBackupPipeline {
public:
    // A send delay below this (other than 0) is raised to it, in ms.
    static constexpr std::int64_t MinimumSendDelay = 30000;
    // The archive step waits this long after starting the archiver (ms).
    static constexpr std::uint32_t ArchiverGrace = 5000;
    // Only archives written less than this long ago are mailed.
    static constexpr std::chrono::minutes FreshArchiveAge{16};
    // A silent SMTP server ends the send instead of freezing the scheduler.
    static constexpr int MailReadTimeoutMs = 5 * 60 * 1000;

    // `configPath`: the settings file (empty: config.ini beside the executable).
    TBackupCycle(TMessageLoop& loop, TTaskTable& tasks, TActivityLog& log, TExceptionHandler reportError = {},
                 std::string configPath = {});
    ~TBackupCycle() override;

    TIdSMTP Mail;                // stays connected from one send to the next
    TSettingsAccessor rzrgnfl1;  // points at config.ini
    TMailSettings MailSettings;  // section Option, read at every send

    // ---- handlers
    void rarTimerTimer();      // the archive step
    void sendmailTimerTimer(); // the mail step
    // Mails one archive (a file system path) to the current task's recipients
    // and deletes it once sent; true when it was sent. Errors are raised; the
    // archive then stays where it is.
    bool SendArchive(const std::string& path);

    // "bak/" in the executable's folder.
    static std::string ArchiveFolder();
    static std::string BatchFilePath(); // Keldor.bat in the executable's folder

    // ---- pieces a test can reach
    // The three lines of Keldor.bat, CR LF ended, in code page 936. `exeFolder`
    // ends in "/"; `backupFolder` is the task's BakFilePath (code page 936).
    static AnsiString BatchFileText(const std::string& exeFolder, const AnsiString& backupFolder);
    // SendTimeAfter in seconds to the mail timer's interval in ms: 0 stays 0,
    // anything else below 30 s becomes 30 s.
    static std::int64_t SendDelay(std::int64_t sendTimeAfterSeconds);
    // Whether an archive stamped `stamp` is mailed at `now`: written less than
    // 16 minutes before (or, by clock skew, after) now.
    static bool IsFreshArchive(const TLocalDateTime& stamp, TTimePoint now);
    // "YYYYMMDD": the name every archive of that day starts with.
    static std::string ArchiveDatePrefix(const TLocalDateTime& day);
    // The days whose archives can still be fresh at `now`: today, and in the
    // first 16 minutes after midnight the day before too, so that a cycle that
    // crosses midnight mails its archive.
    static std::vector<std::string> ArchiveDatePrefixes(TTimePoint now);
    // The mail's text: the databases of the task after the label, then the time.
    static std::vector<AnsiString> MailBody(const AnsiString& databases, const TLocalDateTime& now);
    // The short date format, yyyy-MM-dd.
    static AnsiString ShortDate(const TLocalDateTime& t);
    // Short date and long time (HH:mm:ss); the time left out at exactly midnight.
    static AnsiString DateTimeToStr(const TLocalDateTime& t);
};

// Replaces every occurrence of `macro` in `text` by `value`, left to right; a
// value that contains the macro is not replaced again. Without `caseSensitive`
// letters match in any case (double-byte characters compare as they are).
// Returns whether an occurrence was found. An empty macro matches nothing.
bool ReplaceMacro(AnsiString& text, const AnsiString& macro, const AnsiString& value, bool caseSensitive);

// The file's last-write time as a local date and time with the two-second
// resolution of the FAT date-time form; nothing when the file cannot be found
// (or its time has no FAT form: before 1980 or after 2107).
std::optional<TLocalDateTime> FileStamp(const std::string& path);
