// The database backup step through the real ODBC/FreeTDS path against the TDS
// test server, on the simulated loop; and its pure pieces (name list, statement).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PipelineFixture.h"
#include "tests/peers/TdsTestServer.h"

using namespace std::chrono;

namespace {

// ---- the name list

struct TSplitCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Names;
};

const TSplitCase SplitCases[] = {
    {"Single", "pubs", {"pubs"}},
    {"BlankAfterComma", "a, b", {"a", "b"}},
    {"TwoCommasGiveAnEmptyName", "a,,b", {"a", "", "b"}},
    {"TrailingCommaAddsNothing", "a,b,", {"a", "b"}},
    {"TrailingBlanksAddNothing", "a, ", {"a"}},
    {"TwoTrailingCommasGiveOneEmptyName", "a,b,,", {"a", "b", ""}},
    {"LeadingCommaGivesAnEmptyName", ",a", {"", "a"}},
    {"EmptyGivesNoName", "", {}},
    {"BlanksOnlyGiveNoName", "  ", {}},
    {"ControlCharactersTrimmed", "\ta \r\n,\x01 b\x1f", {"a", "b"}},
    {"InnerBlanksKept", " my db , x", {"my db", "x"}},
    {"ChineseNames", "销售库, 财务", {"销售库", "财务"}},
};

class DatabaseNames : public testing::TestWithParam<TSplitCase> {};

TEST_P(DatabaseNames, SplitAtCommasAndTrimmed) {
    std::vector<std::string> names;
    for (const AnsiString& n : TBackupPipeline::SplitDatabaseNames(Utf8ToAnsi(GetParam().Text)))
        names.push_back(AnsiToUtf8(n));
    EXPECT_EQ(names, GetParam().Names);
}

INSTANTIATE_TEST_SUITE_P(BackupStep, DatabaseNames, testing::ValuesIn(SplitCases),
                         [](const auto& test) { return std::string(test.param.Name); });

// ---- the statement

struct TStatementCase {
    const char* Name;
    std::string Database;
    std::string Folder;
    std::string Statement; // UTF-8
};

const TStatementCase StatementCases[] = {
    {"Plain", "pubs", "D:\\bak",
     "if exists (select name From master.dbo.sysdatabases where name='pubs') BACKUP DATABASE [pubs] TO  DISK = "
     "N'D:\\bak\\pubs.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'pubs 备份',  NOSKIP ,  STATS = 10,  NOFORMAT"},
    {"QuoteDoubledInEveryLiteral", "o'brien", "D:\\bak",
     "if exists (select name From master.dbo.sysdatabases where name='o''brien') BACKUP DATABASE [o'brien] TO  DISK = "
     "N'D:\\bak\\o''brien.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'o''brien 备份',  NOSKIP ,  STATS = 10,  NOFORMAT"},
    {"BracketDoubledInsideBrackets", "a]b", "D:\\bak",
     "if exists (select name From master.dbo.sysdatabases where name='a]b') BACKUP DATABASE [a]]b] TO  DISK = "
     "N'D:\\bak\\a]b.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'a]b 备份',  NOSKIP ,  STATS = 10,  NOFORMAT"},
    // 乚 is 0x81 0x5D in code page 936: its second byte is no bracket.
    {"SecondByteLikeABracketIsNoBracket", "乚库", "E:\\备份",
     "if exists (select name From master.dbo.sysdatabases where name='乚库') BACKUP DATABASE [乚库] TO  DISK = "
     "N'E:\\备份\\乚库.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'乚库 备份',  NOSKIP ,  STATS = 10,  NOFORMAT"},
    {"QuoteInFolderDoubled", "pubs", "D:\\bob's",
     "if exists (select name From master.dbo.sysdatabases where name='pubs') BACKUP DATABASE [pubs] TO  DISK = "
     "N'D:\\bob''s\\pubs.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'pubs 备份',  NOSKIP ,  STATS = 10,  NOFORMAT"},
    {"LinuxServerFolder", "pubs", "/var/opt/mssql/backup",
     "if exists (select name From master.dbo.sysdatabases where name='pubs') BACKUP DATABASE [pubs] TO  DISK = "
     "N'/var/opt/mssql/backup/pubs.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'pubs 备份',  NOSKIP ,  STATS = 10,  NOFORMAT"},
    {"EmptyName", "", "D:\\bak",
     "if exists (select name From master.dbo.sysdatabases where name='') BACKUP DATABASE [] TO  DISK = "
     "N'D:\\bak\\.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N' 备份',  NOSKIP ,  STATS = 10,  NOFORMAT"},
};

class BackupStatement : public testing::TestWithParam<TStatementCase> {};

TEST_P(BackupStatement, ByteForByte) {
    const TStatementCase& c = GetParam();
    EXPECT_EQ(TBackupPipeline::BackupStatement(Utf8ToAnsi(c.Database), Utf8ToAnsi(c.Folder)), Utf8ToAnsi(c.Statement));
}

INSTANTIATE_TEST_SUITE_P(BackupStep, BackupStatement, testing::ValuesIn(StatementCases),
                         [](const auto& test) { return std::string(test.param.Name); });

// ---- the step against the test server

// The statements of a verified backup.
struct TCheckedStatementCase {
    const char* Name;
    std::string Database;
    std::string Folder;
    bool Checksum;
    std::string Backup; // the backup statement's tail from its WITH clause
    std::string Verify;
};

const TCheckedStatementCase CheckedStatementCases[] = {
    {"WithoutChecksum", "pubs", "D:\\bak", false, " WITH  INIT ,  NOUNLOAD ,  NAME = N'pubs 备份',  NOSKIP ,  STATS = 10,  NOFORMAT",
     "RESTORE VERIFYONLY FROM DISK = N'D:\\bak\\pubs.bak'"},
    {"WithChecksum", "pubs", "D:\\bak", true,
     " WITH  INIT ,  NOUNLOAD ,  NAME = N'pubs 备份',  NOSKIP ,  STATS = 10,  NOFORMAT, CHECKSUM",
     "RESTORE VERIFYONLY FROM DISK = N'D:\\bak\\pubs.bak' WITH CHECKSUM"},
    {"QuotesDoubledInThePath", "o'brien", "D:\\bob's", true,
     " WITH  INIT ,  NOUNLOAD ,  NAME = N'o''brien 备份',  NOSKIP ,  STATS = 10,  NOFORMAT, CHECKSUM",
     "RESTORE VERIFYONLY FROM DISK = N'D:\\bob''s\\o''brien.bak' WITH CHECKSUM"},
    {"LinuxServerFolder", "销售库", "/var/opt/mssql/backup", false,
     " WITH  INIT ,  NOUNLOAD ,  NAME = N'销售库 备份',  NOSKIP ,  STATS = 10,  NOFORMAT",
     "RESTORE VERIFYONLY FROM DISK = N'/var/opt/mssql/backup/销售库.bak'"},
};

class CheckedStatements : public testing::TestWithParam<TCheckedStatementCase> {};

TEST_P(CheckedStatements, VerifyReadsTheFileTheBackupWrote) {
    const TCheckedStatementCase& c = GetParam();
    const std::string backup = AnsiToUtf8(
        TBackupPipeline::BackupStatement(Utf8ToAnsi(c.Database), Utf8ToAnsi(c.Folder), c.Checksum));
    const std::size_t with = backup.find(" WITH ");
    ASSERT_NE(with, std::string::npos) << backup;
    EXPECT_EQ(backup.substr(with), c.Backup);
    const std::string verify = AnsiToUtf8(
        TBackupPipeline::VerifyStatement(Utf8ToAnsi(c.Database), Utf8ToAnsi(c.Folder), c.Checksum));
    EXPECT_EQ(verify, c.Verify);
    // Both name the same file.
    const std::string file = verify.substr(std::string("RESTORE VERIFYONLY FROM DISK = ").size(),
                                           verify.find(".bak'") + 5 - std::string("RESTORE VERIFYONLY FROM DISK = ").size());
    EXPECT_NE(backup.find("TO  DISK = " + file + " WITH"), std::string::npos) << backup;
}

INSTANTIATE_TEST_SUITE_P(BackupStep, CheckedStatements, testing::ValuesIn(CheckedStatementCases),
                         [](const auto& test) { return std::string(test.param.Name); });

class BackupStep : public PipelineFixture {
protected:
    // A task due at the first scan, a minute after the loop's start (noon).
    TTaskRow DueTask(const TTdsTestServer& server) {
        Anchor = LocalTime(12, 0, 0);
        const TLocalDateTime due = ToLocal(Anchor + seconds(60));
        TTaskRow t;
        t.Name = "夜间备份";
        t.Hour = due.Hour;
        t.Minute = due.Minute;
        t.ServerName = server.DataSource();
        return t;
    }
    // Runs until the backup step has ended (or a virtual minute more).
    void RunCycleStart() {
        Start(Anchor);
        Loop->RunFor(seconds(60));
        ASSERT_TRUE(Pipeline->backupTimer.Enabled());
        StepStart = Loop->Now() + seconds(1);
        Loop->RunUntil([&] { return Pipeline->bakDone || !Pipeline->backupTimer.Enabled(); }, seconds(60));
    }

    TTimePoint Anchor;
    TTimePoint StepStart;
};

std::string Statement(const std::string& db, const std::string& folder = "D:\\bak") {
    return AnsiToUtf8(TBackupPipeline::BackupStatement(Utf8ToAnsi(db), Utf8ToAnsi(folder)));
}

TEST_F(BackupStep, BacksUpEachDatabaseOnItsOwnConnectionAndArmsTheArchiveStep) {
    TTdsTestServer server;
    TTaskRow t = DueTask(server);
    t.BakDBName = "pubs, northwind,销售库";
    t.BakFilePath = "D:\\bak";
    t.RarTimeAfter = 30;
    AddTask(t);
    RunCycleStart();

    EXPECT_EQ(server.Statements(),
              (std::vector<std::string> {
                  "if exists (select name From master.dbo.sysdatabases where name='pubs') BACKUP DATABASE [pubs] TO  "
                  "DISK = N'D:\\bak\\pubs.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'pubs 备份',  NOSKIP ,  STATS = 10,  "
                  "NOFORMAT",
                  "if exists (select name From master.dbo.sysdatabases where name='northwind') BACKUP DATABASE "
                  "[northwind] TO  DISK = N'D:\\bak\\northwind.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'northwind 备份',"
                  "  NOSKIP ,  STATS = 10,  NOFORMAT",
                  "if exists (select name From master.dbo.sysdatabases where name='销售库') BACKUP DATABASE [销售库] "
                  "TO  DISK = N'D:\\bak\\销售库.bak' WITH  INIT ,  NOUNLOAD ,  NAME = N'销售库 备份',  NOSKIP ,  "
                  "STATS = 10,  NOFORMAT"}));
    const auto logins = server.Logins();
    ASSERT_EQ(logins.size(), 4u) << "the step's connection and one per statement";
    for (const TTdsEvent& login : logins) {
        EXPECT_EQ(login["user"], "sa");
        EXPECT_EQ(login["password"], "secret");
        EXPECT_EQ(login["database"], "master");
    }
    EXPECT_EQ(LogTexts(), (std::vector<std::string> {
                              "开始执行[夜间备份]任务...",
                              "正在连接数据库[master]...",
                              "数据库连接成功",
                              "正在备份[pubs]数据库...",
                              "数据库[pubs]备份完毕！",
                              "正在备份[northwind]数据库...",
                              "数据库[northwind]备份完毕！",
                              "正在备份[销售库]数据库...",
                              "数据库[销售库]备份完毕！",
                          }));
    EXPECT_GE(Loop->Now() - StepStart, seconds(6)) << "2 seconds after each database";
    EXPECT_TRUE(Pipeline->bakDone);
    EXPECT_TRUE(Pipeline->dbReady);
    EXPECT_FALSE(Pipeline->Ado_Cnt.Connected());
    EXPECT_FALSE(Pipeline->backupTimer.Enabled());
    EXPECT_FALSE(Pipeline->UpdateTimer.Enabled());
    EXPECT_TRUE(Pipeline->rarTimer.Enabled());
    EXPECT_EQ(Pipeline->rarTimer.Interval(), 30000u);
    EXPECT_EQ(Loop->DueTime(Pipeline->rarTimer), Loop->Now() + seconds(30));
    EXPECT_EQ(AnsiToUtf8(Pipeline->DBConnStr), "Provider=SQLOLEDB.1;Password=secret;Persist Security Info=True;"
                                               "User ID=sa;Initial Catalog=master;Data Source=" + server.DataSource());
    EXPECT_TRUE(Errors.empty());
}

TEST_F(BackupStep, EmptyNameBetweenTwoCommasGivesEmptyBracketsAndAGuardThatFindsNothing) {
    TTdsTestServer server;
    TTaskRow t = DueTask(server);
    t.BakDBName = "a,,b,";
    AddTask(t);
    RunCycleStart();
    EXPECT_EQ(server.Statements(), (std::vector<std::string> {Statement("a"), Statement(""), Statement("b")}));
    EXPECT_EQ(CountLog("正在备份[]数据库..."), 1);
    EXPECT_EQ(CountLog("数据库[]备份完毕！"), 1);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(BackupStep, PasswordWithSeparatorsReachesTheServerIntact) {
    TTdsTestServer server;
    TTaskRow t = DueTask(server);
    t.Password = "p;w=d '\"x";
    AddTask(t);
    RunCycleStart();
    ASSERT_TRUE(Errors.empty()) << Errors.front();
    for (const TTdsEvent& login : server.Logins())
        EXPECT_EQ(login["password"], "p;w=d '\"x");
    EXPECT_EQ(server.Statements(), std::vector<std::string> {Statement("pubs")});
}

TEST_F(BackupStep, RefusedLoginIsTriedEverySecondAndReportedEachTime) {
    TTdsTestServer server({.RefuseLogin = true});
    TTaskRow t = DueTask(server);
    AddTask(t);
    Start(Anchor);
    Loop->RunFor(seconds(60 + 5)); // the scan and five backup ticks
    EXPECT_EQ(CountLog("正在连接数据库[master]..."), 5);
    EXPECT_EQ(CountLog("数据库连接成功"), 0);
    ASSERT_EQ(Errors.size(), 5u);
    for (const std::string& e : Errors)
        EXPECT_NE(e.find("Login failed"), std::string::npos) << e;
    EXPECT_FALSE(Pipeline->bakDone);
    EXPECT_TRUE(Pipeline->backupTimer.Enabled());
    EXPECT_FALSE(Pipeline->UpdateTimer.Enabled());
    EXPECT_FALSE(Pipeline->rarTimer.Enabled());
    EXPECT_TRUE(server.Statements().empty());
}

TEST_F(BackupStep, ConnectionFailingForTenMinutesAbandonsTheCycle) {
    TTdsTestServer server({.RefuseLogin = true});
    TTaskRow t = DueTask(server);
    AddTask(t);
    Start(Anchor);
    Loop->RunFor(seconds(60));
    const TTimePoint firstAttempt = Loop->Now() + seconds(1);
    Loop->RunUntil([&] { return !Pipeline->backupTimer.Enabled(); }, minutes(11));
    EXPECT_FALSE(Pipeline->backupTimer.Enabled());
    EXPECT_EQ(Loop->Now() - firstAttempt, minutes(10));
    EXPECT_EQ(Errors.size(), 601u) << "every attempt reported";
    EXPECT_TRUE(Pipeline->UpdateTimer.Enabled()) << "the scheduler is live again";
    EXPECT_FALSE(Pipeline->rarTimer.Enabled());
    EXPECT_FALSE(Pipeline->bakDone);
}

TEST_F(BackupStep, FailingStatementEndsTheCycleAndTheSchedulerGoesOn) {
    TTdsTestServer server({.Rules = {{.Match = "[northwind]",
                                      .ErrorNumber = 3201,
                                      .ErrorMessage = "Cannot open backup device 'D:\\bak\\northwind.bak'. "
                                                      "Operating system error 3(The system cannot find the path "
                                                      "specified.)."}}});
    TTaskRow t = DueTask(server);
    t.BakDBName = "pubs,northwind,master";
    AddTask(t);
    RunCycleStart();

    EXPECT_EQ(server.Statements(), (std::vector<std::string> {Statement("pubs"), Statement("northwind")}));
    const std::vector<std::string> log = LogTexts();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "数据库[pubs]备份完毕！");
    EXPECT_EQ(log.back(), "正在备份[northwind]数据库...");
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("Cannot open backup device"), std::string::npos) << Errors[0];
    EXPECT_GE(Loop->Now() - StepStart, seconds(4));
    EXPECT_TRUE(Pipeline->bakDone);
    EXPECT_TRUE(Pipeline->dbReady);
    EXPECT_FALSE(Pipeline->Ado_Cnt.Connected());
    EXPECT_FALSE(Pipeline->backupTimer.Enabled());
    EXPECT_FALSE(Pipeline->rarTimer.Enabled());
    EXPECT_TRUE(Pipeline->UpdateTimer.Enabled()) << "one bad night must not stop later backups";
    EXPECT_EQ(Loop->DueTime(Pipeline->UpdateTimer), Loop->Now() + seconds(60));
}

TEST_F(BackupStep, TaskWithoutServerNeverUsesAnEarlierTasksConnection) {
    TTdsTestServer server;
    TTaskRow first = DueTask(server);
    first.Name = "A";
    first.RarTimeAfter = 0; // ends the cycle after the backup step
    AddTask(first);
    TTaskRow second = first;
    second.Name = "B";
    second.ServerName = "";
    second.BakDBName = "northwind";
    second.RarTimeAfter = 20;
    const TLocalDateTime later = ToLocal(Anchor + seconds(120 + 5));
    second.Hour = later.Hour;
    second.Minute = later.Minute;
    AddTask(second);
    Start(Anchor);
    // The scans after A's cycle come at +123 s, +183 s, ...: one of them falls in B's minute.
    Loop->RunUntil([&] { return CountLog("开始执行[B]") == 1 && Pipeline->bakDone; }, minutes(4));

    EXPECT_EQ(server.Statements(), std::vector<std::string> {Statement("pubs")});
    EXPECT_EQ(LogTexts().back(), "开始执行[B]任务...");
    EXPECT_TRUE(Pipeline->rarTimer.Enabled());
    EXPECT_EQ(Pipeline->rarTimer.Interval(), 20000u);
    EXPECT_TRUE(Errors.empty());
}

// A settings file of the test's own with the given section Database.
class VerifiedBackupStep : public BackupStep {
protected:
    void UseDatabaseSettings(const std::string& lines) {
        Folder = std::filesystem::temp_directory_path() / ("qv-" + std::to_string(::getpid()));
        std::filesystem::create_directories(Folder);
        ConfigPath = (Folder / "config.ini").string();
        std::ofstream(ConfigPath) << "[Database]\n" << lines;
    }
    void TearDown() override {
        if (!Folder.empty())
            std::filesystem::remove_all(Folder);
        BackupStep::TearDown();
    }
    std::filesystem::path Folder;
};

TEST_F(VerifiedBackupStep, EachBackupIsWrittenWithChecksumAndReadBack) {
    UseDatabaseSettings("BackupChecksum=1\nBackupVerify=1\n");
    TTdsTestServer server;
    TTaskRow t = DueTask(server);
    t.BakDBName = "pubs,销售库";
    AddTask(t);
    RunCycleStart();

    ASSERT_TRUE(Errors.empty()) << Errors.front();
    const auto backup = [](const char* db) {
        return AnsiToUtf8(TBackupPipeline::BackupStatement(Utf8ToAnsi(db), Utf8ToAnsi("D:\\bak"), true));
    };
    const auto verify = [](const char* db) {
        return AnsiToUtf8(TBackupPipeline::VerifyStatement(Utf8ToAnsi(db), Utf8ToAnsi("D:\\bak"), true));
    };
    EXPECT_EQ(server.Statements(),
              (std::vector<std::string> {backup("pubs"), verify("pubs"), backup("销售库"), verify("销售库")}));
    EXPECT_EQ(LogTexts(), (std::vector<std::string> {
                              "开始执行[夜间备份]任务...",
                              "正在连接数据库[master]...",
                              "数据库连接成功",
                              "正在备份[pubs]数据库...",
                              "数据库[pubs]备份完毕！",
                              "正在校验[pubs]备份...",
                              "[pubs]备份校验通过",
                              "正在备份[销售库]数据库...",
                              "数据库[销售库]备份完毕！",
                              "正在校验[销售库]备份...",
                              "[销售库]备份校验通过",
                          }));
    EXPECT_TRUE(Pipeline->rarTimer.Enabled()) << "a verified backup goes on to the archive step";
}

TEST_F(VerifiedBackupStep, FailedVerificationEndsTheCycleBeforeTheArchive) {
    UseDatabaseSettings("BackupVerify=1\n");
    const std::string damaged = "The media family on device 'D:\\bak\\pubs.bak' is incorrectly formed. "
                                "SQL Server cannot process this media family.";
    TTdsTestServer server({.Rules = {{.Match = "VERIFYONLY", .ErrorNumber = 3241, .ErrorMessage = damaged,
                                      .Terminate = false}}});
    TTaskRow t = DueTask(server);
    t.BakDBName = "pubs,northwind";
    AddTask(t);
    RunCycleStart();

    EXPECT_EQ(server.Statements(),
              (std::vector<std::string> {Statement("pubs"),
                                         AnsiToUtf8(TBackupPipeline::VerifyStatement("pubs", "D:\\bak", false))}))
        << "without BackupChecksum the backup statement is the plain one";
    EXPECT_EQ(LogTexts().back(), "正在校验[pubs]备份...");
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("incorrectly formed"), std::string::npos) << Errors[0];
    EXPECT_FALSE(Pipeline->rarTimer.Enabled()) << "nothing of a damaged backup is archived or mailed";
    EXPECT_TRUE(Pipeline->UpdateTimer.Enabled()) << "the scheduler is live again";
}

TEST_F(BackupStep, ExecuteSqlTellsWhetherRowsWereAffected) {
    TTdsTestServer server({.Rules = {{.Match = "UPDATE", .Rows = 3}, {.Match = "DELETE", .Rows = 0}}});
    Start(system_clock::now());
    Pipeline->DBConnStr = BuildConnectionText("pw", "sa", "master", server.DataSource());
    EXPECT_TRUE(Pipeline->ExecuteSQL("UPDATE t SET a = 1"));
    EXPECT_FALSE(Pipeline->ExecuteSQL("DELETE FROM t"));
    EXPECT_FALSE(Pipeline->ExecuteSQL("BACKUP DATABASE x TO DISK = 'y'"));
    EXPECT_EQ(server.Statements().size(), 3u);
}

} // namespace
