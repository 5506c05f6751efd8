#include "platform/ServiceManager.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/ShellExecute.h"

extern char** environ;

namespace {

class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    ~TFd() { Close(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// The last line that holds more than blanks.
std::string LastLine(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0) {
        const std::size_t start = text.find_last_of('\n', end - 1);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        const std::string line = text.substr(from, end - from);
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            return line.substr(0, line.find_last_not_of(" \t\r") + 1);
        if (start == std::string::npos)
            break;
        end = start;
    }
    return {};
}

} // namespace

void RunSystemctl(const std::vector<std::string>& args) {
    const std::string program = FindOnPath({"systemctl"});
    if (program.empty())
        throw Exception("systemctl: " + ErrnoText(ENOENT));
    std::vector<std::string> strings {program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw Exception("systemctl: " + ErrnoText(errno));
    TFd readEnd(pipeFds[0]);
    TFd writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDERR_FILENO);
    pid_t child = -1;
    const int rc = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.Close();
    if (rc != 0)
        throw Exception("systemctl: " + ErrnoText(rc));

    std::string errors;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(readEnd.Get(), buffer, sizeof buffer);
        if (n > 0) {
            errors.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::fputs(errors.c_str(), stderr);
    std::fflush(stderr);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    const std::string line = LastLine(errors);
    if (!line.empty())
        throw Exception(Utf8ToAnsiLenient(line));
    std::string command = "systemctl";
    for (const std::string& a : args)
        command += " " + a;
    if (WIFSIGNALED(status))
        throw Exception(Utf8ToAnsiLenient(command + ": killed by signal " + std::to_string(WTERMSIG(status))));
    throw Exception(Utf8ToAnsiLenient(command + ": exit status " + std::to_string(WEXITSTATUS(status))));
}

void NotifyServiceManager(const char* state) {
    // Clearing NOTIFY_SOCKET would keep a later STOPPING=1 from reaching it.
    sd_notify(0, state);
}
