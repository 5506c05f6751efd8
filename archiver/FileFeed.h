#pragma once
// Walks the sources and reads the files to add on a thread of its own, handing
// the entries and their bytes over in order through a bounded queue: the disk
// is read while the archive writer compresses, and memory stays at a few
// buffers whatever the size of the files.
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archiver/ArchiveRequest.h"

struct TFeedItem {
    enum TKind { fiEntry, fiData, fiEndOfFile, fiWarning, fiError, fiDone };
    TKind Kind{fiDone};
    // fiEntry: the name inside the archive ('/' separated, folders end in '/'),
    // its status (st_size is the number of bytes that follow for a file) and the
    // link target of a symbolic link.
    std::string Name;
    struct stat Status {};
    std::string LinkTarget;
    // fiData: a buffer of the pool, Size bytes used; give it back with Recycle.
    std::vector<char> Buffer;
    std::size_t Size{};
    // fiWarning / fiError: the text; fiError also its exit status.
    std::string Text;
    TArchiverExit Code{aeSuccess};
};

class TFileFeed {
public:
    static constexpr std::size_t BufferSize = 1 << 20;
    static constexpr std::size_t MaxQueuedBuffers = 4;

    // `skip` is the archive being written (device, inode): an archive folder inside
    // the source must not pack the growing archive into itself.
    TFileFeed(const TArchiveRequest& request, const std::atomic<bool>& interrupted, dev_t skipDevice, ino_t skipInode);
    ~TFileFeed(); // stops and joins the reader
    TFileFeed(const TFileFeed&) = delete;
    TFileFeed& operator=(const TFileFeed&) = delete;

    // The next item, waiting for the reader; after fiError or fiDone nothing follows.
    TFeedItem Next();
    void Recycle(std::vector<char>&& buffer);

private:
    void Run();
    void Walk(const std::string& path, const std::string& name, bool recurse);
    void AddPath(const std::string& path, const std::string& name, bool recurse);
    void SendFile(const std::string& path, const std::string& name);
    void Push(TFeedItem&& item);
    std::vector<char> TakeBuffer();
    void CheckStop() const;

    const TArchiveRequest& FRequest;
    const std::atomic<bool>& FInterrupted;
    dev_t FSkipDevice;
    ino_t FSkipInode;
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::deque<TFeedItem> FQueue;
    std::size_t FQueuedBuffers{};
    std::vector<std::vector<char>> FPool;
    std::atomic<bool> FStop{};
    std::size_t FEntries{};
    std::jthread FThread; // last: started once everything above exists
};
