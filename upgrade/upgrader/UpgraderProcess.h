#pragma once
// The processes the upgrader deals with: the old program it waits for, and
// the programs it starts (new session, standard input from /dev/null, the
// environment and working folder it was given).
#include <string>
#include <sys/types.h>
#include <vector>

// Waits until process `pid` has ended, at most `limitMs`. Returns whether it ended.
bool WaitForProcessEnd(pid_t pid, long limitMs);

// Waits while opening `path` for writing fails because a process runs it, at
// most `limitMs`. Returns false only when it was still busy at the limit.
bool WaitForFileFree(const std::string& path, long limitMs);

// Starts `path` with `args`. Returns the child's id, or -1 with `error` set.
pid_t StartProgram(const std::string& path, const std::vector<std::string>& args, std::string& error);

// How a started program fared.
struct TChildOutcome {
    bool Ended = false; // false: still running when the time was up
    bool Failed = false; // ended with a non-zero code or by a signal
    std::string Text; // e.g. "exit code 3", "signal 9"
};

// Watches `pid` (a child) for at most `ms`; a negative `ms` waits for its end.
TChildOutcome WatchChild(pid_t pid, long ms);

// Milliseconds from environment variable `name`, when set and shorter than
// `fallback`; `fallback` otherwise.
long ShortenedLimit(const char* name, long fallback);

// Closes every descriptor from 3 up that the caller left open to us: a
// descriptor of the old program (its instance lock, say) must not outlive it.
void CloseInheritedFiles();
