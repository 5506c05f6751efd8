#pragma once
// quorvelctl tasks export, and tasks import of a workbook or of text rows.
#include <functional>
#include <string>

#include "tasks/TaskSheet.h"

// Whether `path` holds a workbook (a zip, or an old binary or encrypted
// workbook, which the import then refuses by name) rather than text rows.
bool LooksLikeWorkbook(const std::string& path);

// Appends the rows `read` gives (it gets the number of columns a task has) to
// the task file under its lock and saves it, as the spreadsheet import
// appends: every row checked first, any refusal leaves the file as it was.
int ImportTaskRows(const std::string& file, const std::function<TWorksheet(int columns)>& read);

// The same with the first worksheet of a workbook.
int ImportSheetTasks(const std::string& file, const std::string& workbook);

// Writes the task file's tasks into a new workbook; an empty list is an error.
int ExportSheetTasks(const std::string& file, const std::string& workbook);
