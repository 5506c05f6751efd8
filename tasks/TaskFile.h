#pragma once
// The task file "task.ini" beside the executable: one binary data packet of the
// task table (see TaskPacket.h), read once at start-up and written only by the
// save command.
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/Exception.h"
#include "tasks/TaskTable.h"

// Another writer held the task file's lock for longer than we wait.
class ETaskFileLocked : public Exception {
public:
    using Exception::Exception;
};

// A task file larger than this is refused rather than read into memory.
constexpr std::uint64_t MaxTaskFileSize = 256ull * 1024 * 1024;

// The full path of the program's task file: ExeFolder() + "task.ini".
std::string TaskFilePath();

// Closes the table, reads the whole file and opens the table on its packet,
// the first record current. A file that cannot be read, that is no regular
// file (a FIFO, a device) or that is larger than MaxTaskFileSize raises
// EFOpenError "Cannot open file "%s". %s"; every other failure is that of
// TTaskTable::LoadFromPacket. After any failure the table is closed.
void LoadFromFile(TTaskTable& table, const std::string& path);

// Folds a pending record in and writes the table's packet. The file is written
// beside the old one and renamed over it, so a failed save keeps the previous
// file; a new file is readable and writable by its owner only; a path that is a
// symbolic link is written through to the link's target. Temporaries that an
// interrupted save left behind are removed (call with the TTaskFileLock held).
// A failure raises EFCreateError "Cannot create file "%s". %s" and leaves the
// table unchanged.
void SaveToFile(TTaskTable& table, const std::string& path);

// The exclusive lock every writer of a task file holds from loading it to
// saving it, so that two writers never save over each other's changes: an
// advisory flock on "<task file>.lock" beside the file (the link's target for
// a link), created 0600. Waits up to `wait` for another holder, then raises
// ETaskFileLocked; released when destroyed (or when the process ends).
class TTaskFileLock {
public:
    static constexpr std::chrono::seconds DefaultWait{10};

    explicit TTaskFileLock(const std::string& taskFilePath,
                           std::chrono::milliseconds wait = std::chrono::milliseconds(DefaultWait));
    ~TTaskFileLock();
    TTaskFileLock(const TTaskFileLock&) = delete;
    TTaskFileLock& operator=(const TTaskFileLock&) = delete;

    static std::string LockPathOf(const std::string& taskFilePath);

private:
    int fd_ = -1;
};
