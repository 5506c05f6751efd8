#pragma once
// What one call of the archiver asks for, read from its command line and
// environment: the rar-style `a -r -ag ARCHIVE_FOLDER/ SOURCE/` and the password.
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

// Exit statuses, the ones rar uses for the same situations, so the caller can
// treat both archivers alike.
enum TArchiverExit : int {
    aeSuccess = 0,
    aeWarning = 1,     // archive complete, something was skipped
    aeFatal = 2,
    aeWriteError = 5,  // e.g. the disk is full
    aeOpenError = 6,   // a file to add cannot be opened or read
    aeUsage = 7,
    aeCreateError = 9, // the archive cannot be created
    aeNoFiles = 10,    // the source does not exist or holds nothing
    aeInterrupted = 255,
};

class EArchiverError : public std::runtime_error {
public:
    EArchiverError(TArchiverExit code, const std::string& message) : std::runtime_error(message), Code(code) {}
    TArchiverExit Code;
};

struct TArchiveSource {
    std::string Path;       // as given, without the trailing '/'
    bool ContentsOnly{};    // "SOURCE/": its contents; "SOURCE": the folder itself under its name
};

struct TArchiveRequest {
    std::string ArchiveOperand;   // "FOLDER/" or a name prefix
    std::vector<TArchiveSource> Sources;
    bool Recurse{};
    bool AppendDate{};
};

// The command line without the program name. Raises EArchiverError(aeUsage).
TArchiveRequest ParseArchiveCommandLine(const std::vector<std::string>& args);

// The final archive path: with -ag the local date and time as YYYYMMDDhhmmss is
// appended to the operand (a folder operand ending in '/' gives just the stamp),
// then ".zip".
std::string ArchivePathFor(const TArchiveRequest& request, std::time_t now);

// The instant the archive is named after: QUORVEL_TEST_NOW when set (so tests run
// at a fixed instant), else the clock. Raises EArchiverError(aeUsage) for a value
// that is neither "YYYY-MM-DD hh:mm:ss" (local time; 'T' also separates) nor a
// count of seconds since 1970.
std::time_t ArchiveNow();
std::time_t ParseTestNow(const std::string& text);

// The archive password from the private channels: the file descriptor named by
// QUORVEL_ARCHIVE_PASSWORD_FD (read to its end, one trailing line end dropped) or
// else QUORVEL_ARCHIVE_PASSWORD, whose value is wiped from the process's
// environment once read. Empty: no encryption.
std::string TakeArchivePassword();

std::string UsageText();
