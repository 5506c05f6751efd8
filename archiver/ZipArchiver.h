#pragma once
// Writes one zip archive of the request's sources through libarchive: under a
// temporary name (mode 0600, the archive holds whole databases) in the target's
// folder, flushed to disk, then renamed to its final name, which is never
// overwritten. On any error the temporary file is removed and EArchiverError
// raised, so nothing is ever left under the final name unless it is whole.
#include <atomic>
#include <functional>
#include <string>

#include "archiver/ArchiveRequest.h"

class TZipArchiver {
public:
    // Warnings (skipped entries) go to `warn`; they make Run return aeWarning.
    TZipArchiver(TArchiveRequest request, std::string password, std::function<void(const std::string&)> warn);
    ~TZipArchiver();
    TZipArchiver(const TZipArchiver&) = delete;
    TZipArchiver& operator=(const TZipArchiver&) = delete;

    // Packs into `archivePath`; returns aeSuccess or aeWarning, raises EArchiverError.
    TArchiverExit Run(const std::string& archivePath, const std::atomic<bool>& interrupted);

    static constexpr int CompressionLevel = 6; // zlib's and zip's default: their usual trade-off

private:
    TArchiveRequest FRequest;
    std::string FPassword;
    std::function<void(const std::string&)> FWarn;
};
