#include "platform/SystemLog.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace {

// One write per entry, so entries of several processes never interleave.
bool AppendLine(const char* path, const std::string& line) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return written;
}

// sd_journal_send reports success when no journal listens, so look first.
bool JournalListens() {
    struct stat info {};
    return ::stat("/run/systemd/journal/socket", &info) == 0 && S_ISSOCK(info.st_mode);
}

} // namespace

TSystemLogTarget WriteSystemLogError(const std::string& identifier, const AnsiString& text) {
    const std::string message = AnsiToUtf8Lenient(text);
    const char* file = std::getenv("QUORVEL_SYSTEM_LOG");
    if (file && *file && AppendLine(file, identifier + "\t" + message + "\n"))
        return TSystemLogTarget::File;
    if (JournalListens() &&
        sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=3", "SYSLOG_IDENTIFIER=%s", identifier.c_str(),
                        nullptr) >= 0)
        return TSystemLogTarget::Journal;
    const std::string line = identifier + ": " + message + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    return TSystemLogTarget::StandardError;
}
