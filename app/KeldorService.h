#pragma once
// The service mode: the program as the systemd system unit
// "SocketServer.service". "/INSTALL" writes and enables the unit, "/UNINSTALL"
// disables and removes it; neither starts Qt nor opens a window (root must not
// open windows on a user's display), so their boxes go to standard error.
// Started by systemd as that unit, the program runs headless with the same
// main window and timers as on the desktop, tells systemd when it is ready and
// when it stops, and writes its errors to the journal.
#include <string>
#include <string_view>
#include <vector>

// The process was started as the unit: its environment holds
// QUORVEL_SERVICE=SocketServer, which the unit sets. (Asking for the account
// would misfire where root is an everyday login.)
bool RunsAsServiceAccount();

class TKeldorService {
public:
    static constexpr const char* Name = "SocketServer";
    static constexpr const char* DisplayName = "Quorvel Socket Server";
    static constexpr const char* UnitName = "SocketServer.service";

    explicit TKeldorService(std::vector<std::string> params);

    // The service layer's own switch test, narrower than the program's: "-" or
    // "/" followed by the switch, letter case ignored, whole parameters only.
    static bool ServiceSwitch(const std::vector<std::string>& params, std::string_view name);

    // The service path of the program: installs or removes the unit, or runs
    // as the unit. Returns the program's exit status.
    int Run(int argc, char** argv);

    // Installs the unit and enables it, without starting it: 0, or 1 after the
    // failure box (a half-done installation is undone).
    int Install();
    // Stops and disables the unit and removes it: 0, or 1 after the failure box.
    int Uninstall();
    // Runs as the unit until SIGTERM or SIGINT: 0; 1 when the start fails; 3
    // when another instance holds the lock, so systemd does not restart it.
    int RunAsService(int argc, char** argv);

    // /etc/systemd/system, or QUORVEL_UNIT_DIR (tests).
    static std::string UnitFolder();
    static std::string UnitPath();
    // The unit for the program at `exePath` (absolute). Raises Exception for a
    // path that systemd cannot start.
    static std::string UnitText(const std::string& exePath);
    // ExecStart's command line for `exePath`: no arguments, the path in double
    // quotes with "%" doubled. Raises Exception for a path systemd refuses as
    // an executable (a line break or another control character, a quote, a
    // backslash, text that is not UTF-8).
    static std::string ExecStartCommand(const std::string& exePath);

private:
    std::vector<std::string> params_;
    bool silent_ = false;
};
