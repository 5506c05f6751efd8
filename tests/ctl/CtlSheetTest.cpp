// quorvelctl tasks export and import: the built tool between a task file and a
// workbook that openpyxl reads back or made.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Files.h"
#include "tasks/TaskFile.h"
#include "tests/support/SheetTool.h"
#include "tests/support/ShellRun.h"
#include "tests/support/TaskBuilder.h"

namespace {

class CtlSheetTest : public TSheetFolderTest {
protected:
    TShellRun Ctl(const std::string& args) const {
        return RunShell("'" QUORVEL_BINARY_DIR "/app/quorvelctl/quorvelctl' " + args + " 2>&1 </dev/null");
    }
};

TEST_F(CtlSheetTest, ExportThenImportAppendsTheSameTasks) {
    TTaskTable table;
    StoreTestTask(table, TestTask([](TTaskRecord& t) { t.TaskName = Utf8ToAnsi("夜间"); }));
    StoreTestTask(table, TestTask([](TTaskRecord& t) {
        t.TaskName = Utf8ToAnsi("午间");
        t.Bak2Enabled = true;
        t.RunHour2 = 13;
    }));
    SaveToFile(table, Path("task.ini"));
    const std::string before = DumpTasks(table);

    TShellRun run = Ctl("tasks export " + Q("task.ini") + " " + Q("out.xlsx"));
    ASSERT_EQ(run.Status, 0) << run.Out;
    EXPECT_NE(ReadSheetBack(Path("out.xlsx")).find("B3\ts\t@\t\"午间\""), std::string::npos);

    run = Ctl("tasks import " + Q("copy.ini") + " " + Q("out.xlsx"));
    ASSERT_EQ(run.Status, 0) << run.Out;
    EXPECT_NE(run.Out.find("imported 2 task(s)"), std::string::npos) << run.Out;
    TTaskTable copy;
    LoadFromFile(copy, Path("copy.ini"));
    EXPECT_EQ(DumpTasks(copy), before);
}

TEST_F(CtlSheetTest, RefusalsLeaveTheTaskFileByteForByte) {
    TTaskTable table;
    StoreTestTask(table, TestTask([](TTaskRecord& t) { t.TaskName = Utf8ToAnsi("已有"); }));
    SaveToFile(table, Path("task.ini"));
    std::string before;
    ASSERT_TRUE(ReadWholeFile(Path("task.ini"), before));
    for (const char* fixture : {"badbool", "hour24", "ole2", "doctype", "random"}) {
        SCOPED_TRACE(fixture);
        const TShellRun run = Ctl("tasks import " + Q("task.ini") + " '" + Fixture(fixture) + "'");
        EXPECT_EQ(run.Status, 1) << run.Out;
        EXPECT_NE(run.Out.find("quorvelctl: "), std::string::npos) << run.Out;
        std::string after;
        ASSERT_TRUE(ReadWholeFile(Path("task.ini"), after));
        EXPECT_EQ(after, before);
    }
}

TEST_F(CtlSheetTest, ExportOfAnEmptyListFails) {
    TTaskTable table;
    SaveToFile(table, Path("task.ini"));
    const TShellRun run = Ctl("tasks export " + Q("task.ini") + " " + Q("out.xlsx"));
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Out.find("no tasks to export"), std::string::npos) << run.Out;
    EXPECT_FALSE(FileExists(Path("out.xlsx")));
}

} // namespace
