// The task editor's checks and storing, with the trial connection going to the
// TDS test server through the real ODBC/FreeTDS path.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "tasks/TaskChecks.h"
#include "tasks/TaskTable.h"
#include "tests/peers/TdsTestServer.h"
#include "tests/support/ClosedPort.h"

namespace {

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

struct TStoredTask {
    const char* Name;
    const char* Path;
    int Hour, Minute;
    bool Second = false;
    int Hour2 = 12, Minute2 = 0;
};

// Only these fields are written: the loading tests read the empty ones back.
void AddTask(TTaskTable& table, const TStoredTask& task) {
    const int count = table.CountRecords();
    table.BeginNewRecord();
    table.FieldNamed("num").SetAsInteger(count + 1);
    table.FieldNamed("taskName").SetAsString(A(task.Name));
    table.FieldNamed("BakFilePath").SetAsString(task.Path);
    table.FieldNamed("RunHour").SetAsInteger(task.Hour);
    table.FieldNamed("RunMinute").SetAsInteger(task.Minute);
    table.FieldNamed("Bak2Enabled").SetAsBoolean(task.Second);
    table.FieldNamed("RunHour2").SetAsInteger(task.Hour2);
    table.FieldNamed("RunMinute2").SetAsInteger(task.Minute2);
    table.StoreRecord();
}

class TaskChecksTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<TTdsTestServer>(); }
    static void TearDownTestSuite() { server_.reset(); }

    // A complete new task at 20:30 that the test server accepts.
    static TTaskInput ValidInput() {
        TTaskInput input = TTaskInput::Defaults();
        input.TaskName = A("夜间备份");
        input.ServerName = server_->DataSource();
        input.DBName = "master";
        input.Password = "secret";
        input.BakDBName = "pubs,gis";
        input.BakFilePath = "/srv/bak/new";
        input.ToMailAddr = "ops@example.com";
        return input;
    }

    static std::unique_ptr<TTdsTestServer> server_;
    TTaskTable table_;
};
std::unique_ptr<TTdsTestServer> TaskChecksTest::server_;

struct TCheckCase {
    const char* Name;
    std::vector<TStoredTask> Stored;
    std::function<void(TTaskInput&)> Change;
    bool NewTask = true;
    int EditNumber = 0;
    const char* Message = ""; // UTF-8; "" for none
    TTaskInputBox Focus = TTaskInputBox::None;
    bool MessageIsError = false;
};

const char* const SpacingText = "该时间与已有备份任务间隔太短！";
const char* const TimeTakenText = "该时间已有备份任务！";

const std::vector<TCheckCase>& CheckCases() {
    static const std::vector<TCheckCase> cases = {
        {"accepted_on_empty_table", {}, [](TTaskInput&) {}},
        {"blank_server", {}, [](TTaskInput& i) { i.ServerName = "  "; }, true, 0, "服务器名、数据库名、用户名 不能为空。"},
        {"empty_database", {}, [](TTaskInput& i) { i.DBName = ""; }, true, 0, "服务器名、数据库名、用户名 不能为空。"},
        {"empty_login", {}, [](TTaskInput& i) { i.UserName = "\t"; }, true, 0, "服务器名、数据库名、用户名 不能为空。"},
        {"connection_fields_before_name",
         {},
         [](TTaskInput& i) {
             i.UserName = "";
             i.TaskName = "";
         },
         true, 0, "服务器名、数据库名、用户名 不能为空。"},
        {"blank_name_focuses_it", {}, [](TTaskInput& i) { i.TaskName = " "; }, true, 0, "", TTaskInputBox::TaskName},
        {"name_before_folder",
         {},
         [](TTaskInput& i) {
             i.TaskName = "";
             i.BakFilePath = "";
         },
         true, 0, "", TTaskInputBox::TaskName},
        {"empty_folder", {}, [](TTaskInput& i) { i.BakFilePath = ""; }, true, 0, "", TTaskInputBox::BakFilePath},
        {"folder_before_recipient",
         {},
         [](TTaskInput& i) {
             i.BakFilePath = "";
             i.ToMailAddr = "";
             i.BakDBName = "";
         },
         true, 0, "", TTaskInputBox::BakFilePath},
        {"empty_recipient", {}, [](TTaskInput& i) { i.ToMailAddr = ""; }, true, 0, "", TTaskInputBox::ToMailAddr},
        {"empty_database_list", {}, [](TTaskInput& i) { i.BakDBName = " "; }, true, 0, "", TTaskInputBox::BakDBName},
        {"mail_delay_29", {}, [](TTaskInput& i) { i.SendTimeAfter = "29"; }, true, 0, "邮件发送间隔太短(要求>30秒)"},
        {"mail_delay_negative", {}, [](TTaskInput& i) { i.SendTimeAfter = "-5"; }, true, 0, "邮件发送间隔太短(要求>30秒)"},
        {"mail_delay_30", {}, [](TTaskInput& i) { i.SendTimeAfter = "30"; }},
        {"mail_delay_0", {}, [](TTaskInput& i) { i.SendTimeAfter = "0"; }},
        {"mail_delay_empty", {}, [](TTaskInput& i) { i.SendTimeAfter = ""; }},
        {"mail_delay_blank", {}, [](TTaskInput& i) { i.SendTimeAfter = "  "; }},
        {"mail_delay_not_a_number",
         {},
         [](TTaskInput& i) { i.SendTimeAfter = "6o"; },
         true, 0, "'6o' is not a valid integer value", TTaskInputBox::None, true},
        {"mail_delay_trailing_blank",
         {},
         [](TTaskInput& i) { i.SendTimeAfter = "60 "; },
         true, 0, "'60 ' is not a valid integer value", TTaskInputBox::None, true},
        {"duplicate_name", {{"夜间备份", "/a", 8, 0}}, [](TTaskInput&) {}, true, 0, "该任务名已经存在！"},
        {"name_with_trailing_blank_is_new",
         {{"夜间备份", "/a", 8, 0}},
         [](TTaskInput& i) { i.TaskName = A("夜间备份 "); }},
        {"name_in_other_case_is_new",
         {{"Nightly", "/a", 8, 0}},
         [](TTaskInput& i) { i.TaskName = "NIGHTLY"; }},
        {"duplicate_folder", {{"a", "/srv/bak/new", 8, 0}}, [](TTaskInput&) {}, true, 0, "该路径已有备份任务！"},
        {"name_checked_before_folder",
         {{"b", "/srv/bak/new", 8, 0}, {"夜间备份", "/x", 9, 0}},
         [](TTaskInput&) {},
         true, 0, "该任务名已经存在！"},
        {"same_first_time", {{"a", "/a", 20, 30}}, [](TTaskInput&) {}, true, 0, TimeTakenText},
        {"nine_minutes_after", {{"a", "/a", 20, 39}}, [](TTaskInput&) {}, true, 0, SpacingText},
        {"ten_minutes_after", {{"a", "/a", 20, 40}}, [](TTaskInput&) {}},
        {"nine_minutes_before", {{"a", "/a", 20, 21}}, [](TTaskInput&) {}, true, 0, SpacingText},
        {"ten_minutes_before", {{"a", "/a", 20, 20}}, [](TTaskInput&) {}},
        {"no_wrap_at_midnight",
         {{"a", "/a", 23, 55}},
         [](TTaskInput& i) {
             i.RunHour = 0;
             i.RunMinute = 1;
         }},
        {"own_record_skipped_when_changing",
         {{"a", "/a", 8, 0}, {"夜间备份", "/srv/bak/new", 20, 30}},
         [](TTaskInput&) {},
         false, 2},
        {"changed_to_another_tasks_time",
         {{"a", "/a", 8, 0}, {"夜间备份", "/srv/bak/new", 20, 30}},
         [](TTaskInput& i) {
             i.RunHour = 8;
             i.RunMinute = 0;
         },
         false, 2, SpacingText},
        {"duplicates_not_checked_when_changing",
         {{"夜间备份", "/srv/bak/new", 8, 0}, {"b", "/b", 20, 30}},
         [](TTaskInput&) {},
         false, 2},
        {"unticked_second_time_near_first_time",
         {{"a", "/a", 8, 0}},
         [](TTaskInput& i) {
             i.RunHour2 = 8;
             i.RunMinute2 = 5;
         }},
        {"ticked_second_time_near_first_time",
         {{"a", "/a", 8, 0}},
         [](TTaskInput& i) {
             i.Bak2Enabled = true;
             i.RunHour2 = 8;
             i.RunMinute2 = 5;
         },
         true, 0, SpacingText},
        {"ticked_second_times_close",
         {{"a", "/a", 8, 0, true, 13, 0}},
         [](TTaskInput& i) {
             i.Bak2Enabled = true;
             i.RunHour2 = 13;
             i.RunMinute2 = 5;
         },
         true, 0, SpacingText},
        {"first_time_near_ticked_second_time",
         {{"a", "/a", 8, 0, true, 20, 35}},
         [](TTaskInput&) {},
         true, 0, SpacingText},
        {"first_time_near_unticked_second_time", {{"a", "/a", 8, 0, false, 20, 35}}, [](TTaskInput&) {}},
        {"unticked_second_time_equal_to_used_second_time",
         {{"a", "/a", 8, 0, true, 13, 0}},
         [](TTaskInput& i) {
             i.RunHour2 = 13;
             i.RunMinute2 = 0;
         },
         true, 0, TimeTakenText},
        {"only_first_task_with_that_second_time_counts",
         {{"a", "/a", 8, 0, false, 13, 0}, {"b", "/b", 10, 0, true, 13, 0}},
         [](TTaskInput& i) {
             i.RunHour2 = 13;
             i.RunMinute2 = 0;
         }},
        {"line_feed_in_folder",
         {},
         [](TTaskInput& i) { i.BakFilePath = "/srv/s\nsh -c \"touch /tmp/PWNED\" \""; },
         true, 0, "目的路径 含有不允许的控制字符"},
        {"quote_in_folder", {}, [](TTaskInput& i) { i.BakFilePath = "/srv/A\" -df \"/srv/V"; }, true, 0,
         "目的路径 含有不允许的双引号"},
        {"carriage_return_in_server", {}, [](TTaskInput& i) { i.ServerName = "db\r"; }, true, 0,
         "服务器名 含有不允许的控制字符"},
        {"tab_in_database", {}, [](TTaskInput& i) { i.DBName = "mas\tter"; }, true, 0, "数据库名 含有不允许的控制字符"},
        {"delete_in_login", {}, [](TTaskInput& i) { i.UserName = "sa\x7f"; }, true, 0, "用户名 含有不允许的控制字符"},
        {"nul_in_database_list", {}, [](TTaskInput& i) { i.BakDBName = std::string("pubs\0x", 6); }, true, 0,
         "待备份数据库 含有不允许的控制字符"},
        {"line_feed_in_recipient", {}, [](TTaskInput& i) { i.ToMailAddr = "a@b.c\nRSET"; }, true, 0,
         "备份邮箱地址 含有不允许的控制字符"},
        {"line_feed_in_copy", {}, [](TTaskInput& i) { i.CcMailAddr = "a@b.c\r\nRSET"; }, true, 0,
         "抄送邮箱地址 含有不允许的控制字符"},
        {"line_feed_in_subject", {}, [](TTaskInput& i) { i.MailTopic = "x\ny"; }, true, 0, "邮件主题格式 含有不允许的控制字符"},
        {"fields_checked_in_table_order",
         {},
         [](TTaskInput& i) {
             i.MailTopic = "x\ny";
             i.ServerName = "db\n";
         },
         true, 0, "服务器名 含有不允许的控制字符"},
        // Text that reaches no command may hold them, and a quote is refused only in the folder.
        {"control_characters_in_name_and_password",
         {},
         [](TTaskInput& i) {
             i.TaskName = A("夜间\t备份");
             i.Password = "p\x01w";
         }},
        {"quote_in_subject", {}, [](TTaskInput& i) { i.MailTopic = A("\"备份\" <file>"); }},
        {"chinese_folder", {}, [](TTaskInput& i) { i.BakFilePath = A("/srv/备份/新"); }},
        {"impossible_stored_time_skipped", {{"a", "/a", 25, 30}, {"b", "/b", 20, 70}}, [](TTaskInput&) {}},
        {"impossible_second_time_skipped",
         {{"a", "/a", 8, 0, true, 24, 0}},
         [](TTaskInput& i) {
             i.RunHour = 23;
             i.RunMinute = 55;
         }},
    };
    return cases;
}

// Each case reports on its own, under its name.
void PrintTo(const TCheckCase& c, std::ostream* os) { *os << c.Name; }

class CheckInputCase : public TaskChecksTest, public testing::WithParamInterface<TCheckCase> {};

TEST_P(CheckInputCase, Outcome) {
    const TCheckCase& c = GetParam();
    TTaskTable table;
    for (const TStoredTask& task : c.Stored) AddTask(table, task);
    TTaskInput input = ValidInput();
    c.Change(input);
    const TCheckOutcome outcome = CheckInput(table, input, c.NewTask, c.EditNumber);
    const bool expectAccepted = std::string(c.Message).empty() && c.Focus == TTaskInputBox::None;
    EXPECT_EQ(outcome.Accepted, expectAccepted);
    EXPECT_EQ(AnsiToUtf8(outcome.Message), c.Message);
    EXPECT_EQ(outcome.Focus, c.Focus);
    EXPECT_EQ(outcome.MessageIsError, c.MessageIsError);
    EXPECT_EQ(table.CountRecords(), static_cast<int>(c.Stored.size())); // checks never store
}

INSTANTIATE_TEST_SUITE_P(TaskChecks, CheckInputCase, testing::ValuesIn(CheckCases()),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST_F(TaskChecksTest, TrialConnectionLogsInWithTheBoxesAsTyped) {
    TTdsTestServer server;
    TTaskInput input = ValidInput();
    input.ServerName = server.DataSource();
    input.UserName = "backup_op";
    input.Password = "p;w=1";
    input.DBName = "gis";
    EXPECT_TRUE(CheckInput(table_, input, true, 0).Accepted);
    const auto logins = server.Logins();
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0]["user"], "backup_op");
    EXPECT_EQ(logins[0]["password"], "p;w=1");
    EXPECT_EQ(logins[0]["database"], "gis");
}

TEST_F(TaskChecksTest, RefusedLoginShowsTheServersReason) {
    TTdsTestServer server({.RefuseLogin = true});
    TTaskInput input = ValidInput();
    input.ServerName = server.DataSource();
    const TCheckOutcome outcome = CheckInput(table_, input, true, 0);
    EXPECT_FALSE(outcome.Accepted);
    EXPECT_FALSE(outcome.MessageIsError);
    const std::string message = AnsiToUtf8(outcome.Message);
    EXPECT_EQ(message.rfind("数据库连接失败!原因:", 0), 0u) << message;
    EXPECT_NE(message.find("Login failed for user 'sa'."), std::string::npos) << message;
}

TEST_F(TaskChecksTest, UnreachableServerIsRefusedWithinTheTimeOut) {
    TTaskInput input = ValidInput();
    const TClosedPort closed;
    input.ServerName = "127.0.0.1," + std::to_string(closed.Port());
    const auto start = std::chrono::steady_clock::now();
    const TCheckOutcome outcome = CheckInput(table_, input, true, 0, {.ConnectionTimeout = 5});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(outcome.Accepted);
    const std::string message = AnsiToUtf8(outcome.Message);
    EXPECT_EQ(message.rfind("数据库连接失败!原因:", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("数据库连接失败!原因:").size()) << "the reason is missing";
}

TEST_F(TaskChecksTest, NoConnectionBeforeTheRequiredBoxesAreFilled) {
    TTdsTestServer server;
    TTaskInput input = ValidInput();
    input.ServerName = server.DataSource();
    input.ToMailAddr = "";
    EXPECT_EQ(CheckInput(table_, input, true, 0).Focus, TTaskInputBox::ToMailAddr);
    EXPECT_TRUE(server.Logins().empty());
}

TEST_F(TaskChecksTest, NoConnectionWithARefusedText) {
    TTdsTestServer server;
    TTaskInput input = ValidInput();
    input.ServerName = server.DataSource();
    input.DBName = "master\n";
    EXPECT_EQ(AnsiToUtf8(CheckInput(table_, input, true, 0).Message), "数据库名 含有不允许的控制字符");
    EXPECT_TRUE(server.Logins().empty());
}

TEST(TaskFieldFaults, StoredRecordIsCheckedFieldByField) {
    TTaskTable table;
    AddTask(table, {"a", "/a", 8, 0});
    EXPECT_EQ(StoredTaskFault(table), "");
    for (const TGuardedTaskField& field : GuardedTaskFields()) {
        SCOPED_TRACE(field.Name);
        table.GoToNumber(1);
        table.BeginChangeRecord();
        table.FieldNamed(field.Name).SetAsString("x\ny");
        table.StoreRecord();
        EXPECT_EQ(AnsiToUtf8(StoredTaskFault(table)), std::string(field.Label) + " 含有不允许的控制字符");
        table.BeginChangeRecord();
        table.FieldNamed(field.Name).SetAsString("ok");
        table.StoreRecord();
    }
    EXPECT_EQ(StoredTaskFault(table), "");
}

TEST(ImportedCells, HeldToWhatTheEditorStores) {
    struct Case {
        const char* Field;
        const char* Text;
        const char* Result; // as read back when stored, else the error
        bool Stored = true;
    };
    const Case cases[] = {
        {"Bak2Enabled", "True", "True"},
        {"Bak2Enabled", "false", "False"},
        {"Bak2Enabled", "1", "True"},
        {"Bak2Enabled", "0", "False"},
        {"Bak2Enabled", "", ""},
        {"Bak2Enabled", "nan", "'nan' is not a valid boolean value for field '启用2' (True, False, 1 or 0)", false},
        {"Bak2Enabled", "inf", "'inf' is not a valid boolean value for field '启用2' (True, False, 1 or 0)", false},
        {"Bak2Enabled", "1e308", "'1e308' is not a valid boolean value for field '启用2' (True, False, 1 or 0)", false},
        {"Bak2Enabled", "2", "'2' is not a valid boolean value for field '启用2' (True, False, 1 or 0)", false},
        {"RunHour", "23", "23"},
        {"RunHour", "0", "0"},
        {"RunHour", "", ""},
        {"RunHour", "99", "99 is out of range for field '执行时间(时)' (0 to 23)", false},
        {"RunHour", "-1", "-1 is out of range for field '执行时间(时)' (0 to 23)", false},
        {"RunHour", " 8", "' 8' is not a valid integer value for field '执行时间(时)'", false},
        {"RunHour", "8.0", "'8.0' is not a valid integer value for field '执行时间(时)'", false},
        {"RunHour", "+8", "'+8' is not a valid integer value for field '执行时间(时)'", false},
        {"RunMinute2", "59", "59"},
        {"RunMinute2", "60", "60 is out of range for field '执行时间2(分)' (0 to 59)", false},
        {"RarTimeAfter", "0", "0"},
        {"RarTimeAfter", "-30", "-30 is out of range for field '压缩开始时间(秒)' (0 to 2147483647)", false},
        {"RarTimeAfter", "99999999999", "'99999999999' is not a valid integer value for field '压缩开始时间(秒)'", false},
        {"SendTimeAfter", "0", "0"},
        {"SendTimeAfter", "30", "30"},
        {"SendTimeAfter", "29", "29 is out of range for field '邮件发送时间(秒)' (0 or at least 30)", false},
        {"num", "-2", "-2 is out of range for field '序号' (0 to 2147483647)", false},
        {"BakFilePath", "/srv/a b", "/srv/a b"},
        {"BakFilePath", "/srv/s\nsh", "目的路径 含有不允许的控制字符", false},
        {"BakFilePath", "/srv/A\" -df \"/V", "目的路径 含有不允许的双引号", false},
        {"ToMailAddr", "a@b.c\rRSET", "备份邮箱地址 含有不允许的控制字符", false},
        {"taskName", "a\tb", "a\tb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Field) + "=" + c.Text);
        TTaskTable table;
        table.BeginNewRecord();
        TTaskField& field = table.FieldNamed(c.Field);
        try {
            StoreImportedCell(field, A(c.Text));
            EXPECT_TRUE(c.Stored);
            EXPECT_EQ(AnsiToUtf8(field.AsString()), c.Result);
        } catch (const EConvertError& e) {
            EXPECT_FALSE(c.Stored);
            EXPECT_EQ(AnsiToUtf8(e.Message), c.Result);
        }
        table.CancelRecord();
    }
}

TEST(TaskStoreTest, NewTaskIsNumberedAfterTheCountAndFilledWhole) {
    TTaskTable table;
    AddTask(table, {"a", "/a", 8, 0});
    AddTask(table, {"b", "/b", 9, 0});
    table.GoFirst();
    table.RemoveRecord(); // numbers now: 2 only; the new one gets count + 1 = 2 again
    TTaskInput input = TTaskInput::Defaults();
    input.TaskName = A("夜间备份 ");
    input.Password = "pw";
    input.BakDBName = "pubs";
    input.ToMailAddr = "ops@example.com";
    input.CcMailAddr = "boss@example.com";
    input.Bak2Enabled = false;
    input.RunHour2 = 13;
    input.RunMinute2 = 45;
    input.RarTimeAfter = "";
    input.SendTimeAfter = "0";
    const int number = StoreTask(table, input, true, 0);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(table.CountRecords(), 2);
    table.GoToNumber(number);
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 2);
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), A("夜间备份 ")); // nothing trimmed
    EXPECT_EQ(table.FieldNamed("ServerName").AsString(), "(local)");
    EXPECT_EQ(table.FieldNamed("DBName").AsString(), "gis");
    EXPECT_EQ(table.FieldNamed("UserName").AsString(), "sa");
    EXPECT_EQ(table.FieldNamed("BakFilePath").AsString(), "/var/opt/mssql/backup");
    EXPECT_EQ(table.FieldNamed("MailTopic").AsString(), A("数据库备份：<file>_<date>"));
    EXPECT_EQ(table.FieldNamed("CcMailAddr").AsString(), "boss@example.com");
    EXPECT_EQ(table.FieldNamed("RunTime1").AsString(), "20:30");
    EXPECT_FALSE(table.FieldNamed("Bak2Enabled").AsBoolean());
    EXPECT_EQ(table.FieldNamed("RunHour2").AsInteger(), 13); // kept although not ticked
    EXPECT_EQ(table.FieldNamed("RunMinute2").AsInteger(), 45);
    EXPECT_FALSE(table.FieldNamed("RarTimeAfter").IsNull());
    EXPECT_EQ(table.FieldNamed("RarTimeAfter").AsInteger(), 0);
    EXPECT_EQ(table.FieldNamed("SendTimeAfter").AsInteger(), 0);
}

TEST(TaskStoreTest, ChangingStoresIntoTheEditedRecordOnly) {
    TTaskTable table;
    AddTask(table, {"a", "/a", 8, 0});
    AddTask(table, {"b", "/b", 9, 0});
    TTaskInput input = TTaskInput::Defaults();
    input.TaskName = "b2";
    input.Bak2Enabled = true;
    input.RarTimeAfter = "45";
    table.GoFirst(); // a timer walk may leave the cursor anywhere
    EXPECT_EQ(StoreTask(table, input, false, 2), 2);
    EXPECT_EQ(table.CountRecords(), 2);
    table.GoToNumber(1);
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), "a");
    table.GoToNumber(2);
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), "b2");
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 2);
    EXPECT_EQ(table.FieldNamed("RarTimeAfter").AsInteger(), 45);
    EXPECT_EQ(table.FieldNamed("RunTime2").AsString(), "12:00");
}

TEST(TaskStoreTest, BadDelayTextStoresNothing) {
    struct TCase {
        const char* Rar;
        const char* Send;
        const char* Message;
    };
    const TCase cases[] = {
        {"3O", "60", "'3O' is not a valid integer value"},
        {"30", "x", "'x' is not a valid integer value"},
        {"99999999999", "60", "'99999999999' is not a valid integer value"},
    };
    for (bool newTask : {true, false}) {
        for (const TCase& c : cases) {
            SCOPED_TRACE(c.Rar + std::string("/") + c.Send);
            TTaskTable table;
            AddTask(table, {"a", "/a", 8, 0});
            TTaskInput input = TTaskInput::Defaults();
            input.TaskName = "changed";
            input.RarTimeAfter = c.Rar;
            input.SendTimeAfter = c.Send;
            try {
                StoreTask(table, input, newTask, 1);
                ADD_FAILURE() << "stored";
            } catch (const EConvertError& e) {
                EXPECT_EQ(e.Message, c.Message);
            }
            EXPECT_EQ(table.State(), TTableState::Browse);
            EXPECT_EQ(table.CountRecords(), 1);
            table.GoToNumber(1);
            EXPECT_EQ(table.FieldNamed("taskName").AsString(), "a");
        }
    }
}

TEST(TaskStoreTest, DelayBoxValues) {
    const std::pair<const char*, std::int32_t> good[] = {
        {"0", 0}, {"30", 30}, {"  45", 45}, {"+7", 7}, {"-3", -3}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}};
    for (const auto& [text, value] : good) EXPECT_EQ(DelayBoxValue(text), value) << text;
    const std::vector<AnsiString> bad = {"", " ", "-", "1 ", "1e3", "0x10", "2147483648", A("３０")};
    for (const AnsiString& text : bad) EXPECT_THROW(DelayBoxValue(text), EConvertError) << text;
}

TEST(TaskLoadTest, FillsInTheEditorsOrderAndStopsAtAnEmptyTime) {
    TTaskTable table;
    AddTask(table, {"a", "/a", 8, 5, true, 13, 45});
    table.GoToNumber(1);
    table.BeginChangeRecord();
    table.FieldNamed("SendTimeAfter").SetAsInteger(90);
    table.StoreRecord();

    TTaskInput full = TTaskInput::Defaults();
    LoadTaskInput(table, 1, full);
    EXPECT_EQ(full.TaskName, "a");
    EXPECT_EQ(full.ServerName, ""); // empty fields read as empty text, not the defaults
    EXPECT_EQ(full.RunHour, 8);
    EXPECT_EQ(full.RunMinute, 5);
    EXPECT_TRUE(full.Bak2Enabled);
    EXPECT_EQ(full.RunHour2, 13);
    EXPECT_EQ(full.RunMinute2, 45);
    EXPECT_EQ(full.RarTimeAfter, ""); // empty field: empty box
    EXPECT_EQ(full.SendTimeAfter, "90");

    // A pasted record whose first minute is empty.
    table.BeginChangeRecord();
    table.FieldNamed("RunMinute").Clear();
    table.StoreRecord();
    TTaskInput partial = TTaskInput::Defaults();
    try {
        LoadTaskInput(table, 1, partial);
        ADD_FAILURE() << "no error";
    } catch (const EVariantTypeCastError& e) {
        EXPECT_EQ(e.Message, "Could not convert variant of type (Null) into type (Double)");
    }
    EXPECT_EQ(partial.TaskName, "a");
    EXPECT_EQ(partial.RunHour, 8);       // filled before the empty field
    EXPECT_FALSE(partial.Bak2Enabled);   // after it: defaults
    EXPECT_EQ(partial.RunHour2, 12);
    EXPECT_EQ(partial.SendTimeAfter, "60");
}

} // namespace
