#pragma once
// A system-wide single-instance lock, the stand-in for a named mutex created
// as its initial owner: an abstract Unix socket bound to the name. The kernel
// releases it when the process ends in any way (also on a crash), so a stale
// lock can never keep the program from starting.
#include <string>

class TNamedMutex {
public:
    // Tries to take the lock "name". Never throws: a lock that cannot be
    // made at all (no sockets) is treated as taken by nobody else.
    explicit TNamedMutex(const std::string& name);
    ~TNamedMutex();
    TNamedMutex(const TNamedMutex&) = delete;
    TNamedMutex& operator=(const TNamedMutex&) = delete;

    // Another process holds the lock (ERROR_ALREADY_EXISTS).
    bool AlreadyExists() const { return alreadyExists_; }
    bool Owned() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    bool alreadyExists_ = false;
};
