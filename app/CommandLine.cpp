#include "app/CommandLine.h"

#include <cstdlib>

#include "platform/AnsiString.h"

bool FindCmdLineSwitch(const std::vector<std::string>& params, std::string_view name) {
    for (const std::string& param : params) {
        if (param.empty() || (param[0] != '-' && param[0] != '/' && param[0] != '\\'))
            continue;
        if (SameText(std::string_view(param).substr(1), name))
            return true;
    }
    return false;
}

bool InstallSwitchGiven(const std::vector<std::string>& params) {
    return FindCmdLineSwitch(params, "INSTALL") || FindCmdLineSwitch(params, "UNINSTALL");
}

std::string InstanceLockName() {
    const char* name = std::getenv("QUORVEL_INSTANCE_LOCK");
    return name && *name ? name : "quorvel";
}
