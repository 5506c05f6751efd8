// quorvel: the desktop program. One instance at a time; the window sits in the
// notification area while the scheduler runs backup cycles. The service
// switches and the systemd unit take the service path instead.
#include <QApplication>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/DesktopFont.h"
#include "app/KeldorForm.h"
#include "app/KeldorService.h"
#include "app/TerminateSignals.h"
#include "platform/MessageBox.h"
#include "platform/NamedMutex.h"
#include "platform/qt/QtMessageBox.h"
#include "platform/qt/QtMessageLoop.h"

namespace {

// Without a display the program still runs its schedule, on Qt's offscreen
// platform; nobody can answer a box there.
bool HasDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return std::string(platform).rfind("offscreen", 0) != 0 && std::string(platform).rfind("minimal", 0) != 0;
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> params(argv + 1, argv + argc);
    // Installing, removing, or running as the systemd unit.
    if (InstallSwitchGiven(params) || RunsAsServiceAccount())
        return TKeldorService(params).Run(argc, argv);

    const bool display = HasDisplay();
    if (!display)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // Held until the process ends, whichever way it ends.
    const TNamedMutex instanceLock(InstanceLockName());
    if (!instanceLock.Error().empty())
        std::cerr << "quorvel: running without the single-instance lock: " << instanceLock.Error() << std::endl;
    if (instanceLock.AlreadyExists()) {
        if (display) {
            QApplication app(argc, argv);
            InstallQtMessageBox();
            ShowMessageBox(Utf8ToAnsi("副本已经在运行"), "quorvel", MB_OK | MB_ICONERROR);
        } else {
            ShowMessageBox(Utf8ToAnsi("副本已经在运行"), "quorvel", MB_OK | MB_ICONERROR);
        }
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("quorvel");
    QApplication::setQuitOnLastWindowClosed(false);
    ApplyDesktopFont();
    if (display)
        InstallQtMessageBox();

    TQtMessageLoop loop;
    TKeldorFormOptions options;
    options.Headless = !display;
    TKeldorForm form(loop, options);

    // SIGTERM and SIGINT end the program as "退出(&X)" does: layout saved, timer stopped.
    const TTerminateSignals terminate([&form] { form.miCloseClick(); });

    form.StartRunMode(false);
    if (form.Terminated())
        return 0;
    return QApplication::exec();
}
