// quorvelctl tasks: the built tool printing and importing task files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>

#include "platform/Files.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskTable.h"

namespace {

const char* const HeaderLine =
    "num\ttaskName\tRunTime1\tBak2Enabled\tRunTime2\tRunHour\tRunMinute\tRunMinute2\tRunHour2\tBakDBName\tBakFilePath\t"
    "ToMailAddr\tRarTimeAfter\tSendTimeAfter\tMailTopic\tServerName\tDBName\tUserName\tPassword\tCcMailAddr\n";

struct TRun {
    int status;
    std::string out, err;
};

class CtlTasksTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = TempFolder() + "quorvel-ctltasks-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern + "/";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const char* name) const { return dir_ + name; }
    void Write(const char* name, std::string_view text) const { ASSERT_EQ(ReplaceFileContent(Path(name), text), 0); }
    std::string Read(const char* name) const {
        std::string s;
        ReadWholeFile(Path(name), s);
        return s;
    }
    // Runs quorvelctl with arguments (quoted for the shell) and captures its output.
    TRun Ctl(const std::string& args) const {
        std::string command = "'" QUORVEL_BINARY_DIR "/app/quorvelctl/quorvelctl' " + args + " >'" + dir_ + "out' 2>'" +
                              dir_ + "err' </dev/null";
        int raw = std::system(command.c_str());
        TRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Read("out"), Read("err")};
        return run;
    }
    std::string Q(const char* name) const { return "'" + Path(name) + "'"; }
    std::string dir_;
};

TEST_F(CtlTasksTest, PrintsEveryRecordAsEscapedTabSeparatedUtf8) {
    TTaskTable table;
    table.BeginNewRecord();
    table.FieldNamed("num").SetAsInteger(1);
    table.FieldNamed("taskName").SetAsString(Utf8ToAnsi("每日\t备份\\夜间"));
    table.FieldNamed("MailTopic").SetAsString("a\r\nb");
    table.FieldNamed("RunHour").SetAsInteger(8);
    table.FieldNamed("RunMinute").SetAsInteger(5);
    table.FieldNamed("Bak2Enabled").SetAsBoolean(false);
    table.StoreRecord();
    table.BeginNewRecord(); // all empty
    table.StoreRecord();
    SaveToFile(table, Path("task.ini"));

    TRun run = Ctl("tasks " + Q("task.ini"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, std::string(HeaderLine) +
                           "1\t每日\\t备份\\\\夜间\t8:05\tFalse\t无\t8\t5\t\t\t\t\t\t\t\ta\\r\\nb\t\t\t\t\t\n"
                           "\t\t:00\t\t无\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n");
}

TEST_F(CtlTasksTest, ImportAppendsRowsAndPrintsThemBackTheSame) {
    const std::string rows = "1\t每日\\t备份\\\\x\t99:99\ttrue\tignored\t20\t30\t5\t8\tdb1,db2\t/bak\ta@b.c\t30\t60\t"
                             "<file> 报告\tsrv\tmaster\tsa\tp\\nw\tcc@d.e\n"
                             "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n" // no first cell: not a record
                             "2\t\t\t0\t\t6\t0\t\t\t\t\t\t\t\t\t\t\t\t\t\r\n"
                             "3\t\t\t\t\t7\t15\t\t\t\t\t\t\t\t\t\t\t\t\t\n";
    Write("in.tsv", std::string(HeaderLine) + rows);
    TRun run = Ctl("tasks import " + Q("task.ini") + " " + Q("in.tsv"));
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat st {};
    ASSERT_EQ(stat(Path("task.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    run = Ctl("tasks " + Q("task.ini"));
    EXPECT_EQ(run.out, std::string(HeaderLine) +
                           "1\t每日\\t备份\\\\x\t20:30\tTrue\t8:05\t20\t30\t5\t8\tdb1,db2\t/bak\ta@b.c\t30\t60\t"
                           "<file> 报告\tsrv\tmaster\tsa\tp\\nw\tcc@d.e\n"
                           "2\t\t6:00\tFalse\t无\t6\t0\t\t\t\t\t\t\t\t\t\t\t\t\t\n"
                           "3\t\t7:15\t\t无\t7\t15\t\t\t\t\t\t\t\t\t\t\t\t\t\n");
    // A second import appends; nothing is checked or renumbered.
    ASSERT_EQ(Ctl("tasks import " + Q("task.ini") + " " + Q("in.tsv")).status, 0);
    TTaskTable table;
    LoadFromFile(table, Path("task.ini"));
    EXPECT_EQ(table.CountRecords(), 6);
}

TEST_F(CtlTasksTest, ABadCellStopsTheImportAndLeavesTheFileAsItWas) {
    const std::string good = "7\tkeep\t\t\t\t1\t0\t\t\t\t\t\t\t\t\t\t\t\t\t\n";
    Write("good.tsv", std::string(HeaderLine) + good);
    ASSERT_EQ(Ctl("tasks import " + Q("task.ini") + " " + Q("good.tsv")).status, 0);
    const std::string before = Read("task.ini");
    struct Case {
        const char* name;
        std::string row;
        std::string error;
    };
    const Case cases[] = {
        {"integer", "8\tx\t\t\tx\t2x\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n",
         "'2x' is not a valid integer value for field '执行时间(时)'"},
        {"boolean", "8\tx\t\tmaybe\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n", "'maybe' is not a valid boolean value for field '启用2'"},
        {"columns", "8\tx\n", "2 columns, expected 20\n第3行"},
        {"encoding", "8\t\xC3\x28\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n", ""},
        // A line feed in the folder would start a command of its own in the batch file.
        {"line_feed_in_folder",
         "8\tx\t\t\t\t1\t0\t\t\t\t/srv/s\\nsh -c \"touch /tmp/PWNED\" \t\t\t\t\t\t\t\t\t\n",
         "目的路径 含有不允许的控制字符\n第3行"},
        {"quote_in_folder", "8\tx\t\t\t\t1\t0\t\t\t\t/srv/A\" -df \"/V\t\t\t\t\t\t\t\t\t\n",
         "目的路径 含有不允许的双引号"},
        {"carriage_return_in_copy", "8\tx\t\t\t\t1\t0\t\t\t\t\t\t\t\t\t\t\t\t\tb@c.d\\r\\nRSET\n",
         "抄送邮箱地址 含有不允许的控制字符"},
        // Refused as the spreadsheet import refuses them, with the row.
        {"empty_hour", "8\tx\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n", "字段 '执行时间(时)' 不能为空\n第3行"},
        {"too_long", "8\t" + std::string(300, 'n') + "\t\t\t\t1\t0\t\t\t\t\t\t\t\t\t\t\t\t\t\n", "' 超过字段 '"},
        {"nan_flag", "8\tx\t\tnan\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n", "'nan' is not a valid boolean value"},
        {"inf_flag", "8\tx\t\tinf\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n", "'inf' is not a valid boolean value"},
        {"hour_99", "8\tx\t\t\t\t99\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n", "'99' 超出字段 '执行时间(时)' 的范围\n第3行"},
        {"negative_delay", "8\tx\t\t\t\t1\t0\t\t\t\t\t\t-5\t\t\t\t\t\t\t\n", "'-5' 超出字段 '"},
        // The backslash does not swallow the tab after it: the row keeps its 20 cells, so
        // the hour lands where it belongs and is checked there.
        {"backslash_before_tab", "8\tx\\\t\t\t\t77\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n",
         "'77' 超出字段 '执行时间(时)' 的范围"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write("bad.tsv", std::string(HeaderLine) + good + c.row);
        TRun run = Ctl("tasks import " + Q("task.ini") + " " + Q("bad.tsv"));
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_EQ(Read("task.ini"), before);
    }
}

TEST_F(CtlTasksTest, FilesThatDoNotLoadAndBadArguments) {
    Write("empty.ini", "");
    Write("junk.ini", "not a task file at all");
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0); // nobody ever writes into it
    struct Case {
        std::string args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {"tasks " + Q("missing.ini"), 1, "Cannot open file \"" + Path("missing.ini") + "\". No such file or directory"},
        {"tasks " + Q("empty.ini"), 1, "Missing data provider or data packet"},
        {"tasks " + Q("junk.ini"), 1, "Invalid data packet: not a data packet (wrong signature)"},
        {"tasks import " + Q("junk.ini") + " " + Q("junk.ini"), 1, "Invalid data packet"},
        {"tasks import " + Q("new.ini") + " " + Q("missing.tsv"), 1, "Cannot open file"},
        {"tasks /dev/zero", 1, "Cannot open file \"/dev/zero\". Not a regular file"},
        {"tasks " + Q("fifo"), 1, "Cannot open file \"" + Path("fifo") + "\". Not a regular file"},
        {"tasks import " + Q("new.ini") + " " + Q("fifo"), 1, "Not a regular file"},
        {"tasks import " + Q("new.ini") + " /dev/zero", 1, "Not a regular file"},
        {"tasks", 2, "tasks: wrong arguments"},
        {"tasks import " + Q("task.ini"), 2, "tasks: wrong arguments"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        TRun run = Ctl(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
    EXPECT_FALSE(FileExists(Path("new.ini")));
    EXPECT_EQ(Read("junk.ini"), "not a task file at all");
    TRun help = Ctl("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("quorvelctl tasks import FILE TSVFILE"), std::string::npos);
}

TEST_F(CtlTasksTest, ABackslashAtTheEndOfACellStaysInIt) {
    Write("in.tsv", std::string(HeaderLine) + "1\tname\\\t\t\t\t8\t5\t\t\t\tD:\\\t\t\t\t\t\t\t\t\t\\\n");
    TRun run = Ctl("tasks import " + Q("task.ini") + " " + Q("in.tsv"));
    ASSERT_EQ(run.status, 0) << run.err;
    TTaskTable table;
    LoadFromFile(table, Path("task.ini"));
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), "name\\");
    EXPECT_EQ(table.FieldNamed("RunHour").AsInteger(), 8);
    EXPECT_EQ(table.FieldNamed("BakFilePath").AsString(), "D:\\");
    EXPECT_EQ(table.FieldNamed("CcMailAddr").AsString(), "\\");
}

// Rows of `count` distinct tasks named `prefix`1, `prefix`2, ...
std::string ImportRows(const std::string& prefix, int count) {
    std::string rows = HeaderLine;
    for (int i = 1; i <= count; ++i)
        rows += std::to_string(i) + "\t" + prefix + std::to_string(i) + "\t\t\t\t1\t0\t\t\t\t\t\t\t\t\t\t\t\t\t\n";
    return rows;
}

TEST_F(CtlTasksTest, WritersAtTheSameTimeLoseNothing) {
    constexpr int Writers = 4, Rows = 300;
    std::string script;
    for (int w = 0; w < Writers; ++w) {
        const std::string name = "in" + std::to_string(w) + ".tsv";
        Write(name.c_str(), ImportRows("w" + std::to_string(w) + "-", Rows));
        // Standard error also carries the note on tasks at the same time; the status tells.
        script += "('" QUORVEL_BINARY_DIR "/app/quorvelctl/quorvelctl' tasks import " + Q("task.ini") + " " +
                  Q(name.c_str()) + " >/dev/null 2>&1 || echo 'writer " + std::to_string(w) + " failed' >>'" + dir_ +
                  "errors') &\n";
    }
    // Adds and removes in between, as another user at a terminal would.
    script += "'" QUORVEL_BINARY_DIR "/app/quorvelctl/quorvelctl' tasks remove " + Q("task.ini") +
              " 1 >/dev/null 2>&1 &\nwait\n";
    Write("writers.sh", script);
    ASSERT_EQ(std::system(("sh '" + Path("writers.sh") + "'").c_str()), 0);
    EXPECT_EQ(Read("errors"), "");
    TTaskTable table;
    LoadFromFile(table, Path("task.ini"));
    // The remove ran before any import (nothing to remove) or after some: one row at most is gone.
    EXPECT_GE(table.CountRecords(), Writers * Rows - 1);
    EXPECT_LE(table.CountRecords(), Writers * Rows);
    for (int w = 0; w < Writers; ++w) {
        const std::string last = "w" + std::to_string(w) + "-" + std::to_string(Rows);
        EXPECT_TRUE(table.FindFirstMatch("taskName", {AnsiString(last)})) << last;
    }
}

TEST_F(CtlTasksTest, AWriterThatCannotGetTheLockChangesNothing) {
    Write("in.tsv", ImportRows("a", 2));
    ASSERT_EQ(Ctl("tasks import " + Q("task.ini") + " " + Q("in.tsv")).status, 0);
    const std::string before = Read("task.ini");
    TTaskFileLock held(Path("task.ini")); // another writer, for longer than anyone waits
    const auto start = std::chrono::steady_clock::now();
    TRun run = Ctl("tasks remove " + Q("task.ini") + " 1");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is being changed by another program"), std::string::npos) << run.err;
    EXPECT_GE(waited, TTaskFileLock::DefaultWait);
    EXPECT_LT(waited, TTaskFileLock::DefaultWait + std::chrono::seconds(20));
    EXPECT_EQ(Read("task.ini"), before);
}

} // namespace
