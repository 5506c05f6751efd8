// The main window's spreadsheet commands: export and import of the task list.
#include "app/KeldorForm.h"
#include "platform/MessageBox.h"
#include "platform/qt/QtText.h"
#include "tasks/forms/TaskSheetForms.h"

void TKeldorForm::actExportExecute() {
    if (cdsTask.CountRecords() == 0) return;
    try {
        ExportToExcel(cdsTask, QStringToAnsi(Caption()));
    } catch (const Exception& e) {
        ShowMessageBox(e.Message, Utf8ToAnsi("错误"), MB_OK);
    } catch (const std::exception& e) {
        ShowMessageBox(Utf8ToAnsiLenient(e.what()), Utf8ToAnsi("错误"), MB_OK);
    }
}

void TKeldorForm::actImportExecute() {
    // The grid redraws once at the end, also when the import fails.
    struct TDisplaySuspension {
        explicit TDisplaySuspension(TTaskTable& table) : Table(table) { Table.SuspendDisplay(); }
        TDisplaySuspension(const TDisplaySuspension&) = delete;
        TDisplaySuspension& operator=(const TDisplaySuspension&) = delete;
        ~TDisplaySuspension() { Table.ResumeDisplay(); }
        TTaskTable& Table;
    } suspension(cdsTask);
    ImportFromExcel(cdsTask, "ID", this);
}
