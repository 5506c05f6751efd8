#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Files.h"

std::string TNamedMutex::LockPathOf(const std::string& name, const std::string& folder) {
    if (name.find('/') != std::string::npos) return name;
    std::string base = folder.empty() ? ExeFolder() : folder;
    if (base.back() != '/') base += '/';
    return base + name + ".lock";
}

TNamedMutex::TNamedMutex(const std::string& name, const std::string& folder) : path_(LockPathOf(name, folder)) {
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) {
        error_ = "cannot open " + path_ + ": " + ErrnoText(errno);
        return;
    }
    // A file left wider open (by hand, by an older version) is made private:
    // whoever can open it can hold the lock.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) ::fchmod(fd, 0600);
    int rc = 0;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc == 0) {
        fd_ = fd;
        return;
    }
    alreadyExists_ = errno == EWOULDBLOCK;
    if (!alreadyExists_) error_ = "cannot lock " + path_ + ": " + ErrnoText(errno);
    ::close(fd);
}

TNamedMutex::~TNamedMutex() {
    if (fd_ >= 0) ::close(fd_);
}
