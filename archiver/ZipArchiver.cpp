#include "archiver/ZipArchiver.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "archiver/FileFeed.h"

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

struct TArchiveFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct TEntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

// The temporary file beside the final name; removed unless Commit succeeded.
class TTemporaryArchive {
public:
    explicit TTemporaryArchive(const std::string& finalPath) : FFinal(finalPath) {
        auto slash = finalPath.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : finalPath.substr(0, slash == 0 ? 1 : slash);
        std::string base = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
        FFolder = folder;
        // A leading dot and a suffix after ".zip": nothing looking for "*.zip" takes it.
        std::string pattern = (slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1)) + "." +
                              base + ".part.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        Fd = ::mkostemp(name.data(), O_CLOEXEC); // mode 0600
        if (Fd < 0) throw EArchiverError(aeCreateError, "cannot create the archive in " + folder + ": " + ErrnoText(errno));
        FPath = name.data();
    }
    ~TTemporaryArchive() {
        if (Fd >= 0) ::close(Fd);
        if (!FCommitted) ::unlink(FPath.c_str());
    }
    TTemporaryArchive(const TTemporaryArchive&) = delete;
    TTemporaryArchive& operator=(const TTemporaryArchive&) = delete;

    // Flushes the bytes to the disk and gives them the final name, never over an existing file.
    void Commit() {
        if (::fsync(Fd) != 0) throw EArchiverError(aeWriteError, "cannot write " + FFinal + ": " + ErrnoText(errno));
        int fd = std::exchange(Fd, -1);
        if (::close(fd) != 0) throw EArchiverError(aeWriteError, "cannot write " + FFinal + ": " + ErrnoText(errno));
        if (::renameat2(AT_FDCWD, FPath.c_str(), AT_FDCWD, FFinal.c_str(), RENAME_NOREPLACE) != 0) {
            int error = errno;
            if (error == EEXIST) throw EArchiverError(aeCreateError, FFinal + " already exists; it is left as it is");
            if (error != EINVAL && error != ENOSYS)
                throw EArchiverError(aeCreateError, "cannot rename the archive to " + FFinal + ": " + ErrnoText(error));
            // A file system without the no-replace rename: a hard link refuses to replace as well.
            if (::link(FPath.c_str(), FFinal.c_str()) != 0) {
                error = errno;
                if (error == EEXIST) throw EArchiverError(aeCreateError, FFinal + " already exists; it is left as it is");
                throw EArchiverError(aeCreateError, "cannot rename the archive to " + FFinal + ": " + ErrnoText(error));
            }
            ::unlink(FPath.c_str());
        }
        FCommitted = true;
        // The rename itself reaches the disk with the folder.
        int dir = ::open(FFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }

    int Fd{-1};

private:
    std::string FFinal, FFolder, FPath;
    bool FCommitted{};
};

// A name that is UTF-8 gets the zip's UTF-8 flag, so readers show it as written;
// any other (GBK from a Chinese Windows share, say) is stored as its bytes
// without the flag, which is how Chinese Windows reads names in its code page.
// libarchive sets the flag from the calling thread's character set, so the
// thread switches to a UTF-8 locale for exactly those entries.
bool IsUtf8(const std::string& text) {
    std::size_t i = 0, n = text.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t more;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (c < 0x80) more = 0;
        else if (c >= 0xC2 && c <= 0xDF) more = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0) low = 0xA0;       // overlong
            if (c == 0xED) high = 0x9F;      // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else return false;
        if (n - i - 1 < more) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            auto b = static_cast<unsigned char>(text[i + k]);
            if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return false;
        }
        i += more + 1;
    }
    return true;
}

class TNameCharset {
public:
    TNameCharset() : FUtf8(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {}
    ~TNameCharset() {
        ::uselocale(LC_GLOBAL_LOCALE);
        if (FUtf8) ::freelocale(FUtf8);
    }
    TNameCharset(const TNameCharset&) = delete;
    TNameCharset& operator=(const TNameCharset&) = delete;
    void For(const std::string& name) {
        bool ascii = true;
        for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        ::uselocale(!ascii && FUtf8 && IsUtf8(name) ? FUtf8 : LC_GLOBAL_LOCALE);
    }

private:
    locale_t FUtf8;
};

struct TOutput {
    int Fd{-1};
    int Error{};
    const std::atomic<bool>* Interrupted{};
};

// After the first failed write the rest is discarded and reported as written:
// libarchive then stays in a state in which freeing it also frees its deflate
// stream (a fatal state would leak it), and the caller checks Error after each call.
la_ssize_t WriteOutput(archive*, void* context, const void* buffer, size_t length) {
    auto* out = static_cast<TOutput*>(context);
    const char* p = static_cast<const char*>(buffer);
    size_t left = length;
    while (left > 0 && out->Error == 0) {
        ssize_t n = ::write(out->Fd, p, left);
        if (n < 0 && errno == EINTR && !out->Interrupted->load()) continue;
        if (n < 0) {
            out->Error = errno;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return static_cast<la_ssize_t>(length);
}

} // namespace

TZipArchiver::TZipArchiver(TArchiveRequest request, std::string password, std::function<void(const std::string&)> warn)
    : FRequest(std::move(request)), FPassword(std::move(password)), FWarn(std::move(warn)) {}

TZipArchiver::~TZipArchiver() { ::explicit_bzero(FPassword.data(), FPassword.size()); }

TArchiverExit TZipArchiver::Run(const std::string& archivePath, const std::atomic<bool>& interrupted) {
    for (const TArchiveSource& source : FRequest.Sources)
        if (struct stat st {}; ::stat(source.Path.c_str(), &st) != 0)
            throw EArchiverError(aeNoFiles, "cannot find " + source.Path + ": " + ErrnoText(errno));
    // Fail before any work when the name is taken; the rename checks again at the end.
    if (struct stat st {}; ::lstat(archivePath.c_str(), &st) == 0)
        throw EArchiverError(aeCreateError, archivePath + " already exists; it is left as it is");

    TTemporaryArchive temporary(archivePath);
    TOutput output{temporary.Fd, 0, &interrupted};

    std::unique_ptr<archive, TArchiveFree> zip(archive_write_new());
    if (!zip) throw EArchiverError(aeFatal, "out of memory");
    auto check = [&](int rc, const std::string& what) {
        if (output.Error == EINTR && interrupted.load()) throw EArchiverError(aeInterrupted, "interrupted");
        if (output.Error != 0)
            throw EArchiverError(aeWriteError, "cannot write " + archivePath + ": " + ErrnoText(output.Error));
        if (rc == ARCHIVE_OK || rc == ARCHIVE_WARN) return;
        if (interrupted.load()) throw EArchiverError(aeInterrupted, "interrupted");
        const char* text = archive_error_string(zip.get());
        throw EArchiverError(aeFatal, what + ": " + (text ? text : "unknown libarchive error"));
    };
    check(archive_write_set_format_zip(zip.get()), "zip format");
    check(archive_write_set_options(zip.get(), ("zip:compression-level=" + std::to_string(CompressionLevel)).c_str()),
          "compression level");
    if (!FPassword.empty()) {
        check(archive_write_set_options(zip.get(), "zip:encryption=aes256"), "AES-256 encryption");
        check(archive_write_set_passphrase(zip.get(), FPassword.c_str()), "password");
    }
    // Whole 64 KiB writes, and no padding after the last byte of the archive.
    check(archive_write_set_bytes_per_block(zip.get(), 64 * 1024), "block size");
    check(archive_write_set_bytes_in_last_block(zip.get(), 1), "block size");
    check(archive_write_open2(zip.get(), &output, nullptr, WriteOutput, nullptr, nullptr), "open");

    TArchiverExit result = aeSuccess;
    TNameCharset names;
    struct stat self {};
    if (::fstat(temporary.Fd, &self) != 0) throw EArchiverError(aeCreateError, "cannot read " + archivePath + ": " + ErrnoText(errno));
    TFileFeed feed(FRequest, interrupted, self.st_dev, self.st_ino);
    std::unique_ptr<archive_entry, TEntryFree> entry(archive_entry_new());
    if (!entry) throw EArchiverError(aeFatal, "out of memory");
    for (;;) {
        if (interrupted.load()) throw EArchiverError(aeInterrupted, "interrupted");
        TFeedItem item = feed.Next();
        switch (item.Kind) {
        case TFeedItem::fiEntry:
            archive_entry_clear(entry.get());
            names.For(item.Name);
            archive_entry_copy_pathname(entry.get(), item.Name.c_str());
            archive_entry_copy_stat(entry.get(), &item.Status);
            if (S_ISLNK(item.Status.st_mode)) {
                archive_entry_copy_symlink(entry.get(), item.LinkTarget.c_str());
                archive_entry_set_size(entry.get(), 0);
            } else if (S_ISDIR(item.Status.st_mode)) {
                archive_entry_set_size(entry.get(), 0);
            }
            check(archive_write_header(zip.get(), entry.get()), "entry " + item.Name);
            if (!S_ISREG(item.Status.st_mode)) check(archive_write_finish_entry(zip.get()), "entry " + item.Name);
            break;
        case TFeedItem::fiData: {
            const char* p = item.Buffer.data();
            std::size_t left = item.Size;
            while (left > 0) {
                la_ssize_t n = archive_write_data(zip.get(), p, left);
                check(n > 0 ? ARCHIVE_OK : n == 0 ? ARCHIVE_FATAL : static_cast<int>(n), "data");
                p += n;
                left -= static_cast<std::size_t>(n);
            }
            feed.Recycle(std::move(item.Buffer));
            break;
        }
        case TFeedItem::fiEndOfFile:
            check(archive_write_finish_entry(zip.get()), "entry");
            break;
        case TFeedItem::fiWarning:
            FWarn(item.Text);
            result = aeWarning;
            break;
        case TFeedItem::fiError:
            throw EArchiverError(item.Code, item.Text);
        case TFeedItem::fiDone:
            check(archive_write_close(zip.get()), "closing the archive");
            temporary.Commit();
            return result;
        }
    }
}
