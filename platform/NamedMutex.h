#pragma once
// The single-instance lock, the stand-in for a named mutex created as its
// initial owner: an exclusive flock on a lock file in the program's own folder,
// created 0600. Only users who may open that file (those who may change the
// task file beside it) can hold it, so nobody else can keep the program from
// starting; one instance runs per installation, desktop and service alike. The
// kernel releases the lock when the process ends in any way (also on a crash),
// so a lock file left behind never blocks a start.
#include <string>

class TNamedMutex {
public:
    // Tries to take the lock "name": the file "<name>.lock" in `folder` (empty:
    // the executable's folder), or `name` itself when it holds a "/". Never
    // throws: a lock file that cannot be made at all (a read-only folder) is
    // treated as held by nobody else, and Error() says why.
    explicit TNamedMutex(const std::string& name, const std::string& folder = {});
    ~TNamedMutex();
    TNamedMutex(const TNamedMutex&) = delete;
    TNamedMutex& operator=(const TNamedMutex&) = delete;

    // Another process holds the lock (ERROR_ALREADY_EXISTS).
    bool AlreadyExists() const { return alreadyExists_; }
    bool Owned() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    // Why the lock file could not be opened or locked; empty otherwise.
    const std::string& Error() const { return error_; }

    static std::string LockPathOf(const std::string& name, const std::string& folder = {});

private:
    int fd_ = -1;
    bool alreadyExists_ = false;
    std::string path_;
    std::string error_;
};
