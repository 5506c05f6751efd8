#pragma once
// Exchanging a table with a spreadsheet: an .xlsx workbook whose first row is
// the header (the fields' labels) and whose following rows are the records,
// one column per field in field order.
//
// Writing goes through libxlsxwriter; reading opens the zip (libzip) and walks
// the workbook's XML parts (expat) itself, so no spreadsheet program is needed.
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"
#include "tasks/TaskTable.h"

// A file that is no workbook we can read: not a zip, damaged, bad XML, too big,
// or an old binary (.xls) or encrypted workbook. The message is for the user.
class ESheetError : public Exception {
public:
    using Exception::Exception;
};

// A row the import refuses; the message names the reason and the sheet row.
class ESheetRowError : public Exception {
public:
    using Exception::Exception;
};

// The sheet name of an export: the main window's caption (UTF-8).
inline constexpr const char* TaskSheetNameUtf8 = "SQLServer数据库备份邮件工具";

// The last sheet row that can hold a record (row 1 is the header).
constexpr int SheetLastRecordRow = 10001;

enum class TSheetCellKind {
    Empty,
    Text,       // Text holds the value as the sheet shows it, in UTF-8
    Unreadable, // no usable value: an error, a formula never calculated, a date
};

struct TSheetCell {
    TSheetCellKind Kind = TSheetCellKind::Empty;
    std::string Text;
};

// The first worksheet of a workbook: rows by their 1-based number, cells by
// their 0-based column. Only columns below the reader's limit and rows up to
// SheetLastRecordRow are kept.
struct TWorksheet {
    std::map<int, std::vector<TSheetCell>> Rows;
    // The first row past SheetLastRecordRow whose first cell is not blank, or 0.
    int FirstRowPastLimit = 0;

    const TSheetCell& Cell(int row, int column) const;
};

// Writes `table`'s header and records into a new workbook of one sheet named
// `sheetName` at `path` (replaced as a whole; a new file is for its owner
// only, as it holds passwords). Every cell is text ("@"); an empty field gets
// no cell. Raises EFCreateError or ESheetError.
void WriteTaskSheet(TTaskTable& table, const AnsiString& sheetName, const std::string& path);

// Reads the first worksheet of the workbook at `path`, keeping `columns`
// columns. Strings (shared, inline, cached formula results) as written;
// whole numbers below 1e15 without a point, other numbers in their shortest
// exact form; booleans as "True"/"False". Raises ESheetError.
TWorksheet ReadFirstWorksheet(const std::string& path, int columns = 20);

// The same for a workbook already in memory (the fuzzer's entry).
TWorksheet ReadWorksheetBytes(std::string_view bytes, int columns = 20);

// Whether a number format shows a date or time: the built-in ids 14-22,
// 27-36, 45-47 and 50-58, or a format code with date or time letters outside
// quotes and colour or locale brackets.
bool IsBuiltInDateFormat(int id);
bool IsDateFormatCode(std::string_view code);

struct TSheetImport {
    int Appended = 0;
    // Record numbers of appended records whose run times lie less than ten
    // minutes from another task's, in table order.
    std::vector<int> TooCloseNumbers;
};

// Appends sheet rows 2..SheetLastRecordRow whose first cell is not blank to
// `table`, field k from column k, skipping calculated fields and those named
// in `excluded` (";"-separated, any letter case). Every row is checked before
// any is appended: a refusal raises ESheetRowError (or the conversion's
// EConvertError text, with the row) and leaves the table as it was.
TSheetImport AppendSheetRows(TTaskTable& table, const TWorksheet& sheet, const AnsiString& excluded);

// The user's text naming the tasks with close run times: "" when there are none.
AnsiString TooCloseMessage(TTaskTable& table, const TSheetImport& import);
