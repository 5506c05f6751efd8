// The main window: start-up with and without task.ini and config.ini, the
// grid's columns and widths, the log view, the pause command, the tray menu,
// closing versus quitting, and the error reporting.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QHeaderView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTableView>
#include <QTextBlock>

#include "app/GridLayout.h"
#include "app/TaskGridModel.h"
#include "app/WebPanel.h"
#include "tests/app/FormFixture.h"

using namespace std::chrono;

namespace {

const std::vector<std::string> GridTitles = {"序号",     "任务名称", "备1",     "启用2",   "备2",
                                             "待备份数据库", "目标路径", "备份邮箱地址", "邮件主题格式", "服务器名",
                                             "数据库名",   "用户名",   "密码",     "抄送邮箱地址"};

std::vector<int> ColumnWidths(const TKeldorForm& form) {
    std::vector<int> widths;
    for (int i = 0; i < form.GridModel->columnCount(); ++i)
        widths.push_back(form.dbgTask->columnWidth(i));
    return widths;
}

std::string Cell(const TKeldorForm& form, int row, int column) {
    return form.GridModel->index(row, column).data().toString().toStdString();
}

// ---------------------------------------------------------------- start-up

struct TStartCase {
    const char* Name;
    bool WithTasks;
    const char* Config; // nullptr: no config.ini
    std::vector<int> Widths; // empty: the design widths
};

const TStartCase StartCases[] = {
    {"NoFilesAtAll", false, nullptr, {}},
    {"TasksWithoutConfig", true, nullptr, {}},
    {"ConfigWithoutSectionTaskGivesDefaults", true, "[Option]\r\nSmtpServer=mail\r\n",
     std::vector<int>(14, DefaultGridColumnWidth)},
    {"SavedWidthsHexAndNonNumbers", false,
     "[task]\r\n0=40\r\n1=0x64\r\n2=abc\r\n3=\r\n4=0X1e\r\n5=12x\r\n13=77\r\n",
     {40, 100, 150, 150, 30, 150, 150, 150, 150, 150, 150, 150, 150, 77}},
};

class StartUp : public FormFixture, public testing::WithParamInterface<TStartCase> {};

TEST_P(StartUp, GridShowsTheTasksWithTheirColumnsAndWidths) {
    const TStartCase& c = GetParam();
    if (c.WithTasks)
        WriteTasks({{.Name = "夜间备份", .Hour = 8, .Minute = 5}, {.Name = "午间", .Hour = 12, .Minute = 30, .Bak2Enabled = true, .Hour2 = 23, .Minute2 = 59}});
    if (c.Config)
        WriteFile("config.ini", c.Config);
    CreateForm();
    Form->StartRunMode(false);

    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text;
    ASSERT_EQ(Form->GridModel->columnCount(), 14);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(Form->GridModel->headerData(i, Qt::Horizontal, Qt::DisplayRole).toString().toStdString(),
                  GridTitles[i]);
    if (c.WithTasks) {
        ASSERT_EQ(Form->GridModel->rowCount(), 2);
        EXPECT_EQ(Cell(*Form, 0, 1), "夜间备份");
        EXPECT_EQ(Cell(*Form, 0, 2), "8:05");
        EXPECT_EQ(Cell(*Form, 0, 4), "无");
        EXPECT_EQ(Cell(*Form, 1, 4), "23:59");
        EXPECT_EQ(Form->cltdsCache.CountRecords(), 2) << "the copy cache holds the loaded tasks";
    } else {
        EXPECT_EQ(Form->GridModel->rowCount(), 0);
    }
    const std::vector<int> widths = ColumnWidths(*Form);
    if (c.Widths.empty()) {
        // Design widths: from the display widths, so the wide fields get wide columns.
        EXPECT_GT(widths[13], widths[0]); // CcMailAddr (20) wider than num (4)
        EXPECT_GT(widths[10], widths[12]); // DBName (20) wider than Password (5)
        for (int w : widths)
            EXPECT_GT(w, 10);
    } else {
        EXPECT_EQ(widths, c.Widths);
    }
    EXPECT_EQ(Form->Pipeline->rzrgnfl1.Path, FilePath("config.ini"));
    EXPECT_EQ(LogTexts(), std::vector<std::string> {"待命"});
    EXPECT_TRUE(Form->Pipeline->UpdateTimer.Enabled());
    EXPECT_EQ(Form->WebBrowser->LocationURL().toStdString(), "noa.htm") << "offline: the local page";
}

INSTANTIATE_TEST_SUITE_P(KeldorForm, StartUp, testing::ValuesIn(StartCases),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST_F(FormFixture, DamagedTaskFileIsReportedAndStartUpStopsThereButGoesOn) {
    WriteFile("task.ini", "this is no data packet");
    WriteFile("config.ini", "[task]\r\n0=99\r\n");
    CreateForm();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_FALSE(Boxes[0].Text.empty());
    EXPECT_EQ(Boxes[0].Flags & MB_ICONMASK, MB_ICONERROR);
    // The later creation steps did not run.
    EXPECT_FALSE(Form->cdsTask.IsOpen());
    EXPECT_NE(ColumnWidths(*Form)[0], 99) << "no restored layout";
    EXPECT_TRUE(Form->WebBrowser->LocationURL().isEmpty()) << "no page";
    // The window carries on: the run mode starts, the scheduler runs, and its
    // scan reports the closed table.
    Form->StartRunMode(false);
    EXPECT_EQ(LogTexts(), std::vector<std::string> {"待命"});
    EXPECT_TRUE(Form->Pipeline->UpdateTimer.Enabled());
    Form->Pipeline->RunReporting([&] { Form->Pipeline->UpdateTimerTimer(); });
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[1].Text, "Cannot perform this operation on a closed dataset");
}

// ---------------------------------------------------------------- the log view

TEST_F(FormFixture, LogViewKeepsTheNewest101LinesLikeTheLog) {
    CreateForm();
    Form->show();
    for (int i = 1; i <= 105; ++i)
        Form->AddLog("line " + std::to_string(i));
    const QPlainTextEdit& view = *Form->mmo1;
    ASSERT_EQ(view.document()->blockCount(), 101);
    ASSERT_EQ(Form->ActivityLog.Lines().size(), 101u);
    EXPECT_EQ(view.document()->firstBlock().text().toStdString(), AnsiToUtf8(Form->ActivityLog.Lines().front()));
    EXPECT_EQ(view.document()->lastBlock().text().toStdString(), AnsiToUtf8(Form->ActivityLog.Lines().back()));
    EXPECT_EQ(Form->ActivityLog.Lines().front().substr(20), "line 5");
    EXPECT_EQ(view.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(view.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(view.isReadOnly());
}

// ---------------------------------------------------------------- pause

TEST_F(FormFixture, PauseStopsEveryTimerAndResumeRestartsTheMinuteTimerOnly) {
    CreateForm();
    QAction* stop = Form->Action("actStop");
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->text().toStdString(), "暂停");
    EXPECT_EQ(stop->statusTip().toStdString(), "暂停执行备份任务");
    EXPECT_EQ(Form->RzPanel1->palette().color(QPalette::Window), QColor(0, 202, 0));
    Form->Pipeline->rarTimer.SetEnabled(true);

    stop->trigger();
    EXPECT_EQ(stop->text().toStdString(), "开始");
    EXPECT_EQ(stop->statusTip().toStdString(), "开始执行备份任务");
    EXPECT_EQ(stop->property("imageIndex").toInt(), 8);
    EXPECT_EQ(Form->RzPanel1->palette().color(QPalette::Window), QColor(255, 0, 0));
    EXPECT_TRUE(Form->Pipeline->bakPaused);
    for (TTimer* timer : {&Form->Pipeline->UpdateTimer, &Form->Pipeline->backupTimer, &Form->Pipeline->rarTimer,
                          &Form->Pipeline->sendmailTimer})
        EXPECT_FALSE(timer->Enabled());

    stop->trigger();
    EXPECT_EQ(stop->text().toStdString(), "暂停");
    EXPECT_EQ(stop->property("imageIndex").toInt(), 7);
    EXPECT_EQ(Form->RzPanel1->palette().color(QPalette::Window), QColor(0, 202, 0));
    EXPECT_FALSE(Form->Pipeline->bakPaused);
    EXPECT_TRUE(Form->Pipeline->UpdateTimer.Enabled());
    EXPECT_FALSE(Form->Pipeline->rarTimer.Enabled()) << "an abandoned cycle stays abandoned";
    EXPECT_TRUE(Loop.Counting(Form->Pipeline->UpdateTimer));
    EXPECT_GT(Loop.Remaining(Form->Pipeline->UpdateTimer), seconds(55)) << "the first scan a minute after resuming";
}

TEST_F(FormFixture, GridMenuHoldsThePauseCommandAndHintsGoToTheStatusBar) {
    CreateForm();
    const QList<QAction*> items = Form->PopupMenu_Data->actions();
    EXPECT_TRUE(items.contains(Form->Action("actStop")));
    EXPECT_TRUE(items.contains(Form->Action("actHelp")));
    EXPECT_FALSE(items.contains(Form->Action("actWeb"))) << "only in the tray menu";
    EXPECT_FALSE(items.front()->isSeparator());
    EXPECT_FALSE(items.back()->isSeparator());
    for (int i = 1; i < items.size(); ++i)
        EXPECT_FALSE(items[i]->isSeparator() && items[i - 1]->isSeparator());

    EXPECT_EQ(Form->dbgTask->statusTip().toStdString(), "双击进行编辑");
    EXPECT_TRUE(Form->dbgTask->toolTip().isEmpty());
    EXPECT_EQ(Form->dbgTask->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(Form->dbgTask->selectionBehavior(), QAbstractItemView::SelectRows);
    // A control's hint and a menu command's hint both reach status panel 0.
    QStatusTipEvent gridHint(Form->dbgTask->statusTip());
    QApplication::sendEvent(Form->dbgTask, &gridHint);
    EXPECT_EQ(Form->CurrentHint().toStdString(), "双击进行编辑");
    Form->Action("actStop")->showStatusText(Form->PopupMenu_Data);
    EXPECT_EQ(Form->CurrentHint().toStdString(), "暂停执行备份任务");
    EXPECT_TRUE(Form->statusBar()->currentMessage().isEmpty()) << "no temporary message over the panels";
}

// ---------------------------------------------------------------- tray icon

TEST_F(FormFixture, TrayMenuItemsInOrderWithTheDefaultInBold) {
    CreateForm();
    Form->StartRunMode(false);
    EXPECT_FALSE(Form->isVisible()) << "hidden at start while there is a notification area";
    const QList<QAction*> items = Form->PopupMenu->actions();
    ASSERT_EQ(items.size(), 5);
    EXPECT_EQ(items[0]->text().toStdString(), "打开主界面(&O)");
    EXPECT_EQ(items[1]->text().toStdString(), "访问网站");
    EXPECT_EQ(items[2]->text().toStdString(), "帮助");
    EXPECT_TRUE(items[3]->isSeparator());
    EXPECT_EQ(items[4]->text().toStdString(), "退出(&X)");
    EXPECT_EQ(Form->PopupMenu->defaultAction(), items[0]);
    EXPECT_TRUE(items[0]->font().bold());
    EXPECT_TRUE(items[4]->isVisible());
}

TEST_F(FormFixture, ServiceModeHidesQuitAndItsSeparator) {
    CreateForm();
    Form->StartRunMode(true);
    EXPECT_FALSE(Form->N1->isVisible());
    EXPECT_FALSE(Form->miClose->isVisible());
    EXPECT_TRUE(Form->miProperties->isVisible());
}

TEST_F(FormFixture, RightClickShowsTheMenuOnlyWhileTheWindowIsHidden) {
    CreateForm();
    Form->StartRunMode(false);
    Form->WMTrayIcon(WM_RBUTTONUP);
    EXPECT_TRUE(Form->PopupMenu->isVisible());
    EXPECT_FALSE(Form->isVisible());
    Form->PopupMenu->hide();

    Form->WMTrayIcon(WM_LBUTTONDBLCLK);
    EXPECT_TRUE(Form->isVisible()) << "a double click shows the window";
    Form->WMTrayIcon(WM_RBUTTONUP);
    EXPECT_FALSE(Form->PopupMenu->isVisible()) << "shown window: brought to the front, no menu";
    EXPECT_TRUE(Form->isVisible());
    Form->WMTrayIcon(WM_LBUTTONDBLCLK);
    EXPECT_TRUE(Form->isVisible());
    Form->WMTrayIcon(514); // a plain left button release is ignored
    EXPECT_FALSE(Form->PopupMenu->isVisible());
}

TEST_F(FormFixture, CloseBoxHidesAndSavesTheLayoutQuitEndsEverything) {
    CreateForm();
    Form->StartRunMode(false);
    Form->miProperties->trigger();
    ASSERT_TRUE(Form->isVisible());
    Form->dbgTask->setColumnWidth(1, 222);
    Form->close();
    EXPECT_FALSE(Form->isVisible());
    EXPECT_FALSE(Form->Terminated());
    EXPECT_TRUE(Form->Pipeline->UpdateTimer.Enabled());
    EXPECT_NE(ReadFile("config.ini").find("1=222"), std::string::npos) << ReadFile("config.ini");

    // Reopened: the widths are those of before.
    Form->WMTrayIcon(WM_LBUTTONDBLCLK);
    EXPECT_EQ(Form->dbgTask->columnWidth(1), 222);
    Form->close();

    Form->dbgTask->setColumnWidth(2, 61);
    Form->miClose->trigger();
    EXPECT_TRUE(Form->Terminated());
    EXPECT_NE(ReadFile("config.ini").find("2=61"), std::string::npos);
    EXPECT_FALSE(Form->Pipeline->UpdateTimer.Enabled());
    EXPECT_FALSE(Form->TrayIcon->isVisible());
    EXPECT_TRUE(Boxes.empty());
    // The saved layout is what the next start shows.
    const std::vector<int> saved = ColumnWidths(*Form);
    Form.reset();
    CreateForm();
    EXPECT_EQ(ColumnWidths(*Form), saved);
}

TEST_F(FormFixture, ALayoutThatCannotBeSavedIsReportedAndNeverKeepsTheProgramFromEnding) {
    std::filesystem::create_directories(Folder / "config.ini"); // unwritable as a file
    CreateForm();
    Form->StartRunMode(false);
    Form->miProperties->trigger();
    Form->close();
    EXPECT_FALSE(Form->isVisible());
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Unable to write to " + FilePath("config.ini"));
    Form->miClose->trigger();
    EXPECT_TRUE(Form->Terminated());
    EXPECT_EQ(Boxes.size(), 2u);
}

TEST_F(FormFixture, WithoutANotificationAreaTheWindowShowsAndTheCloseBoxMinimizes) {
    Options.TrayAvailable = false;
    CreateForm();
    Form->StartRunMode(false);
    EXPECT_TRUE(Form->isVisible());
    EXPECT_TRUE(Form->windowFlags() & Qt::WindowMinimizeButtonHint);
    Form->close();
    EXPECT_TRUE(Form->isVisible());
    EXPECT_TRUE(Form->isMinimized());
    EXPECT_FALSE(Form->Terminated());
}

// ---------------------------------------------------------------- errors

TEST_F(FormFixture, WhileAnErrorBoxIsUpFurtherErrorsGoToTheLog) {
    CreateForm();
    int nested = 0;
    TScopedMessageBoxHandler box([&](const AnsiString& text, const AnsiString&, unsigned) {
        Boxes.push_back({AnsiToUtf8(text), "", 0});
        if (nested++ == 0) // the failing connection is retried while the box is up
            Form->ReportError("second failure");
        return IDOK;
    });
    Form->ReportError("first failure");
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "first failure");
    EXPECT_EQ(LogTexts(), std::vector<std::string> {"second failure"});
    Form->ReportError("third failure");
    EXPECT_EQ(Boxes.size(), 2u) << "once the box is closed, the next error opens one again";
}

TEST_F(FormFixture, HeadlessErrorsGoToTheLog) {
    Options.Headless = true;
    CreateForm();
    Form->Pipeline->RunReporting([] { throw Exception("Login failed for user 'sa'."); });
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(LogTexts(), std::vector<std::string> {"Login failed for user 'sa'."});
}

TEST_F(FormFixture, AnErrorOfATimerTickReachesTheWindowsErrorReporting) {
    CreateForm();
    TTimer timer(Loop, 10);
    timer.OnTimer = [&] {
        timer.SetEnabled(false);
        throw Exception("tick failed");
    };
    ASSERT_TRUE(RunEventLoopUntil([&] { return !Boxes.empty(); }, milliseconds(3000)));
    EXPECT_EQ(Boxes[0].Text, "tick failed");
    EXPECT_EQ(Boxes[0].Caption, "quorvel");
}

// ---------------------------------------------------------------- grid and table

TEST_F(FormFixture, GridFollowsTheTableCursorAndTheTableFollowsTheGrid) {
    WriteTasks({{.Name = "A"}, {.Name = "B"}, {.Name = "C"}});
    CreateForm();
    EXPECT_EQ(Form->GridModel->CurrentRow(), 0);
    Form->cdsTask.GoToNumber(3);
    EXPECT_EQ(Form->dbgTask->currentIndex().row(), 2);
    Form->dbgTask->selectRow(1);
    EXPECT_EQ(Form->cdsTask.CurrentNumber(), 2);
    // A new record shows once stored.
    Form->cdsTask.BeginNewRecord();
    Form->cdsTask.FieldNamed("taskName").SetAsString("D");
    EXPECT_EQ(Form->GridModel->rowCount(), 3);
    Form->cdsTask.StoreRecord();
    ASSERT_EQ(Form->GridModel->rowCount(), 4);
    EXPECT_EQ(Cell(*Form, 3, 1), "D");
    EXPECT_EQ(Form->dbgTask->currentIndex().row(), 3);
}

TEST_F(FormFixture, CtrlDeleteRemovesTheCurrentRecordAfterTheGridsQuestion) {
    WriteTasks({{.Name = "A"}, {.Name = "B"}});
    CreateForm();
    Form->cdsTask.GoToNumber(2);
    Answer = IDCANCEL;
    Form->dbgTask->setFocus();
    // The grid's Ctrl+Delete shortcut, fired as the key would fire it.
    auto press = [&] {
        for (QObject* child : Form->dbgTask->children())
            if (auto* shortcut = qobject_cast<QShortcut*>(child))
                emit shortcut->activated();
    };
    press();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Delete record?");
    EXPECT_EQ(Form->cdsTask.CountRecords(), 2);
    Answer = IDOK;
    press();
    EXPECT_EQ(Form->cdsTask.CountRecords(), 1);
    EXPECT_EQ(Cell(*Form, 0, 1), "A");
    EXPECT_EQ(ReadFile("task.ini").empty(), false) << "the file is not touched";
}

} // namespace
