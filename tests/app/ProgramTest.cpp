// The real quorvel program without a display: one instance at a time, an
// orderly end on SIGTERM, and a whole scheduled backup cycle against the
// three peers (TDS server, rar stand-in, SMTP server).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "settings/StringCipher.h"
#include "tasks/TaskFile.h"
#include "tests/app/ProgramProcess.h"
#include "tests/peers/SmtpSpoolServer.h"
#include "tests/peers/TdsTestServer.h"
#include "tests/support/TaskBuilder.h"

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

class ProgramTest : public testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        const std::string id = std::to_string(::getpid()) + "-" + std::to_string(++serial);
        Folder = fs::temp_directory_path() / ("qp-" + id);
        fs::remove_all(Folder);
        fs::create_directories(Folder);
        InstallProgram(Folder);
        // No display: the program picks Qt's offscreen platform by itself.
        Env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""},
               {"QUORVEL_INSTANCE_LOCK", "quorvel-test-" + id}};
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(Folder, ec);
    }
    std::string Read(const std::string& name) const {
        std::string content;
        ReadWholeFile((Folder / name).string(), content);
        return content;
    }

    fs::path Folder;
    std::map<std::string, std::string> Env;
};

TEST_F(ProgramTest, ASecondInstanceIsRefusedAndTheFirstCarriesOn) {
    TProgramProcess first(Folder, {}, Env);
    ASSERT_TRUE(first.WaitForOutput("待命", 20s)) << first.Out << first.Err;

    TProgramProcess second(Folder, {"/afterupgrade0"}, Env);
    EXPECT_EQ(second.Wait(20s), 0) << "the second start ends by itself";
    EXPECT_NE(second.Err.find("quorvel: 副本已经在运行"), std::string::npos) << second.Err;
    EXPECT_EQ(second.Out.find("待命"), std::string::npos) << "it never got as far as its window";

    EXPECT_TRUE(first.Running());
    // SIGTERM ends it as its quit command does: layout saved.
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(20s), 0);
    EXPECT_NE(Read("config.ini").find("[task]"), std::string::npos);

    // Once the first has ended, the lock is free again.
    TProgramProcess third(Folder, {}, Env);
    EXPECT_TRUE(third.WaitForOutput("待命", 20s)) << third.Err;
}

TEST_F(ProgramTest, ScheduledCycleMailsTheBackupAndTheLogShowsOnStandardOutput) {
    // The minute timer's first scan comes 60 s after the start: the task is
    // due in that minute, which must not end in the few seconds the start takes.
    for (;;) {
        const int second = ToLocal(system_clock::now()).Second;
        if (second >= 2 && second <= 45)
            break;
        std::this_thread::sleep_for(500ms);
    }
    // A cycle that crosses midnight mails its archive all the same: the mail
    // step also takes the day before's archives in its first minutes.
    const TLocalDateTime due = ToLocal(system_clock::now() + 60s);

    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    fs::create_directories(Folder / "backup");
    std::ofstream(Folder / "backup" / "pubs.bak") << "backup of pubs";
    {
        const std::string ini = "[Option]\r\nSmtpServer=127.0.0.1\r\nSmtpPort=" + std::to_string(smtp.Port()) +
                                "\r\nSmtpName=backup@example.com\r\nSmtpUser=backup\r\nSmtpPass=" +
                                CipherText("secret", SmtpPasswordKey, true) + "\r\n";
        ASSERT_EQ(ReplaceFileContent((Folder / "config.ini").string(), ini), 0);
        TTaskTable tasks;
        StoreTestTask(tasks, TestTask([&](TTaskRecord& t) {
            t.TaskName = Utf8ToAnsi("夜间备份");
            t.RunHour = due.Hour;
            t.RunMinute = due.Minute;
            t.ServerName = database.DataSource();
            t.BakFilePath = (Folder / "backup").string();
            t.RarTimeAfter = 1;
            t.SendTimeAfter = 1; // raised to 30 s
            t.MailTopic = Utf8ToAnsi("备份<file>");
        }));
        SaveToFile(tasks, (Folder / "task.ini").string());
    }
    const char* path = std::getenv("PATH");
    Env["PATH"] = std::string(QUORVEL_PEERS_DIR) + ":" + (path ? path : "/usr/bin:/bin"); // the rar stand-in

    TProgramProcess program(Folder, {}, Env);
    ASSERT_TRUE(program.WaitForOutput("待命", 20s)) << program.Err;
    ASSERT_TRUE(program.WaitForOutput("开始执行[夜间备份]任务...", 90s)) << program.Out << program.Err;
    ASSERT_TRUE(program.WaitForOutput("邮件成功发送给", 120s)) << program.Out << program.Err;

    const std::vector<TSpooledMessage> messages = smtp.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Recipients, std::vector<std::string> {"ops@example.com"});
    EXPECT_EQ(messages[0].Subject.rfind("备份", 0), 0u) << messages[0].Subject;
    EXPECT_FALSE(messages[0].Attachment.empty());
    // The Overview's lines, in order, each behind its time stamp.
    std::size_t at = 0;
    for (const char* line : {"待命", "开始执行[夜间备份]任务...", "数据库连接成功", "数据库[pubs]备份完毕！",
                             "文件压缩完毕", "邮件成功发送给ops@example.com"}) {
        const std::size_t found = program.Out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << program.Out;
        EXPECT_EQ(program.Out[found - 1], ' ');
        at = found;
    }
    EXPECT_TRUE(program.Running()) << "the scheduler goes on";
}

} // namespace
