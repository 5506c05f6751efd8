#include "upgrade/upgrader/UpgraderCommand.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "upgrade/upgrader/UpgraderNames.h"

namespace {
bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ReadPid(const std::string& text, pid_t& pid) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX)
        return false;
    pid = static_cast<pid_t>(value);
    return true;
}
} // namespace

std::string ParseUpgraderCommand(const std::vector<std::string>& args, TUpgraderCommand& command) {
    command = TUpgraderCommand {};
    std::size_t first = 0;
    if (!args.empty() && StartsWith(args[0], WaitPidOption)) {
        if (!ReadPid(args[0].substr(sizeof WaitPidOption - 1), command.WaitPid))
            return "bad process id in \"" + args[0] + "\"";
        first = 1;
    }
    std::size_t plus = args.size();
    for (std::size_t i = args.size(); i > first; --i)
        if (!args[i - 1].empty() && args[i - 1][0] == '+') {
            plus = i - 1;
            break;
        }
    for (std::size_t i = first; i < plus; ++i)
        command.ProgramPath += (i > first ? " " : "") + args[i];
    if (plus < args.size()) {
        command.RestartParams = args[plus].substr(1);
        // The split form: parameters that followed the "+" argument belong to it.
        for (std::size_t i = plus + 1; i < args.size(); ++i)
            command.RestartParams += " " + args[i];
    }
    if (command.ProgramPath.empty())
        return "no program path";
    const std::string& last = args.back();
    command.SetupMode = !last.empty() && last.back() == '1';
    return {};
}

std::vector<std::string> SplitAtBlanks(const std::string& text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}
