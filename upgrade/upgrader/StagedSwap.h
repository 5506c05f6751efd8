#pragma once
// Puts staged files in place so that the old files stay until every new one
// is there: each old file is hard-linked to "<name>.uOLD" (renamed where the
// file system refuses links), then the staged file is renamed over it. Any
// failure rolls every step back, so the folder is as it was.
#include <string>
#include <sys/types.h>
#include <vector>

struct TStagedMove {
    std::string StagedName;  // e.g. "quorvel.uTMP"
    std::string TargetName;  // e.g. "quorvel", or the renamed program's name
    bool Executable = false; // the program or the setup program: 0755 when new
};

// The staged files of `folder` (regular files whose names end in ".uTMP"
// after at least one character), in name order.
std::vector<std::string> ListStagedFiles(const std::string& folder);

// Removes those of `names` that are still in `folder`.
void RemoveStagedFiles(const std::string& folder, const std::vector<std::string>& names);

class TStagedSwap {
public:
    explicit TStagedSwap(std::string folder); // with its trailing "/"

    // Puts every move in place in order. On the first failure the steps done
    // so far are rolled back and the reason is returned; "" when all are in.
    std::string Apply(const std::vector<TStagedMove>& moves);
    // Puts the old files back and removes the new ones. Returns "" or what
    // could not be restored (its ".uOLD" file is then left for a person).
    std::string RollBack();
    // Removes the kept old files: the new ones stay.
    void Commit();

private:
    struct TStep {
        std::string Target;
        bool HadOld = false;
        bool Moved = false;
    };
    std::string ApplyOne(const TStagedMove& move);

    std::string folder_;
    std::vector<TStep> steps_;
};
