#pragma once
// Starting outside programs without waiting for them: the help viewer and the
// desktop's opener of web addresses and files. Failures are not reported: the
// callers ignore them, as the program always has.
#include <string>
#include <vector>

// Starts `program` (searched on PATH when it has no "/") with `args`, detached:
// no wait, no zombie, standard input from /dev/null. Returns whether the
// program could be started.
bool StartDetached(const std::string& program, const std::vector<std::string>& args);

// Opens an address or file with the desktop's default program (xdg-open).
bool ShellOpen(const std::string& target);

// The first program of `candidates` found on PATH, or "".
std::string FindOnPath(const std::vector<std::string>& candidates);
