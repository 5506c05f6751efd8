#pragma once
// Files and folders as the program sees them: its own folder holds task.ini,
// config.ini, Keldor.bat and the archive folder.
#include <string>
#include <string_view>
#include <sys/types.h>

// The executable's folder with its trailing separator, e.g. "/opt/quorvel/".
std::string ExeFolder();
// The executable's file name without folder, e.g. "quorvel".
std::string ExeName();
// The executable's full path (/proc/self/exe), never overridden.
std::string ExePath();
// Tests and tools point the program at another folder than its own.
void OverrideExeFolder(std::string folder);

// The folder for temporary files, with its trailing separator ($TMPDIR or /tmp/).
std::string TempFolder();

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Reads a whole file; returns false (errno set) when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content);

// Writes `content` to a new file beside `path` and renames it over `path`, so a
// crash or a full disk never leaves a half-written file in its place. A new file
// gets `newFileMode`; an existing file keeps its mode. Returns 0 or an errno value.
int ReplaceFileContent(const std::string& path, std::string_view content, mode_t newFileMode = 0644);

// The text of an errno value, as strerror gives it.
std::string ErrnoText(int error);
