#include "tests/support/PeerProcess.h"

#include <stdexcept>

namespace {

TChildOptions PeerOptions(const std::string& script, std::vector<std::string> args) {
    TChildOptions options;
    options.Argv = {QUORVEL_PYTHON, std::string(QUORVEL_PEERS_DIR) + "/" + script};
    options.Argv.insert(options.Argv.end(), args.begin(), args.end());
    return options;
}

} // namespace

TPeerProcess::TPeerProcess(const std::string& script, std::vector<std::string> args, int startLimitMs)
    : FChild(PeerOptions(script, std::move(args))) {
    const std::string first = ReadLine(startLimitMs);
    if (first.rfind("PORT ", 0) != 0) {
        Stop();
        throw std::runtime_error(script + " did not start: '" + first + "'");
    }
    Port = std::stoi(first.substr(5));
}

std::string TPeerProcess::ReadLine(int limitMs) { return FChild.ReadLine(std::chrono::milliseconds(limitMs)); }

std::vector<std::string> TPeerProcess::Transcript(int limitMs) {
    std::vector<std::string> lines;
    for (;;) {
        const std::string line = ReadLine(limitMs);
        if (line.rfind("LINE ", 0) != 0) break;
        std::string bytes;
        for (std::size_t i = 5; i + 1 < line.size(); i += 2)
            bytes += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
        lines.push_back(bytes);
    }
    return lines;
}

void TPeerProcess::Stop() { FChild.Stop(std::chrono::seconds(2)); }
