#pragma once
// The workbooks of the sheet tests come from openpyxl (tests/peers/sheet_tool.py),
// and openpyxl reads back what the program writes, so neither side checks itself.
#include <string>

// Makes the workbook NAME at `path`; a failure to make it fails the test.
void MakeSheetFixture(const std::string& name, const std::string& path);

// openpyxl's view of the workbook at `path`: one line per cell.
std::string ReadSheetBack(const std::string& path);
