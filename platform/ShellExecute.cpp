#include "platform/ShellExecute.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
bool IsExecutable(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}
} // namespace

std::string FindOnPath(const std::vector<std::string>& candidates) {
    const char* path = std::getenv("PATH");
    const std::string folders = path ? path : "/usr/bin:/bin";
    for (const std::string& name : candidates) {
        if (name.find('/') != std::string::npos) {
            if (IsExecutable(name))
                return name;
            continue;
        }
        std::size_t start = 0;
        while (start <= folders.size()) {
            std::size_t end = folders.find(':', start);
            if (end == std::string::npos)
                end = folders.size();
            const std::string folder = end > start ? folders.substr(start, end - start) : ".";
            if (IsExecutable(folder + "/" + name))
                return folder + "/" + name;
            start = end + 1;
        }
    }
    return {};
}

bool StartDetached(const std::string& program, const std::vector<std::string>& args) {
    const std::string found = FindOnPath({program});
    if (found.empty())
        return false;
    // Everything exec needs is built before fork: only async-signal-safe calls after it.
    std::vector<std::string> strings {found};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return false;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        // The middle process exits at once, so the program is adopted by init
        // and never left as a zombie of ours.
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild > 0)
            ::_exit(0);
        if (grandchild < 0) {
            const char failed = 1;
            (void)!::write(report[1], &failed, 1);
            ::_exit(127);
        }
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0)
            ::dup2(devNull, STDIN_FILENO);
        ::execv(argv[0], argv.data());
        const char failed = 1;
        (void)!::write(report[1], &failed, 1);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes on a successful exec (close-on-exec) and carries one
    // byte when exec failed.
    char failed = 0;
    ssize_t got;
    while ((got = ::read(report[0], &failed, 1)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    return got == 0;
}

bool ShellOpen(const std::string& target) {
    return StartDetached("xdg-open", {target});
}
