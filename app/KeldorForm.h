#pragma once
// The main window: task grid, run indicator, activity log, web panel and
// status bar, the notification-area icon with its menu, and every component
// of the program (task table, copy cache, the backup pipeline with its four
// timers, the SMTP client and the settings accessor).
#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/BackupCycle.h"
#include "platform/ActivityLog.h"
#include "platform/ExceptionReport.h"
#include "platform/MessageLoop.h"
#include "tasks/TaskTable.h"
#include "upgrade/AutoUpgrader.h"
#include "upgrade/UpgradeDownload.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QTableView;
class TTaskGridModel;
class TWebPanel;

// Mouse messages of the notification-area icon.
constexpr int WM_LBUTTONDBLCLK = 515;
constexpr int WM_RBUTTONUP = 517;
// Posted by the service's start: its handler runs StartRunMode(wParam != 0).
constexpr int WM_SERVICESTART = 1026;

struct TKeldorFormOptions {
    // No display: an error box goes to the activity log instead.
    bool Headless = false;
    // Each activity log line also goes to standard output (UTF-8).
    bool EchoLogToStdout = true;
    // Whether the desktop offers a notification area; unset: ask Qt.
    std::optional<bool> TrayAvailable;
    // Whether it is the StatusNotifierItem kind, which reports a left click
    // only as a single Trigger; unset: ask the session bus.
    std::optional<bool> StatusNotifierTray;
    // The web panel's page when online.
    std::string WebPageAddress;
    // Whether the machine is online; unset: look at the network interfaces.
    std::optional<bool> Online;
    // Where the application's error reporting sends errors instead of a box
    // or the activity log (the service mode's journal).
    TExceptionHandler ReportErrorsTo;
    // Whether the update check runs at start; unset: unless Check=0 in
    // section Upgrade of config.ini.
    std::optional<bool> UpdateCheck;
    // The update-info file; unset: InfoFileURL of section Upgrade in
    // config.ini, else the publisher's.
    std::optional<std::string> UpdateInfoURL;
};

class TKeldorForm : public QMainWindow {
    Q_OBJECT
public:
    // Creates the window hidden and runs FormCreate. `loop` outlives the window.
    explicit TKeldorForm(TMessageLoop& loop, TKeldorFormOptions options = {});
    ~TKeldorForm() override;

    // ---- Part of the program's start
    void StartRunMode(bool FromService);
    void WMServiceStart(int wParam);
    void AddLog(const AnsiString& Text);
    static QString Caption(); // "SQLServer数据库备份邮件工具"

    // ---- components
    TMessageLoop& Loop;
    TActivityLog ActivityLog;
    TTaskTable cdsTask;
    TTaskTable cltdsCache {TTaskTable::TLayout::Cache};
    std::unique_ptr<TBackupCycle> Pipeline; // the timers, flags, Mail and rzrgnfl1
    std::unique_ptr<TauAutoUpgrader> auAutoUpgrader1;
    // What an accepted upgrade runs, and its windows (none without a display).
    std::unique_ptr<TauUpgradeDownload> UpgradeDownload;
    std::unique_ptr<TauUpgradeWindows> UpgradeWindows;

    QTableView* dbgTask = nullptr;
    TTaskGridModel* GridModel = nullptr;
    QSplitter* Splitter = nullptr; // spl3 and spl1 are its two handles
    QWidget* ScrollBox1 = nullptr;
    QFrame* RzPanel1 = nullptr; // the run indicator
    QPlainTextEdit* mmo1 = nullptr;
    QWidget* pnlAd = nullptr;
    TWebPanel* WebBrowser = nullptr;
    QLabel* StatusHint = nullptr;   // status panel 0
    QLabel* StatusCredit = nullptr; // status panel 1
    QSystemTrayIcon* TrayIcon = nullptr;
    QMenu* PopupMenu = nullptr; // notification-area menu
    QAction* miProperties = nullptr;
    QAction* miWeb = nullptr;
    QAction* miHelp = nullptr;
    QAction* N1 = nullptr;
    QAction* miClose = nullptr;
    QMenu* PopupMenu_Data = nullptr; // the grid's menu
    std::map<std::string, QAction*> actsMain;
    std::vector<QIcon> ImageList1;

    QAction* Action(const std::string& name) const; // nullptr when missing

    bool TrayAvailable() const { return trayAvailable_; }
    // "退出(&X)" ran: the program ends once control is back in its loop.
    bool Terminated() const { return terminated_; }
    // The hint now in status panel 0.
    QString CurrentHint() const;

    // ---- handlers
    void FormCreate();
    void StartUpdateCheckStep(); // step 2 of FormCreate
    void FormCloseQuery();
    void FormDestroy();
    void AddTrayIcon();
    void WMTrayIcon(int mouseMessage);
    void miPropertiesClick();
    void miCloseClick();
    void AppHint(const QString& hint);
    void LoadGridLayout();
    void SaveGridLayout();
    void dbgTaskDblClick();
    void actNewTaskExecute();
    void actSaveTaskExecute();
    void actDeleteExecute();
    void actCopyExecute();
    void actPasteExecute();
    void actConfigExecute();
    void actAboutExecute();
    void actExportExecute();
    void actImportExecute();
    // The record number remembered by the last copy.
    int CopyNumber = 0;
    void actHelpExecute();
    void actStopExecute();
    void actWebExecute();

    // The application's error reporting while this window exists: an error
    // box, or a line in the activity log while a box is already up or there
    // is no display.
    void ReportError(const AnsiString& message);
    bool ErrorBoxShown() const { return errorBoxShown_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void CreateActions();
    void CreateTrayIcon();
    void ShowStopCommand();
    void BringToFront();
    void GridCurrentRowChanged(int row);
    void DeleteRecordByKey();
    void WatchTaskCommands();   // keeps actDelete's enabled state up to date
    void UpdateDeleteCommand();
    std::vector<int> DesignWidths() const;

    TKeldorFormOptions options_;
    std::unique_ptr<TScopedExceptionHandler> errorHandler_;
    bool trayAvailable_ = false;
    bool statusNotifierTray_ = false;
    bool quitting_ = false;
    bool terminated_ = false;
    bool destroyed_ = false;
    bool errorBoxShown_ = false;
    bool syncingGrid_ = false;
};
