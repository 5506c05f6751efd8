#include "ShellRun.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <memory>
#include <sstream>

TShellRun RunShell(const std::string& command) {
    TShellRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> buffer;
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) run.Out.append(buffer.data(), n);
    const int raw = ::pclose(pipe);
    run.Status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
