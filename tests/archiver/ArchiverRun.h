#pragma once
// Runs a program to its end as a child process with a time limit, its output
// collected: the built-in archiver and the independent readers (Python's zipfile,
// 7-Zip) that check what it wrote. A child still running at the limit is killed,
// so no test hangs.
#include <signal.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"

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

// args[0] without a slash is looked up on PATH; standard input is /dev/null.
inline TRunResult RunProgram(const std::vector<std::string>& args, const TRunOptions& options = {}) {
    using namespace std::chrono_literals;
    TChildProcess child({.Argv = args, .Env = options.Env, .CaptureErr = true, .NoInput = true, .Fd3 = options.Fd3});
    TRunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.LimitMs);
    bool watching = static_cast<bool>(options.WhileRunning);
    while (child.Running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            result.TimedOut = true;
            child.Signal(SIGKILL);
            break;
        }
        if (watching) watching = options.WhileRunning(child.Pid());
        child.Wait(20ms);
    }
    // A killed child may take a moment to go; the destructor sees to one that never does.
    const int code = child.Wait(60s);
    result.Signal = child.EndSignal();
    result.ExitCode = result.Signal ? -1 : code;
    result.Out = std::move(child.Out);
    result.Err = std::move(child.Err);
    return result;
}
