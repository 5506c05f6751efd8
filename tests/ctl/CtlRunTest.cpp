// quorvelctl run: one whole cycle in real time against the three peers, from a
// copy of the program in a folder of its own (bak/ and Keldor.bat go beside it).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "pipeline/BackupCycle.h"
#include "platform/Files.h"
#include "settings/StringCipher.h"
#include "tasks/TaskFile.h"
#include "tests/peers/SmtpSpoolServer.h"
#include "tests/peers/TdsTestServer.h"
#include "tests/pipeline/PipelineFixture.h"
#include "tests/support/ShellRun.h"
#include "tests/support/TaskBuilder.h"

namespace fs = std::filesystem;

namespace {

struct TRun {
    int Status = -1;
    std::vector<std::string> Out; // lines without their time stamps
    std::string Err;
};

class CtlRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("qr-" + std::to_string(::getpid()));
        fs::remove_all(Dir);
        fs::create_directories(Dir / "backup");
        std::ofstream(Dir / "backup" / "pubs.bak") << "backup of pubs";
        fs::copy_file(std::string(QUORVEL_BINARY_DIR) + "/app/quorvelctl/quorvelctl", Dir / "quorvelctl");
    }
    void TearDown() override { fs::remove_all(Dir); }

    void WriteConfig(const fs::path& path, int port) {
        ASSERT_EQ(ReplaceFileContent(path.string(), "[Option]\r\nSmtpServer=127.0.0.1\r\nSmtpPort=" + std::to_string(port) +
                                                        "\r\nSmtpName=backup@example.com\r\nSmtpUser=backup\r\nSmtpSecurity=none\r\n"
                                                        "NotifyOnFailure=0\r\n"
                                                        "SmtpPass=" + CipherText("secret", SmtpPasswordKey, true) + "\r\n"),
                  0);
    }
    void WriteTasks(const std::string& server) {
        TTaskTable tasks;
        StoreTestTask(tasks, TestTask([&](TTaskRecord& t) {
            t.TaskName = Utf8ToAnsi("夜间备份");
            t.RunHour = 3;
            t.RunMinute = 0;
            t.ServerName = server;
            t.BakFilePath = (Dir / "backup").string();
            t.RarTimeAfter = 1;
            t.SendTimeAfter = 1; // raised to 30 s
            t.MailTopic = "<file>";
        }));
        SaveToFile(tasks, (Dir / "task.ini").string());
    }
    // Runs the copied program with the rar stand-in first on the search path
    // (`withRar`), or without any rar and quorvelzip beside the program.
    TRun Run(const std::string& args, bool withRar = true) {
        if (!withRar && !fs::exists(Dir / "quorvelzip"))
            fs::copy_file(std::string(QUORVEL_BINARY_DIR) + "/app/quorvelzip", Dir / "quorvelzip");
        const std::string path = withRar ? "PATH='" + std::string(QUORVEL_PEERS_DIR) + "':\"$PATH\" " : "";
        const std::string command = "cd '" + Dir.string() + "' && " + path + "timeout 120 ./quorvelctl " + args +
                                    " 2>stderr.txt";
        TRun run;
        const TShellRun shell = RunShell(command);
        run.Status = shell.Status;
        // The log's lines carry a time stamp; the archiver's own output (the
        // path quorvelzip names) does not.
        for (const std::string& line : SplitLines(shell.Out))
            if (line.size() > 20 && line[4] == '-' && line[19] == ' ') run.Out.push_back(line.substr(20));
        ReadWholeFile((Dir / "stderr.txt").string(), run.Err);
        return run;
    }

    fs::path Dir;
};

TEST_F(CtlRunTest, RunsOneWholeCycleNowAndExitsZeroWhenMailed) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(Dir / "other.ini", smtp.Port());
    WriteTasks(database.DataSource());
    TRun run = Run("run task.ini 夜间备份 --config other.ini");
    ASSERT_EQ(run.Status, 0) << run.Err;
    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 1u);
    const std::string name = mails[0].FileName;
    EXPECT_EQ(mails[0].Subject, name);
    EXPECT_EQ(run.Out, TypicalDayLog(name));
    EXPECT_EQ(database.Statements().size(), 1u);
    EXPECT_TRUE(fs::is_empty(Dir / "bak")) << "the archive was deleted once sent";
    EXPECT_TRUE(fs::exists(Dir / "Keldor.bat"));
}

TEST_F(CtlRunTest, WithoutRarPacksAZipMailsItWholeAndDeletesIt) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(Dir / "config.ini", smtp.Port());
    WriteTasks(database.DataSource());
    TRun run = Run("run task.ini 夜间备份", false);
    ASSERT_EQ(run.Status, 0) << run.Err;
    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 1u);
    const std::string name = mails[0].FileName;
    EXPECT_EQ(fs::path(name).extension(), ".zip");
    EXPECT_EQ(mails[0].Attachment.rfind("PK\x03\x04", 0), 0u);
    EXPECT_EQ(run.Out, TypicalDayLog(name));
    EXPECT_TRUE(fs::is_empty(Dir / "bak"));
}

// A volume refused: the log shows the volumes and which were sent, and the
// exit status is not 0 although one mail went out.
TEST_F(CtlRunTest, ExitsZeroOnlyWhenEveryVolumeWasSent) {
    std::string backup(600000, '\0');
    std::mt19937 random(7);
    for (char& b : backup) b = static_cast<char>(random());
    std::ofstream(Dir / "backup" / "pubs.bak", std::ios::binary) << backup;
    TTdsTestServer database;
    TSmtpSpoolServer smtp({.SizeLimit = 300000, .RefuseDataAfter = 1});
    WriteConfig(Dir / "config.ini", smtp.Port());
    WriteTasks(database.DataSource());
    TRun run = Run("run task.ini 夜间备份");
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_EQ(smtp.Messages().size(), 1u);
    ASSERT_FALSE(run.Out.empty());
    const std::string& last = run.Out.back();
    EXPECT_EQ(last.rfind("已发送的分卷：1/", 0), 0u) << last;
    const std::string count = last.substr(last.find('/') + 1);
    EXPECT_NE(std::find(run.Out.begin(), run.Out.end(), "发送分卷 2/" + count + "..."), run.Out.end());
    EXPECT_FALSE(fs::is_empty(Dir / "bak")) << "archive and volumes kept";
}

TEST_F(CtlRunTest, FailuresExitOneWithTheErrorsText) {
    TTdsTestServer database({.Rules = {{.Match = "BACKUP", .ErrorNumber = 3201,
                                        .ErrorMessage = "Cannot open backup device 'x'."}}});
    WriteConfig(Dir / "config.ini", 25);
    WriteTasks(database.DataSource());

    TRun failed = Run("run task.ini 夜间备份");
    EXPECT_EQ(failed.Status, 1);
    EXPECT_NE(failed.Err.find("Cannot open backup device"), std::string::npos) << failed.Err;
    ASSERT_GE(failed.Out.size(), 4u);
    EXPECT_EQ(failed.Out.back(), "正在备份[pubs]数据库...");

    TRun unknown = Run("run task.ini nosuchtask");
    EXPECT_EQ(unknown.Status, 1);
    EXPECT_NE(unknown.Err.find("No task named 'nosuchtask'"), std::string::npos) << unknown.Err;
    EXPECT_TRUE(unknown.Out.empty());

    EXPECT_EQ(Run("run task.ini").Status, 2);
    EXPECT_EQ(Run("run task.ini x --config").Status, 2);
}

} // namespace
