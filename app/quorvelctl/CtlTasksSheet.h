#pragma once
// quorvelctl tasks export / the workbook side of tasks import.
#include <string>

// Whether `path` holds a workbook (a zip, or an old binary or encrypted
// workbook, which the import then refuses by name) rather than text rows.
bool LooksLikeWorkbook(const std::string& path);

// Appends the first worksheet's rows to the task file and saves it; any
// refusal leaves the file as it was.
int ImportSheetTasks(const std::string& file, const std::string& workbook);

// Writes the task file's tasks into a new workbook; an empty list is an error.
int ExportSheetTasks(const std::string& file, const std::string& workbook);
