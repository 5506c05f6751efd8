// RunProgram, which the archiver tests stand on: what the child gets (standard
// input, descriptor 3, environment, PATH lookup) and what comes back (outputs,
// exit code or signal, the time limit), with shell one-liners as children.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/archiver/ArchiverRun.h"

namespace {

using namespace std::chrono_literals;

struct TRunCase {
    const char* Name;
    const char* Script; // for sh -c
    TRunOptions Options;
    int ExitCode;
    int Signal;
    std::string Out, Err;
};

std::ostream& operator<<(std::ostream& out, const TRunCase& c) { return out << c.Name; }

class TRunProgramCase : public ::testing::TestWithParam<TRunCase> {};

TEST_P(TRunProgramCase, GivesTheChildWhatWasAskedAndReportsItsEnd) {
    const TRunCase& c = GetParam();
    const TRunResult r = RunProgram({"sh", "-c", c.Script}, c.Options);
    EXPECT_EQ(r.ExitCode, c.ExitCode) << r.Err;
    EXPECT_EQ(r.Signal, c.Signal);
    EXPECT_EQ(r.Out, c.Out);
    EXPECT_EQ(r.Err, c.Err);
    EXPECT_FALSE(r.TimedOut);
}

TRunOptions WithEnv(std::map<std::string, std::optional<std::string>> env) {
    TRunOptions options;
    options.Env = std::move(env);
    return options;
}

TRunOptions WithFd3(std::string bytes) {
    TRunOptions options;
    options.Fd3 = std::move(bytes);
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TRunProgramCase,
    ::testing::Values(
        TRunCase{"OutputsApartAndTheExitCode", "echo out; echo err >&2; exit 7", {}, 7, 0, "out\n", "err\n"},
        TRunCase{"Fd3HoldsTheBytesThenEnds", "cat <&3", WithFd3("fd-Pass#2\n"), 0, 0, "fd-Pass#2\n", ""},
        TRunCase{"EmptyFd3IsAnEndAtOnce", "cat <&3; echo done", WithFd3(""), 0, 0, "done\n", ""},
        // More than a pipe holds by default still arrives whole.
        TRunCase{"LongFd3ArrivesWhole", "wc -c <&3 | tr -d ' '", WithFd3(std::string(200000, 'p')), 0, 0,
                 "200000\n", ""},
        // An empty value is a value; nullopt takes the variable away.
        TRunCase{"EnvironmentSetsEmptiesAndRemoves", "echo \"${A-unset}|${B-unset}|${HOME-unset}\"",
                 WithEnv({{"A", "x"}, {"B", ""}, {"HOME", std::nullopt}}), 0, 0, "x||unset\n", ""},
        TRunCase{"KilledBySignal", "kill -TERM $$", {}, -1, SIGTERM, "", ""},
        // Much more output than a pipe holds: read while it runs, nothing lost.
        TRunCase{"LongOutputIsReadWhileItRuns", "head -c 300000 /dev/zero | tr '\\0' z; echo", {}, 0, 0,
                 std::string(300000, 'z') + "\n", ""}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(RunProgramTest, AProgramThatCannotStartRaisesWithItsName) {
    try {
        RunProgram({"quorvel-no-such-program"});
        FAIL() << "started";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("quorvel-no-such-program"), std::string::npos) << e.what();
    }
}

// The test's standard input held by an open pipe for one scope.
class TInputPipeScope {
public:
    TInputPipeScope() {
        if (::pipe2(FPipe, O_CLOEXEC) == 0 && (FSaved = ::fcntl(0, F_DUPFD_CLOEXEC, 3)) >= 0 &&
            ::dup2(FPipe[0], 0) >= 0)
            return;
        Close();
        throw std::runtime_error("cannot put a pipe on standard input");
    }
    ~TInputPipeScope() {
        ::dup2(FSaved, 0);
        Close();
    }
    TInputPipeScope(const TInputPipeScope&) = delete;
    TInputPipeScope& operator=(const TInputPipeScope&) = delete;

private:
    void Close() {
        for (int fd : {FSaved, FPipe[0], FPipe[1]})
            if (fd >= 0) ::close(fd);
    }

    int FPipe[2] = {-1, -1};
    int FSaved = -1;
};

// A child that reads its standard input ends at once instead of waiting on the test's.
TEST(RunProgramTest, InputIsDevNullWhateverTheTestsIs) {
    TInputPipeScope input;
    TRunOptions options;
    options.LimitMs = 10000;
    const TRunResult r = RunProgram({"sh", "-c", "readlink /proc/$$/fd/0; cat"}, options);
    EXPECT_FALSE(r.TimedOut);
    EXPECT_EQ(r.Out, "/dev/null\n");
}

TEST(RunProgramTest, AChildPastTheLimitIsKilled) {
    TRunOptions options;
    options.LimitMs = 300;
    const auto start = std::chrono::steady_clock::now();
    const TRunResult r = RunProgram({"sh", "-c", "echo started; exec sleep 30"}, options);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_TRUE(r.TimedOut);
    EXPECT_EQ(r.ExitCode, -1);
    EXPECT_EQ(r.Signal, SIGKILL);
    EXPECT_EQ(r.Out, "started\n");
}

TEST(RunProgramTest, WhileRunningSeesTheLiveChildUntilItSaysStop) {
    TRunOptions options;
    int calls = 0;
    bool alive = true;
    options.WhileRunning = [&](pid_t pid) {
        alive = alive && ::kill(pid, 0) == 0;
        return ++calls < 3;
    };
    const TRunResult r = RunProgram({"sh", "-c", "sleep 0.5"}, options);
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(alive);
}

// A child that leaves a process of its own holding the output pipes open: the
// run ends with the child, whether that process stays quiet or keeps talking.
TEST(RunProgramTest, ALeftoverGrandchildDoesNotHoldTheRunOpen) {
    for (const char* grandchild : {"exec sleep 30", "while :; do echo x; sleep 0.01; done"}) {
        const auto start = std::chrono::steady_clock::now();
        // The pid goes to standard error: the chatty one may write first.
        const TRunResult r = RunProgram({"sh", "-c", std::string("(") + grandchild + ") & echo $! >&2; exit 3"});
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << grandchild;
        EXPECT_EQ(r.ExitCode, 3) << grandchild;
        const pid_t left = static_cast<pid_t>(std::atol(r.Err.c_str()));
        ASSERT_GT(left, 1) << r.Err;
        ::kill(left, SIGKILL);
    }
}

} // namespace
