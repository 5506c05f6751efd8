#include "pipeline/ArchiveVolumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/Files.h"

namespace {

// A descriptor closed on every way out.
class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Get() const { return fd_; }
    // Closes now, reporting the error a late write may only show here.
    int Close() {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw EVolumeError(Utf8ToAnsiLenient(what + " " + path + ": " + ErrnoText(error)));
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies `count` bytes from `in` into a new file at `path` (which must not exist).
void WriteVolume(int in, const std::string& path, std::uint64_t count, std::vector<char>& buffer) {
    TFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.Get() < 0) Fail("Cannot create volume", path, errno);
    while (count > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
        const ssize_t n = ::read(in, buffer.data(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("Cannot read archive for volume", path, errno);
        if (n == 0) Fail("The archive became shorter while writing volume", path, EIO);
        if (!WriteAll(out.Get(), buffer.data(), static_cast<std::size_t>(n))) Fail("Cannot write volume", path, errno);
        count -= static_cast<std::uint64_t>(n);
    }
    // Whole on disk before its final name appears.
    if (::fsync(out.Get()) != 0) Fail("Cannot write volume", path, errno);
    if (out.Close() != 0) Fail("Cannot write volume", path, errno);
}

} // namespace

std::string VolumeName(const std::string& archivePath, std::size_t n) {
    char digits[24];
    std::snprintf(digits, sizeof digits, ".%03zu", n);
    return archivePath + digits;
}

std::size_t VolumeCount(std::uint64_t archiveSize, std::uint64_t partSize) {
    if (partSize == 0 || archiveSize == 0) return 1;
    return static_cast<std::size_t>((archiveSize - 1) / partSize + 1);
}

std::uint64_t LargestFittingPart(std::uint64_t budget, std::uint64_t most,
                                 const std::function<std::uint64_t(std::uint64_t)>& mailSize) {
    if (most == 0 || mailSize(1) > budget) return 0;
    std::uint64_t fits = 1, tooLarge = most + 1; // fits <= answer < tooLarge
    while (tooLarge - fits > 1) {
        const std::uint64_t middle = fits + (tooLarge - fits) / 2;
        if (mailSize(middle) <= budget) fits = middle;
        else tooLarge = middle;
    }
    return fits;
}

std::vector<std::string> SplitArchive(const std::string& archivePath, std::uint64_t partSize) {
    if (partSize == 0) throw EVolumeError("A volume must hold at least one byte");
    TFd in(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0) Fail("Cannot open archive", archivePath, errno);
    struct stat st {};
    if (::fstat(in.Get(), &st) != 0) Fail("Cannot open archive", archivePath, errno);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::size_t count = VolumeCount(size, partSize);

    std::vector<std::string> done;     // final names
    std::vector<std::string> pending;  // temporary names not yet renamed
    std::vector<char> buffer(1 << 20);
    try {
        for (std::size_t n = 1; n <= count; ++n) {
            const std::string final = VolumeName(archivePath, n);
            const std::string temporary = final + ".tmp";
            // What a killed split left under this name is ours to replace.
            ::unlink(temporary.c_str());
            pending = {temporary};
            const std::uint64_t offset = (n - 1) * partSize;
            WriteVolume(in.Get(), temporary, std::min(partSize, size - offset), buffer);
            if (::rename(temporary.c_str(), final.c_str()) != 0) Fail("Cannot rename volume", final, errno);
            pending.clear();
            done.push_back(final);
        }
    } catch (...) {
        RemoveFiles(pending);
        RemoveFiles(done);
        throw;
    }
    return done;
}

void RemoveFiles(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) ::unlink(path.c_str());
}

AnsiString VolumeSubject(const AnsiString& subject, std::size_t n, std::size_t count) {
    return subject + " (" + std::to_string(n) + "/" + std::to_string(count) + ")";
}

AnsiString VolumeBodyLine(std::size_t n, std::size_t count) {
    return Utf8ToAnsi("分卷 ") + std::to_string(n) + "/" + std::to_string(count);
}
