#include "pipeline/ArchiverWatch.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/AnsiString.h"

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace

void TArchiverWatch::Begin(const std::string& folder, const std::string& extension, TTimePoint start) {
    Clear();
    folder_ = folder;
    extension_ = extension;
    start_ = start;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        before_.insert(it->path().filename().string());
}

void TArchiverWatch::Watch(const std::vector<TStartedCommand>& started) { started_ = started; }

void TArchiverWatch::Clear() {
    started_.clear();
    before_.clear();
    WaitLogged = false;
}

TArchiverWatch::TState TArchiverWatch::State(TTimePoint now) const {
    if (started_.empty()) return wsNone;
    for (const TStartedCommand& command : started_)
        if (!command.Outcome->Exited()) return now - start_ >= WaitBound ? wsOverdue : wsRunning;
    const int code = ExitCode();
    return code == 0 ? wsSucceeded : code == WarningExit ? wsWarning : wsFailed;
}

int TArchiverWatch::ExitCode() const {
    // A failure outweighs a warning of another process.
    int warning = 0;
    for (const TStartedCommand& command : started_) {
        if (!command.Outcome->Exited()) continue;
        const int code = command.Outcome->ExitCode();
        if (code == WarningExit) warning = code;
        else if (code != 0) return code;
    }
    return warning;
}

std::vector<std::string> TArchiverWatch::NewEntries(bool archivesOnly) const {
    std::vector<std::string> names;
    const std::string extension = Lower(extension_);
    std::error_code ec;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (WasThereBefore(name)) continue;
        const std::string lower = Lower(name);
        const bool archive = lower.size() > extension.size() &&
                             lower.compare(lower.size() - extension.size(), extension.size(), extension) == 0;
        if (archivesOnly ? archive && it->is_regular_file(ec) : lower.find(extension) != std::string::npos)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> TArchiverWatch::NewArchives() const { return NewEntries(true); }

void TArchiverWatch::RemoveLeftovers() const {
    for (const std::string& name : NewEntries(false)) {
        std::error_code ignored;
        fs::remove_all(folder_ + name, ignored);
    }
}
