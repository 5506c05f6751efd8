// quorvel: the desktop program. One instance at a time; the window sits in the
// notification area while the scheduler runs backup cycles.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/CommandLine.h"
#include "app/DesktopFont.h"
#include "app/KeldorForm.h"
#include "platform/MessageBox.h"
#include "platform/NamedMutex.h"
#include "platform/qt/QtMessageBox.h"
#include "platform/qt/QtMessageLoop.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnTerminateSignal(int) {
    const char byte = 1;
    (void)!::write(signalPipe[1], &byte, 1);
}

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

// The lock's name: "quorvel", shared with the service; tests run side by side
// under names of their own.
std::string InstanceLockName() {
    const char* name = std::getenv("QUORVEL_INSTANCE_LOCK");
    return name && *name ? name : "quorvel";
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> params(argv + 1, argv + argc);
    const bool display = HasDisplay();
    if (!display)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // Held until the process ends, whichever way it ends.
    std::unique_ptr<TNamedMutex> instanceLock;
    if (!InstallSwitchGiven(params)) {
        instanceLock = std::make_unique<TNamedMutex>(InstanceLockName());
        if (instanceLock->AlreadyExists()) {
            if (display) {
                QApplication app(argc, argv);
                InstallQtMessageBox();
                ShowMessageBox(Utf8ToAnsi("副本已经在运行"), "quorvel", MB_OK | MB_ICONERROR);
            } else {
                ShowMessageBox(Utf8ToAnsi("副本已经在运行"), "quorvel", MB_OK | MB_ICONERROR);
            }
            return 0;
        }
    }
    if (InstallSwitchGiven(params)) {
        // The service path (installing, removing, running as the service) is
        // not part of this program yet: refuse rather than start a second,
        // unlocked desktop instance.
        std::fputs("quorvel: INSTALL and UNINSTALL need the service mode, which this build does not have\n", stderr);
        return 2;
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
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = OnTerminateSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    QSocketNotifier terminate(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&terminate, &QSocketNotifier::activated, &form, [&form] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        form.miCloseClick();
    });

    form.StartRunMode(false);
    if (form.Terminated())
        return 0;
    return QApplication::exec();
}
