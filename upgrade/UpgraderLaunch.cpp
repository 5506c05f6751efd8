#include "upgrade/UpgraderLaunch.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "upgrade/UniqueFd.h"
#include "upgrade/UpgraderImage.h"
#include "upgrade/upgrader/UpgraderNames.h"

extern char** environ;

namespace {

// Writes the whole image to a new file of mode 0700; returns 0 or an errno value.
int WriteImage(const std::string& path, std::span<const unsigned char> image) {
    TUniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (file.Get() < 0)
        return errno;
    std::size_t done = 0;
    while (done < image.size()) {
        const ssize_t n = ::write(file.Get(), image.data() + done, image.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        done += static_cast<std::size_t>(n);
    }
    // Whatever the umask: the owner must be able to run it, nobody else anything.
    if (::fchmod(file.Get(), 0700) != 0)
        return errno;
    return file.Close();
}

void RemoveFolder(const std::string& folder) {
    ::unlink((folder + "/" + UpgraderFileName).c_str());
    ::rmdir(folder.c_str());
}

// Starts the upgrader detached from us: a session of its own (the terminal's
// hang-up must not reach it), signals as new, standard input from /dev/null,
// none of our descriptors but standard output and error.
int Spawn(const std::string& path, const std::vector<std::string>& args, pid_t& pid) {
    std::vector<std::string> strings {path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    int rc = 0;
    // A fork on another thread while the image was open for writing holds it
    // open until that child execs: "text file busy" passes within moments.
    for (int attempt = 0; attempt < 40; ++attempt) {
        rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
        if (rc != ETXTBSY)
            break;
        timespec pause {0, 50 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return rc;
}

// One place for the upgrader: returns its process id, or -1 with `reason` set.
pid_t StartIn(const std::string& base, const std::vector<std::string>& args, std::string& reason) {
    struct statvfs volume {};
    if (::statvfs(base.c_str(), &volume) != 0) {
        reason = base + ": " + ErrnoText(errno);
        return -1;
    }
    if (volume.f_flag & ST_NOEXEC) {
        reason = base + ": mounted noexec";
        return -1;
    }
    std::string folder = base + UpgraderFolderPrefix + "XXXXXX";
    if (!::mkdtemp(folder.data())) {
        reason = base + ": " + ErrnoText(errno);
        return -1;
    }
    const std::string path = folder + "/" + UpgraderFileName;
    if (const int error = WriteImage(path, UpgraderImage()); error != 0) {
        reason = path + ": " + ErrnoText(error);
        RemoveFolder(folder);
        return -1;
    }
    pid_t pid = -1;
    if (const int error = Spawn(path, args, pid); error != 0) {
        reason = path + ": " + ErrnoText(error);
        RemoveFolder(folder);
        return -1;
    }
    return pid;
}

std::vector<std::string> UpgraderFolders() {
    std::vector<std::string> folders {TempFolder()};
    const std::string exeFolder = ExeFolder();
    if (exeFolder != folders.front())
        folders.push_back(exeFolder);
    return folders;
}

bool StartsWithPrefix(const char* name) {
    return std::strncmp(name, UpgraderFolderPrefix, sizeof UpgraderFolderPrefix - 1) == 0;
}

// Empties and removes one leftover folder, looking only through descriptors,
// so a link swapped in meanwhile leads nowhere.
void RemoveLeftover(int parent, const char* name) {
    struct stat info {};
    if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid())
        return;
    const int folder = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return;
    if (DIR* entries = ::fdopendir(folder)) {
        while (const dirent* entry = ::readdir(entries)) {
            struct stat inner {};
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 ||
                ::fstatat(folder, entry->d_name, &inner, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(inner.st_mode) ||
                inner.st_uid != ::geteuid())
                continue;
            ::unlinkat(folder, entry->d_name, 0);
        }
        ::closedir(entries); // closes `folder` too
    } else {
        ::close(folder);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

} // namespace

std::vector<std::string> UpgraderArguments(const TUpgraderLaunch& launch) {
    const pid_t pid = launch.WaitPid > 0 ? launch.WaitPid : ::getpid();
    return {std::string(WaitPidOption) + std::to_string(pid), launch.ProgramPath.empty() ? ExePath() : launch.ProgramPath,
            "+" + launch.RestartParams};
}

pid_t StartUpgrader(const TUpgraderLaunch& launch) {
    const std::vector<std::string> args = UpgraderArguments(launch);
    if (UpgraderImage().empty())
        throw Exception("the upgrader is missing from this build");
    std::string reasons;
    for (const std::string& base : UpgraderFolders()) {
        std::string reason;
        const pid_t pid = StartIn(base, args, reason);
        if (pid > 0)
            return pid;
        reasons += (reasons.empty() ? "" : "; ") + reason;
    }
    throw Exception(Utf8ToAnsiLenient("the upgrader cannot be started (" + reasons + ")"));
}

void RemoveUpgraderLeftovers() {
    for (const std::string& base : UpgraderFolders()) {
        const int parent = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent < 0)
            continue;
        const int listing = ::dup(parent);
        if (DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr) {
            std::vector<std::string> names;
            while (const dirent* entry = ::readdir(entries))
                if (StartsWithPrefix(entry->d_name))
                    names.emplace_back(entry->d_name);
            ::closedir(entries);
            for (const std::string& name : names)
                RemoveLeftover(parent, name.c_str());
        } else if (listing >= 0) {
            ::close(listing);
        }
        ::close(parent);
    }
}
