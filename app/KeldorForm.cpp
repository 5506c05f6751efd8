#include "app/KeldorForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFontMetrics>
#include <QFrame>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTableView>
#include <QVBoxLayout>
#include <cstdio>

#include "app/AppIcon.h"
#include "app/GridLayout.h"
#include "app/MainActions.h"
#include "app/TaskGridModel.h"
#include "app/TrayKind.h"
#include "app/WebPanel.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/MessageBox.h"
#include "platform/Publisher.h"
#include "platform/ShellExecute.h"
#include "platform/qt/QtText.h"
#include "tasks/TaskFile.h"
#include "tasks/forms/ImageList.h"
#include "upgrade/forms/QtUpgradeWindows.h"

namespace {

const char* const WindowCaption = "SQLServer数据库备份邮件工具";
const char* const GridHint = "双击进行编辑";
const char* const CreditText = "Quorvel";
// The application's title: the caption of its error boxes.
const char* const ApplicationTitle = "quorvel";

std::string ConfigPath() {
    return ExeFolder() + "config.ini";
}

QColor ToQColor(const TRgbColour& c) {
    return QColor(c.Red, c.Green, c.Blue);
}

} // namespace

QString TKeldorForm::Caption() {
    return Utf8Text(WindowCaption);
}

TKeldorForm::TKeldorForm(TMessageLoop& loop, TKeldorFormOptions options)
    : QMainWindow(nullptr), Loop(loop), ActivityLog(loop.Clock()), options_(std::move(options)) {
    if (options_.WebPageAddress.empty())
        options_.WebPageAddress = PublisherAddress("/pavlet/adsql.php");
    trayAvailable_ = options_.TrayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    if (trayAvailable_)
        statusNotifierTray_ = options_.StatusNotifierTray.has_value() ? *options_.StatusNotifierTray
                                                                       : DesktopHasStatusNotifierTray();
    errorHandler_ = std::make_unique<TScopedExceptionHandler>([this](const AnsiString& m) { ReportError(m); });
    ActivityLog.AddObserver([this](const AnsiString& line) {
        if (mmo1) {
            mmo1->appendPlainText(AnsiToQString(line));
            // At once: the line must show even while the caller keeps the
            // thread busy for seconds (statements, sleeps, the SMTP dialogue).
            if (mmo1->isVisible())
                mmo1->viewport()->repaint();
        }
        if (options_.EchoLogToStdout) {
            const std::string text = AnsiToUtf8Lenient(line) + "\n";
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
        }
    });
    // The minute timer counts from the window's creation on.
    Pipeline = std::make_unique<TBackupCycle>(loop, cdsTask, ActivityLog,
                                              [this](const AnsiString& m) { ReportError(m); });
    Pipeline->OnStopCommandChanged = [this] { ShowStopCommand(); };

    auAutoUpgrader1 = std::make_unique<TauAutoUpgrader>(loop);
    auAutoUpgrader1->VersionControl = byNumber;
    // The project's version: a fixed "2" would offer 2.1 and this very release as newer.
    auAutoUpgrader1->VersionNumber = QUORVEL_VERSION;
    auAutoUpgrader1->VersionDate = "04/15/2010";
    auAutoUpgrader1->SetRestartParams("/afterupgrade");
    auAutoUpgrader1->InfoFile.Files = {PublisherSecureAddress("/upsoft/quorvel.exe")};
    auAutoUpgrader1->ApplicationTitle = ApplicationTitle;
    auAutoUpgrader1->OnLog = [this](const AnsiString& line) { AddLog(line); };
    UpgradeDownload = std::make_unique<TauUpgradeDownload>(loop);
    UpgradeDownload->BackupRunning = [this] {
        return Pipeline->backupTimer.Enabled() || Pipeline->rarTimer.Enabled() || Pipeline->sendmailTimer.Enabled();
    };
    auAutoUpgrader1->Procedure = UpgradeDownload.get();
    if (!options_.Headless) {
        UpgradeWindows = std::make_unique<TauQtUpgradeWindows>();
        auAutoUpgrader1->Windows = UpgradeWindows.get();
    }
    // After the hand-over the program ends as by "退出(&X)"; posted, so the
    // wizard or transfer that got here has returned first.
    auAutoUpgrader1->CloseApplication = [this] { Loop.Post([this] { miCloseClick(); }); };

    CreateControls();
    CreateActions();
    CreateTrayIcon();
    qApp->installEventFilter(this);
    FormCreate();
}

TKeldorForm::~TKeldorForm() {
    qApp->removeEventFilter(this);
    FormDestroy();
    // The pipeline's timers go before the window's controls and the loop; the
    // grid's model before the table it observes.
    Pipeline.reset();
    auAutoUpgrader1.reset();
    UpgradeDownload.reset();
    dbgTask->setModel(nullptr);
    delete GridModel;
    GridModel = nullptr;
}

// ---------------------------------------------------------------- controls

void TKeldorForm::CreateControls() {
    setWindowTitle(Caption());
    setWindowIcon(ApplicationIcon());
    // Close box only (a minimize box joins it where there is no notification area).
    Qt::WindowFlags flags = Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (!trayAvailable_)
        flags |= Qt::WindowMinimizeButtonHint;
    setWindowFlags(flags);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Splitter = new QSplitter(Qt::Vertical, central);
    Splitter->setHandleWidth(3);
    Splitter->setChildrenCollapsible(false);
    layout->addWidget(Splitter);

    dbgTask = new QTableView(Splitter);
    dbgTask->setObjectName("dbgTask");
    GridModel = new TTaskGridModel(cdsTask, this);
    dbgTask->setModel(GridModel);
    dbgTask->setSelectionBehavior(QAbstractItemView::SelectRows);
    dbgTask->setSelectionMode(QAbstractItemView::SingleSelection);
    dbgTask->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dbgTask->setShowGrid(true);
    dbgTask->setWordWrap(false);
    dbgTask->setStatusTip(Utf8Text(GridHint)); // a hint for the status bar, not a tooltip
    dbgTask->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    dbgTask->horizontalHeader()->setStretchLastSection(false);
    dbgTask->horizontalHeader()->setHighlightSections(false);
    dbgTask->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    dbgTask->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    dbgTask->verticalHeader()->setMinimumWidth(14);
    dbgTask->setContextMenuPolicy(Qt::CustomContextMenu);
    const std::vector<int> widths = DesignWidths();
    for (std::size_t i = 0; i < widths.size(); ++i)
        dbgTask->setColumnWidth(static_cast<int>(i), widths[i]);
    connect(GridModel, &TTaskGridModel::CurrentRowChanged, this, [this](int row) { GridCurrentRowChanged(row); });
    connect(dbgTask->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (syncingGrid_ || !current.isValid())
                    return;
                RunReportingErrors([&] { cdsTask.GoToNumber(current.row() + 1); });
            });
    connect(GridModel, &QAbstractItemModel::modelReset, this,
            [this] { GridCurrentRowChanged(GridModel->CurrentRow()); });
    auto* deleteKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Delete), dbgTask);
    deleteKey->setContext(Qt::WidgetWithChildrenShortcut);
    connect(deleteKey, &QShortcut::activated, this, [this] { RunReportingErrors([this] { DeleteRecordByKey(); }); });

    auto* middle = new QWidget(Splitter);
    auto* middleLayout = new QVBoxLayout(middle);
    middleLayout->setContentsMargins(0, 0, 0, 0);
    middleLayout->setSpacing(0);
    ScrollBox1 = new QWidget(middle);
    ScrollBox1->setFixedHeight(8);
    RzPanel1 = new QFrame(ScrollBox1);
    RzPanel1->setObjectName("RzPanel1");
    RzPanel1->setFrameShape(QFrame::NoFrame);
    RzPanel1->setAutoFillBackground(true);
    RzPanel1->setGeometry(0, 2, 590, 4);
    middleLayout->addWidget(ScrollBox1);
    mmo1 = new QPlainTextEdit(middle);
    mmo1->setObjectName("mmo1");
    mmo1->setReadOnly(true);
    mmo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    mmo1->setMaximumBlockCount(static_cast<int>(TActivityLog::MaxLines));
    mmo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    middleLayout->addWidget(mmo1, 1);

    pnlAd = new QWidget(Splitter);
    pnlAd->setObjectName("pnlAd");
    auto* adLayout = new QVBoxLayout(pnlAd);
    adLayout->setContentsMargins(0, 0, 0, 0);
    WebBrowser = new TWebPanel(pnlAd);
    adLayout->addWidget(WebBrowser);

    Splitter->addWidget(dbgTask);
    Splitter->addWidget(middle);
    Splitter->addWidget(pnlAd);
    Splitter->setStretchFactor(0, 0);
    Splitter->setStretchFactor(1, 1);
    Splitter->setStretchFactor(2, 0);
    setCentralWidget(central);

    StatusHint = new QLabel(statusBar());
    StatusHint->setFixedWidth(200);
    StatusCredit = new QLabel(Utf8Text(CreditText), statusBar());
    StatusCredit->setMinimumWidth(50);
    statusBar()->addWidget(StatusHint);
    statusBar()->addWidget(StatusCredit);
    statusBar()->setSizeGripEnabled(true);

    // Client area 784 x 562 at creation, at least 450 x 300, in the screen's centre.
    resize(784, 562);
    setMinimumSize(450, 300);
    Splitter->setSizes({166, 562 - 166 - 198 - 6 - statusBar()->sizeHint().height(), 198});
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(784 / 2, 562 / 2));
    ShowStopCommand();
}

std::vector<int> TKeldorForm::DesignWidths() const {
    // A column is as wide as its display width in digits of the grid's font,
    // or its title if that is wider.
    const QFontMetrics metrics(dbgTask->font());
    const QFontMetrics titleMetrics(dbgTask->horizontalHeader()->font());
    std::vector<int> widths;
    for (TTaskField* field : GridModel->Columns()) {
        const int digits = field->DisplayWidth() * metrics.horizontalAdvance('0');
        const int title = titleMetrics.horizontalAdvance(AnsiToQString(field->Label()));
        widths.push_back(std::max(digits, title) + 8);
    }
    return widths;
}

void TKeldorForm::CreateActions() {
    ImageList1 = MakeImageList1();
    for (const TActionDef& def : MainActionDefs()) {
        auto* action = new QAction(Utf8Text(def.Caption), this);
        action->setObjectName(def.Name);
        action->setProperty("category", QString::fromUtf8(def.Category));
        action->setStatusTip(Utf8Text(def.Hint));
        if (def.ImageIndex >= 0 && def.ImageIndex < static_cast<int>(ImageList1.size()))
            action->setIcon(ImageList1[def.ImageIndex]);
        action->setEnabled(def.Enabled);
        action->setIconVisibleInMenu(true);
        const auto execute = def.Execute;
        connect(action, &QAction::triggered, this, [this, execute] { RunReportingErrors([&] { (this->*execute)(); }); });
        actsMain[def.Name] = action;
    }
    PopupMenu_Data = new QMenu(this);
    PopupMenu_Data->setObjectName("PopupMenu_Data");
    bool pendingSeparator = false;
    for (const char* item : PopupMenuDataItems()) {
        if (std::string(item) == "-") {
            pendingSeparator = !PopupMenu_Data->actions().isEmpty();
            continue;
        }
        QAction* action = Action(item);
        if (!action)
            continue;
        if (pendingSeparator)
            PopupMenu_Data->addSeparator();
        pendingSeparator = false;
        PopupMenu_Data->addAction(action);
    }
    connect(dbgTask, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu_Data->popup(dbgTask->viewport()->mapToGlobal(at)); });
    ShowStopCommand();
    WatchTaskCommands();
}

QAction* TKeldorForm::Action(const std::string& name) const {
    auto it = actsMain.find(name);
    return it == actsMain.end() ? nullptr : it->second;
}

void TKeldorForm::CreateTrayIcon() {
    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName("PopupMenu");
    miProperties = PopupMenu->addAction(Utf8Text("打开主界面(&O)"));
    QFont bold = miProperties->font();
    bold.setBold(true);
    miProperties->setFont(bold);
    PopupMenu->setDefaultAction(miProperties);
    miWeb = PopupMenu->addAction(Action("actWeb")->text());
    miHelp = PopupMenu->addAction(Action("actHelp")->text());
    N1 = PopupMenu->addSeparator();
    miClose = PopupMenu->addAction(Utf8Text("退出(&X)"));
    connect(miProperties, &QAction::triggered, this, [this] { miPropertiesClick(); });
    connect(miWeb, &QAction::triggered, Action("actWeb"), &QAction::trigger);
    connect(miHelp, &QAction::triggered, Action("actHelp"), &QAction::trigger);
    connect(miClose, &QAction::triggered, this, [this] { miCloseClick(); });

    TrayIcon = new QSystemTrayIcon(ApplicationIcon(), this);
    TrayIcon->setToolTip(Caption());
    // No context menu of Qt's own: a right click shows ours only while the window is hidden.
    // A tray that reports a left click as one Trigger gets the double click's action for it;
    // elsewhere a single click does nothing, as it always has.
    connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick || (reason == QSystemTrayIcon::Trigger && statusNotifierTray_))
            WMTrayIcon(WM_LBUTTONDBLCLK);
        else if (reason == QSystemTrayIcon::Context)
            WMTrayIcon(WM_RBUTTONUP);
    });
    if (!trayAvailable_) {
        // Without a notification area there is no "退出(&X)" to reach: Ctrl+Q ends the program.
        auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
        connect(quit, &QShortcut::activated, this, [this] { miCloseClick(); });
    }
}

// ---------------------------------------------------------------- start

void TKeldorForm::FormCreate() {
    // An error ends the creation at its step; the window goes on as far as it was built.
    // Starting the check never stops the creation: the tasks still load.
    RunReportingErrors([this] { StartUpdateCheckStep(); });
    RunReportingErrors([this] {
        if (FileExists(TaskFilePath()))
            LoadFromFile(cdsTask, TaskFilePath());
        cltdsCache.LoadFromPacket(cdsTask.Snapshot());
        LoadGridLayout();
        Pipeline->rzrgnfl1.Path = ConfigPath();
        Pipeline->bakDone = false;
        const bool online = options_.Online.value_or(TWebPanel::ConnectedState());
        WebBrowser->Navigate(online ? QString::fromStdString(options_.WebPageAddress) : TWebPanel::OfflinePage);
    });
}

void TKeldorForm::StartUpdateCheckStep() {
    const std::string config = ConfigPath();
    if (!options_.UpdateCheck.value_or(GetPrivateProfileString("Upgrade", "Check", "1", config) != "0"))
        return;
    std::string url = options_.UpdateInfoURL.value_or(GetPrivateProfileString("Upgrade", "InfoFileURL", "", config));
    if (url.empty())
        url = PublisherUpdateInfoAddress();
    auAutoUpgrader1->InfoFileURL = url;
    auAutoUpgrader1->CaFile = GetPrivateProfileString("Upgrade", "CaFile", "", config);
    auAutoUpgrader1->StartUpdateCheck(); // the outcome arrives later, on this thread
}

void TKeldorForm::StartRunMode(bool FromService) {
    if (FromService) {
        N1->setVisible(false);
        miClose->setVisible(false);
    }
    AddLog(Utf8ToAnsi("待命"));
    AddTrayIcon();
    // The shell's restart needs no registration here: Qt re-adds the icon itself.
    if (!trayAvailable_ && !FromService)
        miPropertiesClick(); // nowhere to reach the window from: show it
}

void TKeldorForm::WMServiceStart(int wParam) {
    StartRunMode(wParam != 0);
}

void TKeldorForm::AddLog(const AnsiString& Text) {
    ActivityLog.AddLog(Text);
}

void TKeldorForm::AddTrayIcon() {
    if (trayAvailable_)
        TrayIcon->show();
}

// ---------------------------------------------------------------- grid

void TKeldorForm::GridCurrentRowChanged(int row) {
    syncingGrid_ = true;
    if (row >= 0) {
        const QModelIndex index = GridModel->index(row, std::max(0, dbgTask->currentIndex().column()));
        dbgTask->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                              QItemSelectionModel::Rows);
    } else {
        dbgTask->selectionModel()->clear();
    }
    syncingGrid_ = false;
}

void TKeldorForm::LoadGridLayout() {
    const std::optional<std::vector<int>> widths = ReadGridLayout(ConfigPath(), GridModel->columnCount());
    if (!widths)
        return;
    for (std::size_t i = 0; i < widths->size(); ++i)
        dbgTask->setColumnWidth(static_cast<int>(i), std::max(0, (*widths)[i]));
}

void TKeldorForm::SaveGridLayout() {
    std::vector<int> widths;
    for (int i = 0; i < GridModel->columnCount(); ++i)
        widths.push_back(dbgTask->columnWidth(i));
    WriteGridLayout(ConfigPath(), widths);
}

void TKeldorForm::DeleteRecordByKey() {
    if (!cdsTask.IsOpen() || cdsTask.CountRecords() == 0)
        return;
    if (ShowMessageBox("Delete record?", "Confirm", MB_OKCANCEL | MB_ICONQUESTION) == IDOK)
        cdsTask.RemoveRecord();
}

// ---------------------------------------------------------------- commands

void TKeldorForm::actStopExecute() {
    Pipeline->actStopExecute();
    ShowStopCommand();
}

void TKeldorForm::ShowStopCommand() {
    if (!Pipeline)
        return;
    const TStopCommandState& state = Pipeline->actStop();
    if (QAction* stop = Action("actStop")) {
        stop->setText(AnsiToQString(state.Caption));
        stop->setStatusTip(AnsiToQString(state.Hint));
        stop->setProperty("imageIndex", state.ImageIndex);
        if (state.ImageIndex >= 0 && state.ImageIndex < static_cast<int>(ImageList1.size()))
            stop->setIcon(ImageList1[state.ImageIndex]);
    }
    if (RzPanel1) {
        QPalette palette = RzPanel1->palette();
        palette.setColor(QPalette::Window, ToQColor(state.RunIndicator));
        RzPanel1->setPalette(palette);
        RzPanel1->update();
    }
}

void TKeldorForm::actWebExecute() {
    ShellOpen(PublisherWebSite());
}

void TKeldorForm::actHelpExecute() {
    // The help file is looked for in the current folder; a missing viewer or
    // file goes unreported.
    const std::string viewer = FindOnPath({"xchm", "kchmviewer", "chmsee", "okular"});
    if (!viewer.empty())
        StartDetached(viewer, {"Quorvel.chm"});
    else
        ShellOpen("Quorvel.chm");
}

// ---------------------------------------------------------------- showing and ending

void TKeldorForm::BringToFront() {
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void TKeldorForm::miPropertiesClick() {
    show();
    BringToFront();
}

void TKeldorForm::WMTrayIcon(int mouseMessage) {
    switch (mouseMessage) {
    case WM_LBUTTONDBLCLK:
        if (isVisible())
            BringToFront();
        else
            miPropertiesClick();
        break;
    case WM_RBUTTONUP:
        // The menu only while the window is hidden; a shown window comes to the front.
        if (isVisible())
            BringToFront();
        else
            PopupMenu->popup(QCursor::pos());
        break;
    default: break;
    }
}

void TKeldorForm::FormCloseQuery() {
    // A layout that cannot be saved is reported; it never keeps the window
    // from closing or the program from ending.
    RunReportingErrors([this] { SaveGridLayout(); });
}

void TKeldorForm::closeEvent(QCloseEvent* event) {
    FormCloseQuery();
    if (quitting_) {
        event->accept();
        return;
    }
    event->ignore();
    if (trayAvailable_)
        hide();
    else
        showMinimized(); // no notification area to come back from
}

void TKeldorForm::miCloseClick() {
    if (terminated_)
        return;
    quitting_ = true;
    if (!close()) // the close query ran inside; a hidden window closes all the same
        FormCloseQuery();
    FormDestroy();
    terminated_ = true;
    QCoreApplication::quit();
}

void TKeldorForm::FormDestroy() {
    if (destroyed_)
        return;
    destroyed_ = true;
    if (Pipeline)
        Pipeline->UpdateTimer.SetEnabled(false);
    if (TrayIcon)
        TrayIcon->hide();
}

// ---------------------------------------------------------------- hints and errors

void TKeldorForm::AppHint(const QString& hint) {
    StatusHint->setText(hint);
}

QString TKeldorForm::CurrentHint() const {
    return StatusHint->text();
}

bool TKeldorForm::eventFilter(QObject* watched, QEvent* event) {
    // Anywhere on the grid, rows or not: an empty list opens the editor too.
    if (event->type() == QEvent::MouseButtonDblClick && dbgTask && watched == dbgTask->viewport() &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        RunReportingErrors([this] { dbgTaskDblClick(); });
        return true;
    }
    // Every hint (a control's, a menu command's) goes to status panel 0.
    if (event->type() == QEvent::StatusTip) {
        AppHint(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TKeldorForm::ReportError(const AnsiString& message) {
    if (options_.ReportErrorsTo) {
        options_.ReportErrorsTo(message);
        return;
    }
    if (options_.Headless || errorBoxShown_) {
        AddLog(message);
        return;
    }
    errorBoxShown_ = true;
    ShowMessageBox(message, ApplicationTitle, MB_OK | MB_ICONERROR);
    errorBoxShown_ = false;
}
