#pragma once
// The archiver of one backup cycle, as the mail step waits for it: the
// processes the batch file started, when they started, and which archives of
// the archive folder they made (the names that were not there before).
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "platform/BatchRunner.h"
#include "platform/Clock.h"

class TArchiverWatch {
public:
    // The longest the mail step waits for an archiver, from its start.
    static constexpr std::chrono::hours WaitBound{6};
    // How often the mail step looks again while the archiver runs (ms).
    static constexpr std::uint32_t RecheckInterval = 10000;
    // rar's (and quorvelzip's) exit status for an archive that is complete
    // although something was skipped.
    static constexpr int WarningExit = 1;

    enum TState {
        wsNone,      // no archiver of this cycle is known
        wsRunning,   // still running, within the bound
        wsOverdue,   // still running past the bound
        wsFailed,    // ended with a status other than 0 and 1
        wsWarning,   // ended with status 1: the archive is complete
        wsSucceeded, // ended with status 0
    };

    // A new cycle: `folder` (ending in "/") is listed now, before the archiver
    // starts, and archives ending in `extension` are this watch's subject.
    void Begin(const std::string& folder, const std::string& extension, TTimePoint start);
    // The processes the batch file started.
    void Watch(const std::vector<TStartedCommand>& started);
    // Forgets the cycle's archiver (the mail step has dealt with it).
    void Clear();

    TState State(TTimePoint now) const;
    // The first status other than 0 among the ended processes (0 when none).
    int ExitCode() const;
    TTimePoint Start() const { return start_; }
    const std::string& Extension() const { return extension_; }
    bool Watching() const { return !started_.empty(); }
    const std::vector<TStartedCommand>& Started() const { return started_; }

    // The archives of this cycle: files ending in the extension (any case)
    // that were not in the folder at Begin, sorted by name.
    std::vector<std::string> NewArchives() const;
    // Removes what this cycle's archiver left: every new entry whose name holds
    // the extension (the archive and any temporary of it).
    void RemoveLeftovers() const;
    // Whether `name` was in the folder at Begin.
    bool WasThereBefore(const std::string& name) const { return before_.count(name) != 0; }

    // "等待压缩完成..." is logged once per cycle.
    bool WaitLogged = false;

private:
    std::vector<std::string> NewEntries(bool archivesOnly) const;

    std::string folder_;
    std::string extension_;
    TTimePoint start_{};
    std::set<std::string> before_;
    std::vector<TStartedCommand> started_;
};
