#pragma once
// The whole backup cycle: the scheduler and backup step of TBackupPipeline
// plus the archive step (rarTimer: Keldor.bat starts `rar`, or the built-in
// quorvelzip when rar is absent, which packs the task's backup folder into
// bak/YYYYMMDDhhmmss.rar or .zip beside the executable) and the mail step
// (sendmailTimer: once this cycle's archiver has ended, its archive and
// today's other fresh archives are mailed through the SMTP client `Mail`, in
// volumes when the server's limit asks for it, and deleted once sent).
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "mail/IdSMTP.h"
#include "pipeline/ArchiverChoice.h"
#include "pipeline/ArchiverWatch.h"
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
    // The archiver this cycle started, which the mail step waits for.
    TArchiverWatch ArchiverWatch;

    // ---- handlers
    void rarTimerTimer();      // the archive step
    void sendmailTimerTimer(); // the mail step
    // Mails one archive (a file system path) to the current task's recipients
    // and deletes it once sent; true when it was sent. When the whole archive's
    // mail exceeds the limit (the server's SIZE, MaxMailSize) it goes as
    // volumes, one mail each, all deleted with the archive once every one was
    // sent. Errors are raised; the archive (and its volumes) then stay.
    // `encrypted`: the mail says the archive is.
    bool SendArchive(const std::string& path, bool encrypted = false);

    // "bak/" in the executable's folder.
    static std::string ArchiveFolder();
    static std::string BatchFilePath(); // Keldor.bat in the executable's folder

    // ---- pieces a test can reach
    // The three lines of Keldor.bat, CR LF ended, in code page 936. `exeFolder`
    // ends in "/"; `backupFolder` is the task's BakFilePath (code page 936).
    // `zipProgram`: quorvelzip's path, for akZip.
    static AnsiString BatchFileText(const std::string& exeFolder, const AnsiString& backupFolder,
                                    TArchiverKind kind = akRar, const std::string& zipProgram = {});
    // The archiver the `Archiver` setting (as stored) asks for, given whether
    // rar is found. Raises ESettingsError for a value it does not know.
    static TArchiverKind ArchiverInUse(const AnsiString& setting, bool rarFound);
    // The largest mail in bytes: the server's SIZE (0: none offered) and
    // MaxMailSize (0: none), the smaller when both are set; 0: no limit.
    static std::uint64_t MailSizeLimit(std::uint64_t serverSize, std::uint64_t maxMailSize);
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

protected:
    // Through the same mail server as the archives.
    void SendFailureNotice(const TFailureNotice& notice, const TTaskRecord& task) override;

private:
    // A fresh connection to the mail server with the settings as stored now.
    void ConnectMail();
    // The mail step once the archiver has ended (or none was watched).
    void MailArchives();
    // Ends the mail step early with `message` logged and raised; the scheduler
    // runs again.
    [[noreturn]] void EndMailStep(const AnsiString& message);
    // The variables and the secret channel through which the archiver gets
    // the archive password (empty: none).
    static void PassArchivePassword(TBatchRunner& runner, TArchiverKind kind, const AnsiString& password);

    bool archiveEncrypted_ = false; // this cycle's archiver got a password
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
