#include "tasks/TaskFile.h"

#include <cerrno>

#include "platform/Files.h"
#include "tasks/TaskPacket.h"

namespace {
// Paths are bytes on Linux (UTF-8 in practice); messages are CP936.
AnsiString PathText(const std::string& path) { return Utf8ToAnsiLenient(path); }
} // namespace

std::string TaskFilePath() { return ExeFolder() + "task.ini"; }

void LoadFromFile(TTaskTable& table, const std::string& path) {
    table.Close();
    std::string content;
    if (!ReadWholeFile(path, content)) {
        int error = errno;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", PathText(path).c_str(), Utf8ToAnsiLenient(ErrnoText(error)).c_str()));
    }
    table.LoadFromPacket(content);
}

void SaveToFile(TTaskTable& table, const std::string& path) {
    AnsiString packet = table.Snapshot();
    // The file holds database passwords in plain text: owner only.
    int error = ReplaceFileContent(path, packet, 0600);
    if (error != 0)
        throw EFCreateError(Format("Cannot create file \"%s\". %s", PathText(path).c_str(), Utf8ToAnsiLenient(ErrnoText(error)).c_str()));
}
