#include "app/KeldorService.h"

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CommandLine.h"
#include "app/KeldorForm.h"
#include "app/TerminateSignals.h"
#include "platform/Exception.h"
#include "platform/ExceptionReport.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/NamedMutex.h"
#include "platform/ServiceManager.h"
#include "platform/SystemLog.h"
#include "platform/qt/QtMessageLoop.h"

namespace {

const char* const ApplicationTitle = "quorvel";

// Paths are bytes on Linux; messages are code page 936.
AnsiString PathText(const std::string& path) {
    return Utf8ToAnsiLenient(path);
}

[[noreturn]] void RaisePathError(const std::string& path, int error) {
    throw Exception(PathText(path) + ": " + ErrnoText(error));
}

bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned min = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        unsigned code = lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// Specifiers ("%n", "%h", ...) are expanded in both lines that carry a path.
std::string EscapeSpecifiers(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

void ShowServiceError(const AnsiString& text) {
    StandardErrorMessageBox(text, ApplicationTitle, MB_OK | MB_ICONERROR);
}

void ShowServiceInformation(const AnsiString& text) {
    StandardErrorMessageBox(text, ApplicationTitle, MB_OK | MB_ICONINFORMATION);
}

// The unit goes in under its name only when complete, and never over another
// one: written beside it under a hidden name (which systemd ignores), then
// linked into place.
void CreateUnitFile(const std::string& path, const std::string& text) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0)
        RaisePathError(path, EEXIST);
    const std::size_t slash = path.rfind('/');
    std::string temp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        RaisePathError(path, errno);
    int error = 0;
    std::size_t done = 0;
    while (error == 0 && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            error = errno;
        else if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fchmod(fd, 0644) != 0)
        error = errno;
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::link(temp.c_str(), path.c_str()) != 0)
        error = errno;
    ::unlink(temp.c_str());
    if (error != 0)
        RaisePathError(path, error);
}

} // namespace

bool RunsAsServiceAccount() {
    const char* marker = std::getenv("QUORVEL_SERVICE");
    return marker && std::string_view(marker) == TKeldorService::Name;
}

TKeldorService::TKeldorService(std::vector<std::string> params)
    : params_(std::move(params)), silent_(ServiceSwitch(params_, "SILENT")) {}

bool TKeldorService::ServiceSwitch(const std::vector<std::string>& params, std::string_view name) {
    for (const std::string& param : params)
        if (!param.empty() && (param[0] == '-' || param[0] == '/') && SameText(std::string_view(param).substr(1), name))
            return true;
    return false;
}

std::string TKeldorService::UnitFolder() {
    const char* folder = std::getenv("QUORVEL_UNIT_DIR");
    return folder && *folder ? folder : "/etc/systemd/system";
}

std::string TKeldorService::UnitPath() {
    std::string folder = UnitFolder();
    if (folder.back() != '/')
        folder += '/';
    return folder + UnitName;
}

std::string TKeldorService::ExecStartCommand(const std::string& exePath) {
    const AnsiString shown = PathText(exePath);
    if (exePath.find_first_of("\r\n") != std::string::npos)
        throw Exception("The program's path holds a line break: " + shown);
    if (!IsUtf8(exePath))
        throw Exception("The program's path is not UTF-8, which a systemd unit needs: " + shown);
    // systemd refuses these in the name of the program to start, quoted and
    // escaped or not.
    for (char c : exePath)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '\\')
            throw Exception("systemd cannot start a program whose path holds a quote, a backslash or a control "
                            "character: " +
                            shown);
    // Blanks are kept by the quotes. "$" stays single: systemd substitutes
    // variables in arguments only, never in the program's path.
    return "\"" + EscapeSpecifiers(exePath) + "\"";
}

std::string TKeldorService::UnitText(const std::string& exePath) {
    const std::string command = ExecStartCommand(exePath);
    std::string folder = exePath.substr(0, exePath.rfind('/'));
    if (folder.empty())
        folder = "/";
    // systemd strips trailing blanks from a value; a closing "/" keeps them
    // part of the folder.
    if (folder.back() == ' ' || folder.back() == '\t')
        folder += '/';
    return "[Unit]\n"
           "Description=" +
           std::string(DisplayName) +
           "\n"
           "Wants=network-online.target\n"
           "After=network-online.target\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           command +
           "\n"
           "WorkingDirectory=" +
           EscapeSpecifiers(folder) +
           "\n"
           "Environment=QUORVEL_SERVICE=" +
           Name +
           " QT_QPA_PLATFORM=offscreen\n"
           "Restart=on-failure\n"
           "RestartPreventExitStatus=3\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

int TKeldorService::Run(int argc, char** argv) {
    // INSTALL wins when both are given.
    if (ServiceSwitch(params_, "INSTALL"))
        return Install();
    if (ServiceSwitch(params_, "UNINSTALL"))
        return Uninstall();
    if (RunsAsServiceAccount())
        return RunAsService(argc, argv);
    // A switch only the program's own test takes ("\INSTALL"): there is no
    // service manager to serve.
    const AnsiString text = "SocketServer: not started by systemd";
    if (WriteSystemLogError(ExeName(), text) != TSystemLogTarget::StandardError) {
        std::fputs((text + "\n").c_str(), stderr);
        std::fflush(stderr);
    }
    return 1;
}

int TKeldorService::Install() {
    const std::string unit = UnitPath();
    bool created = false;
    bool reloaded = false;
    try {
        CreateUnitFile(unit, UnitText(ExePath()));
        created = true;
        RunSystemctl({"daemon-reload"});
        reloaded = true;
        RunSystemctl({"enable", UnitName});
    } catch (const std::exception& e) {
        const AnsiString reason = ExceptionMessage(e);
        if (created) {
            ::unlink(unit.c_str());
            if (reloaded)
                RunReportingErrors([] { RunSystemctl({"daemon-reload"}); });
        }
        ShowServiceError(Format("Service \"%s\" failed to install with error: \"%s\"", DisplayName, reason.c_str()));
        return 1;
    }
    if (!silent_)
        ShowServiceInformation("Service installed successfully");
    return 0;
}

int TKeldorService::Uninstall() {
    const std::string unit = UnitPath();
    try {
        struct stat info {};
        if (::lstat(unit.c_str(), &info) != 0)
            RaisePathError(unit, errno);
        RunSystemctl({"disable", "--now", UnitName});
        if (::unlink(unit.c_str()) != 0)
            RaisePathError(unit, errno);
        RunSystemctl({"daemon-reload"});
    } catch (const std::exception& e) {
        ShowServiceError(Format("Service \"%s\" failed to uninstall with error: \"%s\"", DisplayName,
                                ExceptionMessage(e).c_str()));
        return 1;
    }
    if (!silent_)
        ShowServiceInformation("Service uninstalled successfully");
    return 0;
}

int TKeldorService::RunAsService(int argc, char** argv) {
    const std::string identifier = ExeName();
    const auto logError = [identifier](const AnsiString& message) { WriteSystemLogError(identifier, message); };
    // Held until the process ends, whichever way it ends.
    const TNamedMutex instanceLock(InstanceLockName());
    if (instanceLock.AlreadyExists()) {
        logError(Utf8ToAnsi("副本已经在运行"));
        return 3;
    }
    // Headless whatever the environment says: a system service has no
    // business on anybody's display.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName("quorvel");
    QApplication::setQuitOnLastWindowClosed(false);
    const TScopedExceptionHandler errors(logError);

    TQtMessageLoop loop;
    TKeldorFormOptions options;
    options.Headless = true;
    options.TrayAvailable = false;
    options.ReportErrorsTo = logError;
    TKeldorForm form(loop, options);

    // The stop skips the desktop's close steps: nothing is saved.
    const TTerminateSignals stop([] {
        NotifyServiceManager("STOPPING=1");
        QCoreApplication::exit(0);
    });
    int status = 0;
    loop.Post([&form, &status] {
        try {
            form.WMServiceStart(1);
        } catch (const std::exception& e) {
            WriteSystemLogError(Name, Format("Service failed on start: %s", ExceptionMessage(e).c_str()));
            status = 1;
            QCoreApplication::exit(1);
            return;
        }
        NotifyServiceManager("READY=1");
    });
    const int loopStatus = QApplication::exec();
    return status != 0 ? status : loopStatus;
}
