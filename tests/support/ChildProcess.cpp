#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace {

// A descriptor that closes with its scope unless released.
class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() { Close(); }
    TFd(TFd&& other) noexcept : FFd(other.Release()) {}
    TFd& operator=(TFd&& other) noexcept {
        if (this != &other) {
            Close();
            FFd = other.Release();
        }
        return *this;
    }
    int Get() const { return FFd; }
    int Release() {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }
    void Close() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }

private:
    int FFd = -1;
};

struct TPipe {
    TFd Read, Write;
};

TPipe MakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    return {TFd(fds[0]), TFd(fds[1])};
}

class TFileActions {
public:
    TFileActions() { posix_spawn_file_actions_init(&FActions); }
    ~TFileActions() { posix_spawn_file_actions_destroy(&FActions); }
    TFileActions(const TFileActions&) = delete;
    TFileActions& operator=(const TFileActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &FActions; }

private:
    posix_spawn_file_actions_t FActions;
};

// A pipe holding `bytes` with its writing end closed: the child reads them and
// then the end of input, whenever it gets to it.
TFd FilledPipe(const std::string& bytes) {
    TPipe pipe = MakePipe();
    const int capacity = ::fcntl(pipe.Write.Get(), F_GETPIPE_SZ);
    if (capacity >= 0 && bytes.size() > static_cast<std::size_t>(capacity) &&
        (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
         ::fcntl(pipe.Write.Get(), F_SETPIPE_SZ, static_cast<int>(bytes.size())) < 0))
        throw std::runtime_error(std::to_string(bytes.size()) + " bytes for descriptor 3 do not fit a pipe");
    // Nothing reads yet: a write that would wait must fail instead.
    ::fcntl(pipe.Write.Get(), F_SETFL, O_NONBLOCK);
    if (!bytes.empty() && ::write(pipe.Write.Get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot fill the pipe for descriptor 3");
    return std::move(pipe.Read);
}

std::vector<std::string> Environment(const std::map<std::string, std::optional<std::string>>& changes) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!changes.count(entry.substr(0, entry.find('=')))) out.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (value) out.push_back(name + "=" + *value);
    return out;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

TChildProcess::TChildProcess(const TChildOptions& options) {
    if (options.Argv.empty()) throw std::runtime_error("no program to start");
    std::vector<std::string> args = options.Argv;
    std::vector<std::string> env = Environment(options.Env);
    std::vector<char*> argv = Pointers(args), envp = Pointers(env);

    TPipe out = MakePipe(), err;
    if (options.CaptureErr) err = MakePipe();
    TFd input;
    if (options.Fd3) input = FilledPipe(*options.Fd3);

    TFileActions actions;
    if (options.NoInput) posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), out.Write.Get(), 1);
    if (options.CaptureErr) posix_spawn_file_actions_adddup2(actions.Get(), err.Write.Get(), 2);
    if (options.Fd3) posix_spawn_file_actions_adddup2(actions.Get(), input.Get(), 3);
    if (!options.Folder.empty()) posix_spawn_file_actions_addchdir_np(actions.Get(), options.Folder.c_str());
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], actions.Get(), nullptr, argv.data(), envp.data());
    if (rc != 0) throw std::runtime_error("cannot start " + options.Argv[0] + ": " + std::strerror(rc));
    FPid = FStarted = pid;
    FFds[0] = out.Read.Release();
    FFds[1] = err.Read.Release();
}

TChildProcess::~TChildProcess() {
    Stop();
    for (int& fd : FFds)
        if (fd >= 0) ::close(fd), fd = -1;
}

int TChildProcess::Pump(int ms) {
    if (FFds[0] < 0 && FFds[1] < 0) return -1;
    pollfd p[2] = {{FFds[0], POLLIN, 0}, {FFds[1], POLLIN, 0}};
    if (::poll(p, 2, ms) <= 0) return 0;
    int events = 0;
    for (int i = 0; i < 2; ++i) {
        if (FFds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ++events;
        char buffer[4096];
        const ssize_t n = ::read(FFds[i], buffer, sizeof buffer);
        if (n <= 0) {
            ::close(FFds[i]);
            FFds[i] = -1;
            continue;
        }
        (i == 0 ? Out : Err).append(buffer, static_cast<std::size_t>(n));
    }
    return events;
}

std::string TChildProcess::ReadLine(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::size_t lf = Out.find('\n', FLineStart);
        if (lf != std::string::npos) {
            std::string line = Out.substr(FLineStart, lf - FLineStart);
            FLineStart = lf + 1;
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || FFds[0] < 0) return {};
        Pump(static_cast<int>(left.count()));
    }
}

bool TChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Out.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || Pump(static_cast<int>(left.count())) < 0) return Out.find(text) != std::string::npos;
    }
    return true;
}

void TChildProcess::Reap(int status) {
    FPid = -1;
    FEndSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // What it wrote before its end is still in the pipes; a child of its own
    // that keeps them open ends the reading after a quiet moment, or after a
    // few seconds should it never fall quiet.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (Pump(50) > 0 && std::chrono::steady_clock::now() < end) {
    }
}

int TChildProcess::Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (FPid > 0 && ::waitpid(FPid, &status, WNOHANG) == FPid) Reap(status);
        if (FPid <= 0) return FExitCode;
        if (std::chrono::steady_clock::now() >= end) return -1;
        // Reading keeps a talkative child from blocking on a full pipe.
        if (Pump(10) < 0) ::usleep(10000);
    }
}

bool TChildProcess::Running() { return Wait(std::chrono::milliseconds(0)) == -1 && FPid > 0; }

void TChildProcess::Signal(int signal) {
    if (FPid > 0) ::kill(FPid, signal);
}

void TChildProcess::Stop(std::chrono::milliseconds grace) {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    if (Wait(grace) == -1 && FPid > 0) {
        ::kill(FPid, SIGKILL);
        int status = 0;
        ::waitpid(FPid, &status, 0);
        FPid = -1;
        FEndSignal = SIGKILL;
        FExitCode = 128 + SIGKILL;
    }
}
