// Upgrader3: finishes an upgrade after the program has handed over and closed.
// It waits for the old program to end, puts the staged "<name>.uTMP" files of
// the program's folder in place (keeping the old files until all new ones are
// there), and starts the program again; a new program that dies at once is
// rolled back and the old one started instead. In setup mode the staged setup
// program runs first, and the program is started after it has ended.
//
// Static, without the program's library: it must run while the program's own
// files are being replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "upgrade/upgrader/ElfKind.h"
#include "upgrade/upgrader/StagedSwap.h"
#include "upgrade/upgrader/UpgraderCommand.h"
#include "upgrade/upgrader/UpgraderNames.h"
#include "upgrade/upgrader/UpgraderProcess.h"

namespace {

constexpr char AboutText[] = "Upgrader v3.4\n"
                             "The self-upgrading mechanism of Quorvel's auto-upgrade component.\n"
                             "Made by the Quorvel developers.\n";

// Outcomes go to the system log; QUORVEL_SYSTEM_LOG names a file that gets
// "identifier TAB text" lines instead, as for the program itself.
void Log(int priority, const std::string& text) {
    const char* file = std::getenv("QUORVEL_SYSTEM_LOG");
    if (file && *file) {
        const int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            const std::string line = std::string(UpgraderFileName) + "\t" + text + "\n";
            const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
            ::close(fd);
            if (written)
                return;
        }
    }
    ::syslog(priority, "%s", text.c_str());
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/') + 1);
}

std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The upgrader's own file and private folder go at once: the running image
// needs neither, and nothing is left behind when the upgrader is killed.
void RemoveOwnFiles() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return;
    std::string self(buffer, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (self.size() > deleted.size() && self.compare(self.size() - deleted.size(), deleted.size(), deleted) == 0)
        self.resize(self.size() - deleted.size());
    const std::string folder = FolderOf(self);
    if (folder.size() < 2 || NameOf(self) != UpgraderFileName)
        return;
    // Only a folder the program made for us: an upgrader run from elsewhere stays.
    if (!StartsWith(NameOf(folder.substr(0, folder.size() - 1)), UpgraderFolderPrefix))
        return;
    ::unlink(self.c_str());
    ::rmdir(folder.c_str());
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer))
        return path;
    return std::string(buffer) + "/" + path;
}

class TUpgrader {
public:
    explicit TUpgrader(const TUpgraderCommand& command)
        : programPath_(Absolute(command.ProgramPath)),
          folder_(FolderOf(programPath_)),
          programName_(NameOf(programPath_)),
          params_(SplitAtBlanks(command.RestartParams)),
          command_(command),
          watchMs_(ShortenedLimit(WatchTimeVariable, DefaultWatchTimeMs)) {}

    bool Run();

private:
    bool Plan(const std::vector<std::string>& staged, const TElfKind& reference);
    bool Refuse(const std::vector<std::string>& staged, const std::string& reason);
    bool FailAfterMoves(TStagedSwap& swap, const std::vector<std::string>& staged, const std::string& reason);
    bool StartAndWatch(const std::string& path, std::string& failure);
    void RestartOldProgram(const std::string& path);
    bool RunSetup(TStagedSwap& swap, const std::vector<std::string>& staged);

    const std::string programPath_;
    const std::string folder_;
    const std::string programName_;
    const std::vector<std::string> params_;
    const TUpgraderCommand command_;
    const long watchMs_;
    std::vector<TStagedMove> moves_;
    std::string setupPath_; // setup mode: the staged setup program once in place
};

bool TUpgrader::Run() {
    struct stat info {};
    const bool programExists = ::stat(programPath_.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    const long waitLimit = ShortenedLimit(WaitLimitVariable, DefaultWaitLimitMs);
    const bool ended = command_.WaitPid > 0 ? WaitForProcessEnd(command_.WaitPid, waitLimit)
                                            : (!programExists || WaitForFileFree(programPath_, waitLimit));
    const std::vector<std::string> staged = ListStagedFiles(folder_);
    if (!ended) {
        // The old program still runs: it keeps its files, the downloads go.
        RemoveStagedFiles(folder_, staged);
        Log(LOG_ERR, "gave up waiting for " +
                         (command_.WaitPid > 0 ? "process " + std::to_string(command_.WaitPid) : programPath_) +
                         " to end after " + std::to_string(waitLimit) + " ms; nothing was moved");
        return false;
    }
    if (staged.empty()) {
        Log(LOG_ERR, "no staged files in " + folder_ + "; the program is started as it was");
        RestartOldProgram(programPath_);
        return false;
    }
    TElfKind reference = programExists ? ReadElfKind(programPath_) : TElfKind {};
    if (!reference.Executable)
        reference = ReadElfKind("/proc/self/exe");
    if (!Plan(staged, reference))
        return false;

    TStagedSwap swap(folder_);
    const std::string failure = swap.Apply(moves_);
    if (!failure.empty()) {
        RemoveStagedFiles(folder_, staged);
        Log(LOG_ERR, "upgrade of " + programPath_ + " failed: " + failure + "; the old files are back in place");
        RestartOldProgram(programPath_);
        return false;
    }
    if (!setupPath_.empty())
        return RunSetup(swap, staged);

    std::string startFailure;
    if (!StartAndWatch(programPath_, startFailure))
        return FailAfterMoves(swap, staged, startFailure);
    swap.Commit();
    Log(LOG_INFO, "upgraded " + programPath_ + ": " + std::to_string(moves_.size()) + " file(s) put in place");
    return true;
}

bool TUpgrader::Plan(const std::vector<std::string>& staged, const TElfKind& reference) {
    const std::string exactName = programName_ + StagedSuffix;
    bool roleTaken = false;
    for (const std::string& name : staged)
        if (name == exactName) {
            if (!ReadElfKind(folder_ + name).SameMachine(reference))
                return Refuse(staged, folder_ + name + " is no program for this machine");
            roleTaken = true;
        }
    for (const std::string& name : staged) {
        TStagedMove move {name, name.substr(0, name.size() - (sizeof StagedSuffix - 1)), false};
        if (name == exactName) {
            move.Executable = true;
        } else if (!roleTaken) {
            // Without a file named like the program, the first staged program
            // for this machine is the program (in setup mode: the setup program,
            // which may also be a script).
            const std::string path = folder_ + name;
            if (ReadElfKind(path).SameMachine(reference) || (command_.SetupMode && IsScript(path))) {
                roleTaken = true;
                move.Executable = true;
                if (command_.SetupMode)
                    setupPath_ = folder_ + move.TargetName;
                else
                    move.TargetName = programName_;
            }
        }
        moves_.push_back(move);
    }
    return true;
}

bool TUpgrader::Refuse(const std::vector<std::string>& staged, const std::string& reason) {
    RemoveStagedFiles(folder_, staged);
    Log(LOG_ERR, "upgrade of " + programPath_ + " refused: " + reason + "; nothing was moved");
    RestartOldProgram(programPath_);
    return false;
}

bool TUpgrader::FailAfterMoves(TStagedSwap& swap, const std::vector<std::string>& staged, const std::string& reason) {
    const std::string unrestored = swap.RollBack();
    RemoveStagedFiles(folder_, staged);
    Log(LOG_ERR, "upgrade of " + programPath_ + " rolled back: " + reason +
                     (unrestored.empty() ? "; the old files are back in place" : "; " + unrestored));
    RestartOldProgram(programPath_);
    return false;
}

bool TUpgrader::StartAndWatch(const std::string& path, std::string& failure) {
    const pid_t pid = StartProgram(path, params_, failure);
    if (pid < 0)
        return false;
    const TChildOutcome outcome = WatchChild(pid, watchMs_);
    if (outcome.Ended && outcome.Failed) {
        failure = path + " ended at once (" + outcome.Text + ")";
        return false;
    }
    return true;
}

void TUpgrader::RestartOldProgram(const std::string& path) {
    std::string failure;
    if (!StartAndWatch(path, failure))
        Log(LOG_ERR, "the old program did not start again either: " + failure);
}

bool TUpgrader::RunSetup(TStagedSwap& swap, const std::vector<std::string>& staged) {
    std::string failure;
    const pid_t setup = StartProgram(setupPath_, params_, failure);
    if (setup < 0)
        return FailAfterMoves(swap, staged, failure);
    // The setup has begun its own work: what it found in place stays.
    swap.Commit();
    const TChildOutcome outcome = WatchChild(setup, -1);
    ::unlink(setupPath_.c_str());
    bool good = !outcome.Failed;
    if (outcome.Failed)
        Log(LOG_ERR, "setup program " + setupPath_ + " failed (" + outcome.Text + ")");
    if (!StartAndWatch(programPath_, failure)) {
        Log(LOG_ERR, "after the setup: " + failure);
        good = false;
    }
    if (good)
        Log(LOG_INFO, "setup " + setupPath_ + " done; " + programPath_ + " started");
    return good;
}

} // namespace

int main(int argc, char** argv) {
    CloseInheritedFiles();
    RemoveOwnFiles();
    if (argc <= 1) {
        std::fputs(AboutText, stdout);
        return 0;
    }
    ::openlog(UpgraderFileName, LOG_PID, LOG_USER);
    const std::vector<std::string> args(argv + 1, argv + argc);
    TUpgraderCommand command;
    const std::string bad = ParseUpgraderCommand(args, command);
    if (!bad.empty()) {
        Log(LOG_ERR, "refused command line: " + bad);
        return 1;
    }
    TUpgrader upgrader(command);
    return upgrader.Run() ? 0 : 1;
}
