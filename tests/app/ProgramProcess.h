#pragma once
// The real quorvel program run as a child process from a folder of its own
// (a copy of the binary, so task.ini and config.ini are the test's).
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

// The program and its offline page, copied into `folder`.
inline void InstallProgram(const std::filesystem::path& folder) {
    const std::filesystem::path built = std::filesystem::path(QUORVEL_BINARY_DIR) / "app";
    std::filesystem::copy_file(built / "quorvel", folder / "quorvel",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(built / "noa.htm", folder / "noa.htm",
                               std::filesystem::copy_options::overwrite_existing);
}

// The program run from `folder` with `args`, the environment changed by
// `env` (an empty value removes the variable), both outputs read back.
class TProgramProcess : public TChildProcess {
public:
    TProgramProcess(const std::filesystem::path& folder, std::vector<std::string> args,
                    const std::map<std::string, std::string>& env)
        : TChildProcess(Options(folder, std::move(args), env)) {}

private:
    static TChildOptions Options(const std::filesystem::path& folder, std::vector<std::string> args,
                                 const std::map<std::string, std::string>& env) {
        TChildOptions options;
        options.Argv = {(folder / "quorvel").string()};
        options.Argv.insert(options.Argv.end(), args.begin(), args.end());
        options.Folder = folder.string();
        options.CaptureErr = true;
        for (const auto& [name, value] : env)
            options.Env.emplace(name, value.empty() ? std::nullopt : std::optional<std::string>(value));
        // Nothing the program fetches leaves this machine: an address it was
        // not pointed at goes to a closed local port through these proxies.
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            options.Env.emplace(name, "http://127.0.0.1:9");
        options.Env.emplace("no_proxy", "127.0.0.1,localhost,::1");
        options.Env.emplace("NO_PROXY", "127.0.0.1,localhost,::1");
        return options;
    }
};
