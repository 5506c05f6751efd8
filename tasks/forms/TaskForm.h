#pragma once
// The task editor "备份任务": a modal dialog that creates a task or changes one.
// The checks and the storing are the toolkit-free ones of tasks/TaskChecks.h;
// this form only fills its controls, shows what the checks say and asks.
#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>

#include "tasks/TaskChecks.h"
#include "tasks/TaskTable.h"

// A time part: changes only by its buttons and the arrow and page keys; a value
// set from outside is clamped into the range.
class TTimeSpinBox : public QSpinBox {
public:
    TTimeSpinBox(int maximum, QWidget* parent);
};

class TtaskForm : public QDialog {
public:
    // `table` is the task table (cdsTask); it must outlive the dialog.
    TtaskForm(TTaskTable& table, QWidget* owner);

    // Set by the opener before showing.
    bool NewTask = true;
    int EditNumber = 0;

    // Fills the controls (called when the dialog is first shown).
    void FormShow();
    // Runs the checks, showing their message or moving the focus; true when
    // the input may be stored.
    bool CheckInput();
    void btnOkClick();
    void btnCancelClick();
    void cbBak2Click();
    void BitBtn1Click();

    // The controls' content as the checks see it. Text that code page 936
    // cannot hold raises EEncodingError rather than being changed silently.
    TTaskInput Input() const;
    void SetInput(const TTaskInput& input);

    // Connection settings of the trial connection (tests point it elsewhere).
    TTaskCheckOptions CheckOptions;

    // Controls, owned by the dialog through Qt's parent chain.
    QGroupBox* grpTask;
    QGroupBox* grpMail;
    QGroupBox* grpTime;
    QLineEdit* edtTaskName;
    QLineEdit* edtServerName;
    QLineEdit* edtDBName;
    QLineEdit* edtUserName;
    QLineEdit* edtPassword;
    QLineEdit* edtBakDBName;
    QLineEdit* edtBakFilePath;
    QToolButton* BitBtn1;
    QLineEdit* edtToMailAddr;
    QLineEdit* edtCcMailAddr;
    QLineEdit* edtMailTopic;
    TTimeSpinBox* edtRunHour;
    TTimeSpinBox* edtRunMinute;
    QCheckBox* cbBak2;
    TTimeSpinBox* edtRunHour2;
    TTimeSpinBox* edtRunMinute2;
    QLineEdit* edtRarTimeAfter;
    QLineEdit* edtSendTimeAfter;
    QPushButton* btnOk;
    QPushButton* btnCancel;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* BoxWidget(TTaskInputBox box) const;

    TTaskTable& table_;
    bool shown_ = false;
};
