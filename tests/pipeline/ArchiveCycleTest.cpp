// The archive and mail steps with real archivers: the mail step waits for this
// cycle's archiver, chooses between rar and the built-in quorvelzip, passes the
// archive password privately, and sends archives too large for the server as
// volumes. On the simulated loop with real processes and a real aiosmtpd.
#include <signal.h>

#include <map>
#include <random>

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
    [](const auto& info) { return std::string(info.param.Name); });

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
    std::this_thread::sleep_for(1500ms);
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
    if (c.Program.empty()) {
        ASSERT_TRUE(Loop->RunUntil([&] { return !Errors.empty(); }, 5min));
        EXPECT_NE(Errors[0].find(c.Error), std::string::npos) << Errors[0];
        EXPECT_FALSE(fs::exists(Dir / "Keldor.bat"));
        EXPECT_FALSE(Cycle->rarTimer.Enabled());
        EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
        EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
        return;
    }
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
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
