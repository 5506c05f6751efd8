#pragma once
// A test peer (a Python server of tests/peers) run as a child process: started
// with its arguments, it prints "PORT <n>" once it listens; everything it prints
// later can be read with a time limit. The destructor ends it, so a failing test
// never leaves a server behind, and no read waits longer than its limit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

class TPeerProcess {
public:
    TPeerProcess(const std::string& script, std::vector<std::string> args, int startLimitMs = 15000) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        FOut = fds[0];
        std::vector<std::string> all{QUORVEL_PYTHON, std::string(QUORVEL_PEERS_DIR) + "/" + script};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        int rc = posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            ::close(FOut);
            throw std::runtime_error("cannot start " + script);
        }
        std::string first = ReadLine(startLimitMs);
        if (first.rfind("PORT ", 0) != 0) {
            Stop();
            throw std::runtime_error(script + " did not start: '" + first + "'");
        }
        Port = std::stoi(first.substr(5));
    }
    ~TPeerProcess() { Stop(); }
    TPeerProcess(const TPeerProcess&) = delete;
    TPeerProcess& operator=(const TPeerProcess&) = delete;

    // One line of the peer's output without its LF; empty when the time ran out
    // or the peer ended.
    std::string ReadLine(int limitMs = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            auto lf = FPending.find('\n');
            if (lf != std::string::npos) {
                std::string line = FPending.substr(0, lf);
                FPending.erase(0, lf + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || FOut < 0) return {};
            pollfd p{FOut, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            ssize_t n = ::read(FOut, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(FOut);
                FOut = -1;
                continue;
            }
            FPending.append(buffer, static_cast<std::size_t>(n));
        }
    }

    // The lines the scripted peer recorded ("LINE <hex>" ... "END"), as raw bytes.
    std::vector<std::string> Transcript(int limitMs = 10000) {
        std::vector<std::string> lines;
        for (;;) {
            std::string line = ReadLine(limitMs);
            if (line.rfind("LINE ", 0) != 0) break;
            std::string bytes;
            for (std::size_t i = 5; i + 1 < line.size(); i += 2) bytes += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
            lines.push_back(bytes);
        }
        return lines;
    }

    void Stop() {
        if (FPid > 0) {
            ::kill(FPid, SIGTERM);
            int status = 0;
            for (int i = 0; i < 200 && ::waitpid(FPid, &status, WNOHANG) == 0; ++i) ::usleep(10000);
            if (::waitpid(FPid, &status, WNOHANG) == 0) {
                ::kill(FPid, SIGKILL);
                ::waitpid(FPid, &status, 0);
            }
            FPid = -1;
        }
        if (FOut >= 0) {
            ::close(FOut);
            FOut = -1;
        }
    }

    int Port = 0;

private:
    pid_t FPid = -1;
    int FOut = -1;
    std::string FPending;
};
