// The main window's list commands: the command table and the grid's menu,
// new and edit through the task editor, save, delete, copy and paste,
// settings and about.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QTableView>
#include <QTimer>
#include <functional>

#include "settings/forms/ConfigForm.h"
#include "tasks/forms/AboutBox.h"
#include "tasks/forms/TaskForm.h"
#include "tests/app/FormFixture.h"
#include "tests/peers/TdsTestServer.h"

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Runs `handle` on the first modal dialog of type T once it is up; it must close it.
template <typename T>
void WhenModal(std::function<void(T&)> handle, int attempts = 200) {
    QTimer::singleShot(10, [handle, attempts] {
        if (auto* dialog = dynamic_cast<T*>(QApplication::activeModalWidget())) {
            handle(*dialog);
            return;
        }
        if (attempts > 0) WhenModal<T>(handle, attempts - 1);
    });
}

class TaskCommandsTest : public FormFixture {
protected:
    // A left double-click into the grid's area, below any row.
    void DoubleClickGrid() {
        QWidget* viewport = Form->dbgTask->viewport();
        const QPointF at(5, viewport->height() - 3);
        QMouseEvent click(QEvent::MouseButtonDblClick, at, viewport->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(viewport, &click);
    }
    QAction& Act(const char* name) {
        QAction* action = Form->Action(name);
        EXPECT_NE(action, nullptr) << name;
        return *action;
    }
    std::string Field(int number, const char* name) {
        Form->cdsTask.GoToNumber(number);
        return AnsiToUtf8(Form->cdsTask.FieldNamed(name).AsString());
    }
    void Change(int number, const char* name, const char* value) {
        Form->cdsTask.GoToNumber(number);
        Form->cdsTask.BeginChangeRecord();
        Form->cdsTask.FieldNamed(name).SetAsString(Utf8ToAnsi(value));
        Form->cdsTask.StoreRecord();
    }
};

TEST_F(TaskCommandsTest, CommandsCarryTheirCaptionsHintsImagesAndStates) {
    CreateForm();
    struct TCase {
        const char* Name;
        const char* Category;
        const char* Caption;
        const char* Hint;
        int Image;
        bool Enabled;
    };
    const TCase cases[] = {
        {"actHelp", "help", "帮助", "帮助", 11, true},
        {"actAbout", "help", "关于", "关于", 10, true},
        {"actNewTask", "Dataset", "新增", "新增任务", 4, true},
        {"actSaveTask", "Dataset", "保存", "保存备份任务", 5, true},
        {"actDelete", "Dataset", "删除", "删除当前记录", 6, false}, // the list is empty
        {"actCopy", "Dataset", "复制行", "复制当前行", 0, true},
        {"actPaste", "Dataset", "粘贴行", "粘贴新行", 1, false},
        {"actConfig", "help", "设置", "设置邮件参数", 9, true},
        {"actImport", "Dataset", "导入", "从Excel导入", 3, true},
        {"actExport", "Dataset", "导出", "导出Excel", 2, true},
    };
    ASSERT_EQ(Form->ImageList1.size(), 12u);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        QAction& action = Act(c.Name);
        EXPECT_EQ(action.property("category").toString(), c.Category);
        EXPECT_EQ(action.text(), Q(c.Caption));
        EXPECT_EQ(action.statusTip(), Q(c.Hint));
        EXPECT_EQ(action.isEnabled(), c.Enabled);
        EXPECT_EQ(action.icon().pixmap(16, 16).toImage(), Form->ImageList1[c.Image].pixmap(16, 16).toImage());
    }
    for (const QIcon& image : Form->ImageList1) EXPECT_FALSE(image.isNull());
}

TEST_F(TaskCommandsTest, GridMenuListsTheCommandsInOrder) {
    CreateForm();
    QStringList items;
    for (QAction* action : Form->PopupMenu_Data->actions()) items << (action->isSeparator() ? "-" : action->text());
    const QStringList expected = {Q("设置"), Q("暂停"), "-", Q("新增"), Q("保存"), Q("删除"), "-",
                                  Q("复制行"), Q("粘贴行"), "-", Q("导出"), Q("导入"), "-", Q("帮助"), Q("关于")};
    EXPECT_EQ(items, expected);
}

TEST_F(TaskCommandsTest, CopyOnAnEmptyListDoesNothing) {
    CreateForm();
    Act("actCopy").trigger();
    EXPECT_FALSE(Act("actPaste").isEnabled());
    EXPECT_EQ(Form->CopyNumber, 0);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(TaskCommandsTest, PasteTakesTheTaskAsItWasWhenCopied) {
    WriteTasks({{.Name = "a", .Hour = 8, .Minute = 0}, {.Name = "b", .Hour = 9, .Minute = 0}});
    CreateForm();
    Form->cdsTask.GoToNumber(2);
    Act("actCopy").trigger();
    EXPECT_EQ(Form->CopyNumber, 2);
    EXPECT_TRUE(Act("actPaste").isEnabled());
    // Change the source in the editor after the copy.
    TTdsTestServer server;
    WhenModal<TtaskForm>([&](TtaskForm& f) {
        f.edtTaskName->setText("b-changed");
        f.edtServerName->setText(QString::fromStdString(server.DataSource()));
        f.btnOk->click();
    });
    Form->cdsTask.GoToNumber(2);
    DoubleClickGrid();
    ASSERT_EQ(Field(2, "taskName"), "b-changed");
    for (int paste = 0; paste < 2; ++paste) Act("actPaste").trigger();
    EXPECT_TRUE(Act("actPaste").isEnabled()); // stays enabled
    ASSERT_EQ(Form->cdsTask.CountRecords(), 4);
    EXPECT_EQ(Form->cdsTask.CurrentNumber(), 4); // the pasted task is current
    for (int number : {3, 4}) {
        EXPECT_EQ(Field(number, "taskName"), "b");
        EXPECT_EQ(Field(number, "num"), "2"); // the number is copied too
        EXPECT_EQ(Field(number, "RunTime1"), "9:00");
        EXPECT_EQ(Field(number, "Password"), "secret");
        EXPECT_EQ(Field(number, "CcMailAddr"), ""); // empty stays empty
        EXPECT_TRUE(Form->cdsTask.FieldNamed("CcMailAddr").IsNull());
    }
    EXPECT_EQ(Field(2, "taskName"), "b-changed");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(TaskCommandsTest, PasteCopiesATaskAddedInThisRun) {
    CreateForm();
    TTaskInput input = TTaskInput::Defaults();
    input.TaskName = "new";
    StoreTask(Form->cdsTask, input, true, 0);
    Act("actCopy").trigger();
    Act("actPaste").trigger();
    ASSERT_EQ(Form->cdsTask.CountRecords(), 2);
    EXPECT_EQ(Field(2, "taskName"), "new");
    EXPECT_EQ(Field(2, "num"), "1");
    EXPECT_EQ(Field(2, "BakFilePath"), "/var/opt/mssql/backup");
}

TEST_F(TaskCommandsTest, DeleteAsksAndLastsOnlyWhenSaved) {
    WriteTasks({{.Name = "a", .Hour = 8, .Minute = 0}, {.Name = "b", .Hour = 9, .Minute = 0}});
    CreateForm();
    EXPECT_TRUE(Act("actDelete").isEnabled());
    Form->cdsTask.GoToNumber(1);

    Answer = IDNO;
    Act("actDelete").trigger();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "确定删除记录吗");
    EXPECT_EQ(Boxes[0].Caption, "系统提示");
    EXPECT_EQ(Boxes[0].Flags, MB_YESNO | MB_ICONWARNING);
    EXPECT_EQ(Form->cdsTask.CountRecords(), 2);

    Answer = IDYES;
    Form->cdsTask.GoToNumber(1);
    Act("actDelete").trigger();
    Form->cdsTask.GoToNumber(1);
    Act("actDelete").trigger();
    EXPECT_EQ(Form->cdsTask.CountRecords(), 0);
    EXPECT_FALSE(Act("actDelete").isEnabled()); // nothing left to delete

    // Quit without saving: both tasks are back at the next start.
    Form.reset();
    CreateForm();
    EXPECT_EQ(Form->cdsTask.CountRecords(), 2);
    EXPECT_TRUE(Act("actDelete").isEnabled());
}

TEST_F(TaskCommandsTest, SaveWritesTheFileThatTheNextStartLoads) {
    WriteTasks({{.Name = "a", .Hour = 8, .Minute = 0}});
    CreateForm();
    Change(1, "taskName", "夜间备份");
    Act("actSaveTask").trigger();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "保存成功");
    EXPECT_EQ(Boxes[0].Flags & MB_TYPEMASK, MB_OK);
    Form.reset();
    CreateForm();
    EXPECT_EQ(Field(1, "taskName"), "夜间备份");
}

TEST_F(TaskCommandsTest, SaveThatCannotCreateTheFileSaysWhyAndNotSuccess) {
    CreateForm();
    std::filesystem::create_directory(FilePath("task.ini")); // a folder in the file's place
    Act("actSaveTask").trigger();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text.rfind("Cannot create file \"" + FilePath("task.ini") + "\". ", 0), 0u) << Boxes[0].Text;
    EXPECT_EQ(Boxes[0].Flags & MB_ICONMASK, MB_ICONERROR);
}

TEST_F(TaskCommandsTest, DoubleClickOpensTheEditor) {
    struct TSeen {
        bool NewTask = false;
        int EditNumber = -1;
        QString Name;
    };
    CreateForm();
    // An empty list: as for a new task.
    TSeen empty;
    WhenModal<TtaskForm>([&](TtaskForm& f) {
        empty = {f.NewTask, f.EditNumber, f.edtTaskName->text()};
        f.btnCancel->click();
    });
    DoubleClickGrid();
    EXPECT_TRUE(empty.NewTask);
    EXPECT_EQ(empty.EditNumber, 0);

    Form.reset();
    WriteTasks({{.Name = "a", .Hour = 8, .Minute = 0}, {.Name = "b", .Hour = 9, .Minute = 0}});
    CreateForm();
    Form->cdsTask.GoToNumber(2);
    TSeen current;
    WhenModal<TtaskForm>([&](TtaskForm& f) {
        current = {f.NewTask, f.EditNumber, f.edtTaskName->text()};
        f.btnCancel->click();
    });
    DoubleClickGrid();
    EXPECT_FALSE(current.NewTask);
    EXPECT_EQ(current.EditNumber, 2);
    EXPECT_EQ(current.Name, "b");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(TaskCommandsTest, NewTaskThroughTheEditorIsStoredAndSaved) {
    TTdsTestServer server;
    CreateForm();
    WhenModal<TtaskForm>([&](TtaskForm& f) {
        f.edtTaskName->setText(Q("夜间备份"));
        f.edtServerName->setText(QString::fromStdString(server.DataSource()));
        f.edtBakDBName->setText("pubs");
        f.edtToMailAddr->setText("ops@example.com");
        f.btnOk->click();
    });
    Act("actNewTask").trigger();
    ASSERT_EQ(Form->cdsTask.CountRecords(), 1);
    EXPECT_EQ(Field(1, "taskName"), "夜间备份");
    EXPECT_EQ(server.Logins().size(), 1u);
    EXPECT_FALSE(FileExists(FilePath("task.ini"))); // stored in memory only
    Act("actSaveTask").trigger();
    Form.reset();
    CreateForm();
    EXPECT_EQ(Field(1, "taskName"), "夜间备份");
}

TEST_F(TaskCommandsTest, SettingsAndAboutOpenTheirDialogs) {
    CreateForm();
    QString settingsTitle, settingsPath, aboutVersion;
    WhenModal<TconfigForm>([&](TconfigForm& f) {
        settingsTitle = f.windowTitle();
        settingsPath = QString::fromStdString(f.rzrgnfl1.Path);
        f.edtSmtpServer->setText("mail.example.org");
        f.btnOk->click();
    });
    Act("actConfig").trigger();
    EXPECT_EQ(settingsTitle, Q("邮件服务器参数设置"));
    EXPECT_EQ(settingsPath.toStdString(), FilePath("config.ini"));
    EXPECT_NE(ReadFile("config.ini").find("SmtpServer=mail.example.org"), std::string::npos);

    WhenModal<TAboutBox>([&](TAboutBox& b) {
        aboutVersion = b.Version->text();
        b.OKButton->click();
    });
    Act("actAbout").trigger();
    EXPECT_EQ(aboutVersion.toStdString(), std::string("V") + QUORVEL_VERSION);
}

} // namespace
