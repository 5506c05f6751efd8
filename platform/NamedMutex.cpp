#include "platform/NamedMutex.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

TNamedMutex::TNamedMutex(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    // Abstract namespace: a leading zero byte, no file on disk.
    const std::string abstractName = "quorvel-mutex:" + name;
    const std::size_t length = std::min(abstractName.size(), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, abstractName.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
        fd_ = fd;
        return;
    }
    alreadyExists_ = errno == EADDRINUSE;
    ::close(fd);
}

TNamedMutex::~TNamedMutex() {
    if (fd_ >= 0)
        ::close(fd_);
}
