#pragma once
// The real quorvel program run as a child process from a folder of its own
// (a copy of the binary, so task.ini and config.ini are the test's), with its
// standard output and error read back under time limits. The destructor ends
// it, so a failing test never leaves a program behind.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// The program and its offline page, copied into `folder`.
inline void InstallProgram(const std::filesystem::path& folder) {
    const std::filesystem::path built = std::filesystem::path(QUORVEL_BINARY_DIR) / "app";
    std::filesystem::copy_file(built / "quorvel", folder / "quorvel",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(built / "noa.htm", folder / "noa.htm",
                               std::filesystem::copy_options::overwrite_existing);
}

class TProgramProcess {
public:
    // Runs `folder`/quorvel with `args` in `folder`, the environment changed by
    // `env` (an empty value removes the variable).
    TProgramProcess(const std::filesystem::path& folder, std::vector<std::string> args,
                    const std::map<std::string, std::string>& givenEnv) {
        // Nothing the program fetches leaves this machine: an address it was
        // not pointed at goes to a closed local port through these proxies.
        std::map<std::string, std::string> env = givenEnv;
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            env.emplace(name, "http://127.0.0.1:9");
        env.emplace("no_proxy", "127.0.0.1,localhost,::1");
        env.emplace("NO_PROXY", "127.0.0.1,localhost,::1");
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (!env.count(name))
                environment.push_back(entry);
        }
        for (const auto& [name, value] : env)
            if (!value.empty())
                environment.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (std::string& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> all {(folder / "quorvel").string()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start quorvel");
        }
    }
    ~TProgramProcess() {
        Kill();
        for (int& fd : fds_)
            if (fd >= 0)
                ::close(fd);
    }
    TProgramProcess(const TProgramProcess&) = delete;
    TProgramProcess& operator=(const TProgramProcess&) = delete;

    // Reads output until standard output holds `text` or the limit has passed.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Out.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Pump(static_cast<int>(left.count())))
                return Out.find(text) != std::string::npos;
        }
        return true;
    }
    // Waits for the program's end; its exit code, or -1 when it still runs.
    int Wait(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            Pump(10);
            int status = 0;
            if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                while (Pump(50)) {
                }
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (pid_ <= 0)
                return exitCode_;
            if (std::chrono::steady_clock::now() >= end)
                return -1;
        }
    }
    bool Running() { return Wait(std::chrono::milliseconds(0)) == -1 && pid_ > 0; }
    void Signal(int signal) {
        if (pid_ > 0)
            ::kill(pid_, signal);
    }

    std::string Out, Err; // what the program wrote so far

private:
    // Reads what is there (waiting up to `ms`); false once both pipes are closed.
    bool Pump(int ms) {
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (fds_[0] < 0 && fds_[1] < 0)
            return false;
        if (::poll(p, 2, ms) <= 0)
            return true;
        for (int i = 0; i < 2; ++i) {
            if (fds_[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds_[i]);
                fds_[i] = -1;
                continue;
            }
            (i == 0 ? Out : Err).append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    void Kill() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        if (Wait(std::chrono::milliseconds(3000)) == -1 && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    int exitCode_ = -1;
};
