// quorvel_screenshot: shows the main window as the program builds it, with a
// few tasks and a filled activity log, on the X server of DISPLAY (Xvfb in
// scripts/screenshot), and saves PNGs of the screen: the window, its grid
// menu, the tray menu and the paused state; then the upgrade windows in
// Chinese: the question, both wizard pages and the password window.
// Usage: quorvel_screenshot OUTPUT_FOLDER
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "app/DesktopFont.h"
#include "app/KeldorForm.h"
#include "platform/Files.h"
#include "platform/qt/QtMessageLoop.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskRecord.h"
#include "platform/Exception.h"
#include "upgrade/AutoUpgrader.h"
#include "upgrade/forms/PasswordForm.h"
#include "upgrade/forms/QtUpgradeWindows.h"
#include "upgrade/forms/UpgradeMessageForm.h"
#include "upgrade/forms/WizardForm.h"

namespace {

void Settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Save(const QString& folder, const QString& name, const QRect& area) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = folder + "/" + name;
    const bool ok = shot.save(path, "PNG");
    std::printf("%s %s\n", ok ? "saved" : "FAILED", path.toLocal8Bit().constData());
    return ok;
}

struct TSample {
    const char* Name;
    int Hour, Minute;
    bool Bak2;
    int Hour2, Minute2;
    const char* Databases;
    const char* Folder;
    const char* To;
    const char* Server;
};

void WriteSampleTasks(const std::string& path) {
    const TSample samples[] = {
        {"夜间备份", 20, 30, true, 2, 0, "pubs,northwind", "D:\\bak\\night", "ops@example.com", "db1.example.com"},
        {"财务系统", 8, 5, false, 0, 0, "finance", "E:\\backup", "cfo@example.com", "10.0.0.12,1433"},
        {"仓库管理", 12, 45, true, 23, 59, "wms", "D:\\wms", "wms@example.com", "wms-sql"},
    };
    TTaskTable table;
    int num = 0;
    for (const TSample& s : samples) {
        table.BeginNewRecord();
        TTaskRecord task;
        task.Num = ++num;
        task.TaskName = Utf8ToAnsi(s.Name);
        task.RunHour = s.Hour;
        task.RunMinute = s.Minute;
        task.Bak2Enabled = s.Bak2;
        task.RunHour2 = s.Hour2;
        task.RunMinute2 = s.Minute2;
        task.BakDBName = s.Databases;
        task.BakFilePath = s.Folder;
        task.ToMailAddr = s.To;
        task.RarTimeAfter = 30;
        task.SendTimeAfter = 60;
        task.MailTopic = Utf8ToAnsi("数据库备份<file> <date>");
        task.ServerName = s.Server;
        task.DBName = "master";
        task.UserName = "sa";
        task.Password = "secret";
        task.CcMailAddr = "boss@example.com";
        WriteTaskRecord(table, task);
        table.StoreRecord();
    }
    SaveToFile(table, path);
}

// Shows `window` on the screen and saves it with its frame.
bool SaveWindow(const QString& folder, const QString& name, QWidget& window) {
    window.move(60, 60);
    window.show();
    window.raise();
    Settle(500);
    return Save(folder, name, window.frameGeometry().adjusted(-2, -2, 2, 2));
}

int UpgradeWindowShots(const QString& output, TMessageLoop& loop) {
    int failures = 0;
    TauAutoUpgrader upgrader(loop);
    upgrader.SetLanguage(wlChineseSimplified);
    upgrader.ApplicationTitle = "quorvel";
    upgrader.URL = "https://updates.example.com/upsoft/quorvel";
    upgrader.HTTPUsername = "registered";
    TauQtUpgradeWindows windows;
    upgrader.Windows = &windows;
    {
        TauAutoUpgraderUpgradeMessageForm question(
            UpgradeQuestionText("quorvel", Utf8ToAnsi("备份更快，邮件附件可以分卷发送。")));
        failures += !SaveWindow(output, "upgrade-question.png", question);
    }
    windows.ShowWizard(upgrader);
    TauAutoUpgraderWizardForm* wizard = TauAutoUpgraderWizardForm::Instance();
    windows.SetWizardFile(upgrader.URL, Format(auMessage(9).c_str(), 1, 2));
    windows.SetWizardFileSize(Format(auMessage(6).c_str(), 2345.6));
    windows.SetWizardProgress(40, 20, Format(auMessage(7).c_str(), 512.3), Format(auMessage(8).c_str(), 0, 1, 5));
    failures += !SaveWindow(output, "upgrade-wizard-downloading.png", *wizard);
    windows.ShowFinishPage();
    failures += !SaveWindow(output, "upgrade-wizard-finished.png", *wizard);
    wizard->CloseQuietly();
    {
        TauAutoUpgraderPasswordForm password(upgrader);
        failures += !SaveWindow(output, "upgrade-password.png", password);
    }
    return failures;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvel_screenshot OUTPUT_FOLDER\n");
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(output);
    // A program folder of its own, with sample tasks and the offline page.
    const std::string folder = TempFolder() + "quorvel-screenshot-" + std::to_string(::getpid()) + "/";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(ExeFolder() + "noa.htm", folder + "noa.htm",
                               std::filesystem::copy_options::overwrite_existing);
    OverrideExeFolder(folder);
    WriteSampleTasks(folder + "task.ini");
    const std::filesystem::path oldDir = std::filesystem::current_path();
    std::filesystem::current_path(folder);

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ApplyDesktopFont();
    TQtMessageLoop loop;
    TKeldorFormOptions options;
    options.EchoLogToStdout = false;
    options.Online = false;
    options.UpdateCheck = false;
    options.TrayAvailable = false;
    int failures = 0;
    {
        TKeldorForm form(loop, options);
        form.StartRunMode(false);
        const char* lines[] = {"开始执行[夜间备份]任务...", "正在连接数据库[master]...", "数据库连接成功",
                               "正在备份[pubs]数据库...", "数据库[pubs]备份完毕！", "正在备份[northwind]数据库...",
                               "数据库[northwind]备份完毕！", "压缩文件...", "文件压缩完毕",
                               "发送邮件20261209203131.rar...", "邮件成功发送给ops@example.com",
                               "------------------------------------------------------------"};
        for (const char* line : lines)
            form.AddLog(Utf8ToAnsi(line));
        form.move(20, 20);
        form.show();
        form.AppHint(QString::fromUtf8("双击进行编辑"));
        Settle(800);
        const QRect window = form.frameGeometry().adjusted(-2, -2, 2, 2);
        failures += !Save(output, "main-window.png", window);

        const QPoint gridPoint = form.dbgTask->viewport()->mapToGlobal(QPoint(60, 30));
        form.PopupMenu_Data->popup(gridPoint);
        Settle(500);
        failures += !Save(output, "grid-menu.png",
                          form.PopupMenu_Data->geometry().united(QRect(gridPoint - QPoint(40, 40), QSize(1, 1))).adjusted(-4, -4, 4, 4));
        form.PopupMenu_Data->hide();

        form.PopupMenu->popup(QPoint(600, 500));
        Settle(500);
        failures += !Save(output, "tray-menu.png", form.PopupMenu->geometry().adjusted(-4, -4, 4, 4));
        form.PopupMenu->hide();

        form.Action("actStop")->trigger();
        form.AppHint(form.Action("actStop")->statusTip());
        form.PopupMenu_Data->popup(gridPoint);
        Settle(500);
        failures += !Save(output, "paused.png", window.united(form.PopupMenu_Data->geometry()));
        form.PopupMenu_Data->hide();
        form.hide();
        failures += UpgradeWindowShots(output, loop);
        form.miCloseClick();
    }
    std::filesystem::current_path(oldDir);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return failures == 0 ? 0 : 1;
}
