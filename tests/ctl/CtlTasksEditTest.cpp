// quorvelctl tasks add / remove: the built tool applying the editor's checks
// (trial connection to the TDS test server included) and saving the file.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "tasks/TaskFile.h"
#include "tests/peers/TdsTestServer.h"

namespace {

struct TCtlRun {
    int Status;
    std::string Out, Err;
};

class CtlTasksEditTest : public testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<TTdsTestServer>(); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        std::string pattern = TempFolder() + "quorvel-ctledit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern + "/";
        file_ = dir_ + "task.ini";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static std::string Quote(const std::string& s) {
        std::string out = "'";
        for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }
    TCtlRun Ctl(const std::vector<std::string>& args) const {
        std::string command = Quote(QUORVEL_BINARY_DIR "/app/quorvelctl/quorvelctl");
        for (const std::string& a : args) command += " " + Quote(a);
        command += " >" + Quote(dir_ + "out") + " 2>" + Quote(dir_ + "err") + " </dev/null";
        const int raw = std::system(command.c_str());
        TCtlRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, {}, {}};
        ReadWholeFile(dir_ + "out", run.Out);
        ReadWholeFile(dir_ + "err", run.Err);
        return run;
    }
    // `tasks add` with a complete task that the test server accepts, plus `extra`.
    TCtlRun Add(const char* name, const char* hour, const char* minute, std::vector<std::string> extra = {},
                const TTdsTestServer* server = nullptr) const {
        std::vector<std::string> args = {"tasks",        "add",         file_,
                                         "--taskName",   name,          "--ServerName",
                                         (server ? *server : *server_).DataSource(),
                                         "--BakDBName",  "pubs",        "--BakFilePath",
                                         std::string("/srv/") + name, "--ToMailAddr", "ops@example.com",
                                         "--RunHour",    hour,          "--RunMinute", minute};
        args.insert(args.end(), extra.begin(), extra.end());
        return Ctl(args);
    }
    std::string FileBytes() const {
        std::string bytes;
        ReadWholeFile(file_, bytes);
        return bytes;
    }

    static std::unique_ptr<TTdsTestServer> server_;
    std::string dir_, file_;
};
std::unique_ptr<TTdsTestServer> CtlTasksEditTest::server_;

TEST_F(CtlTasksEditTest, AddStoresAsTheEditorDoes) {
    TCtlRun first = Add("夜间备份", "20", "30",
                        {"--Bak2Enabled", "true", "--RunHour2", "3", "--runminute2", "15", "--SendTimeAfter", "0",
                         "--RarTimeAfter", "", "--Password", "p;w", "--CcMailAddr", "boss@example.com"});
    ASSERT_EQ(first.Status, 0) << first.Err;
    TCtlRun second = Add("weekly", "8", "0");
    ASSERT_EQ(second.Status, 0) << second.Err;

    TTaskTable table;
    LoadFromFile(table, file_);
    ASSERT_EQ(table.CountRecords(), 2);
    table.GoToNumber(1);
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 1);
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), Utf8ToAnsi("夜间备份"));
    EXPECT_EQ(table.FieldNamed("RunTime1").AsString(), "20:30");
    EXPECT_EQ(table.FieldNamed("RunTime2").AsString(), "3:15");
    EXPECT_EQ(table.FieldNamed("Password").AsString(), "p;w");
    EXPECT_EQ(table.FieldNamed("CcMailAddr").AsString(), "boss@example.com");
    EXPECT_EQ(table.FieldNamed("RarTimeAfter").AsInteger(), 0);
    EXPECT_EQ(table.FieldNamed("SendTimeAfter").AsInteger(), 0);
    table.GoToNumber(2);
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 2);
    // Options left out take the editor's defaults.
    EXPECT_EQ(table.FieldNamed("DBName").AsString(), "gis");
    EXPECT_EQ(table.FieldNamed("UserName").AsString(), "sa");
    EXPECT_EQ(table.FieldNamed("MailTopic").AsString(), Utf8ToAnsi("数据库备份：<file>_<date>"));
    EXPECT_FALSE(table.FieldNamed("Bak2Enabled").AsBoolean());
    EXPECT_EQ(table.FieldNamed("RunHour2").AsInteger(), 12);
    EXPECT_EQ(table.FieldNamed("RarTimeAfter").AsInteger(), 30);
    EXPECT_EQ(table.FieldNamed("SendTimeAfter").AsInteger(), 60);

    const auto logins = server_->Logins();
    ASSERT_GE(logins.size(), 2u);
    EXPECT_EQ(logins[logins.size() - 2]["password"], "p;w"); // the trial connection used the task's login
}

TEST_F(CtlTasksEditTest, RefusalsLeaveTheFileAsItWas) {
    ASSERT_EQ(Add("a", "8", "0").Status, 0);
    const std::string before = FileBytes();
    struct TCase {
        const char* Name;
        std::vector<std::string> Args;
        int Status;
        const char* Err; // contained in standard error
    };
    const TCase cases[] = {
        {"missing_recipient",
         {"tasks", "add", file_, "--taskName", "b", "--BakDBName", "x", "--BakFilePath", "/b"},
         1,
         "--ToMailAddr must not be empty"},
        {"blank_login", {"tasks", "add", file_, "--UserName", " "}, 1, "服务器名、数据库名、用户名 不能为空。"},
        {"unknown_field", {"tasks", "add", file_, "--num", "5"}, 2, "unknown field 'num'"},
        {"hour_out_of_range", {"tasks", "add", file_, "--RunHour", "24"}, 2, "--RunHour must be a whole number"},
        {"flag_not_boolean", {"tasks", "add", file_, "--Bak2Enabled", "maybe"}, 2, "must be true or false"},
        {"value_missing", {"tasks", "add", file_, "--taskName"}, 2, "needs a value"},
        {"given_twice", {"tasks", "add", file_, "--taskName", "x", "--TASKNAME", "y"}, 2, "given twice"},
        // Checked before any connection is tried.
        {"line_feed_in_folder",
         {"tasks", "add", file_, "--taskName", "b", "--BakDBName", "x", "--ToMailAddr", "o@example.com", "--BakFilePath",
          "/srv/s\nsh -c \"touch /tmp/PWNED\" \""},
         1,
         "目的路径 含有不允许的控制字符"},
        {"quote_in_folder",
         {"tasks", "add", file_, "--taskName", "b", "--BakDBName", "x", "--ToMailAddr", "o@example.com", "--BakFilePath",
          "/srv/A\" -df \"/srv/V"},
         1,
         "目的路径 含有不允许的双引号"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TCtlRun run = Ctl(c.Args);
        EXPECT_EQ(run.Status, c.Status);
        EXPECT_NE(run.Err.find(c.Err), std::string::npos) << run.Err;
        EXPECT_EQ(FileBytes(), before);
    }
    struct TAddCase {
        const char* Name;
        const char* Hour;
        const char* Minute;
        std::vector<std::string> Extra;
        const char* Err;
    };
    const TAddCase adds[] = {
        {"a", "9", "0", {}, "该任务名已经存在！"},
        {"spacing", "8", "9", {}, "该时间与已有备份任务间隔太短！"},
        {"same_time", "8", "0", {}, "该时间已有备份任务！"},
        {"mail_delay", "9", "0", {"--SendTimeAfter", "29"}, "邮件发送间隔太短(要求>30秒)"},
        {"archive_delay_text", "9", "0", {"--RarTimeAfter", "soon"}, "'soon' is not a valid integer value"},
        {"carriage_return_in_copy", "9", "0", {"--CcMailAddr", "b@example.com\r\nRSET"}, "抄送邮箱地址 含有不允许的控制字符"},
        {"line_feed_in_subject", "9", "0", {"--MailTopic", "x\ny"}, "邮件主题格式 含有不允许的控制字符"},
    };
    for (const TAddCase& c : adds) {
        SCOPED_TRACE(c.Name);
        TCtlRun run = Add(c.Name, c.Hour, c.Minute, c.Extra);
        EXPECT_EQ(run.Status, 1);
        EXPECT_NE(run.Err.find(c.Err), std::string::npos) << run.Err;
        EXPECT_EQ(FileBytes(), before);
    }
}

TEST_F(CtlTasksEditTest, RefusedLoginNamesTheServersReason) {
    TTdsTestServer refusing({.RefuseLogin = true});
    TCtlRun run = Add("a", "8", "0", {}, &refusing);
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find("数据库连接失败!原因:"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("Login failed for user 'sa'."), std::string::npos) << run.Err;
    EXPECT_FALSE(FileExists(file_));
}

TEST_F(CtlTasksEditTest, RemoveTakesTheListedNumber) {
    for (const char* name : {"a", "b", "c"}) ASSERT_EQ(Add(name, name[0] == 'a' ? "1" : name[0] == 'b' ? "2" : "3", "0").Status, 0);
    const std::string before = FileBytes();
    for (const char* bad : {"0", "4", "x", "-1", " 2"}) {
        TCtlRun run = Ctl({"tasks", "remove", file_, bad});
        EXPECT_EQ(run.Status, 1) << bad;
        EXPECT_NE(run.Err.find("has no task number"), std::string::npos) << run.Err;
        EXPECT_EQ(FileBytes(), before);
    }
    TCtlRun run = Ctl({"tasks", "remove", file_, "2"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, "removed task 2 (b) from " + file_ + "\n");
    TTaskTable table;
    LoadFromFile(table, file_);
    ASSERT_EQ(table.CountRecords(), 2);
    table.GoToNumber(1);
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), "a");
    table.GoToNumber(2);
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), "c");
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 3); // numbers are not renumbered

    EXPECT_EQ(Ctl({"tasks", "remove", dir_ + "missing.ini", "1"}).Status, 1);
    EXPECT_EQ(Ctl({"tasks", "remove", file_}).Status, 2);
}

} // namespace
