#pragma once
// The program's command line: only the service switches mean anything.
#include <string>
#include <string_view>
#include <vector>

// A parameter carries the switch when it starts with "-", "/" or "\" and the
// rest equals the switch without regard to case; any position, whole
// parameters only.
bool FindCmdLineSwitch(const std::vector<std::string>& params, std::string_view name);

// "INSTALL" or "UNINSTALL" is given.
bool InstallSwitchGiven(const std::vector<std::string>& params);

// The single-instance lock's name: "quorvel", shared by the desktop and the
// service; tests run side by side under names of their own
// (QUORVEL_INSTANCE_LOCK).
std::string InstanceLockName();
