#pragma once
// A file descriptor owned by one scope.
#include <cerrno>
#include <unistd.h>

class TUniqueFd {
public:
    explicit TUniqueFd(int fd) : fd_(fd) {}
    ~TUniqueFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;
    int Get() const { return fd_; }
    // Closes now, reporting what close reports (a delayed write error, say): 0 or an errno value.
    int Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};
