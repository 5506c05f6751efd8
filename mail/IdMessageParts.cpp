#include "mail/IdMessageParts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "mail/IdCoderMIME.h"
#include "mail/IdWriter.h"
#include "platform/Files.h"

namespace {

// Owns an open file descriptor.
class TFileHandle {
public:
    explicit TFileHandle(int fd) : FFd(fd) {}
    ~TFileHandle() {
        if (FFd >= 0) ::close(FFd);
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

// Input bytes per write: a whole number of 57-byte lines, about 64 KiB of output.
constexpr std::size_t ChunkLines = 840;
constexpr std::size_t ChunkBytes = ChunkLines * Base64LineBytes;

// Reads until `buffer` is full or the file ends; returns the byte count.
std::size_t ReadFull(int fd, char* buffer, std::size_t size, const AnsiString& path) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EReadError(Format("Cannot read file \"%s\". %s", path.c_str(), ErrnoText(errno).c_str()));
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

} // namespace

TIdAttachment::TIdAttachment(AnsiString sourcePath) : SourcePath(std::move(sourcePath)) {
    const std::size_t slash = SourcePath.rfind('/');
    FileName = slash == AnsiString::npos ? SourcePath : SourcePath.substr(slash + 1);
}

void TIdAttachment::ApplyDefaults() {
    if (ContentTransfer.empty()) ContentTransfer = "base64";
    if (ContentDisposition.empty()) ContentDisposition = "attachment";
    if (ContentTransfer == "base64" && ContentType.empty()) ContentType = "application/octet-stream";
}

void TIdAttachment::EncodeAttachment(TIdWriter& writer) const {
    // Paths inside the program are code page 936; the file system's names are UTF-8.
    std::string systemPath;
    try {
        systemPath = AnsiToUtf8(SourcePath);
    } catch (const EEncodingError& e) {
        throw EFOpenError(Format("Cannot open file \"%s\". %s", SourcePath.c_str(), e.Message.c_str()));
    }
    int fd;
    do {
        fd = ::open(systemPath.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw EFOpenError(Format("Cannot open file \"%s\". %s", SourcePath.c_str(), ErrnoText(errno).c_str()));
    TFileHandle file(fd);
    if (writer.CountsOnly()) {
        struct stat info {};
        if (::fstat(file.Get(), &info) != 0)
            throw EReadError(Format("Cannot read file \"%s\". %s", SourcePath.c_str(), ErrnoText(errno).c_str()));
        writer.Skip(Base64LinesSize(static_cast<std::uint64_t>(info.st_size)));
        return;
    }

    // The 57-byte lines are gathered into writes of many lines; the bytes are the same.
    std::string input(ChunkBytes, '\0');
    std::string lines;
    lines.reserve(ChunkLines * 78);
    while (true) {
        const std::size_t got = ReadFull(file.Get(), input.data(), input.size(), SourcePath);
        if (got == 0) break;
        lines.clear();
        AppendBase64Lines(lines, std::string_view(input).substr(0, got));
        writer.Write(lines);
        if (got < input.size()) break;
    }
}

TIdAttachment& TIdMessageParts::AddAttachment(AnsiString sourcePath) {
    auto part = std::make_unique<TIdAttachment>(std::move(sourcePath));
    TIdAttachment& ref = *part;
    FItems.push_back(std::move(part));
    return ref;
}

TIdText& TIdMessageParts::AddText() {
    auto part = std::make_unique<TIdText>();
    TIdText& ref = *part;
    FItems.push_back(std::move(part));
    return ref;
}

TIdMessageParts::TTally TIdMessageParts::TallyParts() const {
    TTally tally;
    for (const auto& part : FItems) {
        if (dynamic_cast<const TIdText*>(part.get())) {
            ++tally.TextParts;
        } else if (dynamic_cast<const TIdAttachment*>(part.get())) {
            ++tally.Attachments;
            if (!part->ExtraHeaders.Values("Content-ID").empty()) ++tally.RelatedParts;
        }
    }
    return tally;
}
