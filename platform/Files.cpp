#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {
std::mutex folderMutex;
std::string overriddenFolder;

std::string SelfPath() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};
} // namespace

std::string ExeFolder() {
    {
        std::lock_guard lock(folderMutex);
        if (!overriddenFolder.empty()) return overriddenFolder;
    }
    std::string self = SelfPath();
    auto slash = self.rfind('/');
    return slash == std::string::npos ? std::string("./") : self.substr(0, slash + 1);
}

std::string ExeName() {
    std::string self = SelfPath();
    auto slash = self.rfind('/');
    return slash == std::string::npos ? self : self.substr(slash + 1);
}

std::string ExePath() {
    return SelfPath();
}

void OverrideExeFolder(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    std::lock_guard lock(folderMutex);
    overriddenFolder = std::move(folder);
}

std::string TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp && *tmp) ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    FdCloser closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    content.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

int ReplaceFileContent(const std::string& path, std::string_view content, mode_t newFileMode) {
    mode_t mode = newFileMode;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return EISDIR;
        mode = st.st_mode & 07777;
    }
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return errno;
    int error = 0;
    {
        FdCloser closer{fd};
        const char* p = content.data();
        std::size_t left = content.size();
        while (left > 0 && error == 0) {
            ssize_t n = ::write(fd, p, left);
            if (n < 0) {
                if (errno != EINTR) error = errno;
                continue;
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        if (error == 0 && ::fchmod(fd, mode) != 0) error = errno;
        if (error == 0 && ::fsync(fd) != 0) error = errno;
    }
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temp.c_str());
    return error;
}

std::string ErrnoText(int error) { return std::strerror(error); }
