#include "platform/BatchRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "platform/Files.h"

extern char** environ;

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string TrimText(const std::string& s) { return std::string(Trim(s)); }

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == prefix;
}

std::vector<std::string> Split(const std::string& s, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        auto end = s.find(separator, start);
        parts.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

std::string Join(const std::vector<std::string>& parts, char separator) {
    std::string joined;
    for (const std::string& part : parts) {
        if (!joined.empty()) joined += separator;
        joined += part;
    }
    return joined;
}

// Replaces every %path% (any case) by `value`.
std::string ExpandPathVariable(const std::string& text, const std::string& value) {
    std::string lower = Lower(text), result;
    std::string::size_type pos = 0;
    for (;;) {
        auto hit = lower.find("%path%", pos);
        if (hit == std::string::npos) break;
        result += text.substr(pos, hit - pos) + value;
        pos = hit + 6;
    }
    return result + text.substr(pos);
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Owners of the spawn attributes, freed on every way out.
struct TSpawnActions {
    posix_spawn_file_actions_t value;
    TSpawnActions() { posix_spawn_file_actions_init(&value); }
    ~TSpawnActions() { posix_spawn_file_actions_destroy(&value); }
};
struct TSpawnAttr {
    posix_spawnattr_t value;
    TSpawnAttr() { posix_spawnattr_init(&value); }
    ~TSpawnAttr() { posix_spawnattr_destroy(&value); }
};

// A descriptor closed on every way out.
struct TOwnedFd {
    int fd = -1;
    TOwnedFd() = default;
    explicit TOwnedFd(int f) : fd(f) {}
    TOwnedFd(const TOwnedFd&) = delete;
    TOwnedFd& operator=(const TOwnedFd&) = delete;
    ~TOwnedFd() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

std::string VariableName(std::string_view entry) {
    auto equals = entry.find('=');
    return std::string(entry.substr(0, equals));
}

// A pipe whose read end holds `text` and whose write end is already closed, so
// a reader sees the text and then the end. The read end is kept above the
// standard numbers, so moving it onto the secret's descriptor always makes a
// copy that loses close-on-exec. Returns the read end, or -1 with errno set.
int PipeHolding(const std::string& text) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    TOwnedFd readEnd(ends[0]), writeEnd(ends[1]);
    // A pipe holds 64 KiB before a writer blocks; a secret is far shorter.
    if (text.size() > 60000) {
        errno = E2BIG;
        return -1;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(writeEnd.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<std::size_t>(n);
    }
    writeEnd.Close();
    int high = ::fcntl(readEnd.fd, F_DUPFD_CLOEXEC, 10);
    return high;
}

} // namespace

void TCommandOutcome::SetWaitStatus(int status) {
    code_.store(WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255,
                std::memory_order_relaxed);
    exited_.store(true, std::memory_order_release);
}

TBatchRunner::TBatchRunner() {
    // Starts from the program's own search path, which %path% then stands for.
    const char* path = std::getenv("PATH");
    for (const std::string& folder : Split(path ? path : "/usr/local/bin:/usr/bin:/bin", ':'))
        if (!folder.empty()) searchPath_.push_back(folder);
}

int TBatchRunner::Start(const std::string& path) {
    std::string content;
    if (!ReadWholeFile(path, content))
        throw EBatchError(Utf8ToAnsiLenient("Cannot read batch file " + path + ": " + ErrnoText(errno)));
    return StartText(content);
}

int TBatchRunner::StartText(const AnsiString& text) {
    int started = 0;
    for (const TBatchLine& batchLine : SplitBatchLines(text)) {
        if (batchLine.BreakInQuotes) {
            ReportError("line " + std::to_string(batchLine.Number) +
                        ": a line break inside a quoted operand; the command is not run: " +
                        AnsiToUtf8Lenient(batchLine.Text));
            continue;
        }
        std::string utf8;
        try {
            utf8 = AnsiToUtf8(batchLine.Text);
        } catch (const EEncodingError& e) {
            ReportError("line " + std::to_string(batchLine.Number) + ": " + AnsiToUtf8Lenient(e.Message));
            continue;
        }
        RunLine(utf8, batchLine.Number, started);
    }
    return started;
}

std::vector<TBatchRunner::TBatchLine> TBatchRunner::SplitBatchLines(const AnsiString& text) {
    std::vector<TBatchLine> lines;
    int physical = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        TBatchLine line;
        line.Number = ++physical;
        std::size_t end = text.find('\n', pos);
        const std::string first = TrimText(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        const std::string lower = Lower(!first.empty() && first[0] == '@' ? TrimText(first.substr(1)) : first);
        // A comment is one line whatever quotes it holds.
        const bool comment = lower.rfind("::", 0) == 0 || lower == "rem" || lower.rfind("rem ", 0) == 0;
        bool quoted = false;
        for (; pos < text.size(); ++pos) {
            const char c = text[pos];
            if (c == '"' && !comment) quoted = !quoted;
            if (c == '\n') {
                // CR LF is the file's own line end: it ends the line even inside
                // an unterminated quote, which RunLine then refuses.
                if (!quoted || (!line.Text.empty() && line.Text.back() == '\r')) {
                    ++pos;
                    break;
                }
                // A bare line feed inside quotes belongs to the operand: never a
                // command of its own.
                line.BreakInQuotes = true;
                ++physical;
                line.Text += c;
                continue;
            }
            if (c == '\r' && quoted && (pos + 1 >= text.size() || text[pos + 1] != '\n')) line.BreakInQuotes = true;
            line.Text += c;
        }
        if (!line.Text.empty() && line.Text.back() == '\r') line.Text.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

void TBatchRunner::RunLine(const std::string& rawLine, int lineNumber, int& started) {
    std::string line = TrimText(rawLine);
    if (!line.empty() && line[0] == '@') line = TrimText(line.substr(1));
    if (line.empty() || line.rfind("::", 0) == 0) return;
    std::string lower = Lower(line);
    if (lower == "rem" || StartsWithNoCase(line, "rem ")) return;

    auto fail = [&](const std::string& why) {
        ReportError("line " + std::to_string(lineNumber) + ": " + why + ": " + line);
    };

    if (lower.rfind("echo", 0) == 0 && TrimText(lower.substr(4)) == "off") return;
    if (lower == "path" || StartsWithNoCase(line, "path ") || StartsWithNoCase(line, "path=")) {
        std::string value = TrimText(line.substr(5 <= line.size() ? 5 : line.size()));
        if (value.empty()) return fail("a search path is expected");
        SetPath(ExpandPathVariable(value, Join(searchPath_, ';')));
        return;
    }

    std::vector<std::string> args;
    try {
        args = SplitCommandLine(line);
    } catch (const EBatchError& e) {
        return fail(AnsiToUtf8Lenient(e.Message));
    }
    if (args.empty()) return;
    // Commands of the interpreter itself, redirections and variables are not ours to run.
    static const char* const builtins[] = {"echo", "set", "if", "for", "goto", "call", "cd", "chdir", "copy", "del",
                                           "move", "start", "exit", "setlocal", "endlocal", "pushd", "popd", "cls"};
    for (const char* builtin : builtins)
        if (Lower(args[0]) == builtin) return fail("unsupported command");
    if (args[0].find_first_of("|<>&") != std::string::npos) return fail("unsupported command");
    std::string program = FindProgram(args[0]);
    if (program.empty()) return fail("program not found on the search path");
    if (Spawn(program, args, lineNumber)) ++started;
    else fail("cannot start " + program + ": " + ErrnoText(errno));
}

std::vector<std::string> TBatchRunner::SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    std::string current;
    bool inWord = false, quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) args.push_back(std::move(current));
            current.clear();
            inWord = false;
        } else if (!quoted && (c == '|' || c == '<' || c == '>' || c == '&')) {
            throw EBatchError("pipes and redirections are not supported");
        } else if (c == '%') {
            // In a batch file "%%" is one percent sign; a lone one starts a variable.
            if (i + 1 < line.size() && line[i + 1] == '%') {
                current += '%';
                ++i;
                inWord = true;
            } else {
                throw EBatchError("variables are not supported");
            }
        } else {
            current += c;
            inWord = true;
        }
    }
    if (quoted) throw EBatchError("unterminated double quote");
    if (inWord) args.push_back(std::move(current));
    return args;
}

void TBatchRunner::SetPath(const std::string& value) {
    std::vector<std::string> folders;
    for (std::string folder : Split(value, ';')) {
        folder = TrimText(folder);
        if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') folder = folder.substr(1, folder.size() - 2);
        if (!folder.empty()) folders.push_back(folder);
    }
    searchPath_ = std::move(folders);
}

std::string TBatchRunner::FindProgram(const std::string& name) const {
    if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
    for (const std::string& folder : searchPath_) {
        std::string candidate = folder + (folder.back() == '/' ? "" : "/") + name;
        if (IsExecutableFile(candidate)) return candidate;
    }
    return {};
}

bool TBatchRunner::Spawn(const std::string& program, const std::vector<std::string>& args, int lineNumber) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // The child sees the search path the batch file set, and our own variables
    // instead of any of the same name.
    std::string pathVariable = "PATH=" + Join(searchPath_, ':');
    std::vector<std::string> replaced{"PATH"};
    for (const std::string& entry : Environment) replaced.push_back(VariableName(entry));
    std::vector<char*> envp;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string name = VariableName(*entry);
        if (std::find(replaced.begin(), replaced.end(), name) == replaced.end()) envp.push_back(*entry);
    }
    envp.push_back(pathVariable.data());
    for (const std::string& entry : Environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    TSpawnActions actions;
    TOwnedFd secret;
    if (!SecretInput.empty()) {
        secret.fd = PipeHolding(SecretInput);
        if (secret.fd < 0) return false;
        posix_spawn_file_actions_adddup2(&actions.value, secret.fd, SecretDescriptor);
    }
    // Only the standard streams (and the secret's pipe) pass: an open SMTP
    // connection or lock must not live on in an archiver that outlasts us.
    posix_spawn_file_actions_addclosefrom_np(&actions.value, secret.fd >= 0 ? SecretDescriptor + 1 : 3);
    TSpawnAttr attr;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr.value, &none);
    posix_spawnattr_setsigdefault(&attr.value, &defaults);
    // A session of its own: like a console window of its own, it does not die
    // with the terminal that started us.
    posix_spawnattr_setflags(&attr.value, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions.value, &attr.value, argv.data(), envp.data());
    if (rc != 0) {
        errno = rc;
        return false;
    }
    auto outcome = std::make_shared<TCommandOutcome>();
    started_.push_back({pid, program, lineNumber, outcome});
    // Nobody waits for the command; this collects its exit status, so that it
    // leaves no zombie behind and whoever watches it learns how it ended.
    std::thread([pid, outcome] {
        int status = 0;
        pid_t waited = 0;
        while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
        outcome->SetWaitStatus(waited == pid ? status : 255 << 8);
    }).detach();
    return true;
}

void TBatchRunner::ReportError(const std::string& text) const {
    if (ErrorSink) ErrorSink(text);
    else std::cerr << "batch: " << text << std::endl;
}
