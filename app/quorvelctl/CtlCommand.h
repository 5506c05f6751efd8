#pragma once
// quorvelctl's commands: each command file registers itself here, so that a new
// command is one new file.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

struct TCtlCommand {
    std::string Name;  // first word on the command line, e.g. "tasks"
    std::string Usage; // lines for --help
    // Gets the arguments after the command's name; returns the exit status.
    std::function<int(const std::vector<std::string>& args)> Run;
};

std::vector<TCtlCommand>& CtlCommands();

struct TCtlRegistration {
    explicit TCtlRegistration(TCtlCommand command) { CtlCommands().push_back(std::move(command)); }
};

// A usage error: printed with a pointer to --help, exit status 2.
class ECtlUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
