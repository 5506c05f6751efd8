#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

std::string ReadRegularFile(const std::string& path, std::string& content, std::uint64_t maxBytes) {
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return ErrnoText(errno);
    FdCloser closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return ErrnoText(errno);
    if (!S_ISREG(st.st_mode)) return "Not a regular file";
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        return "File too large (" + std::to_string(st.st_size) + " bytes; at most " + std::to_string(maxBytes) + ")";
    content.clear();
    content.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return ErrnoText(errno);
        }
        if (n == 0) break;
        // A file that grows while it is read is still held to the bound.
        if (content.size() + static_cast<std::size_t>(n) > maxBytes)
            return "File too large (more than " + std::to_string(maxBytes) + " bytes)";
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return {};
}

std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    // As the kernel does, give up on a loop after 40 links.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        char buffer[4096];
        ssize_t n = ::readlink(current.c_str(), buffer, sizeof buffer - 1);
        if (n <= 0) return current;
        std::string target(buffer, static_cast<std::size_t>(n));
        if (target.front() != '/') {
            auto slash = current.rfind('/');
            if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
        }
        current = target;
    }
    return current;
}

bool IsTemporaryNameOf(const std::string& path, const std::string& candidate) {
    const std::string prefix = path + ".";
    if (candidate.size() != prefix.size() + 6 || candidate.compare(0, prefix.size(), prefix) != 0) return false;
    for (std::size_t i = prefix.size(); i < candidate.size(); ++i) {
        const char c = candidate[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

void RemoveStaleTemporaries(const std::string& path) {
    const std::string target = ResolveLinks(path);
    auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (!IsTemporaryNameOf(name, entry)) continue;
        const std::string full = (slash == std::string::npos ? std::string() : folder) + entry;
        struct stat st {};
        if (::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            ::unlink(full.c_str());
    }
}

int ReplaceFileContent(const std::string& requestedPath, std::string_view content, mode_t newFileMode) {
    const std::string path = ResolveLinks(requestedPath);
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
