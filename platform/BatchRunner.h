#pragma once
// The command interpreter of the archive step: runs the few lines a batch file
// such as Keldor.bat holds and returns at once, like WinExec does. It knows
//   @echo off                       (any case; nothing to do, we never echo)
//   path <dir>;<dir>;%path%         (search path for the lines that follow)
//   rem ... / :: ...                (comments)
//   <program> <arg> "<arg with blanks>" ...   (%% stands for one %)
// Each command line is started as a process of its own, detached, with the
// program's standard output and error; the runner reports each one it started
// and, once it has ended, how (its exit status is collected either way). Anything else is reported as one error
// line on the error output and skipped. The file is in code page 936. A line
// break inside double quotes belongs to a quoted operand, so it never starts a
// command: the whole command it is part of is refused.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/AnsiString.h"
#include "platform/Exception.h"

// The batch file cannot be read.
class EBatchError : public Exception {
public:
    using Exception::Exception;
};

// How a started command ended. The runner's reaper thread fills it in once the
// process has exited; any thread may read it.
class TCommandOutcome {
public:
    bool Exited() const { return exited_.load(std::memory_order_acquire); }
    // The exit status of a normal end; 128 + the signal's number when a signal
    // ended it (as a shell reports it). Meaningful once Exited().
    int ExitCode() const { return code_.load(std::memory_order_relaxed); }
    // Records a status as waitpid returned it.
    void SetWaitStatus(int status);

private:
    std::atomic<int> code_{0};
    std::atomic<bool> exited_{false};
};

// One process the runner started.
struct TStartedCommand {
    pid_t Pid = 0;
    std::string Program; // the path it was started from
    int Line = 0;        // its line in the batch file
    std::shared_ptr<const TCommandOutcome> Outcome;
};

class TBatchRunner {
public:
    // The descriptor on which a command finds SecretInput.
    static constexpr int SecretDescriptor = 3;

    // Receives each error line (UTF-8, without line end); by default it goes to stderr.
    using TErrorSink = std::function<void(const std::string& line)>;

    TBatchRunner();

    // Interprets the batch file at `path` and starts its commands without waiting
    // for any of them. Returns the number of processes started. Raises EBatchError
    // when the file cannot be read.
    int Start(const std::string& path);
    // The same for batch text already in memory (code page 936).
    int StartText(const AnsiString& text);

    // Splits a command line at blanks and tabs; double quotes group blanks into one
    // argument and are removed. Raises EBatchError for an unterminated quote.
    static std::vector<std::string> SplitCommandLine(const std::string& line);

    // One command of the file: its text (CR LF removed) and the number of the
    // line it starts on. A line feed inside double quotes does not end it (the
    // open operand goes on); such a command is marked and never run.
    struct TBatchLine {
        AnsiString Text;
        int Number = 0;
        bool BreakInQuotes = false;
    };
    static std::vector<TBatchLine> SplitBatchLines(const AnsiString& text);

    TErrorSink ErrorSink;
    // "NAME=VALUE" entries every command gets in its environment, replacing a
    // variable of that name the program has. (Environments are readable only
    // by their owner, unlike command lines.)
    std::vector<std::string> Environment;
    // When not empty: every command can read this text to its end from
    // descriptor 3, a pipe of its own. Nothing of it reaches a command line.
    std::string SecretInput;

    // The processes started so far, in order.
    const std::vector<TStartedCommand>& Started() const { return started_; }

private:
    std::vector<std::string> searchPath_; // folders, in order
    std::vector<TStartedCommand> started_;

    void RunLine(const std::string& line, int lineNumber, int& started);
    void SetPath(const std::string& value);
    std::string FindProgram(const std::string& name) const;
    bool Spawn(const std::string& program, const std::vector<std::string>& args, int lineNumber);
    void ReportError(const std::string& text) const;
};
