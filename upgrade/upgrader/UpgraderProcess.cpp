#include "upgrade/upgrader/UpgraderProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {
long NowMs() {
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void SleepMs(long ms) {
    timespec pause {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

bool ProcessExists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}
} // namespace

bool WaitForProcessEnd(pid_t pid, long limitMs) {
    const long deadline = NowMs() + limitMs;
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        bool ended = false;
        for (;;) {
            const long left = deadline - NowMs();
            if (left <= 0)
                break;
            pollfd watch {fd, POLLIN, 0};
            const int ready = ::poll(&watch, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
            if (ready > 0) {
                ended = true;
                break;
            }
            if (ready < 0 && errno != EINTR)
                break; // fall back to asking the process below
        }
        ::close(fd);
        if (ended)
            return true;
        if (NowMs() >= deadline)
            return !ProcessExists(pid);
    } else if (errno == ESRCH) {
        return true;
    }
#endif
    // Without pidfd_open (old kernels, seccomp filters): ask every 100 ms.
    while (ProcessExists(pid)) {
        if (NowMs() >= deadline)
            return false;
        SleepMs(100);
    }
    return true;
}

bool WaitForFileFree(const std::string& path, long limitMs) {
    const long deadline = NowMs() + limitMs;
    for (;;) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            return true;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        // Only "text file busy" says a process still runs it; other refusals
        // (no write permission, say) cannot be waited away.
        if (errno != ETXTBSY)
            return true;
        if (NowMs() >= deadline)
            return false;
        SleepMs(100);
    }
}

pid_t StartProgram(const std::string& path, const std::vector<std::string>& args, std::string& error) {
    std::vector<std::string> strings {path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        error = "cannot start " + path + ": " + std::strerror(rc);
        return -1;
    }
    return pid;
}

TChildOutcome WatchChild(pid_t pid, long ms) {
    TChildOutcome outcome;
    const long deadline = NowMs() + ms;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, ms < 0 ? 0 : WNOHANG);
        if (done == pid) {
            outcome.Ended = true;
            if (WIFEXITED(status)) {
                outcome.Failed = WEXITSTATUS(status) != 0;
                outcome.Text = "exit code " + std::to_string(WEXITSTATUS(status));
            } else {
                outcome.Failed = true;
                outcome.Text = "signal " + std::to_string(WTERMSIG(status));
            }
            return outcome;
        }
        if (done < 0 && errno != EINTR) {
            outcome.Text = std::string("cannot watch: ") + std::strerror(errno);
            return outcome;
        }
        if (ms >= 0) {
            if (NowMs() >= deadline) {
                outcome.Text = "still running";
                return outcome;
            }
            SleepMs(20);
        }
    }
}

long ShortenedLimit(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value >= 0 && value < fallback) ? value : fallback;
}

void CloseInheritedFiles() {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
#endif
    const long highest = ::sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (highest > 0 && highest < 65536 ? highest : 65536); ++fd)
        ::close(static_cast<int>(fd));
}
