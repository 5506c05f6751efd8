// Renders the task editor (new and edit), the settings dialog, the about box
// and the grid's pop-up menu into PNG files:
//     dialog_shots OUTPUT_FOLDER
// Run under a display (Xvfb) so that fonts and window frames are the real ones.
#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/DesktopFont.h"
#include "app/KeldorForm.h"
#include "platform/Files.h"
#include "platform/qt/QtMessageLoop.h"
#include "settings/StringCipher.h"
#include "settings/forms/ConfigForm.h"
#include "tasks/TaskFile.h"
#include "tasks/forms/AboutBox.h"
#include "tasks/forms/TaskForm.h"

namespace {

std::filesystem::path output;

void Settle() {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QTimer wait;
        wait.start(10);
        while (wait.remainingTime() > 0) QApplication::processEvents();
    }
}

void Save(QWidget& widget, const char* name) {
    widget.show();
    widget.raise();
    widget.activateWindow();
    Settle();
    const std::string path = (output / name).string();
    if (!widget.grab().save(QString::fromStdString(path)))
        std::fprintf(stderr, "dialog_shots: cannot write %s\n", path.c_str());
    else
        std::printf("%s\n", path.c_str());
}

void AddTask(TTaskTable& table, const char* name, int hour, int minute, bool second) {
    TTaskInput input = TTaskInput::Defaults();
    input.TaskName = Utf8ToAnsi(name);
    input.ServerName = "10.0.0.5";
    input.Password = "secret";
    input.BakDBName = "pubs,gis";
    input.ToMailAddr = "ops@example.com";
    input.CcMailAddr = "boss@example.com";
    input.RunHour = hour;
    input.RunMinute = minute;
    input.Bak2Enabled = second;
    input.RunHour2 = 3;
    input.RunMinute2 = 15;
    StoreTask(table, input, true, 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dialog_shots OUTPUT_FOLDER\n");
        return 2;
    }
    output = argv[1];
    std::filesystem::create_directories(output);
    // A program folder of its own: the shots never touch a real config.ini or task.ini.
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("quorvel-shots-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    OverrideExeFolder(folder.string());

    QApplication app(argc, argv);
    ApplyDesktopFont(); // as the program does

    TTaskTable tasks;
    AddTask(tasks, "夜间备份", 20, 30, true);
    AddTask(tasks, "午间备份", 12, 45, false);
    SaveToFile(tasks, TaskFilePath());
    {
        std::ofstream config(folder / "config.ini");
        config << "[Option]\nSmtpServer=smtp.example.com\nSmtpName=backup@example.com\nSmtpPort=25\nSmtpUser=backup\n"
               << "SmtpPass=" << CipherText("secret", SmtpPasswordKey, true) << "\n";
    }

    TQtMessageLoop loop;
    TKeldorFormOptions options;
    options.EchoLogToStdout = false;
    options.Online = false;
    options.UpdateCheck = false;
    options.TrayAvailable = true;
    auto window = std::make_unique<TKeldorForm>(loop, options);
    window->show();
    Settle();

    {
        TtaskForm editor(window->cdsTask, window.get());
        Save(editor, "task-editor-new.png");
    }
    {
        TtaskForm editor(window->cdsTask, window.get());
        editor.NewTask = false;
        editor.EditNumber = 1;
        Save(editor, "task-editor-edit.png");
        editor.edtMailTopic->setFocus();
    }
    {
        TconfigForm settings(window.get());
        Save(settings, "settings-dialog.png");
    }
    {
        TAboutBox about(window.get());
        Save(about, "about-box.png");
    }
    {
        window->dbgTask->selectRow(0);
        const QPoint at = window->dbgTask->viewport()->mapToGlobal(QPoint(120, 30));
        window->PopupMenu_Data->popup(at);
        Settle();
        const std::string path = (output / "grid-popup-menu.png").string();
        if (window->PopupMenu_Data->grab().save(QString::fromStdString(path))) std::printf("%s\n", path.c_str());
        window->PopupMenu_Data->hide();
    }
    window.reset();
    OverrideExeFolder("");
    std::filesystem::remove_all(folder);
    return 0;
}
