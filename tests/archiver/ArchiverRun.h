#pragma once
// Runs a program to its end as a child process with a time limit, its output
// collected: the built-in archiver and the independent readers (Python's zipfile,
// 7-Zip) that check what it wrote. A child still running at the limit is killed,
// so no test hangs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

struct TRunResult {
    int ExitCode{-1};  // -1 when killed by a signal
    int Signal{};
    std::string Out, Err;
    bool TimedOut{};
};

struct TRunOptions {
    // Changes to the inherited environment; nullopt removes the variable.
    std::map<std::string, std::optional<std::string>> Env;
    // Bytes the child can read from descriptor 3 (a pipe closed after them).
    std::optional<std::string> Fd3;
    int LimitMs = 120000;
    // Called with the child's pid while it runs, every 20 ms, until it returns false.
    std::function<bool(pid_t)> WhileRunning;
};

inline TRunResult RunProgram(const std::vector<std::string>& args, const TRunOptions& options = {}) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (!options.Env.count(name)) environment.push_back(entry);
    }
    for (const auto& [name, value] : options.Env)
        if (value) environment.push_back(name + "=" + *value);
    std::vector<char*> envp, argv;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argsCopy = args;
    for (auto& a : argsCopy) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2], err[2], in3[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.Fd3) {
        if (::pipe2(in3, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        // Small enough for the pipe's buffer, so writing before the start cannot block.
        if (::write(in3[1], options.Fd3->data(), options.Fd3->size()) != static_cast<ssize_t>(options.Fd3->size()))
            throw std::runtime_error("cannot fill the descriptor pipe");
        ::close(in3[1]);
        posix_spawn_file_actions_adddup2(&actions, in3[0], 3);
    }
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (in3[0] >= 0) ::close(in3[0]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + args[0]);
    }

    TRunResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.LimitMs);
    bool watching = static_cast<bool>(options.WhileRunning);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.Out, &result.Err};
    int open = 2;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            result.TimedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (watching) watching = options.WhileRunning(pid);
        if (::poll(fds, 2, 20) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) sinks[i]->append(buffer, static_cast<std::size_t>(n));
            else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) result.Signal = WTERMSIG(status);
    return result;
}
