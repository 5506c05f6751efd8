#include "tasks/forms/TaskSheetForms.h"

#include <QApplication>
#include <QCursor>
#include <QFileDialog>

#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/ShellExecute.h"
#include "platform/qt/QtText.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskSheet.h"

namespace {

// The hourglass for the life of the object, also when an error ends the work.
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
};

// A file name of the sheet name: the characters a path cannot hold replaced.
std::string SheetFileName(const AnsiString& sheetName) {
    std::string name = AnsiToUtf8Lenient(sheetName);
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    if (name.empty() || name == "." || name == "..") name = "tasks";
    return name + ".xlsx";
}

} // namespace

std::string ExportToExcel(TTaskTable& table, const AnsiString& sheetName) {
    TBusyCursor busy;
    if (!table.IsOpen()) return {};
    std::string folder = TempFolder() + "quorvel-export-XXXXXX";
    if (!mkdtemp(folder.data())) // mode 0700: the workbook holds passwords
        throw EFCreateError(Format("Cannot create file \"%s\". %s", Utf8ToAnsiLenient(folder).c_str(),
                                   Utf8ToAnsiLenient(ErrnoText(errno)).c_str()));
    const std::string path = folder + "/" + SheetFileName(sheetName);
    WriteTaskSheet(table, sheetName, path);
    if (!ShellOpen(path))
        throw Exception(Utf8ToAnsi("没有可以打开工作簿的程序（xdg-open），文件已保存在：") + Utf8ToAnsiLenient(path));
    return path;
}

bool ImportFromExcel(TTaskTable& table, const AnsiString& excluded, QWidget* parent) {
    QFileDialog dialog(parent, Utf8Text("打开"));
    dialog.setObjectName("OpenDialog1");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Qt's own dialog, the same on every desktop and answerable in tests.
    dialog.setOptions(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(Utf8Text("MS Excel文件(*.xlsx *.xls)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    const std::string path = dialog.selectedFiles().constFirst().toStdString();

    TSheetImport import;
    {
        TBusyCursor busy;
        TWorksheet sheet;
        try {
            sheet = ReadFirstWorksheet(path, table.FieldTotal());
        } catch (const ESheetError& e) {
            ShowMessageBox(e.Message, Utf8ToAnsiLenient(ExeName()), MB_OK);
            return false;
        } catch (const EFOpenError& e) {
            ShowMessageBox(e.Message, Utf8ToAnsiLenient(ExeName()), MB_OK);
            return false;
        }
        import = AppendSheetRows(table, sheet, excluded);
    }
    const AnsiString warning = TooCloseMessage(table, import);
    if (!warning.empty()) ShowMessageBox(warning, Utf8ToAnsiLenient(ExeName()), MB_OK | MB_ICONINFORMATION);
    return true;
}
