// The service mode of the real quorvel program: installing and removing the
// systemd unit with a recording systemctl stand-in first on PATH, and the
// program started exactly as the written unit says, with the test's own
// datagram socket as NOTIFY_SOCKET.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/KeldorService.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "tests/app/ProgramProcess.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadFile(const fs::path& path) {
    std::string content;
    ReadWholeFile(path.string(), content);
    return content;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The value of `key=` in the unit's text, or "" when the line is missing.
std::string UnitValue(const std::string& unit, const std::string& key) {
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    return {};
}

// The receiving end of sd_notify: a datagram socket bound to a path.
class TNotifySocket {
public:
    explicit TNotifySocket(const fs::path& path) : path_(path.string()) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ::unlink(path_.c_str());
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind the notify socket " + path_);
    }
    ~TNotifySocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    TNotifySocket(const TNotifySocket&) = delete;
    TNotifySocket& operator=(const TNotifySocket&) = delete;

    // The next message, or "" when none came within the limit.
    std::string Receive(std::chrono::milliseconds limit) {
        pollfd p {fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
            return {};
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

class ServiceTest : public testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        const std::string id = std::to_string(::getpid()) + "-" + std::to_string(++serial);
        Folder = fs::temp_directory_path() / ("qs-" + id);
        fs::remove_all(Folder);
        fs::create_directories(Folder / "units");
        fs::create_directories(Folder / "empty");
        InstallProgram(Folder);
        const char* path = std::getenv("PATH");
        // Never the real unit folder, never the real systemctl.
        Env = {{"DISPLAY", ""},
               {"WAYLAND_DISPLAY", ""},
               {"QT_QPA_PLATFORM", ""},
               {"QUORVEL_SERVICE", ""},
               {"NOTIFY_SOCKET", ""},
               {"SYSTEMCTL_FAIL", ""},
               {"QUORVEL_UNIT_DIR", (Folder / "units").string()},
               {"SYSTEMCTL_CALLS", (Folder / "calls").string()},
               {"QUORVEL_SYSTEM_LOG", (Folder / "system.log").string()},
               {"QUORVEL_INSTANCE_LOCK", "quorvel-service-test-" + id},
               {"PATH", std::string(QUORVEL_PEERS_DIR) + ":" + (path ? path : "/usr/bin:/bin")}};
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(Folder / "units", fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(Folder, ec);
    }

    struct TRun {
        int Exit;
        std::string Err;
    };
    TRun Run(const std::vector<std::string>& args) {
        TProgramProcess program(Folder, args, Env);
        const int exit = program.Wait(60s);
        return {exit, program.Err};
    }
    fs::path UnitPath() const { return Folder / "units" / "SocketServer.service"; }
    std::string Calls() const { return ReadFile(Folder / "calls"); }
    std::string SystemLog() const { return ReadFile(Folder / "system.log"); }

    // Installs the unit and takes what it says: the program's path, its
    // folder and its environment.
    struct TUnit {
        std::string ExecStart, WorkingDirectory;
        std::map<std::string, std::string> Environment;
    };
    TUnit InstallUnit() {
        const TRun install = Run({"/INSTALL", "/SILENT"});
        EXPECT_EQ(install.Exit, 0) << install.Err;
        const std::string text = ReadFile(UnitPath());
        TUnit unit;
        std::string command = UnitValue(text, "ExecStart");
        EXPECT_TRUE(command.size() >= 2 && command.front() == '"' && command.back() == '"') << command;
        unit.ExecStart = ReplaceAll(command.substr(1, command.size() - 2), "%%", "%");
        unit.WorkingDirectory = ReplaceAll(UnitValue(text, "WorkingDirectory"), "%%", "%");
        std::istringstream assignments(UnitValue(text, "Environment"));
        for (std::string pair; assignments >> pair;)
            unit.Environment[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
        return unit;
    }
    // The program as systemd starts it from `unit`, told to notify `notify`.
    std::unique_ptr<TProgramProcess> StartAsUnit(const TUnit& unit, const TNotifySocket& notify) {
        EXPECT_EQ(unit.ExecStart, (Folder / "quorvel").string());
        EXPECT_EQ(fs::path(unit.WorkingDirectory), Folder);
        std::map<std::string, std::string> env = Env;
        for (const auto& [name, value] : unit.Environment)
            env[name] = value;
        env["NOTIFY_SOCKET"] = notify.Path();
        return std::make_unique<TProgramProcess>(fs::path(unit.WorkingDirectory), std::vector<std::string> {}, env);
    }

    fs::path Folder;
    std::map<std::string, std::string> Env;
};

// ---------------------------------------------------------------- switches, install, uninstall

const char* const PreviousUnit = "# a unit that was there before\n";

struct TServiceCase {
    const char* Name;
    std::vector<std::string> Args;
    bool Installed;          // a unit is there before the run
    const char* FailingVerb; // the verb the stand-in fails, or ""
    bool NoSystemctl;        // systemctl is not on PATH
    int Exit;
    const char* Err;       // the whole standard error; {unit} stands for the unit's path
    const char* Calls;     // systemctl's calls, each with whether the unit file was there
    const char* UnitAfter; // "new" (the program's), "old" (the one before) or "" (none)
};
void PrintTo(const TServiceCase& c, std::ostream* os) {
    *os << c.Name;
}

#define INSTALL_FAILED "quorvel: Service \"Quorvel Socket Server\" failed to install with error: "
#define UNINSTALL_FAILED "quorvel: Service \"Quorvel Socket Server\" failed to uninstall with error: "
#define STAND_IN_WARNING "Warning: the stand-in was asked to fail.\n"
#define INSTALL_CALLS "daemon-reload [unit]\nenable SocketServer.service [unit]\n"
#define UNINSTALL_CALLS "disable --now SocketServer.service [unit]\ndaemon-reload [no unit]\n"

const TServiceCase ServiceCases[] = {
    {"Install", {"/INSTALL"}, false, "", false, 0, "quorvel: Service installed successfully\n", INSTALL_CALLS, "new"},
    {"InstallSilent", {"-install", "/SILENT"}, false, "", false, 0, "", INSTALL_CALLS, "new"},
    {"InstallWinsOverUninstall", {"/uninstall", "/install"}, false, "", false, 0,
     "quorvel: Service installed successfully\n", INSTALL_CALLS, "new"},
    {"BackslashIsNoServiceSwitch", {"\\INSTALL"}, false, "", false, 1, "SocketServer: not started by systemd\n", "",
     ""},
    {"Uninstall", {"/UNINSTALL"}, true, "", false, 0, "quorvel: Service uninstalled successfully\n",
     UNINSTALL_CALLS, ""},
    {"UninstallSilent", {"-Uninstall", "-silent"}, true, "", false, 0, "", UNINSTALL_CALLS, ""},
    {"InstallTwiceKeepsTheUnit", {"/INSTALL"}, true, "", false, 1, INSTALL_FAILED "\"{unit}: File exists\"\n", "",
     "old"},
    {"SilentStillShowsTheFailure", {"/INSTALL", "/SILENT"}, true, "", false, 1,
     INSTALL_FAILED "\"{unit}: File exists\"\n", "", "old"},
    {"InstallWithoutSystemctlRollsBack", {"/INSTALL"}, false, "", true, 1,
     INSTALL_FAILED "\"systemctl: No such file or directory\"\n", "", ""},
    {"FailingReloadRollsBack", {"/INSTALL"}, false, "daemon-reload", false, 1,
     STAND_IN_WARNING "Failed to daemon-reload: Access denied\n" INSTALL_FAILED
                      "\"Failed to daemon-reload: Access denied\"\n",
     "daemon-reload [unit]\n", ""},
    {"FailingEnableRollsBack", {"/INSTALL"}, false, "enable", false, 1,
     STAND_IN_WARNING "Failed to enable: Access denied\n" INSTALL_FAILED "\"Failed to enable: Access denied\"\n",
     INSTALL_CALLS "daemon-reload [no unit]\n", ""},
    {"UninstallWithoutUnit", {"/UNINSTALL"}, false, "", false, 1,
     UNINSTALL_FAILED "\"{unit}: No such file or directory\"\n", "", ""},
    {"FailingDisableKeepsTheUnit", {"/UNINSTALL"}, true, "disable", false, 1,
     STAND_IN_WARNING "Failed to disable: Access denied\n" UNINSTALL_FAILED "\"Failed to disable: Access denied\"\n",
     "disable --now SocketServer.service [unit]\n", "old"},
    {"UninstallWithoutSystemctlKeepsTheUnit", {"/UNINSTALL"}, true, "", true, 1,
     UNINSTALL_FAILED "\"systemctl: No such file or directory\"\n", "", "old"},
};

class ServiceSwitches : public ServiceTest, public testing::WithParamInterface<TServiceCase> {};

TEST_P(ServiceSwitches, ExitStatusBoxesCallsAndUnit) {
    const TServiceCase& c = GetParam();
    if (c.Installed) {
        ASSERT_EQ(ReplaceFileContent(UnitPath().string(), PreviousUnit), 0);
    }
    if (*c.FailingVerb)
        Env["SYSTEMCTL_FAIL"] = c.FailingVerb;
    if (c.NoSystemctl)
        Env["PATH"] = (Folder / "empty").string();
    // Even where it runs as the unit would, a switch decides.
    Env["QUORVEL_SERVICE"] = std::string(c.Name) == "BackslashIsNoServiceSwitch" ? "" : "SocketServer";

    const TRun run = Run(c.Args);
    EXPECT_EQ(run.Exit, c.Exit);
    EXPECT_EQ(run.Err, ReplaceAll(c.Err, "{unit}", UnitPath().string()));
    EXPECT_EQ(Calls(), c.Calls);
    const std::string unit = ReadFile(UnitPath());
    if (std::string(c.UnitAfter) == "new")
        EXPECT_EQ(UnitValue(unit, "ExecStart"), "\"" + (Folder / "quorvel").string() + "\"") << unit;
    else if (std::string(c.UnitAfter) == "old")
        EXPECT_EQ(unit, PreviousUnit);
    else
        EXPECT_FALSE(fs::exists(UnitPath()));
    // Nothing half-written is left beside it.
    for (const fs::directory_entry& entry : fs::directory_iterator(Folder / "units"))
        EXPECT_EQ(entry.path().filename(), "SocketServer.service");
}

INSTANTIATE_TEST_SUITE_P(Service, ServiceSwitches, testing::ValuesIn(ServiceCases),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST_F(ServiceTest, NotStartedBySystemdAlsoGoesToTheSystemLog) {
    const TRun run = Run({"\\install"});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(SystemLog(), "quorvel\tSocketServer: not started by systemd\n");
}

TEST_F(ServiceTest, TheWrittenUnitIsTheSystemUnitOfTheProgram) {
    ASSERT_EQ(Run({"/INSTALL", "/SILENT"}).Exit, 0);
    const std::string folder = Folder.string();
    EXPECT_EQ(ReadFile(UnitPath()), "[Unit]\n"
                                    "Description=Quorvel Socket Server\n"
                                    "Wants=network-online.target\n"
                                    "After=network-online.target\n"
                                    "[Service]\n"
                                    "Type=notify\n"
                                    "ExecStart=\"" + folder + "/quorvel\"\n"
                                    "WorkingDirectory=" + folder + "\n"
                                    "Environment=QUORVEL_SERVICE=SocketServer QT_QPA_PLATFORM=offscreen\n"
                                    "Restart=on-failure\n"
                                    "RestartPreventExitStatus=3\n"
                                    "[Install]\n"
                                    "WantedBy=multi-user.target\n");
    EXPECT_EQ(fs::status(UnitPath()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(ServiceTest, AnUnwritableUnitFolderIsReportedWithTheSystemsText) {
    // Root writes anywhere: the program then runs as nobody, through a
    // wrapper in the program's place.
    if (::geteuid() == 0) {
        if (!fs::exists("/usr/bin/setpriv"))
            GTEST_SKIP() << "setpriv is needed to run the program without root";
        fs::rename(Folder / "quorvel", Folder / "quorvel.bin");
        std::ofstream(Folder / "quorvel") << "#!/bin/sh\nexec /usr/bin/setpriv --reuid=65534 --regid=65534 "
                                             "--clear-groups \"$0.bin\" \"$@\"\n";
        fs::permissions(Folder / "quorvel", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                                                fs::perms::group_read | fs::perms::others_read);
    } else {
        fs::permissions(Folder / "units", fs::perms::owner_read | fs::perms::owner_exec);
    }
    const TRun run = Run({"/INSTALL"});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Err, INSTALL_FAILED "\"" + UnitPath().string() + ": Permission denied\"\n");
    EXPECT_EQ(Calls(), "");
    EXPECT_TRUE(fs::is_empty(Folder / "units"));
}

// ---------------------------------------------------------------- the program's path in ExecStart

struct TPathCase {
    const char* Name;
    const char* Folder;           // the program's folder below the test's
    const char* ExecStartFolder;  // as it appears in ExecStart, or nullptr when refused
    const char* WorkingDirectory; // as it appears in WorkingDirectory
    const char* Refusal;          // part of the failure's text
};
void PrintTo(const TPathCase& c, std::ostream* os) {
    *os << c.Name;
}

const TPathCase PathCases[] = {
    {"Blank", "my tools", "my tools", "my tools", nullptr},
    {"Percent", "100%", "100%%", "100%%", nullptr},
    {"Dollar", "$HOME", "$HOME", "$HOME", nullptr},
    {"Chinese", "备份 工具", "备份 工具", "备份 工具", nullptr},
    {"TrailingBlank", "tools ", "tools ", "tools /", nullptr},
    {"DoubleQuote", "a\"b", nullptr, nullptr, "a quote, a backslash or a control character"},
    {"Backslash", "a\\b", nullptr, nullptr, "a quote, a backslash or a control character"},
    {"Apostrophe", "it's", nullptr, nullptr, "a quote, a backslash or a control character"},
    {"Tab", "a\tb", nullptr, nullptr, "a quote, a backslash or a control character"},
    {"LineBreak", "a\nb", nullptr, nullptr, "line break"},
    {"CarriageReturn", "a\rb", nullptr, nullptr, "line break"},
    {"NotUtf8", "l\xE9t", nullptr, nullptr, "not UTF-8"},
};

class ServicePaths : public ServiceTest, public testing::WithParamInterface<TPathCase> {};

TEST_P(ServicePaths, ExecStartQuotesWhatSystemdTakesAndRefusesTheRest) {
    const TPathCase& c = GetParam();
    const fs::path folder = Folder / c.Folder;
    fs::create_directories(folder);
    fs::create_hard_link(Folder / "quorvel", folder / "quorvel");
    TProgramProcess program(folder, {"/INSTALL", "/SILENT"}, Env);
    const int exit = program.Wait(60s);
    const std::string unit = ReadFile(UnitPath());
    if (!c.ExecStartFolder) {
        EXPECT_EQ(exit, 1);
        EXPECT_NE(program.Err.find(c.Refusal), std::string::npos) << program.Err;
        EXPECT_FALSE(fs::exists(UnitPath()));
        EXPECT_EQ(Calls(), "");
        return;
    }
    ASSERT_EQ(exit, 0) << program.Err;
    EXPECT_EQ(UnitValue(unit, "ExecStart"), "\"" + Folder.string() + "/" + c.ExecStartFolder + "/quorvel\"");
    EXPECT_EQ(UnitValue(unit, "WorkingDirectory"), Folder.string() + "/" + c.WorkingDirectory);
    // systemd's own parser: the program named by ExecStart must exist.
    if (!fs::exists("/usr/bin/systemd-analyze"))
        return;
    const std::string command = "/usr/bin/systemd-analyze verify '" + UnitPath().string() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << output << unit;
}

INSTANTIATE_TEST_SUITE_P(Service, ServicePaths, testing::ValuesIn(PathCases),
                         [](const auto& test) { return std::string(test.param.Name); });

// ---------------------------------------------------------------- as the unit starts it

TEST_F(ServiceTest, AsTheUnitItIsReadyAfterStandbyAndStopsOnSigterm) {
    const TUnit unit = InstallUnit();
    TNotifySocket notify(Folder / "notify");
    const auto program = StartAsUnit(unit, notify);
    ASSERT_EQ(notify.Receive(60s), "READY=1") << program->Err;
    EXPECT_TRUE(program->WaitForOutput("待命", 10s)) << "the log line goes to standard output, so to the journal";

    program->Signal(SIGTERM);
    EXPECT_EQ(notify.Receive(30s), "STOPPING=1");
    EXPECT_EQ(program->Wait(30s), 0) << program->Err;
    EXPECT_FALSE(fs::exists(Folder / "config.ini")) << "the desktop's close steps do not run";
    EXPECT_EQ(SystemLog(), "");
}

TEST_F(ServiceTest, AsTheUnitADamagedTaskFileIsAJournalEntryAndItKeepsRunning) {
    ASSERT_EQ(ReplaceFileContent((Folder / "task.ini").string(), "not a task file"), 0);
    const TUnit unit = InstallUnit();
    TNotifySocket notify(Folder / "notify");
    const auto program = StartAsUnit(unit, notify);
    ASSERT_EQ(notify.Receive(60s), "READY=1") << program->Err;
    const std::string log = SystemLog();
    EXPECT_EQ(log.rfind("quorvel\tInvalid data packet", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_TRUE(program->Running());
    EXPECT_EQ(ReadFile(Folder / "task.ini"), "not a task file");
    program->Signal(SIGINT);
    EXPECT_EQ(notify.Receive(30s), "STOPPING=1");
    EXPECT_EQ(program->Wait(30s), 0);
}

TEST_F(ServiceTest, AsTheUnitItEndsWithStatus3WhileAnotherInstanceHoldsTheLock) {
    const TUnit unit = InstallUnit();
    TNotifySocket notify(Folder / "notify");
    const auto first = StartAsUnit(unit, notify);
    ASSERT_EQ(notify.Receive(60s), "READY=1") << first->Err;

    const auto second = StartAsUnit(unit, notify);
    EXPECT_EQ(second->Wait(60s), 3) << "systemd's RestartPreventExitStatus keeps it from restarting";
    EXPECT_EQ(SystemLog(), "quorvel\t副本已经在运行\n");
    EXPECT_EQ(notify.Receive(1s), "") << "the second one never reports ready";
    EXPECT_TRUE(first->Running());
}

} // namespace
