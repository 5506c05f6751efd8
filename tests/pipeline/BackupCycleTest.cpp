// Whole backup cycles on the simulated loop at a fixed instant, with the
// three real peers: the TDS test server over ODBC/FreeTDS, the rar stand-in
// started through Keldor.bat, and aiosmtpd receiving the mail.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "tests/pipeline/CycleFixture.h"
#include "tests/peers/TestCertificates.h"
#include "tests/support/ClosedPort.h"

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

using cycle_fixture::BackupCycleTest;
using cycle_fixture::Slurp;

class TypicalDayTest : public BackupCycleTest, public testing::WithParamInterface<int> {};

// At noon, and at 23:58: that cycle's archive is made before midnight and
// mailed after it.
TEST_P(TypicalDayTest, MailsTheBackupOnce) {
    Anchor = LocalTime(GetParam() / 100, GetParam() % 100, 0);
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    AddDueTask(database, 60, "ops@example.com", "boss@example.com");
    StartLoop();
    RunToMailTimer();
    const TTimePoint archiveStepEnd = Loop->Now();

    // Keldor.bat, and the archive it made.
    EXPECT_EQ(Slurp(Dir / "Keldor.bat"),
              "@Echo off\r\npath /opt/rar;/usr/local/rar;%path%\r\nrar a -r -ag " + (Dir / "bak").string() + "/ " +
                  (Dir / "backup").string() + "/\r\n");
    std::vector<fs::path> archives = Archives(1);
    ASSERT_EQ(archives.size(), 1u);
    const std::string name = archives[0].filename().string();
    EXPECT_EQ(name.size(), 18u);
    EXPECT_EQ(name.rfind(Today(), 0), 0u) << name;
    const std::string archiveBytes = Slurp(archives[0]);
    EXPECT_NE(archiveBytes.find("pubs.bak"), std::string::npos);
    EXPECT_EQ(Loop->DueTime(Cycle->sendmailTimer), archiveStepEnd + 55s) << "60 s from the archiver's start";

    RunMailStep();
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    EXPECT_EQ(LogTexts(), TypicalDayLog(name));
    ASSERT_EQ(database.Statements().size(), 1u);
    EXPECT_NE(database.Statements()[0].find("BACKUP DATABASE [pubs]"), std::string::npos);

    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 1u);
    const TSpooledMessage& mail = mails[0];
    EXPECT_EQ(mail.From, "backup@example.com");
    EXPECT_EQ(mail.Recipients, (std::vector<std::string>{"ops@example.com", "boss@example.com"}));
    EXPECT_EQ(mail.Subject, "备份" + name + " " + AnsiToUtf8(TBackupCycle::ShortDate(ToLocal(Loop->Now()))));
    EXPECT_EQ(mail.FileName, name);
    EXPECT_EQ(mail.Attachment, archiveBytes);
    // The text goes in code page 936, line by line.
    const std::string body = AnsiToUtf8Lenient(mail.Body);
    EXPECT_EQ(body.rfind("自动备份数据库：pubs\r\n备份时间：" + AnsiToUtf8(TBackupCycle::ShortDate(ToLocal(Loop->Now()))), 0), 0u)
        << body;
    EXPECT_NE(mail.Raw.find("charset=\"gb2312\""), std::string::npos);

    EXPECT_FALSE(fs::exists(archives[0])) << "deleted once sent";
    EXPECT_TRUE(Cycle->mailSent);
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled()) << "the scheduler is live again";
    EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
    EXPECT_FALSE(Cycle->rarTimer.Enabled());
    EXPECT_TRUE(Cycle->Mail.Connected()) << "left connected until the next send";
}

INSTANTIATE_TEST_SUITE_P(Starts, TypicalDayTest, testing::Values(1200, 2358),
                         [](const auto& test) { return "At" + std::to_string(test.param); });

// The sender form the settings dialog suggests, a Chinese name and the address in
// angle brackets: the envelope carries only the address (a strict server refuses
// anything else), the From field shows the name.
TEST_F(BackupCycleTest, SenderWithADisplayName) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port(), "secret", Utf8ToAnsi("客服中心 <backup@example.com>"));
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    ASSERT_EQ(Archives(1).size(), 1u); // the archiver has made it
    RunMailStep();
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].From, "backup@example.com");
    EXPECT_EQ(mails[0].FromHeader, "客服中心 <backup@example.com>");
}

// The security setting through a whole cycle: the default against a relay that
// offers STARTTLS (logged in only after the handshake, the log of any day),
// against one that does not (mailed as before, and the log says so once), and
// a value the program does not know (a clear error instead of a guess; the
// archive waits for the next try).
struct TSecurityCycleCase {
    const char* Name;
    bool StartTLSPeer;
    std::string Settings; // lines of section Option; "<CA>" becomes SmtpCAFile=<the tests' CA>
    std::string Error;    // empty: mailed
    bool Warning;
    std::vector<std::string> TlsCommands; // STARTTLS and AUTH commands the peer heard
};
void PrintTo(const TSecurityCycleCase& c, std::ostream* os) { *os << c.Name; }

class SecurityCycleTest : public BackupCycleTest, public testing::WithParamInterface<TSecurityCycleCase> {};

TEST_P(SecurityCycleTest, MailsAsTheSettingSays) {
    const TSecurityCycleCase& c = GetParam();
    const TTestCertificates& certs = TTestCertificates::Get();
    TSmtpSpoolOptions options;
    if (c.StartTLSPeer) {
        options.Tls = "starttls";
        options.CertFile = certs.Cert("localhost");
        options.KeyFile = certs.Key("localhost");
    }
    TTdsTestServer database;
    TSmtpSpoolServer smtp(options);
    WriteConfig(smtp.Port(), "secret", "backup@example.com", c.Settings == "<CA>" ? "SmtpCAFile=" + certs.CA() + "\r\n" : c.Settings);
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    std::vector<fs::path> archives = Archives(1);
    ASSERT_EQ(archives.size(), 1u);
    const std::string archiveBytes = Slurp(archives[0]);
    RunMailStep();
    if (!c.Error.empty()) {
        ASSERT_EQ(Errors.size(), 1u);
        EXPECT_EQ(Errors[0], c.Error);
        EXPECT_TRUE(smtp.Messages().empty());
        EXPECT_TRUE(fs::exists(archives[0]));
        return;
    }
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    std::vector<std::string> expected = TypicalDayLog(archives[0].filename().string());
    if (c.Warning) expected.insert(expected.end() - 2, "警告：邮件服务器不支持加密连接");
    EXPECT_EQ(LogTexts(), expected);
    ASSERT_EQ(smtp.Messages().size(), 1u);
    EXPECT_EQ(smtp.Messages()[0].Attachment, archiveBytes);
    Cycle->Mail.Disconnect(); // the cycle keeps it open for the next mail
    std::vector<std::string> tls;
    for (const std::string& command : smtp.CommandsUntilClosed())
        if (command.rfind("AUTH", 0) == 0 || command.rfind("STARTTLS", 0) == 0) tls.push_back(command);
    EXPECT_EQ(tls, c.TlsCommands);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SecurityCycleTest,
    testing::Values(TSecurityCycleCase{"AutoOverStartTLS", true, "<CA>", "", false, {"STARTTLS tls=0", "AUTH tls=1 LOGIN"}},
                    TSecurityCycleCase{"AutoWithoutStartTLSWarns", false, "", "", true, {"AUTH tls=0 LOGIN"}},
                    TSecurityCycleCase{"UnknownValueFailsTheSend", false, "SmtpSecurity=startls\r\n",
                                       "SmtpSecurity \"startls\" is not one of auto, starttls, tls, none", false, {}}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST_F(BackupCycleTest, TheNextSendSurvivesAConnectionTheServerDropped) {
    TTdsTestServer database;
    auto first = std::make_unique<TSmtpSpoolServer>();
    WriteConfig(first->Port());
    AddDueTask(database);
    const TLocalDateTime again = ToLocal(Anchor + 6min);
    Tasks.BeginChangeRecord();
    Tasks.FieldNamed("Bak2Enabled").SetAsBoolean(true);
    Tasks.FieldNamed("RunHour2").SetAsInteger(again.Hour);
    Tasks.FieldNamed("RunMinute2").SetAsInteger(again.Minute);
    Tasks.StoreRecord();
    StartLoop();
    RunToMailTimer();
    ASSERT_EQ(Archives(1).size(), 1u);
    RunMailStep();
    ASSERT_EQ(first->Messages().size(), 1u);
    ASSERT_TRUE(Cycle->Mail.Connected());

    // The server goes away while the connection idles; the settings now name another.
    first.reset();
    TSmtpSpoolServer second;
    WriteConfig(second.Port());
    RunToMailTimer();
    ASSERT_EQ(Archives(1).size(), 1u);
    RunMailStep();
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    EXPECT_EQ(second.Messages().size(), 1u);
    EXPECT_EQ(CountLog("邮件成功发送给"), 2);
}

// Every way the sending can fail: the archive stays, the scheduler goes on.
struct TSendFailure {
    const char* Name;
    TSmtpSpoolOptions Server;
    bool ServerDown;
    std::string To;
    std::string Error; // part of the reported text
};

class SendFailure : public BackupCycleTest, public testing::WithParamInterface<TSendFailure> {};

TEST_P(SendFailure, KeepsTheArchiveAndTheSchedulerLive) {
    const TSendFailure& c = GetParam();
    TTdsTestServer database;
    TSmtpSpoolServer smtp(c.Server);
    const TClosedPort closed;
    WriteConfig(c.ServerDown ? closed.Port() : smtp.Port());
    AddDueTask(database, 60, c.To);
    StartLoop();
    RunToMailTimer();
    std::vector<fs::path> archives = Archives(1);
    ASSERT_EQ(archives.size(), 1u);
    RunMailStep();

    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find(c.Error), std::string::npos) << Errors[0];
    EXPECT_TRUE(fs::exists(archives[0])) << "an archive that was not sent is kept";
    EXPECT_TRUE(smtp.Messages().empty());
    EXPECT_EQ(LogTexts().back(), "发送邮件" + archives[0].filename().string() + "...");
    EXPECT_FALSE(Cycle->mailSent);
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
    EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
}

INSTANTIATE_TEST_SUITE_P(
    BackupCycle, SendFailure,
    testing::Values(TSendFailure{"ServerDown", {}, true, "ops@example.com", "Connection refused"},
                    TSendFailure{"LoginRefused", {.RefuseLogin = true}, false, "ops@example.com", "Authentication credentials invalid"},
                    TSendFailure{"RecipientRefused", {.RefuseRecipients = {"gone@example.com"}}, false,
                                 "ops@example.com, gone@example.com", "gone@example.com"},
                    TSendFailure{"RecipientTextUnparsable", {}, false, "<ops@example.com>@x", "@ Outside address"}),
    [](const auto& test) { return std::string(test.param.Name); });

class FreshArchivesTest : public BackupCycleTest, public testing::WithParamInterface<int> {};

// Also at 23:58, where the earlier archives are of the day before the mail step.
TEST_P(FreshArchivesTest, AreMailedOneByOneAndStaleOnesLeftAlone) {
    Anchor = LocalTime(GetParam() / 100, GetParam() % 100, 0);
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    const fs::path earlier = PlaceArchive("000001", 2min, "left by a failed send");
    const fs::path stale = PlaceArchive("000002", 20min, "too old");
    AddDueTask(database);
    StartLoop();
    RunToMailTimer();
    ASSERT_EQ(Archives(3).size(), 3u);
    RunMailStep();

    EXPECT_TRUE(Errors.empty()) << Errors.front();
    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 2u);
    std::vector<std::string> attachments{mails[0].Attachment, mails[1].Attachment};
    EXPECT_NE(std::find(attachments.begin(), attachments.end(), "left by a failed send"), attachments.end());
    for (const TSpooledMessage& mail : mails) EXPECT_EQ(mail.Recipients, std::vector<std::string>{"ops@example.com"});
    EXPECT_EQ(CountLog("邮件成功发送给ops@example.com"), 2);
    EXPECT_EQ(CountLog("<-----------------------------"), 2);
    EXPECT_FALSE(fs::exists(earlier));
    EXPECT_TRUE(fs::exists(stale)) << "neither sent nor deleted";
    EXPECT_EQ(Archives(), std::vector<fs::path>{stale});
}

INSTANTIATE_TEST_SUITE_P(Starts, FreshArchivesTest, testing::Values(1200, 2358),
                         [](const auto& test) { return "At" + std::to_string(test.param); });

TEST_F(BackupCycleTest, SendDelayZeroMakesTheArchiveButNeverMailsIt) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    AddDueTask(database, 0);
    StartLoop();
    RunToMailTimer();
    EXPECT_EQ(Cycle->sendmailTimer.Interval(), 0u);
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled()) << "the cycle ended early: the scheduler is live again";
    ASSERT_EQ(Archives(1).size(), 1u);
    Loop->RunForMinutes(20);
    EXPECT_TRUE(smtp.Messages().empty());
    EXPECT_EQ(Archives().size(), 1u);
    EXPECT_EQ(LogTexts().back(), "文件压缩完毕");
    EXPECT_TRUE(Errors.empty());
}

TEST_F(BackupCycleTest, SendDelayOfTenSecondsWaitsThirtyFromTheArchiverStart) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    AddDueTask(database, 10);
    StartLoop();
    RunToMailTimer();
    EXPECT_EQ(Cycle->sendmailTimer.Interval(), 30000u);
    EXPECT_EQ(Loop->DueTime(Cycle->sendmailTimer), Loop->Now() + 25s) << "the 5-second wait falls inside it";
    ASSERT_EQ(Archives(1).size(), 1u);
    RunMailStep();
    EXPECT_EQ(smtp.Messages().size(), 1u);
    EXPECT_TRUE(Errors.empty()) << Errors.front();
}

TEST_F(BackupCycleTest, UnwritableBatchFileIsRetriedAtEveryTick) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    fs::create_directories(Dir / "Keldor.bat"); // a folder in its place: no write can succeed
    AddDueTask(database);
    StartLoop();
    ASSERT_TRUE(Loop->RunUntil([&] { return Errors.size() == 3; }, 5min));
    EXPECT_EQ(CountLog("压缩文件..."), 3);
    EXPECT_TRUE(Cycle->rarTimer.Enabled());
    EXPECT_EQ(Cycle->rarTimer.Interval(), 30000u);
    EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
    EXPECT_NE(Errors[0].find("Keldor.bat"), std::string::npos) << Errors[0];

    fs::remove(Dir / "Keldor.bat");
    RunToMailTimer();
    ASSERT_EQ(Archives(1).size(), 1u);
    RunMailStep();
    EXPECT_EQ(smtp.Messages().size(), 1u);
    EXPECT_EQ(Errors.size(), 3u);
}

// Neither rar nor the built-in archiver: said so, and the cycle ends there.
TEST_F(BackupCycleTest, MissingArchiverMailsNothingAndEndsTheCycle) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    SetPath("/usr/bin:/bin");
    AddDueTask(database);
    StartLoop();
    ASSERT_TRUE(Loop->RunUntil([&] { return !Errors.empty(); }, 5min));
    EXPECT_NE(Errors[0].find("quorvelzip"), std::string::npos) << Errors[0];
    Loop->RunForMinutes(20);
    EXPECT_EQ(Errors.size(), 1u);
    EXPECT_TRUE(Archives().empty());
    EXPECT_TRUE(smtp.Messages().empty());
    EXPECT_EQ(LogTexts().back(), "压缩文件...");
    EXPECT_FALSE(Cycle->mailSent);
    EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
}

// A task stored before its texts were checked (an old file, an edit by hand):
// nothing of it reaches the server, the batch file or the mail server.
TEST_F(BackupCycleTest, AStoredLineBreakFailsTheCycleBeforeAnythingRuns) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    AddDueTask(database);
    Tasks.BeginChangeRecord();
    Tasks.FieldNamed("BakFilePath").SetAsString((Dir / "b").string() + "\ntouch x");
    Tasks.StoreRecord();
    StartLoop();
    ASSERT_TRUE(Loop->RunUntil([&] { return !Errors.empty(); }, 5min));
    EXPECT_EQ(Errors[0], "目的路径 含有不允许的控制字符");
    EXPECT_FALSE(Cycle->backupTimer.Enabled());
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled()) << "the other tasks still run";
    Loop->RunFor(3min);
    EXPECT_EQ(Errors.size(), 1u) << "not tried again";
    EXPECT_TRUE(database.Logins().empty());
    EXPECT_TRUE(database.Statements().empty());
    EXPECT_FALSE(fs::exists(Dir / "Keldor.bat"));
    EXPECT_TRUE(smtp.Messages().empty());
    EXPECT_EQ(CountLog("压缩文件..."), 0);
}

TEST_F(BackupCycleTest, AFolderReadAsASwitchEndsTheCycleAtTheArchiveStep) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    AddDueTask(database);
    Tasks.BeginChangeRecord();
    Tasks.FieldNamed("BakFilePath").SetAsString("-df");
    Tasks.StoreRecord();
    StartLoop();
    ASSERT_TRUE(Loop->RunUntil([&] { return !Errors.empty(); }, 5min));
    EXPECT_NE(Errors[0].find("-df"), std::string::npos) << Errors[0];
    EXPECT_FALSE(Cycle->rarTimer.Enabled()) << "the folder will not change by the next tick";
    EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
    EXPECT_FALSE(fs::exists(Dir / "Keldor.bat"));
}

} // namespace
