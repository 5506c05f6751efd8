// The archive and mail steps with real archivers: the mail step waits for this
// cycle's archiver, chooses between rar and the built-in quorvelzip, passes the
// archive password privately, and sends archives too large for the server as
// volumes. On the simulated loop with real processes and a real aiosmtpd.
#include <signal.h>

#include <map>
#include <random>

#include "pipeline/ArchiveVolumes.h"
#include "tests/pipeline/CycleFixture.h"
#include "tests/support/ShellRun.h"

namespace {

using namespace cycle_fixture;

class ArchiveCycleTest : public BackupCycleTest {
protected:
    void TearDown() override {
        for (const std::string& name : SetVariables) ::unsetenv(name.c_str());
        BackupCycleTest::TearDown();
    }
    // A variable the archivers see (the batch runner passes our environment on).
    void SetVariable(const std::string& name, const std::string& value) {
        ::setenv(name.c_str(), value.c_str(), 1);
        SetVariables.push_back(name);
    }
    // The archive step refused to start an archiver: the error, no batch file,
    // and the scheduler live with nothing left armed.
    void ExpectEndedAtTheArchiveStep(const std::string& error) {
        ASSERT_TRUE(Loop->RunUntil([&] { return !Errors.empty(); }, 5min));
        EXPECT_NE(Errors[0].find(error), std::string::npos) << Errors[0];
        EXPECT_FALSE(fs::exists(Dir / "Keldor.bat"));
        EXPECT_FALSE(Cycle->rarTimer.Enabled());
        EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
        EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
    }
    std::vector<std::string> SetVariables;
};

// A zip read to its end: the end record sits in the last 22 bytes.
bool IsWholeZip(const std::string& bytes) {
    return bytes.size() >= 22 && bytes.compare(bytes.size() - 22, 4, "PK\x05\x06") == 0;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// ---------------------------------------------------------------- waiting

struct TExitCase {
    const char* Name;
    int Exit;
    bool Slow;            // the archive is still being written when the send delay ends
    bool Mailed;
    std::string LogLine;  // logged once the archiver ended; empty: none
};
void PrintTo(const TExitCase& c, std::ostream* os) { *os << c.Name; }

class ArchiverExitTest : public ArchiveCycleTest, public testing::WithParamInterface<TExitCase> {};

TEST_P(ArchiverExitTest, MailsOnlyWhatAFinishedArchiverMade) {
    const TExitCase& c = GetParam();
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    if (c.Slow) SetVariable("QUORVEL_RAR_SLOW", "1.5");
    SetVariable("QUORVEL_RAR_EXIT", std::to_string(c.Exit));
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    Loop->RunFor(55s); // the send delay has passed
    if (c.Slow) {
        EXPECT_EQ(CountLog("等待压缩完成..."), 1);
        EXPECT_TRUE(smtp.Messages().empty()) << "nothing mailed while the archiver writes";
        EXPECT_TRUE(Cycle->sendmailTimer.Enabled());
        EXPECT_EQ(Cycle->sendmailTimer.Interval(), 10000u);
        EXPECT_FALSE(Cycle->UpdateTimer.Enabled()) << "the minute scan stays off while waiting";
    }
    ASSERT_TRUE(PumpMailStep());
    EXPECT_LE(CountLog("等待压缩完成..."), 1) << "logged once per cycle";
    if (!c.LogLine.empty()) {
        EXPECT_TRUE(Contains(LogTexts(), c.LogLine));
    }
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled()) << "the scheduler is live again";
    EXPECT_TRUE(Archives().empty()) << "sent and deleted, or removed as useless";

    const std::vector<TSpooledMessage> mails = smtp.Messages();
    if (c.Mailed) {
        EXPECT_TRUE(Errors.empty()) << Errors.front();
        ASSERT_EQ(mails.size(), 1u);
        EXPECT_TRUE(IsWholeZip(mails[0].Attachment)) << "the whole archive";
        EXPECT_EQ(LogTexts().back(), "<-----------------------------");
    } else {
        EXPECT_TRUE(mails.empty());
        ASSERT_EQ(Errors.size(), 1u);
        EXPECT_EQ(Errors[0], c.LogLine);
        EXPECT_EQ(LogTexts().back(), c.LogLine);
        EXPECT_FALSE(Cycle->mailSent);
        EXPECT_TRUE(fs::is_empty(Dir / "bak")) << "no partial archive left";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ArchiverExitTest,
    testing::Values(TExitCase{"SlowSuccess", 0, true, true, ""},
                    TExitCase{"WarningCountsAsSuccess", 1, true, true, "压缩完成，但有警告(退出代码 1)"},
                    TExitCase{"SlowFailure", 2, true, false, "压缩失败(退出代码 2)"},
                    TExitCase{"QuickFailure", 9, false, false, "压缩失败(退出代码 9)"}),
    [](const auto& test) { return std::string(test.param.Name); });

// Started at 23:51 and done after 01:10: its archive carries the day before in
// its name and is far from fresh, and is still the one mailed.
TEST_F(ArchiveCycleTest, AnArchiverThatEndsAfterMidnightIsMailed) {
    Anchor = LocalTime(23, 50, 0);
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    SetVariable("QUORVEL_RAR_DELAY", "1.5");
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    Loop->RunFor(80min);
    ASSERT_TRUE(smtp.Messages().empty()) << "the archiver has not written yet";
    ASSERT_GE(ToLocal(Loop->Now()).Hour, 1);
    ASSERT_TRUE(PumpMailStep());
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].FileName.rfind(TBackupCycle::ArchiveDatePrefix(ToLocal(Anchor)) + "2351", 0), 0u)
        << mails[0].FileName;
    EXPECT_TRUE(Archives().empty());
}

TEST_F(ArchiveCycleTest, TheWaitEndsAfterSixHoursWithTheArchiverLeftRunning) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    SetVariable("QUORVEL_RAR_DELAY", "60");
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    ASSERT_EQ(Cycle->ArchiverWatch.Started().size(), 1u);
    const pid_t archiver = Cycle->ArchiverWatch.Started()[0].Pid;
    Loop->RunFor(6h);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("6 小时"), std::string::npos) << Errors[0];
    EXPECT_EQ(CountLog("等待压缩完成..."), 1);
    EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
    EXPECT_TRUE(smtp.Messages().empty());
    EXPECT_EQ(::kill(archiver, 0), 0) << "left running";
    ::kill(archiver, SIGKILL);
}

// The pause command still stops a cycle that waits for its archiver.
TEST_F(ArchiveCycleTest, PauseStopsTheWait) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    SetVariable("QUORVEL_RAR_SLOW", "1");
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    Loop->RunFor(60s);
    ASSERT_EQ(CountLog("等待压缩完成..."), 1);
    Cycle->actStopExecute();
    EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
    EXPECT_FALSE(Cycle->UpdateTimer.Enabled());
    ASSERT_TRUE(WaitForArchiver()); // its archive is there now, and still nothing may mail it
    Loop->RunFor(10min);
    EXPECT_TRUE(smtp.Messages().empty());
    EXPECT_TRUE(Errors.empty()) << Errors.front();
}

// ---------------------------------------------------------------- the archiver in use

struct TChoiceCase {
    const char* Name;
    const char* Setting; // nullptr: not in the file
    bool RarPresent;
    std::string Program;   // "rar", "quorvelzip", or "" when the cycle ends with an error
    std::string Error;     // part of it
};
void PrintTo(const TChoiceCase& c, std::ostream* os) { *os << c.Name; }

class ArchiverChoiceCycleTest : public ArchiveCycleTest, public testing::WithParamInterface<TChoiceCase> {};

TEST_P(ArchiverChoiceCycleTest, WritesTheLineAndMailsTheExtensionOfTheArchiverInUse) {
    const TChoiceCase& c = GetParam();
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port(), "secret", "backup@example.com",
                std::string("SmtpSecurity=none\r\n") + (c.Setting ? "Archiver=" + std::string(c.Setting) + "\r\n" : ""));
    fs::create_symlink(std::string(QUORVEL_BINARY_DIR) + "/app/quorvelzip", Dir / "quorvelzip");
    if (!c.RarPresent) SetPath(OldPath);
    AddDueTask(database);
    StartLoop();
    if (c.Program.empty()) return ExpectEndedAtTheArchiveStep(c.Error);
    RunToMailTimer();
    const std::string program = c.Program == "rar" ? "rar" : (Dir / "quorvelzip").string();
    EXPECT_EQ(Slurp(Dir / "Keldor.bat"), "@Echo off\r\npath /opt/rar;/usr/local/rar;%path%\r\n" + program + " a -r -ag " +
                                             (Dir / "bak").string() + "/ " + (Dir / "backup").string() + "/\r\n");
    ASSERT_TRUE(PumpMailStep());
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 1u);
    const std::string extension = c.Program == "rar" ? ".rar" : ".zip";
    EXPECT_EQ(fs::path(mails[0].FileName).extension(), extension) << mails[0].FileName;
    EXPECT_EQ(mails[0].FileName.size(), 18u);
    EXPECT_TRUE(IsWholeZip(mails[0].Attachment));
    EXPECT_TRUE(fs::is_empty(Dir / "bak")) << "deleted once sent";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ArchiverChoiceCycleTest,
    testing::Values(TChoiceCase{"MissingWithRar", nullptr, true, "rar", ""},
                    TChoiceCase{"MissingWithoutRar", nullptr, false, "quorvelzip", ""},
                    TChoiceCase{"AutoWithRar", "auto", true, "rar", ""},
                    TChoiceCase{"AutoWithoutRar", " AUTO ", false, "quorvelzip", ""},
                    TChoiceCase{"RarWithRar", "rar", true, "rar", ""},
                    TChoiceCase{"RarWithoutRar", "rar", false, "", "Archiver=rar"},
                    TChoiceCase{"ZipWithRar", "zip", true, "quorvelzip", ""},
                    TChoiceCase{"ZipWithoutRar", "Zip", false, "quorvelzip", ""},
                    TChoiceCase{"Unknown", "7z", true, "", "Archiver \"7z\""}),
    [](const auto& test) { return std::string(test.param.Name); });

// ---------------------------------------------------------------- encryption

struct TSecretCase {
    const char* Name;
    const char* Archiver;
    std::string Password;
    std::string Error; // part of it; empty: mailed encrypted
};
void PrintTo(const TSecretCase& c, std::ostream* os) { *os << c.Name; }

class ArchivePasswordTest : public ArchiveCycleTest, public testing::WithParamInterface<TSecretCase> {};

TEST_P(ArchivePasswordTest, ReachesOnlyTheArchiver) {
    const TSecretCase& c = GetParam();
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port(), "secret", "backup@example.com",
                "SmtpSecurity=none\r\nArchiver=" + std::string(c.Archiver) + "\r\nArchivePass=" +
                    CipherText(Utf8ToAnsi(c.Password), SmtpPasswordKey, true) + "\r\n");
    fs::create_symlink(std::string(QUORVEL_BINARY_DIR) + "/app/quorvelzip", Dir / "quorvelzip");
    SetVariable("QUORVEL_RAR_LOG", (Dir / "rar-argv.txt").string());
    SetVariable("QUORVEL_RAR_ENV", (Dir / "rar-env.txt").string());
    AddDueTask(database);
    StartLoop();
    if (!c.Error.empty()) return ExpectEndedAtTheArchiveStep(c.Error);
    RunToMailTimer();
    RunMailStep();
    EXPECT_TRUE(Errors.empty()) << Errors.front();

    const std::string batch = Slurp(Dir / "Keldor.bat");
    EXPECT_EQ(batch.find(c.Password), std::string::npos) << batch;
    struct stat st {};
    ASSERT_EQ(::stat((Dir / "Keldor.bat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const std::string& line : LogTexts()) EXPECT_EQ(line.find(c.Password), std::string::npos) << line;

    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 1u);
    const std::vector<std::string> body = SplitLines(AnsiToUtf8Lenient(mails[0].Body));
    ASSERT_GE(body.size(), 3u);
    EXPECT_EQ(body[2], "压缩包已加密\r");

    if (std::string(c.Archiver) == "rar") {
        EXPECT_EQ(Slurp(Dir / "rar-env.txt"), "-hp" + c.Password + "\n");
        const std::string argv = Slurp(Dir / "rar-argv.txt");
        EXPECT_NE(argv.find("\"-ag\""), std::string::npos) << argv;
        EXPECT_EQ(argv.find(c.Password), std::string::npos) << argv;
        return;
    }
    EXPECT_FALSE(fs::exists(Dir / "rar-argv.txt"));
    // 7-Zip, an independent reader, opens the AES archive with the password only.
    const fs::path archive = Dir / "mailed.zip";
    std::ofstream(archive, std::ios::binary) << mails[0].Attachment;
    EXPECT_EQ(RunShell("7zz t '-p" + c.Password + "' '" + archive.string() + "' >/dev/null 2>&1").Status, 0);
    EXPECT_NE(RunShell("7zz t -pwrong '" + archive.string() + "' >/dev/null 2>&1 </dev/null").Status, 0);
    EXPECT_EQ(RunShell("7zz l -slt '-p" + c.Password + "' '" + archive.string() + "' | grep -q 'AES-256'").Status, 0)
        << "AES-256";
}

INSTANTIATE_TEST_SUITE_P(
    Archivers, ArchivePasswordTest,
    testing::Values(TSecretCase{"Rar", "rar", "S3cret-word", ""},
                    TSecretCase{"BuiltIn", "zip", "S3cret 密码", ""},
                    TSecretCase{"RarRefusesABlank", "rar", "two words", "cannot hold blanks"}),
    [](const auto& test) { return std::string(test.param.Name); });

// ---------------------------------------------------------------- volumes

struct TVolumeCase {
    const char* Name;
    long long ServerSize;    // SIZE offered; 0: aiosmtpd's default (32 MiB)
    std::string MaxMailSize; // section Option; empty: not set
    std::size_t BackupBytes;
    int RefuseAfter;         // the server refuses mails after this many; 0: none
    std::size_t Limit;       // what every mail must stay within
};
void PrintTo(const TVolumeCase& c, std::ostream* os) { *os << c.Name; }

class VolumeCycleTest : public ArchiveCycleTest, public testing::WithParamInterface<TVolumeCase> {};

TEST_P(VolumeCycleTest, SendsPartsThatJoinToTheArchive) {
    const TVolumeCase& c = GetParam();
    // Incompressible, so the archive is as large as the backup.
    std::string backup(c.BackupBytes, '\0');
    std::mt19937 random(13);
    for (char& b : backup) b = static_cast<char>(random());
    std::ofstream(Dir / "backup" / "pubs.bak", std::ios::binary) << backup;
    TTdsTestServer database;
    TSmtpSpoolServer smtp({.SizeLimit = c.ServerSize, .RefuseDataAfter = c.RefuseAfter});
    WriteConfig(smtp.Port(), "secret", "backup@example.com",
                "SmtpSecurity=none\r\n" + (c.MaxMailSize.empty() ? "" : "MaxMailSize=" + c.MaxMailSize + "\r\n"));
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    const std::vector<fs::path> archives = Archives(1);
    ASSERT_EQ(archives.size(), 1u);
    // Left by an earlier send of a larger set: a stale part goes with the rest.
    for (std::size_t n = 1; n <= 20 && c.RefuseAfter == 0; ++n)
        std::ofstream(VolumeName(archives[0].string(), n)) << "stale part";
    RunMailStep();
    const std::string name = archives[0].filename().string();
    const std::vector<TSpooledMessage> mails = smtp.Messages();

    if (c.RefuseAfter > 0) {
        ASSERT_EQ(Errors.size(), 1u);
        ASSERT_EQ(mails.size(), static_cast<std::size_t>(c.RefuseAfter));
        EXPECT_TRUE(fs::exists(archives[0])) << "kept after a refused volume";
        std::size_t parts = 0;
        while (fs::exists(VolumeName(archives[0].string(), parts + 1))) ++parts;
        EXPECT_GT(parts, 1u) << "every volume kept";
        EXPECT_TRUE(Contains(LogTexts(), "已发送的分卷：1/" + std::to_string(parts)));
        EXPECT_FALSE(Cycle->mailSent);
        EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
        return;
    }
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    ASSERT_GT(mails.size(), 1u);
    const std::string count = std::to_string(mails.size());
    const std::string subject = "备份" + name + " " + AnsiToUtf8(TBackupCycle::ShortDate(ToLocal(Loop->Now())));
    std::string joined;
    for (std::size_t n = 1; n <= mails.size(); ++n) {
        const TSpooledMessage& mail = mails[n - 1];
        const std::string part = std::to_string(n) + "/" + count;
        EXPECT_EQ(mail.Subject, subject + " (" + part + ")");
        EXPECT_NE(AnsiToUtf8Lenient(mail.Body).find("分卷 " + part), std::string::npos) << mail.Body;
        EXPECT_EQ(mail.FileName, VolumeName(name, n));
        EXPECT_LE(mail.Raw.size(), c.Limit);
        joined += mail.Attachment;
    }
    // Joined, the parts are the archive again: its backup comes out byte for byte.
    const fs::path rejoined = Dir / "joined.zip";
    std::ofstream(rejoined, std::ios::binary) << joined;
    ASSERT_EQ(RunShell("cd '" + Dir.string() + "' && 7zz e -y -oout joined.zip >/dev/null").Status, 0);
    EXPECT_TRUE(Slurp(Dir / "out" / "pubs.bak") == backup);
    EXPECT_TRUE(fs::is_empty(Dir / "bak")) << "the archive and its volumes deleted once all were sent";
    EXPECT_EQ(CountLog("邮件成功发送给ops@example.com"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, VolumeCycleTest,
    testing::Values(TVolumeCase{"ServerSize", 300000, "", 1000000, 0, 300000},
                    TVolumeCase{"MaxMailSizeBelowTheServers", 0, "1", 1200000, 0, 1048576},
                    TVolumeCase{"SmallerOfBoth", 2000000, "1", 1200000, 0, 1048576},
                    TVolumeCase{"RefusedMidway", 300000, "", 1000000, 1, 300000}),
    [](const auto& test) { return std::string(test.param.Name); });

// Within the limit: one archive, one mail, as without one.
TEST_F(ArchiveCycleTest, AnArchiveThatFitsGoesWhole) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp({.SizeLimit = 300000});
    WriteConfig(smtp.Port());
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    ASSERT_EQ(Archives(1).size(), 1u);
    RunMailStep();
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    ASSERT_EQ(smtp.Messages().size(), 1u);
    EXPECT_EQ(LogTexts(), TypicalDayLog(smtp.Messages()[0].FileName));
}

} // namespace
