// The list commands of the main window: new, edit on double-click, save,
// delete, copy and paste, settings and about.
#include <QAction>

#include "app/KeldorForm.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "settings/forms/ConfigForm.h"
#include "tasks/TaskFile.h"
#include "tasks/forms/AboutBox.h"
#include "tasks/forms/TaskForm.h"

namespace {
void OpenTaskEditor(TKeldorForm& owner, bool newTask, int editNumber) {
    TtaskForm form(owner.cdsTask, &owner);
    form.NewTask = newTask;
    form.EditNumber = editNumber;
    form.exec(); // the result does not matter: the editor stores by itself
}
} // namespace

void TKeldorForm::WatchTaskCommands() {
    cdsTask.AddObserver([this](TTableChange) { UpdateDeleteCommand(); });
    UpdateDeleteCommand();
}

void TKeldorForm::UpdateDeleteCommand() {
    if (QAction* del = Action("actDelete"))
        del->setEnabled(cdsTask.IsOpen() && cdsTask.CountRecords() > 0);
}

void TKeldorForm::actNewTaskExecute() { OpenTaskEditor(*this, true, 0); }

void TKeldorForm::dbgTaskDblClick() {
    // On an empty list there is no task to change: the editor opens for a new one.
    if (cdsTask.CountRecords() == 0)
        OpenTaskEditor(*this, true, 0);
    else
        OpenTaskEditor(*this, false, cdsTask.CurrentNumber());
}

void TKeldorForm::actSaveTaskExecute() {
    {
        // quorvelctl may be changing the same file: wait for it, never save over it mid-way.
        TTaskFileLock lock(TaskFilePath());
        SaveToFile(cdsTask, TaskFilePath());
    }
    ShowMessageBox(Utf8ToAnsi("保存成功"), ExeName(), MB_OK);
}

void TKeldorForm::actDeleteExecute() {
    if (ShowMessageBox(Utf8ToAnsi("确定删除记录吗"), Utf8ToAnsi("系统提示"), MB_YESNO | MB_ICONWARNING) == IDYES)
        cdsTask.RemoveRecord();
}

void TKeldorForm::actCopyExecute() {
    if (cdsTask.CountRecords() == 0) return;
    CopyNumber = cdsTask.CurrentNumber();
    cltdsCache.LoadFromPacket(cdsTask.Snapshot());
    if (QAction* paste = Action("actPaste")) paste->setEnabled(true); // for the rest of the run
}

void TKeldorForm::actPasteExecute() {
    cltdsCache.GoToNumber(CopyNumber);
    cdsTask.BeginNewRecord();
    try {
        for (int i = 0; i < cltdsCache.FieldTotal(); ++i) {
            TTaskField& source = cltdsCache.FieldAtIndex(i);
            TTaskField& target = cdsTask.FieldNamed(source.Name());
            if (!target.ReadOnly()) target.SetValue(source.Value());
        }
        cdsTask.StoreRecord();
    } catch (...) {
        cdsTask.CancelRecord(); // never leave a half-copied task behind
        throw;
    }
}

void TKeldorForm::actConfigExecute() {
    TconfigForm form(this);
    form.exec();
}

void TKeldorForm::actAboutExecute() {
    TAboutBox box(this);
    box.exec();
}
