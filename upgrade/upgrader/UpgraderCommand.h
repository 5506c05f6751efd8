#pragma once
// The upgrader's command line: [--wait-pid=PID] PROGRAM_PATH... +PARAMS...
// The program path is every argument before the last one that begins with
// "+", joined with blanks, so a path that a caller passed in pieces (split at
// its blanks) reads as well as one passed whole; blanks and "+" inside a
// whole path survive.
#include <string>
#include <sys/types.h>
#include <vector>

struct TUpgraderCommand {
    pid_t WaitPid = 0;         // 0: wait until the program file is free instead
    std::string ProgramPath;   // as given (may be relative)
    std::string RestartParams; // after the "+", blanks between the parameters
    bool SetupMode = false;    // the last argument ends in "1"
};

// Reads the arguments after the program's own name (at least one). Returns ""
// or the reason the command cannot be used.
std::string ParseUpgraderCommand(const std::vector<std::string>& args, TUpgraderCommand& command);

// The restart parameters as an argument vector: split at blanks, empty pieces dropped.
std::vector<std::string> SplitAtBlanks(const std::string& text);
