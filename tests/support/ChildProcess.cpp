#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace {

std::vector<std::string> Environment(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!changes.count(entry.substr(0, entry.find('=')))) out.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty()) out.push_back(name + "=" + value);
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

    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (options.CaptureErr && ::pipe2(err, O_CLOEXEC) != 0)) {
        for (int fd : {out[0], out[1]})
            if (fd >= 0) ::close(fd);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (options.CaptureErr) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!options.Folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.Folder.c_str());
    const int rc = posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (options.CaptureErr) ::close(err[1]);
    FFds[0] = out[0];
    FFds[1] = err[0];
    if (rc != 0) {
        FPid = -1;
        for (int& fd : FFds)
            if (fd >= 0) ::close(fd), fd = -1;
        throw std::runtime_error("cannot start " + options.Argv[0]);
    }
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
    FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // What it wrote before its end is still in the pipes; a child of its own
    // that keeps them open ends the reading after a quiet moment.
    while (Pump(50) > 0) {
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
        FExitCode = 128 + SIGKILL;
    }
}
