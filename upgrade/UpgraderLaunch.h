#pragma once
// Hands an upgrade over to the upgrader: its image is written into a private
// folder and started with the program path, the process to wait for and the
// restart parameters. The caller closes the program afterwards.
#include <string>
#include <sys/types.h>
#include <vector>

struct TUpgraderLaunch {
    std::string ProgramPath;   // "": this program's executable
    pid_t WaitPid = 0;         // 0: this process
    std::string RestartParams; // what follows the "+", e.g. "/afterupgrade0"
};

// The upgrader's arguments after its own name:
// "--wait-pid=PID", the program path (one argument) and "+" + RestartParams.
std::vector<std::string> UpgraderArguments(const TUpgraderLaunch& launch);

// Writes the upgrader into a new private folder (0700) of TempFolder(), or of
// the executable's folder when that one is missing, unwritable or mounted
// noexec, and starts it (new session, standard input from /dev/null, nothing
// else of ours open). Returns its process id; throws Exception with the
// reason when it can be neither written nor started anywhere.
pid_t StartUpgrader(const TUpgraderLaunch& launch);

// Removes the private folders that earlier upgrades left (our prefix, owned
// by us) from TempFolder() and the executable's folder.
void RemoveUpgraderLeftovers();
