#include "archiver/ArchiveRequest.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string UsageText() {
    return "usage: quorvelzip a [-r] [-ag] ARCHIVE_FOLDER/ SOURCE/...\n"
           "  a      add the sources to a new zip archive\n"
           "  -r     include subfolders\n"
           "  -ag    name the archive after the date and time (YYYYMMDDhhmmss.zip)\n"
           "  the password, when one is wanted, comes from QUORVEL_ARCHIVE_PASSWORD_FD or\n"
           "  QUORVEL_ARCHIVE_PASSWORD (AES-256); never give it on the command line\n";
}

TArchiveRequest ParseArchiveCommandLine(const std::vector<std::string>& args) {
    auto usage = [](const std::string& why) { return EArchiverError(aeUsage, why + "\n" + UsageText()); };
    if (args.empty()) throw usage("no command given");
    if (args[0] != "a" && args[0] != "A") throw usage("unknown command '" + args[0] + "' (only 'a' is supported)");
    TArchiveRequest request;
    std::size_t i = 1;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') break;
        if (arg == "-r" || arg == "-R") request.Recurse = true;
        else if (arg == "-ag" || arg == "-AG") request.AppendDate = true;
        else if (arg.rfind("-p", 0) == 0 || arg.rfind("-hp", 0) == 0)
            // A password on the command line is visible to every user in the process list.
            throw usage("passwords are not taken on the command line; use QUORVEL_ARCHIVE_PASSWORD_FD or QUORVEL_ARCHIVE_PASSWORD");
        else throw usage("unknown switch '" + arg + "'");
    }
    if (i >= args.size()) throw usage("no archive given");
    request.ArchiveOperand = args[i++];
    if (request.ArchiveOperand.empty()) throw usage("the archive name is empty");
    if (i >= args.size()) throw usage("no files to add given");
    for (; i < args.size(); ++i) {
        TArchiveSource source;
        source.Path = args[i];
        if (source.Path.empty()) throw usage("an empty source operand");
        while (source.Path.size() > 1 && source.Path.back() == '/') {
            source.Path.pop_back();
            source.ContentsOnly = true;
        }
        request.Sources.push_back(std::move(source));
    }
    return request;
}

std::string ArchivePathFor(const TArchiveRequest& request, std::time_t now) {
    std::string base = request.ArchiveOperand;
    const std::string extension = ".zip";
    bool folder = base.back() == '/';
    if (!folder && base.size() > extension.size() &&
        ::strcasecmp(base.c_str() + base.size() - extension.size(), extension.c_str()) == 0)
        base.resize(base.size() - extension.size());
    if (request.AppendDate) {
        std::tm local{};
        if (!::localtime_r(&now, &local)) throw EArchiverError(aeFatal, "cannot convert the time to local time");
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        base += stamp;
    } else if (folder) {
        throw EArchiverError(aeUsage, "the archive '" + request.ArchiveOperand + "' is a folder; -ag names the archive in it");
    }
    return base + extension;
}

std::time_t ParseTestNow(const std::string& text) {
    auto bad = [&]() {
        return EArchiverError(aeUsage, "QUORVEL_TEST_NOW '" + text +
                                           "' is neither 'YYYY-MM-DD hh:mm:ss' nor seconds since 1970");
    };
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 12) throw bad();
        return static_cast<std::time_t>(std::stoll(text));
    }
    int year, month, day, hour, minute, second;
    char separator;
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &year, &month, &day, &separator, &hour, &minute,
                    &second, &used) != 7 ||
        static_cast<std::size_t>(used) != text.size() || (separator != ' ' && separator != 'T'))
        throw bad();
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) throw bad();
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    std::time_t t = std::mktime(&local);
    // mktime normalises 31 April to 1 May; such a date was not meant.
    if (t == static_cast<std::time_t>(-1) || local.tm_mday != day || local.tm_mon != month - 1) throw bad();
    return t;
}

std::time_t ArchiveNow() {
    const char* fixed = std::getenv("QUORVEL_TEST_NOW");
    if (fixed && *fixed) return ParseTestNow(fixed);
    return std::time(nullptr);
}

namespace {

std::string ReadPasswordFd(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    long fd = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || fd < 0 || fd > 1 << 20)
        throw EArchiverError(aeUsage, "QUORVEL_ARCHIVE_PASSWORD_FD '" + text + "' is not a file descriptor");
    std::string password;
    char buffer[256];
    for (;;) {
        // A writer that never closes its end must not keep the archiver waiting for ever.
        pollfd ready{static_cast<int>(fd), POLLIN, 0};
        int polled = ::poll(&ready, 1, 60000);
        if (polled < 0 && errno == EINTR) continue;
        if (polled == 0)
            throw EArchiverError(aeUsage, "no password arrived on descriptor " + text + " within 60 seconds");
        ssize_t n = ::read(static_cast<int>(fd), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw EArchiverError(aeUsage, "cannot read the password from descriptor " + text + ": " + std::strerror(errno));
        if (n == 0) break;
        password.append(buffer, static_cast<std::size_t>(n));
        if (password.size() > 4096) throw EArchiverError(aeUsage, "the password is longer than 4096 bytes");
    }
    ::explicit_bzero(buffer, sizeof buffer);
    ::close(static_cast<int>(fd));
    if (!password.empty() && password.back() == '\n') password.pop_back();
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

} // namespace

std::string TakeArchivePassword() {
    if (const char* fd = std::getenv("QUORVEL_ARCHIVE_PASSWORD_FD"); fd && *fd) return ReadPasswordFd(fd);
    char* value = std::getenv("QUORVEL_ARCHIVE_PASSWORD");
    if (!value) return {};
    std::string password(value);
    // The environment block is what /proc/<pid>/environ shows; wipe the value there too.
    ::explicit_bzero(value, password.size());
    ::unsetenv("QUORVEL_ARCHIVE_PASSWORD");
    return password;
}
