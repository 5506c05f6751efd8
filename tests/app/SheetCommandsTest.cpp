// The main window's export and import commands, offscreen, with a stand-in
// for the desktop's opener first on PATH.
#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <thread>

#include "tasks/TaskSheet.h"
#include "tests/app/FormFixture.h"

namespace {

// Answers the workbook dialog once it is up: chooses `file`, or cancels when
// empty. The dialog loads its folder in the background and may clear the
// chosen name meanwhile, so while that same dialog stays open it is answered
// again; once it has closed, nothing more happens.
struct TDialogAnswer {
    std::string File;
    std::string* Filter;
    QPointer<QFileDialog> Dialog;
    bool Found = false;
};

void AnswerOpenDialogTick(std::shared_ptr<TDialogAnswer> answer, int attempts) {
    QTimer::singleShot(20, [answer, attempts] {
        if (!answer->Found) {
            answer->Dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            answer->Found = !answer->Dialog.isNull();
            if (answer->Found) *answer->Filter = answer->Dialog->nameFilters().join("|").toStdString();
        }
        if (answer->Found && answer->Dialog.isNull()) return; // answered and closed
        if (answer->Dialog) {
            if (answer->File.empty()) {
                answer->Dialog->reject();
            } else {
                // Typed as the user would: the whole path into the name box.
                if (auto* name = answer->Dialog->findChild<QLineEdit*>("fileNameEdit"))
                    name->setText(QString::fromStdString(answer->File));
                else
                    answer->Dialog->selectFile(QString::fromStdString(answer->File));
                QMetaObject::invokeMethod(answer->Dialog.data(), "accept"); // a protected slot
            }
        }
        if (attempts > 0) AnswerOpenDialogTick(answer, attempts - 1);
    });
}

void AnswerOpenDialog(const std::string& file, std::string* filter) {
    AnswerOpenDialogTick(std::make_shared<TDialogAnswer>(TDialogAnswer{file, filter, {}, false}), 500);
}

class SheetCommandsTest : public FormFixture {
protected:
    void SetUp() override {
        FormFixture::SetUp();
        oldPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        Bin = Folder / "bin";
        std::filesystem::create_directories(Bin);
        Options.ReportErrorsTo = [this](const AnsiString& message) { Errors.push_back(AnsiToUtf8Lenient(message)); };
    }
    void TearDown() override {
        setenv("PATH", oldPath_.c_str(), 1);
        FormFixture::TearDown();
    }
    // An opener that writes its argument and the file's mode, then exits.
    void InstallOpener() {
        const std::string script = "#!/bin/sh\nstat -c '%a' \"$1\" > '" + FilePath("opened.tmp") + "'\nprintf '%s\\n' \"$1\" >> '" +
                                   FilePath("opened.tmp") + "'\nmv '" + FilePath("opened.tmp") + "' '" + FilePath("opened") + "'\n";
        const std::string path = (Bin / "xdg-open").string();
        ASSERT_EQ(ReplaceFileContent(path, script, 0755), 0);
        setenv("PATH", (Bin.string() + ":" + oldPath_).c_str(), 1);
    }
    void NoOpener() { setenv("PATH", Bin.string().c_str(), 1); }
    // The opener's record, once it is there (it runs detached).
    std::string Opened() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!FileExists(FilePath("opened")) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ReadFile("opened");
    }
    QAction& Act(const char* name) {
        QAction* action = Form->Action(name);
        EXPECT_NE(action, nullptr) << name;
        return *action;
    }
    // A workbook of these tasks, written as the export writes it.
    std::string Workbook(const std::vector<TGridTask>& tasks, int badHour = -1) {
        WriteTasks(tasks);
        TTaskTable table;
        LoadFromFile(table, FilePath("task.ini"));
        if (badHour >= 0) {
            table.GoFirst();
            table.BeginChangeRecord();
            table.FieldNamed("RunHour").SetAsInteger(badHour);
            table.StoreRecord();
        }
        const std::string path = FilePath("in.xlsx");
        WriteTaskSheet(table, "Tasks", path);
        std::filesystem::remove(FilePath("task.ini"));
        return path;
    }

    std::filesystem::path Bin;
    std::vector<std::string> Errors;

private:
    std::string oldPath_;
};

TEST_F(SheetCommandsTest, ExportOpensAPrivateWorkbookNamedAfterTheWindow) {
    WriteTasks({{"夜间"}, {"午间", 12, 0}});
    CreateForm();
    InstallOpener();
    Act("actExport").trigger();
    const std::string opened = Opened();
    ASSERT_FALSE(opened.empty());
    EXPECT_EQ(opened.substr(0, 4), "600\n");
    const std::string path = opened.substr(4, opened.size() - 5);
    EXPECT_EQ(std::filesystem::path(path).filename(), "SQLServer数据库备份邮件工具.xlsx");
    struct stat st {};
    ASSERT_EQ(stat(std::filesystem::path(path).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const TWorksheet sheet = ReadFirstWorksheet(path);
    EXPECT_EQ(sheet.Cell(3, 1).Text, "午间");
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(Errors.empty());
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

TEST_F(SheetCommandsTest, ExportOfAnEmptyListDoesNothing) {
    CreateForm();
    InstallOpener();
    Act("actExport").trigger();
    EXPECT_TRUE(Boxes.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // an opener started anyway would show
    EXPECT_FALSE(FileExists(FilePath("opened")));
}

TEST_F(SheetCommandsTest, WithoutAnOpenerTheErrorBoxNamesTheFile) {
    WriteTasks({{"夜间"}});
    CreateForm();
    NoOpener();
    Act("actExport").trigger();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Caption, "错误");
    const std::size_t at = Boxes[0].Text.find(TempFolder() + "quorvel-export-");
    ASSERT_NE(at, std::string::npos) << Boxes[0].Text;
    const std::string path = Boxes[0].Text.substr(at);
    EXPECT_TRUE(FileExists(path)) << path;
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

TEST_F(SheetCommandsTest, ImportAppendsTheChosenWorkbooksRows) {
    const std::string workbook = Workbook({{"甲", 1, 0}, {"乙", 3, 0}});
    CreateForm();
    std::string filter;
    AnswerOpenDialog(workbook, &filter);
    Act("actImport").trigger();
    EXPECT_EQ(filter, "MS Excel文件(*.xlsx *.xls)");
    ASSERT_EQ(Form->cdsTask.CountRecords(), 2);
    Form->cdsTask.GoToNumber(2);
    EXPECT_EQ(AnsiToUtf8(Form->cdsTask.FieldNamed("taskName").AsString()), "乙");
    EXPECT_FALSE(Form->cdsTask.DisplaySuspended());
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(Errors.empty());
}

TEST_F(SheetCommandsTest, CancellingTheDialogChangesNothing) {
    CreateForm();
    std::string filter;
    AnswerOpenDialog("", &filter);
    Act("actImport").trigger();
    EXPECT_FALSE(filter.empty());
    EXPECT_EQ(Form->cdsTask.CountRecords(), 0);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(Form->cdsTask.DisplaySuspended());
}

TEST_F(SheetCommandsTest, ARefusedImportIsReportedAndTheDisplayResumes) {
    const std::string workbook = Workbook({{"甲", 1, 0}, {"乙", 3, 0}}, 24);
    CreateForm();
    std::string filter;
    AnswerOpenDialog(workbook, &filter);
    Act("actImport").trigger();
    EXPECT_EQ(Form->cdsTask.CountRecords(), 0);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "'24' 超出字段 '执行时间(时)' 的范围\n第2行");
    EXPECT_FALSE(Form->cdsTask.DisplaySuspended());
}

TEST_F(SheetCommandsTest, AFileThatIsNoWorkbookGetsItsBox) {
    WriteFile("junk.xlsx", "PK\x03\x04 not really");
    CreateForm();
    std::string filter;
    AnswerOpenDialog(FilePath("junk.xlsx"), &filter);
    Act("actImport").trigger();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text.rfind("请选择EXCEL电子表格!\n", 0), 0u) << Boxes[0].Text;
    EXPECT_TRUE(Errors.empty());
    EXPECT_FALSE(Form->cdsTask.DisplaySuspended());
}

TEST_F(SheetCommandsTest, TasksTooCloseToOthersAreNamedInOneBox) {
    const std::string workbook = Workbook({{"甲", 20, 35}, {"乙", 6, 0}, {"丙", 20, 41}});
    WriteTasks({{"已有", 20, 30}});
    CreateForm();
    std::string filter;
    AnswerOpenDialog(workbook, &filter);
    Act("actImport").trigger();
    EXPECT_EQ(Form->cdsTask.CountRecords(), 4);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "该时间与已有备份任务间隔太短！\n甲\n丙");
    EXPECT_EQ(Boxes[0].Flags, MB_OK | MB_ICONINFORMATION);
}

} // namespace
