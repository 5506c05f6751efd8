// The task editor driven offscreen: defaults, filling, the controls' rules,
// OK with the trial connection to the TDS test server, and the folder button.
#include <filesystem>
#include <memory>

#include <QApplication>
#include <QFileDialog>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/ExceptionReport.h"
#include "platform/MessageBox.h"
#include "tasks/forms/TaskForm.h"
#include "tests/app/QtTestEnvironment.h"
#include "tests/peers/TdsTestServer.h"
#include "tests/support/TaskBuilder.h"

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }
AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

// Every message box and reported error of a test, answered with the default.
struct TCapturedBoxes {
    std::vector<std::string> Boxes;  // UTF-8 texts of message boxes
    std::vector<std::string> Errors; // UTF-8 texts of reported errors
    TScopedMessageBoxHandler BoxHandler{[this](const AnsiString& text, const AnsiString&, unsigned flags) {
        Boxes.push_back(AnsiToUtf8Lenient(text));
        return DefaultMessageBoxAnswer(flags);
    }};
    TScopedExceptionHandler ErrorHandler{[this](const AnsiString& message) { Errors.push_back(AnsiToUtf8Lenient(message)); }};
};

void AddTask(TTaskTable& table, const char* name, int hour, int minute) {
    const int count = table.CountRecords();
    StoreTestTask(table, TestTask([&](TTaskRecord& t) {
        t.TaskName = A(name);
        t.ServerName = "db1";
        t.UserName = "backup";
        t.Password = "pw";
        t.BakFilePath = "/srv/" + std::to_string(count);
        t.CcMailAddr = "cc@example.com";
        t.MailTopic = "t <file>";
        t.RunHour = hour;
        t.RunMinute = minute;
        t.Bak2Enabled = true;
        t.RunHour2 = 3;
        t.RunMinute2 = 15;
        t.RarTimeAfter = 45;
        t.SendTimeAfter = 90;
    }));
}

class TaskFormTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<TTdsTestServer>(); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override { TestApplication(); }

    // A shown editor; the opener's part.
    std::unique_ptr<TtaskForm> Open(bool newTask, int editNumber) {
        auto form = std::make_unique<TtaskForm>(table_, nullptr);
        form->NewTask = newTask;
        form->EditNumber = editNumber;
        form->show();
        QApplication::processEvents();
        return form;
    }

    // The boxes of a new task that the test server accepts.
    void FillValid(TtaskForm& form) {
        form.edtTaskName->setText(Q("夜间备份"));
        form.edtServerName->setText(QString::fromStdString(server_->DataSource()));
        form.edtDBName->setText("master");
        form.edtBakDBName->setText("pubs,gis");
        form.edtBakFilePath->setText("/srv/new");
        form.edtToMailAddr->setText("ops@example.com");
    }

    static std::unique_ptr<TTdsTestServer> server_;
    TTaskTable table_;
    TCapturedBoxes boxes_;
};
std::unique_ptr<TTdsTestServer> TaskFormTest::server_;

TEST_F(TaskFormTest, NewTaskShowsTheDefaults) {
    auto form = Open(true, 0);
    EXPECT_EQ(form->windowTitle(), Q("备份任务"));
    EXPECT_EQ(form->edtTaskName->text(), "");
    EXPECT_EQ(form->edtServerName->text(), "(local)");
    EXPECT_EQ(form->edtDBName->text(), "gis");
    EXPECT_EQ(form->edtUserName->text(), "sa");
    EXPECT_EQ(form->edtPassword->text(), "");
    EXPECT_EQ(form->edtPassword->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form->edtBakFilePath->text(), "/var/opt/mssql/backup");
    EXPECT_EQ(form->edtMailTopic->text(), Q("数据库备份：<file>_<date>"));
    EXPECT_EQ(form->edtRunHour->value(), 20);
    EXPECT_EQ(form->edtRunMinute->value(), 30);
    EXPECT_FALSE(form->cbBak2->isChecked());
    EXPECT_EQ(form->edtRunHour2->value(), 12);
    EXPECT_EQ(form->edtRunMinute2->value(), 0);
    EXPECT_FALSE(form->edtRunHour2->isEnabled());
    EXPECT_FALSE(form->edtRunMinute2->isEnabled());
    EXPECT_EQ(form->edtRarTimeAfter->text(), "30");
    EXPECT_EQ(form->edtSendTimeAfter->text(), "60");
    EXPECT_EQ(form->edtBakDBName->palette().color(QPalette::Base), QColor(254, 218, 167));
    EXPECT_FALSE(form->edtServerName->testAttribute(Qt::WA_InputMethodEnabled));
    EXPECT_EQ(form->edtMailTopic->toolTip().split('\n'),
              QStringList({Q("自定义邮件主题格式，可以使用如下宏："), Q("<file> 文件名称"), Q("<date> 日期"), "",
                           Q("如：数据库备份 <file> <date>")}));
    EXPECT_EQ(form->edtSendTimeAfter->toolTip(), Q("指压缩文件开始后多少秒开始发送邮件,最小60(0表示不发送)"));
    EXPECT_EQ(form->BitBtn1->toolTip(), Q("选择文件夹,仅对安装在服务器上有效"));
    EXPECT_TRUE(boxes_.Boxes.empty());
    EXPECT_TRUE(boxes_.Errors.empty());
}

TEST_F(TaskFormTest, TabOrderFollowsTheGroups) {
    auto form = Open(true, 0);
    const std::vector<QWidget*> expected = {
        form->edtTaskName,   form->edtServerName,   form->edtDBName,     form->edtUserName,  form->edtPassword,
        form->edtBakDBName,  form->edtBakFilePath,  form->BitBtn1,       form->edtToMailAddr, form->edtCcMailAddr,
        form->edtMailTopic,  form->edtRunHour,      form->edtRunMinute,  form->edtRarTimeAfter,
        form->edtSendTimeAfter, form->cbBak2,       form->edtRunHour2,   form->edtRunMinute2, form->btnOk,
        form->btnCancel};
    // Walk the focus chain from the first box, keeping the controls of the list.
    std::vector<QWidget*> seen;
    QWidget* w = form->edtTaskName;
    for (int i = 0; i < 200 && seen.size() < expected.size(); ++i, w = w->nextInFocusChain())
        if (std::find(expected.begin(), expected.end(), w) != expected.end() &&
            std::find(seen.begin(), seen.end(), w) == seen.end())
            seen.push_back(w);
    EXPECT_EQ(seen, expected);
}

TEST_F(TaskFormTest, SpinBoxesClampAndIgnoreTyping) {
    auto form = Open(true, 0);
    struct TCase {
        TTimeSpinBox* Box;
        int Set, Expected;
    };
    for (const TCase& c : {TCase{form->edtRunHour, 99, 23}, TCase{form->edtRunHour, -4, 0},
                           TCase{form->edtRunMinute, 60, 59}, TCase{form->edtRunMinute2, 75, 59}}) {
        c.Box->setValue(c.Set);
        EXPECT_EQ(c.Box->value(), c.Expected);
    }
    form->edtRunHour->setValue(20);
    form->edtRunHour->setFocus();
    QTest::keyClicks(form->edtRunHour, "7");
    EXPECT_EQ(form->edtRunHour->value(), 20);
    QTest::keyClick(form->edtRunHour, Qt::Key_Up);
    EXPECT_EQ(form->edtRunHour->value(), 21);
    QTest::keyClick(form->edtRunHour, Qt::Key_Down);
    QTest::keyClick(form->edtRunHour, Qt::Key_Down);
    EXPECT_EQ(form->edtRunHour->value(), 19);
}

TEST_F(TaskFormTest, TickingTheSecondTimeEnablesItsSpinBoxes) {
    auto form = Open(true, 0);
    for (bool ticked : {true, false, true}) {
        form->cbBak2->click();
        EXPECT_EQ(form->cbBak2->isChecked(), ticked);
        EXPECT_EQ(form->edtRunHour2->isEnabled(), ticked);
        EXPECT_EQ(form->edtRunMinute2->isEnabled(), ticked);
    }
}

TEST_F(TaskFormTest, EditingFillsFromTheRecord) {
    AddTask(table_, "a", 8, 0);
    AddTask(table_, "b", 21, 5);
    table_.GoFirst(); // the cursor may stand anywhere when the editor opens
    auto form = Open(false, 2);
    EXPECT_EQ(form->edtTaskName->text(), "b");
    EXPECT_EQ(form->edtServerName->text(), "db1");
    EXPECT_EQ(form->edtUserName->text(), "backup");
    EXPECT_EQ(form->edtBakFilePath->text(), "/srv/1");
    EXPECT_EQ(form->edtCcMailAddr->text(), "cc@example.com");
    EXPECT_EQ(form->edtRunHour->value(), 21);
    EXPECT_EQ(form->edtRunMinute->value(), 5);
    EXPECT_TRUE(form->cbBak2->isChecked());
    EXPECT_TRUE(form->edtRunHour2->isEnabled());
    EXPECT_EQ(form->edtRunHour2->value(), 3);
    EXPECT_EQ(form->edtRunMinute2->value(), 15);
    EXPECT_EQ(form->edtRarTimeAfter->text(), "45");
    EXPECT_EQ(form->edtSendTimeAfter->text(), "90");
    EXPECT_TRUE(boxes_.Errors.empty());
}

TEST_F(TaskFormTest, EmptyTimeFieldStopsTheFillingWithAnError) {
    AddTask(table_, "pasted", 8, 0);
    table_.GoToNumber(1);
    table_.BeginChangeRecord();
    table_.FieldNamed("RunMinute").Clear();
    table_.StoreRecord();
    auto form = Open(false, 1);
    EXPECT_EQ(boxes_.Errors, std::vector<std::string>{"Could not convert variant of type (Null) into type (Double)"});
    EXPECT_TRUE(form->isVisible()); // the dialog opens all the same
    EXPECT_EQ(form->edtTaskName->text(), "pasted");
    EXPECT_EQ(form->edtRunHour->value(), 8);
    EXPECT_FALSE(form->cbBak2->isChecked()); // after the empty field: defaults
    EXPECT_EQ(form->edtRunHour2->value(), 12);
    EXPECT_EQ(form->edtSendTimeAfter->text(), "60");
}

TEST_F(TaskFormTest, OkStoresANewTaskAfterTheTrialConnection) {
    AddTask(table_, "a", 8, 0);
    auto form = Open(true, 0);
    FillValid(*form);
    form->edtTaskName->setText(Q("夜间备份 ")); // kept with its blank
    form->edtRarTimeAfter->setText("");
    form->cbBak2->click();
    form->edtRunHour2->setValue(2);
    form->btnOk->click();
    EXPECT_TRUE(boxes_.Boxes.empty());
    EXPECT_TRUE(boxes_.Errors.empty());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(table_.CountRecords(), 2);
    table_.GoToNumber(2);
    EXPECT_EQ(table_.FieldNamed("num").AsInteger(), 2);
    EXPECT_EQ(table_.FieldNamed("taskName").AsString(), A("夜间备份 "));
    EXPECT_EQ(table_.FieldNamed("RunTime2").AsString(), "2:00");
    EXPECT_EQ(table_.FieldNamed("RarTimeAfter").AsInteger(), 0);
    EXPECT_EQ(table_.FieldNamed("SendTimeAfter").AsInteger(), 60);
}

TEST_F(TaskFormTest, RefusalsKeepTheDialogOpenAndTheTableUnchanged) {
    struct TCase {
        const char* Name;
        std::function<void(TtaskForm&)> Change;
        const char* Box;   // message box text, or ""
        const char* Error; // reported error, or ""
        std::function<QWidget*(TtaskForm&)> Focused;
    };
    const TCase cases[] = {
        {"duplicate_name", [](TtaskForm& f) { f.edtTaskName->setText("a"); }, "该任务名已经存在！", "", nullptr},
        {"spacing", [](TtaskForm& f) { f.edtRunMinute->setValue(5); f.edtRunHour->setValue(8); },
         "该时间与已有备份任务间隔太短！", "", nullptr},
        {"mail_delay", [](TtaskForm& f) { f.edtSendTimeAfter->setText("29"); }, "邮件发送间隔太短(要求>30秒)", "",
         nullptr},
        {"mail_delay_text", [](TtaskForm& f) { f.edtSendTimeAfter->setText("1min"); }, "",
         "'1min' is not a valid integer value", nullptr},
        {"archive_delay_text", [](TtaskForm& f) { f.edtRarTimeAfter->setText("half"); }, "",
         "'half' is not a valid integer value", nullptr},
        {"name_missing", [](TtaskForm& f) { f.edtTaskName->setText("  "); }, "", "",
         [](TtaskForm& f) -> QWidget* { return f.edtTaskName; }},
        {"database_list_missing", [](TtaskForm& f) { f.edtBakDBName->clear(); }, "", "",
         [](TtaskForm& f) -> QWidget* { return f.edtBakDBName; }},
        {"text_outside_the_code_page", [](TtaskForm& f) { f.edtTaskName->setText(Q("备份😀")); }, "",
         "", nullptr},
    };
    AddTask(table_, "a", 8, 0);
    const AnsiString before = table_.Snapshot();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        boxes_.Boxes.clear();
        boxes_.Errors.clear();
        auto form = Open(true, 0);
        form->activateWindow();
        FillValid(*form);
        c.Change(*form);
        form->btnCancel->setFocus();
        form->btnOk->click();
        QApplication::processEvents();
        EXPECT_TRUE(form->isVisible());
        EXPECT_NE(form->result(), QDialog::Accepted);
        EXPECT_EQ(boxes_.Boxes, std::string(c.Box).empty() ? std::vector<std::string>{}
                                                            : std::vector<std::string>{c.Box});
        if (std::string(c.Name) == "text_outside_the_code_page") {
            EXPECT_EQ(boxes_.Errors.size(), 1u); // the conversion's own text
        } else {
            EXPECT_EQ(boxes_.Errors, std::string(c.Error).empty() ? std::vector<std::string>{}
                                                                  : std::vector<std::string>{c.Error});
        }
        if (c.Focused) {
            EXPECT_EQ(QApplication::focusWidget(), c.Focused(*form));
        }
        EXPECT_EQ(table_.Snapshot(), before);
        EXPECT_EQ(table_.State(), TTableState::Browse);
    }
}

TEST_F(TaskFormTest, ChangingATaskKeepsItsNumberAndPlace) {
    AddTask(table_, "a", 8, 0);
    AddTask(table_, "b", 10, 0);
    table_.GoToNumber(2); // b's second time would be too close to a's
    table_.BeginChangeRecord();
    table_.FieldNamed("Bak2Enabled").SetAsBoolean(false);
    table_.StoreRecord();
    auto form = Open(false, 1);
    form->edtServerName->setText(QString::fromStdString(server_->DataSource()));
    form->edtTaskName->setText("a2");
    form->btnOk->click();
    EXPECT_EQ(boxes_.Boxes, std::vector<std::string>{});
    ASSERT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(table_.CountRecords(), 2);
    table_.GoToNumber(1);
    EXPECT_EQ(table_.FieldNamed("taskName").AsString(), "a2");
    EXPECT_EQ(table_.FieldNamed("num").AsInteger(), 1);
    EXPECT_EQ(table_.FieldNamed("RunTime2").AsString(), "3:15");
}

TEST_F(TaskFormTest, CancelStoresNothing) {
    auto form = Open(true, 0);
    FillValid(*form);
    form->btnCancel->click();
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_EQ(table_.CountRecords(), 0);
}

// Answers the folder dialog once it is up: chooses `folder`, or cancels when empty.
void AnswerFolderDialog(const QString& folder, QString* caption, int attempts = 200) {
    QTimer::singleShot(50, [folder, caption, attempts] {
        auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!chooser) {
            if (attempts > 0) AnswerFolderDialog(folder, caption, attempts - 1);
            return;
        }
        *caption = chooser->windowTitle();
        if (folder.isEmpty()) {
            chooser->reject();
            return;
        }
        chooser->setDirectory(folder);
        QMetaObject::invokeMethod(chooser, "accept"); // a protected slot
    });
}

TEST_F(TaskFormTest, FolderButton) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "quorvel-forms-folder";
    std::filesystem::create_directories(folder);
    struct TCase {
        const char* Name;
        QString Choose;   // "" cancels
        QString Expected; // the box afterwards
        std::vector<std::string> Boxes;
    };
    const QString start = "/var/opt/mssql/backup";
    const TCase cases[] = {
        {"chosen_folder", QString::fromStdString(folder.string()), QString::fromStdString(folder.string()), {}},
        {"root_refused", "/", start, {"请选择一个文件夹！"}},
        {"cancel_keeps_the_text", "", start, {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        boxes_.Boxes.clear();
        auto form = Open(true, 0);
        form->edtBakFilePath->setText(start);
        QString caption;
        AnswerFolderDialog(c.Choose, &caption);
        form->BitBtn1->click();
        EXPECT_EQ(caption, Q("请选择备份目的文件夹"));
        EXPECT_EQ(form->edtBakFilePath->text(), c.Expected);
        EXPECT_EQ(boxes_.Boxes, c.Boxes);
    }
    std::filesystem::remove_all(folder);
}

} // namespace
