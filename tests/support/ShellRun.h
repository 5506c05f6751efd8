#pragma once
// A shell command run by a test to its end, with its standard output read back
// whole: for the command-line programs, whose tests look at lines and status.
#include <string>
#include <vector>

struct TShellRun {
    int Status = -1; // the exit status; -1 when it could not start or was killed
    std::string Out;
};

TShellRun RunShell(const std::string& command);

// `text` split at LF, without the LFs.
std::vector<std::string> SplitLines(const std::string& text);
