#pragma once
// Program folders for the upgrader tests: stand-in programs that say which
// copy ran, staged files, the upgrader run as a real process (TChildProcess),
// and the folder read back as "name mode what" lines.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "tests/support/ChildProcess.h"

namespace upgrader_test {

namespace fs = std::filesystem;

inline std::string ReadAll(const std::string& path) {
    std::string content;
    if (!ReadWholeFile(path, content))
        throw std::runtime_error("cannot read " + path);
    return content;
}

inline void WriteAll(const std::string& path, const std::string& content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        ::fchmod(fd, mode) != 0 || ::close(fd) != 0)
        throw std::runtime_error("cannot write " + path);
}

// The stand-in's bytes with its trailer: copies with other labels differ.
inline std::string StandInBytes(const std::string& label, const std::string& behaviour = "ok") {
    static const std::string base = ReadAll(QUORVEL_UPGRADER_STANDIN);
    return base + "\nSTANDIN " + label + " " + behaviour + "\n";
}

// A file of a program folder: written before a run, or expected after it.
struct TFileSpec {
    std::string Name;
    std::string Content; // ignored for a folder
    mode_t Mode = 0644;
    bool IsFolder = false;
};

inline TFileSpec Program(const std::string& name, const std::string& label, const std::string& behaviour = "ok",
                         mode_t mode = 0755) {
    return {name, StandInBytes(label, behaviour), mode};
}
inline TFileSpec Text(const std::string& name, const std::string& content, mode_t mode = 0644) {
    return {name, content, mode};
}
inline TFileSpec Folder(const std::string& name) { return {name, {}, 0755, true}; }

// A setup program that records its start like the stand-in does.
inline TFileSpec SetupScript(const std::string& name) {
    return Text(name, "#!/bin/sh\necho \"setup $(basename \"$0\") $*\" >> \"$(dirname \"$0\")/starts.log\"\n");
}

inline void Create(const std::string& folder, const TFileSpec& file, const std::string& suffix = "",
                   mode_t mode = 0) {
    const std::string path = folder + file.Name + suffix;
    if (file.IsFolder) {
        fs::create_directories(path);
        WriteAll(path + "/inside", "kept", 0644);
        return;
    }
    WriteAll(path, file.Content, mode ? mode : file.Mode);
}

// What a file is, readably: a stand-in copy by its label, short text as itself.
inline std::string Describe(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return "missing";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    if (S_ISDIR(info.st_mode))
        return std::string(mode) + " folder";
    const std::string content = ReadAll(path);
    const std::size_t at = content.rfind("\nSTANDIN ");
    if (at != std::string::npos) {
        const std::string trailer = content.substr(at + 9);
        const std::size_t blank = trailer.find(' ');
        const std::string label = trailer.substr(0, blank);
        const std::string behaviour = trailer.substr(blank + 1, trailer.size() - blank - 2);
        // Byte for byte, or it is not that copy.
        return std::string(mode) + (content == StandInBytes(label, behaviour) ? " program " + label : " damaged program");
    }
    return std::string(mode) + (content.size() < 200 ? " \"" + content + "\"" : " " + std::to_string(content.size()) + " bytes");
}

inline std::string Describe(const TFileSpec& file) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.Mode));
    if (file.IsFolder)
        return std::string(mode) + " folder";
    const std::size_t at = file.Content.rfind("\nSTANDIN ");
    if (at != std::string::npos)
        return std::string(mode) + " program " + file.Content.substr(at + 9, file.Content.find(' ', at + 9) - at - 9);
    return std::string(mode) + " \"" + file.Content + "\"";
}

// Every entry of `folder` but the start record, as "name: mode what", sorted.
inline std::vector<std::string> FolderState(const std::string& folder) {
    std::vector<std::string> state;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "starts.log")
            state.push_back(name + ": " + Describe(folder + name));
    }
    std::sort(state.begin(), state.end());
    return state;
}

inline std::vector<std::string> Expected(const std::vector<TFileSpec>& files) {
    std::vector<std::string> state;
    for (const TFileSpec& file : files)
        state.push_back(file.Name + ": " + Describe(file));
    std::sort(state.begin(), state.end());
    return state;
}

inline std::vector<std::string> ReadLines(const std::string& path) {
    std::string content;
    std::vector<std::string> lines;
    if (!ReadWholeFile(path, content))
        return lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A private folder under TempFolder(), removed with everything in it.
class TScratchFolder {
public:
    TScratchFolder() {
        std::string pattern = TempFolder() + "quorvel-upgtest-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern + "/";
    }
    ~TScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// A scratch folder with a program folder "app/" and a temporary folder "tmp/".
struct THandOverFolders {
    THandOverFolders() {
        fs::create_directories(Folder);
        fs::create_directories(Tmp);
    }
    TScratchFolder Scratch;
    const std::string Folder = Scratch.Path() + "app/";
    const std::string Tmp = Scratch.Path() + "tmp/";
};

// How long a test waits for a child it started to end.
constexpr std::chrono::seconds ChildLimit {30};

// Sets environment variables for one test and puts the old values back.
class TEnvironmentScope {
public:
    explicit TEnvironmentScope(const std::map<std::string, std::string>& values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~TEnvironmentScope() {
        for (const auto& [name, value] : saved_)
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        OverrideExeFolder("");
    }
    TEnvironmentScope(const TEnvironmentScope&) = delete;
    TEnvironmentScope& operator=(const TEnvironmentScope&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Waits for a child we started; its exit code, or -1 when it is still running after `limitMs`.
inline int WaitForChild(pid_t pid, int limitMs = 30000) {
    for (int waited = 0; waited < limitMs; waited += 10) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

} // namespace upgrader_test
