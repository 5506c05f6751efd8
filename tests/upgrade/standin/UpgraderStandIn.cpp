// The program the upgrader tests replace and restart. Tests copy it with a
// trailer line "STANDIN <label> <behaviour>" appended, so an old and a new
// copy differ in their bytes and say which one ran. Every start appends
// "<label> <file name> <arguments...>" to starts.log beside the file, then:
//   behaviour "ok"    exits 0,
//   behaviour "fail"  exits 3 (a new version that cannot start),
//   argument "--hold" runs until SIGTERM (at most 60 s), the running old program.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
std::string SelfPath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// The last "STANDIN label behaviour" line of the file.
void ReadTrailer(const std::string& path, std::string& label, std::string& behaviour) {
    label = "unmarked";
    behaviour = "ok";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char tail[256];
    const off_t size = ::lseek(fd, 0, SEEK_END);
    const off_t from = size > static_cast<off_t>(sizeof tail) ? size - static_cast<off_t>(sizeof tail) : 0;
    const ssize_t n = ::pread(fd, tail, sizeof tail, from);
    ::close(fd);
    if (n <= 0)
        return;
    const std::string text(tail, static_cast<std::size_t>(n));
    const std::size_t at = text.rfind("STANDIN ");
    if (at == std::string::npos)
        return;
    const std::size_t blank = text.find(' ', at + 8);
    const std::size_t end = text.find('\n', at);
    if (blank == std::string::npos || end == std::string::npos || blank > end)
        return;
    label = text.substr(at + 8, blank - at - 8);
    behaviour = text.substr(blank + 1, end - blank - 1);
}

volatile sig_atomic_t stopped = 0;
void Stop(int) { stopped = 1; }
} // namespace

int main(int argc, char** argv) {
    const std::string self = SelfPath();
    std::string label, behaviour;
    ReadTrailer(self, label, behaviour);
    std::string line = label + " " + self.substr(self.rfind('/') + 1);
    bool hold = false;
    for (int i = 1; i < argc; ++i) {
        line += std::string(" ") + argv[i];
        hold = hold || std::strcmp(argv[i], "--hold") == 0;
    }
    // With QUORVEL_STANDIN_DETAIL set: how it was started, for the hand-over checks.
    if (const char* detail = std::getenv("QUORVEL_STANDIN_DETAIL"); detail && *detail) {
        char input[PATH_MAX] {};
        const ssize_t n = ::readlink("/proc/self/fd/0", input, sizeof input - 1);
        line += std::string(" [") + (::getsid(0) == ::getpid() ? "own-session" : "shared-session") + " stdin=" +
                (n > 0 ? input : "closed") + "]";
    }
    line += "\n";
    const std::string log = self.substr(0, self.rfind('/') + 1) + "starts.log";
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const ssize_t written = ::write(fd, line.data(), line.size());
        ::close(fd);
        if (written != static_cast<ssize_t>(line.size()))
            return 4;
    }
    if (hold) {
        ::signal(SIGTERM, Stop);
        for (int i = 0; i < 6000 && !stopped; ++i)
            ::usleep(10000);
        return 0;
    }
    return behaviour == "fail" ? 3 : 0;
}
