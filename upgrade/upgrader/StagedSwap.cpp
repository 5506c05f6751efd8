#include "upgrade/upgrader/StagedSwap.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "upgrade/upgrader/UpgraderNames.h"

namespace {
std::string Reason(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

bool EndsWith(const std::string& text, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
} // namespace

std::vector<std::string> ListStagedFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= sizeof StagedSuffix - 1 || !EndsWith(name, StagedSuffix))
            continue;
        const std::string target = name.substr(0, name.size() - (sizeof StagedSuffix - 1));
        if (target == "." || target == "..")
            continue;
        struct stat info {};
        if (::lstat((folder + name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveStagedFiles(const std::string& folder, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        struct stat info {};
        if (::lstat((folder + name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            ::unlink((folder + name).c_str());
    }
}

TStagedSwap::TStagedSwap(std::string folder) : folder_(std::move(folder)) {}

std::string TStagedSwap::Apply(const std::vector<TStagedMove>& moves) {
    for (const TStagedMove& move : moves) {
        const std::string failure = ApplyOne(move);
        if (!failure.empty()) {
            const std::string unrestored = RollBack();
            return unrestored.empty() ? failure : failure + "; " + unrestored;
        }
    }
    SyncFolder(folder_);
    return {};
}

std::string TStagedSwap::ApplyOne(const TStagedMove& move) {
    const std::string staged = folder_ + move.StagedName;
    const std::string target = folder_ + move.TargetName;
    const std::string kept = target + KeptOldSuffix;
    mode_t mode = move.Executable ? 0755 : 0644;
    struct stat old {};
    const bool hadOld = ::lstat(target.c_str(), &old) == 0;
    if (!hadOld && errno != ENOENT)
        return Reason("cannot look at", target, errno);
    if (hadOld) {
        if (!S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode))
            return "cannot replace " + target + ": not a file";
        if (S_ISREG(old.st_mode))
            mode = old.st_mode & 07777;
        // A ".uOLD" left by an upgrade that was killed: the target is there, so it is stale.
        struct stat stale {};
        if (::lstat(kept.c_str(), &stale) == 0) {
            if (S_ISDIR(stale.st_mode) || ::unlink(kept.c_str()) != 0)
                return Reason("cannot remove", kept, S_ISDIR(stale.st_mode) ? EISDIR : errno);
        }
        if (::link(target.c_str(), kept.c_str()) != 0 && ::rename(target.c_str(), kept.c_str()) != 0)
            return Reason("cannot keep the old file", target, errno);
        steps_.push_back({target, true, false});
    }
    // The mode goes on before the rename, so the target never shows a wrong one.
    if (::chmod(staged.c_str(), mode) != 0)
        return Reason("cannot set the mode of", staged, errno);
    if (::rename(staged.c_str(), target.c_str()) != 0)
        return Reason("cannot put in place", target, errno);
    if (hadOld)
        steps_.back().Moved = true;
    else
        steps_.push_back({target, false, true});
    return {};
}

std::string TStagedSwap::RollBack() {
    std::string unrestored;
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
        const std::string kept = step->Target + KeptOldSuffix;
        if (step->HadOld) {
            if (::rename(kept.c_str(), step->Target.c_str()) != 0) {
                unrestored += (unrestored.empty() ? "" : "; ") + Reason("cannot restore", step->Target, errno);
                continue;
            }
            // Renaming a link onto the same file does nothing: the new file never came.
            struct stat info {};
            if (::lstat(kept.c_str(), &info) == 0)
                ::unlink(kept.c_str());
        } else if (step->Moved) {
            ::unlink(step->Target.c_str());
        }
    }
    steps_.clear();
    SyncFolder(folder_);
    return unrestored;
}

void TStagedSwap::Commit() {
    for (const TStep& step : steps_)
        if (step.HadOld)
            ::unlink((step.Target + KeptOldSuffix).c_str());
    steps_.clear();
    SyncFolder(folder_);
}
