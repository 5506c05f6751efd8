// quorvelctl tasks: the built tool printing and importing task files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>

#include "platform/Files.h"
#include "tasks/TaskFile.h"

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
                             "2\t\t\t0\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\r\n"
                             "3\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n";
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
                           "2\t\t:00\tFalse\t无\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n"
                           "3\t\t:00\t\t无\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n");
    // A second import appends; nothing is checked or renumbered.
    ASSERT_EQ(Ctl("tasks import " + Q("task.ini") + " " + Q("in.tsv")).status, 0);
    TTaskTable table;
    LoadFromFile(table, Path("task.ini"));
    EXPECT_EQ(table.CountRecords(), 6);
}

TEST_F(CtlTasksTest, ABadCellStopsTheImportAndLeavesTheFileAsItWas) {
    const std::string good = "7\tkeep\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n";
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
        {"columns", "8\tx\n", "line 3: 2 columns, expected 20"},
        {"encoding", "8\t\xC3\x28\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\n", ""},
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

} // namespace
