#pragma once
// The task file "task.ini" beside the executable: one binary data packet of the
// task table (see TaskPacket.h), read once at start-up and written only by the
// save command.
#include <string>

#include "platform/Exception.h"
#include "tasks/TaskTable.h"

// A file that cannot be opened for reading.
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};

// The full path of the program's task file: ExeFolder() + "task.ini".
std::string TaskFilePath();

// Closes the table, reads the whole file and opens the table on its packet,
// the first record current. A file that cannot be read raises EFOpenError
// "Cannot open file "%s". %s"; every other failure is that of
// TTaskTable::LoadFromPacket. After any failure the table is closed.
void LoadFromFile(TTaskTable& table, const std::string& path);

// Folds a pending record in and writes the table's packet. The file is written
// beside the old one and renamed over it, so a failed save keeps the previous
// file; a new file is readable and writable by its owner only. A failure raises
// EFCreateError "Cannot create file "%s". %s" and leaves the table unchanged.
void SaveToFile(TTaskTable& table, const std::string& path);
