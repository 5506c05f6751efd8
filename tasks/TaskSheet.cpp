#include "tasks/TaskSheet.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <xlsxwriter.h>

#include "platform/Files.h"
#include "tasks/TaskChecks.h"

namespace {

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Spreadsheet programs turn "_xHHHH_" in a cell into the character U+HHHH, so
// the "_" of a literal one is written as "_x005F_" (the escaped "_").
// Control characters other than tab and line feed are written in that form
// too: raw in XML they are either invalid or, for CR, turned into LF by every
// parser.
std::string EscapeCellText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_' && i + 6 < text.size() && text[i + 1] == 'x' && IsHex(text[i + 2]) && IsHex(text[i + 3]) &&
            IsHex(text[i + 4]) && IsHex(text[i + 5]) && text[i + 6] == '_') {
            out += "_x005F_";
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\n') || u == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "_x%04X_", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out;
}

struct TWorkbookCloser {
    void operator()(lxw_workbook* workbook) const { workbook_close(workbook); }
};

// A private folder for libxlsxwriter's files, removed with everything in it.
class TPrivateFolder {
public:
    TPrivateFolder() {
        std::string pattern = TempFolder() + "quorvel-sheet-XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw EFCreateError(Format("Cannot create file \"%s\". %s", Utf8ToAnsiLenient(pattern).c_str(),
                                       Utf8ToAnsiLenient(ErrnoText(errno)).c_str()));
        path_ = pattern + "/";
    }
    TPrivateFolder(const TPrivateFolder&) = delete;
    TPrivateFolder& operator=(const TPrivateFolder&) = delete;
    ~TPrivateFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

void Check(lxw_error error) {
    if (error != LXW_NO_ERROR) throw ESheetError(Utf8ToAnsiLenient(lxw_strerror(error)));
}

// The text a refusal gives for sheet row `row`.
ESheetRowError RowError(const AnsiString& reason, int row) {
    return ESheetRowError(reason + "\n" + Format(A("第%d行").c_str(), row));
}

bool IsTimeField(const TTaskField& field) {
    return SameText(field.Name(), "RunHour") || SameText(field.Name(), "RunHour2") || SameText(field.Name(), "RunMinute") ||
           SameText(field.Name(), "RunMinute2");
}

bool IsSecondTimeField(const TTaskField& field) {
    return SameText(field.Name(), "RunHour2") || SameText(field.Name(), "RunMinute2");
}

std::vector<AnsiString> ExcludedNames(const AnsiString& excluded) {
    std::vector<AnsiString> names;
    const AnsiString upper = AnsiUpperCase(excluded);
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = upper.find(';', start);
        names.emplace_back(Trim(std::string_view(upper).substr(start, end - start)));
        if (end == AnsiString::npos) break;
        start = end + 1;
    }
    return names;
}

// One sheet row as the values its fields will take.
struct TPendingRecord {
    std::vector<std::pair<int, TFieldValue>> Values; // field index, converted value
};

TPendingRecord CheckRow(TTaskTable& table, const TWorksheet& sheet, int row, const std::vector<bool>& read) {
    TPendingRecord record;
    int secondEnabledField = -1;
    std::vector<int> secondTimeFields;
    for (int k = 0; k < table.FieldTotal(); ++k) {
        if (!read[static_cast<std::size_t>(k)]) continue;
        const TTaskField& field = table.FieldAtIndex(k);
        const TSheetCell& cell = sheet.Cell(row, k);
        if (cell.Kind == TSheetCellKind::Unreadable)
            throw RowError(Format(A("字段 '%s' 的单元格无法读取").c_str(), field.Label().c_str()), row);
        AnsiString text;
        try {
            text = Utf8ToAnsi(cell.Text);
        } catch (const EEncodingError&) {
            throw RowError(Format(A("'%s' 含有字段 '%s' 无法保存的字符").c_str(), Utf8ToAnsiLenient(cell.Text).c_str(),
                                  field.Label().c_str()),
                           row);
        }
        if (field.DataType() == TFieldType::String && text.size() > static_cast<std::size_t>(field.Size()))
            throw RowError(Format(A("'%s' 超过字段 '%s' 的长度").c_str(), text.c_str(), field.Label().c_str()), row);
        // Texts that end up in a command: the editor's refusals hold here too.
        for (const TGuardedTaskField& guarded : GuardedTaskFields())
            if (SameText(field.Name(), guarded.Name))
                if (AnsiString fault = TaskFieldFault(guarded, text); !fault.empty()) throw RowError(fault, row);
        TFieldValue value;
        try {
            value = field.Convert(text);
        } catch (const EConvertError& e) {
            throw RowError(e.Message, row);
        }
        // The conversion takes any number for a flag; "nan" and "inf" are words, not numbers.
        if (field.DataType() == TFieldType::Boolean && !std::isfinite(std::strtod(std::string(Trim(text)).c_str(), nullptr)))
            throw RowError(Format("'%s' is not a valid boolean value for field '%s'", text.c_str(), field.Label().c_str()), row);
        if (const auto* n = std::get_if<std::int32_t>(&value); n && !ImportedNumberInRange(field.Name(), *n))
            throw RowError(Format(A("'%s' 超出字段 '%s' 的范围").c_str(), text.c_str(), field.Label().c_str()), row);
        if (IsTimeField(field)) {
            // A missing first time would run the task at 0:00 every day.
            if (std::holds_alternative<std::monostate>(value)) {
                if (!IsSecondTimeField(field))
                    throw RowError(Format(A("字段 '%s' 不能为空").c_str(), field.Label().c_str()), row);
                secondTimeFields.push_back(k);
            }
        }
        if (SameText(field.Name(), "Bak2Enabled")) secondEnabledField = static_cast<int>(record.Values.size());
        record.Values.emplace_back(k, std::move(value));
    }
    if (secondEnabledField >= 0 && !secondTimeFields.empty()) {
        const TFieldValue& enabled = record.Values[static_cast<std::size_t>(secondEnabledField)].second;
        if (const auto* b = std::get_if<bool>(&enabled); b && *b)
            throw RowError(Format(A("字段 '%s' 不能为空").c_str(), table.FieldAtIndex(secondTimeFields.front()).Label().c_str()),
                           row);
    }
    return record;
}

// The records from `first` on whose run times lie less than ten minutes from a
// run time of another record, as the task editor's spacing check finds them:
// the second time counts where it is enabled; impossible stored times never
// run and are left out. Counting per minute of the day keeps a sheet of ten
// thousand rows quick.
std::vector<int> TooCloseRecords(TTaskTable& table, int first) {
    TTaskField* fields[] = {table.FindField("RunHour"), table.FindField("RunMinute"), table.FindField("Bak2Enabled"),
                            table.FindField("RunHour2"), table.FindField("RunMinute2")};
    for (TTaskField* f : fields)
        if (!f) return {};
    struct TTimes {
        int First = -1, Second = -1; // minute of the day, -1 when it never runs
    };
    auto minute = [](int hour, int m) { return hour >= 0 && hour <= 23 && m >= 0 && m <= 59 ? hour * 60 + m : -1; };
    std::vector<TTimes> times;
    std::vector<int> count(24 * 60, 0);
    for (table.GoFirst(); !table.IsPastEnd(); table.GoNext()) {
        TTimes t;
        t.First = minute(fields[0]->AsInteger(), fields[1]->AsInteger());
        if (fields[2]->AsBoolean()) t.Second = minute(fields[3]->AsInteger(), fields[4]->AsInteger());
        for (int m : {t.First, t.Second})
            if (m >= 0) ++count[static_cast<std::size_t>(m)];
        times.push_back(t);
    }
    std::vector<int> result;
    for (std::size_t i = static_cast<std::size_t>(first - 1); i < times.size(); ++i) {
        const TTimes& t = times[i];
        for (int m : {t.First, t.Second})
            if (m >= 0) --count[static_cast<std::size_t>(m)];
        bool close = false;
        for (int m : {t.First, t.Second})
            for (int d = m - 9; m >= 0 && d <= m + 9 && !close; ++d)
                close = d >= 0 && d < 24 * 60 && count[static_cast<std::size_t>(d)] > 0;
        for (int m : {t.First, t.Second})
            if (m >= 0) ++count[static_cast<std::size_t>(m)];
        if (close) result.push_back(static_cast<int>(i) + 1);
    }
    return result;
}

} // namespace

const TSheetCell& TWorksheet::Cell(int row, int column) const {
    static const TSheetCell empty;
    const auto found = Rows.find(row);
    if (found == Rows.end() || column < 0 || static_cast<std::size_t>(column) >= found->second.size()) return empty;
    return found->second[static_cast<std::size_t>(column)];
}

void WriteTaskSheet(TTaskTable& table, const AnsiString& sheetName, const std::string& path) {
    TPrivateFolder folder;
    const std::string draft = folder.Path() + "sheet.xlsx";
    std::string tmpdir = folder.Path();
    lxw_workbook_options options{};
    options.tmpdir = tmpdir.data();
    std::unique_ptr<lxw_workbook, TWorkbookCloser> workbook(workbook_new_opt(draft.c_str(), &options));
    if (!workbook) throw ESheetError(A("无法创建工作簿"));
    const std::string name = AnsiToUtf8(sheetName);
    if (lxw_error error = workbook_validate_sheet_name(workbook.get(), name.c_str()); error != LXW_NO_ERROR)
        throw ESheetError(Format("%s: %s", sheetName.c_str(), lxw_strerror(error)));
    lxw_worksheet* sheet = workbook_add_worksheet(workbook.get(), name.c_str());
    if (!sheet) throw ESheetError(Format("%s: %s", sheetName.c_str(), lxw_strerror(LXW_ERROR_MEMORY_MALLOC_FAILED)));

    // Every cell is text, also those the user fills in later, so nothing the
    // program wrote is ever taken for a number or a date.
    lxw_format* text = workbook_add_format(workbook.get());
    format_set_num_format(text, "@");
    const int fields = table.FieldTotal();
    for (int k = 0; k < fields; ++k)
        Check(worksheet_set_column(sheet, static_cast<lxw_col_t>(k), static_cast<lxw_col_t>(k),
                                   table.FieldAtIndex(k).DisplayWidth() + 2, text));
    Check(worksheet_set_column(sheet, static_cast<lxw_col_t>(fields), LXW_COL_MAX - 1, LXW_DEF_COL_WIDTH, text));

    auto put = [&](int row, int column, const AnsiString& value) {
        if (value.empty()) return; // an empty field is no cell
        const std::string cell = EscapeCellText(AnsiToUtf8(value));
        Check(worksheet_write_string(sheet, static_cast<lxw_row_t>(row), static_cast<lxw_col_t>(column), cell.c_str(), text));
    };
    for (int k = 0; k < fields; ++k) put(0, k, table.FieldAtIndex(k).Label());
    int row = 1;
    for (table.GoFirst(); !table.IsPastEnd(); table.GoNext(), ++row)
        for (int k = 0; k < fields; ++k) put(row, k, table.FieldAtIndex(k).AsString());

    const lxw_error closed = workbook_close(workbook.release());
    if (closed != LXW_NO_ERROR)
        throw EFCreateError(Format("Cannot create file \"%s\". %s", Utf8ToAnsiLenient(path).c_str(), lxw_strerror(closed)));
    std::string content;
    if (!ReadWholeFile(draft, content))
        throw EFCreateError(Format("Cannot create file \"%s\". %s", Utf8ToAnsiLenient(path).c_str(),
                                   Utf8ToAnsiLenient(ErrnoText(errno)).c_str()));
    if (int error = ReplaceFileContent(path, content, 0600))
        throw EFCreateError(Format("Cannot create file \"%s\". %s", Utf8ToAnsiLenient(path).c_str(),
                                   Utf8ToAnsiLenient(ErrnoText(error)).c_str()));
}

TSheetImport AppendSheetRows(TTaskTable& table, const TWorksheet& sheet, const AnsiString& excluded) {
    if (sheet.FirstRowPastLimit)
        throw ESheetRowError(Format(A("工作表超过%d行").c_str(), SheetLastRecordRow - 1));
    const std::vector<AnsiString> names = ExcludedNames(excluded);
    std::vector<bool> read(static_cast<std::size_t>(table.FieldTotal()));
    for (int k = 0; k < table.FieldTotal(); ++k) {
        const TTaskField& field = table.FieldAtIndex(k);
        bool take = !field.IsCalculated();
        for (const AnsiString& name : names)
            if (AnsiUpperCase(field.Name()) == name) take = false;
        read[static_cast<std::size_t>(k)] = take;
    }

    std::vector<TPendingRecord> pending;
    for (const auto& [row, cells] : sheet.Rows) {
        if (row < 2 || row > SheetLastRecordRow) continue;
        const TSheetCell& first = sheet.Cell(row, 0);
        if (first.Kind == TSheetCellKind::Empty || (first.Kind == TSheetCellKind::Text && Trim(first.Text).empty()))
            continue;
        pending.push_back(CheckRow(table, sheet, row, read));
    }

    TSheetImport result;
    const int before = table.CountRecords();
    for (const TPendingRecord& record : pending) {
        table.BeginNewRecord();
        try {
            for (const auto& [k, value] : record.Values) table.FieldAtIndex(k).SetValue(value);
            table.StoreRecord();
        } catch (...) {
            table.CancelRecord();
            throw;
        }
        ++result.Appended;
    }

    // Told afterwards, not refused: the editor would refuse such a task, but
    // the user may mean to fix the times in the list.
    if (result.Appended) result.TooCloseNumbers = TooCloseRecords(table, before + 1);
    table.GoFirst();
    return result;
}

AnsiString TooCloseMessage(TTaskTable& table, const TSheetImport& import) {
    if (import.TooCloseNumbers.empty()) return {};
    constexpr std::size_t named = 10; // a box, not a report
    AnsiString message = A("该时间与已有备份任务间隔太短！");
    TTaskField* name = table.FindField("taskName");
    for (std::size_t i = 0; i < import.TooCloseNumbers.size() && i < named; ++i) {
        table.GoToNumber(import.TooCloseNumbers[i]);
        message += "\n" + (name ? name->AsString() : AnsiString());
    }
    if (import.TooCloseNumbers.size() > named)
        message += "\n" + Format(A("……共%zu个任务").c_str(), import.TooCloseNumbers.size());
    table.GoFirst();
    return message;
}
