#pragma once
// Volumes of an archive too large for one mail: plain byte ranges of the
// finished archive, `<archive>.001`, `.002`, ... beside it, so that 7-Zip opens
// the first one and `cat` (or `copy /b`) joins them back into the archive.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/AnsiString.h"
#include "platform/Exception.h"

// A volume cannot be written, or no volume size fits the limit.
class EVolumeError : public Exception {
public:
    using Exception::Exception;
};

// Kept free below the mail limit for what the servers on the way add
// (Received and similar header fields).
inline constexpr std::uint64_t VolumeHeaderMargin = 4096;

// "<archive>.001" for n = 1; three digits at least, more past 999.
std::string VolumeName(const std::string& archivePath, std::size_t n);

// How many volumes of `partSize` bytes hold `archiveSize` bytes (at least one).
std::size_t VolumeCount(std::uint64_t archiveSize, std::uint64_t partSize);

// The largest part size from 1 to `most` whose mail, as `mailSize` measures it,
// stays within `budget`; 0 when not even one byte fits. `mailSize` must grow
// with the part size (bytes of base64 and its line ends).
std::uint64_t LargestFittingPart(std::uint64_t budget, std::uint64_t most,
                                 const std::function<std::uint64_t(std::uint64_t partSize)>& mailSize);

// Splits the file at `archivePath` into volumes of `partSize` bytes (the last
// one shorter), each written under a temporary name beside the archive and
// renamed once complete; readable by the owner only. Returns their paths in
// order. On any error nothing of the split is left behind (no temporary file,
// no volume) and EVolumeError is raised; the archive itself is never changed.
std::vector<std::string> SplitArchive(const std::string& archivePath, std::uint64_t partSize);

// Removes the files at `paths`; what cannot be removed is ignored.
void RemoveFiles(const std::vector<std::string>& paths);

// The mail of volume n of `count`: the subject followed by " (n/N)", and the
// body line "分卷 n/N" (code page 936).
AnsiString VolumeSubject(const AnsiString& subject, std::size_t n, std::size_t count);
AnsiString VolumeBodyLine(std::size_t n, std::size_t count);
