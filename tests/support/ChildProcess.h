#pragma once
// A program run by a test as a child process: started with its arguments, an
// environment of the test's with some variables changed, and a working folder
// of its own if asked; its standard output (and, if asked, standard error) is
// read back under time limits. The destructor ends it, so a failing test never
// leaves a process behind, and no read waits longer than its limit.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Every member has an initialiser, so a designated initialiser may leave any out.
struct TChildOptions {
    // Argv[0] is the program: a name without a slash is looked up on the
    // test's PATH (not on a PATH changed in Env), as a shell would.
    std::vector<std::string> Argv {};
    // Changes to the test's environment; nullopt removes the variable.
    std::map<std::string, std::optional<std::string>> Env {};
    std::string Folder {};   // working folder; empty: the test's
    bool CaptureErr = false; // standard error into Err; otherwise the test's
    bool NoInput = false;    // standard input from /dev/null; otherwise the test's
    // Bytes the child reads from descriptor 3, a pipe closed after them. They
    // are in the pipe before the start, so they must fit its buffer (up to the
    // system's pipe-max-size); longer ones are refused at the start.
    std::optional<std::string> Fd3 {};
};

class TChildProcess {
public:
    // Raises std::runtime_error when the program cannot be started.
    explicit TChildProcess(const TChildOptions& options);
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // The process id as started; it stays after the end, so only pass it on
    // while Running() (or before Wait()) says the child still holds it.
    pid_t Pid() const { return FStarted; }

    // The next line of standard output without its LF; empty when the limit
    // passed or the output ended first.
    std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Reads until standard output holds `text` (anywhere since the start) or
    // the limit has passed.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit);
    // Waits for the end; the exit code (128 + signal when killed), or -1 when
    // it still runs after the limit.
    int Wait(std::chrono::milliseconds limit);
    bool Running();
    // The signal that ended it; 0 when it exited by itself or still runs.
    int EndSignal() const { return FEndSignal; }
    void Signal(int signal);
    // SIGTERM, then SIGKILL when it has not ended within `grace`.
    void Stop(std::chrono::milliseconds grace = std::chrono::seconds(3));

    std::string Out, Err; // everything read so far

private:
    // Reads what is there, waiting up to `ms`: the number of pipes that had
    // something (0: nothing came), -1 once every pipe is closed.
    int Pump(int ms);
    void Reap(int status);

    pid_t FPid = -1;     // -1 once reaped
    pid_t FStarted = -1; // kept for Pid()
    int FFds[2] = {-1, -1}; // standard output, standard error
    int FExitCode = -1;
    int FEndSignal = 0;
    std::size_t FLineStart = 0; // where ReadLine goes on in Out
};
