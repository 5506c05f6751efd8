#include "archiver/FileFeed.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

struct TStopped {}; // unwinds the reader when the writer gave up

std::string ErrnoText(int error) { return std::strerror(error); }

struct TFd {
    int Value{-1};
    explicit TFd(int fd) : Value(fd) {}
    ~TFd() {
        if (Value >= 0) ::close(Value);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
};

struct TDirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string JoinPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string BaseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

TFileFeed::TFileFeed(const TArchiveRequest& request, const std::atomic<bool>& interrupted, dev_t skipDevice,
                     ino_t skipInode)
    : FRequest(request), FInterrupted(interrupted), FSkipDevice(skipDevice), FSkipInode(skipInode),
      FThread([this] { Run(); }) {}

TFileFeed::~TFileFeed() {
    {
        std::lock_guard lock(FMutex);
        FStop = true;
    }
    FChanged.notify_all();
    // FThread joins in its destructor.
}

void TFileFeed::CheckStop() const {
    if (FStop) throw TStopped{};
    if (FInterrupted.load()) throw EArchiverError(aeInterrupted, "interrupted");
}

TFeedItem TFileFeed::Next() {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return !FQueue.empty(); });
    TFeedItem item = std::move(FQueue.front());
    FQueue.pop_front();
    if (item.Kind == TFeedItem::fiData) --FQueuedBuffers;
    lock.unlock();
    FChanged.notify_all();
    return item;
}

void TFileFeed::Recycle(std::vector<char>&& buffer) {
    {
        std::lock_guard lock(FMutex);
        if (FPool.size() < MaxQueuedBuffers) FPool.push_back(std::move(buffer));
    }
    FChanged.notify_all();
}

std::vector<char> TFileFeed::TakeBuffer() {
    std::lock_guard lock(FMutex);
    if (!FPool.empty()) {
        std::vector<char> buffer = std::move(FPool.back());
        FPool.pop_back();
        return buffer;
    }
    return std::vector<char>(BufferSize);
}

void TFileFeed::Push(TFeedItem&& item) {
    std::unique_lock lock(FMutex);
    if (item.Kind == TFeedItem::fiData) {
        FChanged.wait(lock, [this] { return FStop || FQueuedBuffers < MaxQueuedBuffers; });
        ++FQueuedBuffers;
    }
    if (FStop) throw TStopped{};
    FQueue.push_back(std::move(item));
    lock.unlock();
    FChanged.notify_all();
}

void TFileFeed::Run() {
    try {
        try {
            for (const TArchiveSource& source : FRequest.Sources) {
                struct stat st {};
                if (::stat(source.Path.c_str(), &st) != 0)
                    throw EArchiverError(aeNoFiles, "cannot find " + source.Path + ": " + ErrnoText(errno));
                if (source.ContentsOnly) {
                    if (!S_ISDIR(st.st_mode)) throw EArchiverError(aeNoFiles, source.Path + "/ is not a folder");
                    Walk(source.Path, "", FRequest.Recurse);
                } else {
                    AddPath(source.Path, BaseName(source.Path), FRequest.Recurse);
                }
            }
            if (FEntries == 0) throw EArchiverError(aeNoFiles, "no files to add");
            TFeedItem done;
            done.Kind = TFeedItem::fiDone;
            Push(std::move(done));
        } catch (const EArchiverError& e) {
            TFeedItem error;
            error.Kind = TFeedItem::fiError;
            error.Text = e.what();
            error.Code = e.Code;
            Push(std::move(error));
        } catch (const std::exception& e) {
            TFeedItem error;
            error.Kind = TFeedItem::fiError;
            error.Text = e.what();
            error.Code = aeFatal;
            Push(std::move(error));
        }
    } catch (const TStopped&) {
    }
}

// The entries of a folder in name order, so an archive of the same tree is the same.
void TFileFeed::Walk(const std::string& path, const std::string& prefix, bool recurse) {
    std::unique_ptr<DIR, TDirCloser> dir(::opendir(path.c_str()));
    if (!dir) throw EArchiverError(aeOpenError, "cannot open folder " + path + ": " + ErrnoText(errno));
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0) throw EArchiverError(aeOpenError, "cannot read folder " + path + ": " + ErrnoText(errno));
            break;
        }
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    dir.reset();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        CheckStop();
        struct stat st {};
        std::string child = JoinPath(path, name);
        if (::lstat(child.c_str(), &st) != 0)
            throw EArchiverError(aeOpenError, "cannot read " + child + ": " + ErrnoText(errno));
        if (S_ISDIR(st.st_mode) && !recurse) continue;
        if (st.st_dev == FSkipDevice && st.st_ino == FSkipInode) continue;
        AddPath(child, prefix + name, recurse);
    }
}

void TFileFeed::AddPath(const std::string& path, const std::string& name, bool recurse) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) throw EArchiverError(aeOpenError, "cannot read " + path + ": " + ErrnoText(errno));
    TFeedItem entry;
    entry.Kind = TFeedItem::fiEntry;
    if (S_ISLNK(st.st_mode)) {
        // A link to a file is followed, so the backup holds the data; any other
        // link (to a folder, dangling) is kept as a link, which cannot loop.
        struct stat target {};
        if (::stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode)) return SendFile(path, name);
        std::vector<char> buffer(4096);
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0) throw EArchiverError(aeOpenError, "cannot read link " + path + ": " + ErrnoText(errno));
        entry.Name = name;
        entry.Status = st;
        entry.LinkTarget.assign(buffer.data(), static_cast<std::size_t>(n));
        ++FEntries;
        return Push(std::move(entry));
    }
    if (S_ISREG(st.st_mode)) return SendFile(path, name);
    if (S_ISDIR(st.st_mode)) {
        entry.Name = name + "/";
        entry.Status = st;
        ++FEntries;
        Push(std::move(entry));
        return Walk(path, name + "/", recurse);
    }
    // Pipes, sockets and devices have no bytes to keep; reading a pipe could wait forever.
    TFeedItem warning;
    warning.Kind = TFeedItem::fiWarning;
    warning.Text = "skipped " + path + ": not a regular file, folder or link";
    Push(std::move(warning));
}

void TFileFeed::SendFile(const std::string& path, const std::string& name) {
    // O_NONBLOCK: a pipe put in place of the file after the walk must not block the open.
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.Value < 0) throw EArchiverError(aeOpenError, "cannot open " + path + ": " + ErrnoText(errno));
    struct stat st {};
    if (::fstat(fd.Value, &st) != 0) throw EArchiverError(aeOpenError, "cannot read " + path + ": " + ErrnoText(errno));
    if (!S_ISREG(st.st_mode)) throw EArchiverError(aeOpenError, path + " changed into something that is not a file");
    ::fcntl(fd.Value, F_SETFL, 0);
    ::posix_fadvise(fd.Value, 0, 0, POSIX_FADV_SEQUENTIAL);

    TFeedItem entry;
    entry.Kind = TFeedItem::fiEntry;
    entry.Name = name;
    entry.Status = st;
    ++FEntries;
    Push(std::move(entry));

    // Exactly the size the entry announced: a file that shrinks meanwhile is an
    // error (the archive would be wrong), bytes added meanwhile are left out.
    off_t left = st.st_size;
    while (left > 0) {
        CheckStop();
        TFeedItem data;
        data.Kind = TFeedItem::fiData;
        data.Buffer = TakeBuffer();
        std::size_t want = static_cast<std::size_t>(std::min<off_t>(left, static_cast<off_t>(data.Buffer.size())));
        while (data.Size < want) {
            ssize_t n = ::read(fd.Value, data.Buffer.data() + data.Size, want - data.Size);
            if (n < 0 && errno == EINTR) {
                CheckStop();
                continue;
            }
            if (n < 0) throw EArchiverError(aeOpenError, "cannot read " + path + ": " + ErrnoText(errno));
            if (n == 0)
                throw EArchiverError(aeOpenError, path + " became shorter while it was being read");
            data.Size += static_cast<std::size_t>(n);
        }
        left -= static_cast<off_t>(data.Size);
        Push(std::move(data));
    }
    char probe;
    ssize_t more = ::read(fd.Value, &probe, 1);
    if (more > 0) {
        TFeedItem warning;
        warning.Kind = TFeedItem::fiWarning;
        warning.Text = path + " grew while it was being read; the bytes added meanwhile are not in the archive";
        Push(std::move(warning));
    }
    TFeedItem end;
    end.Kind = TFeedItem::fiEndOfFile;
    Push(std::move(end));
}
