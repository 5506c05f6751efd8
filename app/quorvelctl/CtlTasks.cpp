// quorvelctl tasks: print a task file as tab-separated UTF-8, and append rows in
// that same form to a task file, under the spreadsheet import's rules.
#include <iostream>
#include <sstream>

#include "app/quorvelctl/CtlCommand.h"
#include "app/quorvelctl/CtlTasksEdit.h"
#include "app/quorvelctl/CtlTasksSheet.h"
#include "platform/Files.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskTable.h"

namespace {

std::string Escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        default: out += c;
        }
    }
    return out;
}

// Splits one line at tabs and undoes Escape; an unknown escape stays as
// written. A backslash before a tab (or at the end) is a backslash: the tab
// still ends the cell.
std::vector<std::string> SplitRow(std::string_view line) {
    std::vector<std::string> cells(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            cells.emplace_back();
        } else if (c == '\\' && i + 1 < line.size() && line[i + 1] != '\t') {
            char n = line[++i];
            switch (n) {
            case 't': cells.back() += '\t'; break;
            case 'n': cells.back() += '\n'; break;
            case 'r': cells.back() += '\r'; break;
            case '\\': cells.back() += '\\'; break;
            default: cells.back() += c, cells.back() += n;
            }
        } else {
            cells.back() += c;
        }
    }
    return cells;
}

int PrintTasks(const std::string& file) {
    TTaskTable table;
    LoadFromFile(table, file);
    std::ostringstream out;
    for (int i = 0; i < table.FieldTotal(); ++i) out << (i ? "\t" : "") << table.FieldAtIndex(i).Name();
    out << "\n";
    for (table.GoFirst(); !table.IsPastEnd(); table.GoNext()) {
        for (int i = 0; i < table.FieldTotal(); ++i)
            out << (i ? "\t" : "") << Escape(AnsiToUtf8Lenient(table.FieldAtIndex(i).AsString()));
        out << "\n";
    }
    std::cout << out.str();
    return 0;
}

// Text rows as sheet rows: line n is sheet row n (line 1 the header), so that
// they are checked and refused exactly as a workbook's rows are.
TWorksheet TextRowsAsSheet(const std::string& content, int columns) {
    TWorksheet sheet;
    std::istringstream tsv(content);
    std::string line;
    std::getline(tsv, line); // the header line
    for (int lineNumber = 2; std::getline(tsv, line); ++lineNumber) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> cells = SplitRow(line);
        if (Trim(cells[0]).empty()) continue; // no first cell: not a record
        if (lineNumber > SheetLastRecordRow) {
            sheet.FirstRowPastLimit = lineNumber;
            break;
        }
        // A cell too many or too few would shift every later one into the wrong field.
        if (cells.size() != static_cast<std::size_t>(columns))
            throw ESheetRowError(Format("%zu columns, expected %d\n", cells.size(), columns) +
                                 Format(Utf8ToAnsi("第%d行").c_str(), lineNumber));
        std::vector<TSheetCell>& row = sheet.Rows[lineNumber];
        for (std::string& cell : cells)
            row.push_back(cell.empty() ? TSheetCell{} : TSheetCell{TSheetCellKind::Text, std::move(cell)});
    }
    return sheet;
}

int ImportTasks(const std::string& file, const std::string& tsvFile) {
    std::string content;
    if (const std::string reason = ReadRegularFile(tsvFile, content, MaxTaskFileSize); !reason.empty())
        throw Exception(Format("Cannot open file \"%s\". %s", Utf8ToAnsiLenient(tsvFile).c_str(),
                               Utf8ToAnsiLenient(reason).c_str()));
    return ImportTaskRows(file, [&](int columns) { return TextRowsAsSheet(content, columns); });
}

int RunTasks(const std::vector<std::string>& args) {
    if (!args.empty() && (args[0] == "add" || args[0] == "remove")) {
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        return args[0] == "add" ? RunTasksAdd(rest) : RunTasksRemove(rest);
    }
    if (args.size() == 1 && args[0] != "import" && args[0] != "export") return PrintTasks(args[0]);
    if (args.size() == 3 && args[0] == "import")
        return LooksLikeWorkbook(args[2]) ? ImportSheetTasks(args[1], args[2]) : ImportTasks(args[1], args[2]);
    if (args.size() == 3 && args[0] == "export") return ExportSheetTasks(args[1], args[2]);
    throw ECtlUsage("tasks: wrong arguments");
}

const TCtlRegistration registration{{"tasks",
                                     std::string("  quorvelctl tasks FILE                 print the tasks as tab-separated UTF-8\n"
                                                 "  quorvelctl tasks import FILE TSVFILE  append the rows of TSVFILE (same form) and save\n"
                                                 "  quorvelctl tasks import FILE XLSXFILE append the rows of a workbook's first sheet and save\n"
                                                 "  quorvelctl tasks export FILE XLSXFILE write the tasks into a new .xlsx workbook\n") +
                                         TasksEditUsage,
                                     RunTasks}};

} // namespace
