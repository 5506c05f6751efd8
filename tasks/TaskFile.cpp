#include "tasks/TaskFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/Files.h"
#include "tasks/TaskPacket.h"

namespace {
// Paths are bytes on Linux (UTF-8 in practice); messages are CP936.
AnsiString PathText(const std::string& path) { return Utf8ToAnsiLenient(path); }
} // namespace

std::string TaskFilePath() { return ExeFolder() + "task.ini"; }

void LoadFromFile(TTaskTable& table, const std::string& path) {
    table.Close();
    std::string content;
    if (const std::string reason = ReadRegularFile(path, content, MaxTaskFileSize); !reason.empty())
        throw EFOpenError(Format("Cannot open file \"%s\". %s", PathText(path).c_str(), Utf8ToAnsiLenient(reason).c_str()));
    table.LoadFromPacket(content);
}

void SaveToFile(TTaskTable& table, const std::string& path) {
    AnsiString packet = table.Snapshot();
    RemoveStaleTemporaries(path);
    // The file holds database passwords in plain text: owner only.
    int error = ReplaceFileContent(path, packet, 0600);
    if (error != 0)
        throw EFCreateError(Format("Cannot create file \"%s\". %s", PathText(path).c_str(), Utf8ToAnsiLenient(ErrnoText(error)).c_str()));
}

std::string TTaskFileLock::LockPathOf(const std::string& taskFilePath) { return ResolveLinks(taskFilePath) + ".lock"; }

TTaskFileLock::TTaskFileLock(const std::string& taskFilePath, std::chrono::milliseconds wait) {
    const std::string lockPath = LockPathOf(taskFilePath);
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) {
        const int error = errno;
        throw EFCreateError(Format("Cannot create file \"%s\". %s", PathText(lockPath).c_str(),
                                   Utf8ToAnsiLenient(ErrnoText(error)).c_str()));
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            if (error != EWOULDBLOCK)
                throw ETaskFileLocked(Format("Cannot lock \"%s\". %s", PathText(lockPath).c_str(),
                                             Utf8ToAnsiLenient(ErrnoText(error)).c_str()));
            throw ETaskFileLocked(Format("The task file \"%s\" is being changed by another program (it has held \"%s\" "
                                         "for %lld s); nothing was changed, try again later",
                                         PathText(taskFilePath).c_str(), PathText(lockPath).c_str(),
                                         static_cast<long long>(wait.count() / 1000)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TTaskFileLock::~TTaskFileLock() {
    if (fd_ >= 0) ::close(fd_);
}
