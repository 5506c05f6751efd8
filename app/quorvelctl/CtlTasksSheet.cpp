#include "app/quorvelctl/CtlTasksSheet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "platform/Files.h"
#include "tasks/TaskFile.h"

bool LooksLikeWorkbook(const std::string& path) {
    // Only a regular file is looked into: a FIFO would hold us here for ever
    // (the import then names what it is).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    char head[8] = {};
    ssize_t got = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) got = ::read(fd, head, sizeof head);
    ::close(fd);
    static const unsigned char ole2[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    return (got >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0) ||
           (got == 8 && std::memcmp(head, ole2, sizeof ole2) == 0);
}

int ImportTaskRows(const std::string& file, const std::function<TWorksheet(int columns)>& read) {
    // From loading to saving: another writer's rows must not be saved over.
    TTaskFileLock lock(file);
    TTaskTable table;
    if (FileExists(file)) LoadFromFile(table, file);
    const TWorksheet sheet = read(table.FieldTotal());
    const TSheetImport import = AppendSheetRows(table, sheet, "ID");
    const AnsiString warning = TooCloseMessage(table, import);
    SaveToFile(table, file);
    if (!warning.empty()) std::cerr << "quorvelctl: " << AnsiToUtf8Lenient(warning) << "\n";
    std::cout << "imported " << import.Appended << " task(s) into " << file << "\n";
    return 0;
}

int ImportSheetTasks(const std::string& file, const std::string& workbook) {
    return ImportTaskRows(file, [&](int columns) { return ReadFirstWorksheet(workbook, columns); });
}

int ExportSheetTasks(const std::string& file, const std::string& workbook) {
    TTaskTable table;
    LoadFromFile(table, file);
    if (table.CountRecords() == 0) {
        std::cerr << "quorvelctl: " << file << ": no tasks to export\n";
        return 1;
    }
    WriteTaskSheet(table, Utf8ToAnsi(TaskSheetNameUtf8), workbook);
    std::cout << "exported " << table.CountRecords() << " task(s) to " << workbook << "\n";
    return 0;
}
