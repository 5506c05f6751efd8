#pragma once
// The desktop side of the spreadsheet exchange: export opens the workbook in
// the desktop's spreadsheet program, import asks for a workbook file.
#include <string>

#include "platform/AnsiString.h"
#include "tasks/TaskTable.h"

class QWidget;

// Writes the table into "<sheetName>.xlsx" in a new private folder and opens
// it with the desktop's opener. Returns the workbook's path; raises the
// writer's errors, or an Exception naming the file when no opener starts.
// The folder stays: the user may still have the workbook open or save into it.
std::string ExportToExcel(TTaskTable& table, const AnsiString& sheetName);

// Asks for a workbook and appends its first sheet's rows (AppendSheetRows).
// false when the dialog was cancelled or the file could not be read (its
// reason shown in a box). A refused row raises its error; the table is then
// unchanged. Tasks whose run times come too close to others are named in an
// information box.
bool ImportFromExcel(TTaskTable& table, const AnsiString& excluded, QWidget* parent = nullptr);
