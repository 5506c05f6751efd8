#pragma once
// Files and folders as the program sees them: its own folder holds task.ini,
// config.ini, Keldor.bat and the archive folder.
#include <cstdint>
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

// Reads a whole regular file of at most `maxBytes` bytes. A FIFO, a device or a
// folder is refused without waiting on it. Returns "" or the reason (for an
// errno failure its strerror text).
std::string ReadRegularFile(const std::string& path, std::string& content, std::uint64_t maxBytes);

// The file a path names once symbolic links are followed (also a link to a file
// not yet there); the path itself when it is no link.
std::string ResolveLinks(const std::string& path);

// Writes `content` to a new file beside `path` and renames it over `path`, so a
// crash or a full disk never leaves a half-written file in its place. A path
// that is a symbolic link is written through to its target, so the link stays.
// A new file gets `newFileMode`; an existing file keeps its mode. Returns 0 or
// an errno value.
int ReplaceFileContent(const std::string& path, std::string_view content, mode_t newFileMode = 0600);

// The temporary name ReplaceFileContent writes beside `path`: path + ".XXXXXX".
bool IsTemporaryNameOf(const std::string& path, const std::string& candidate);
// Removes what a save killed mid-way left beside `path` (its temporaries,
// regular files of ours). Only safe while no other save of that file can run.
void RemoveStaleTemporaries(const std::string& path);

// The text of an errno value, as strerror gives it.
std::string ErrnoText(int error);
