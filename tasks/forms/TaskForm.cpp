#include "tasks/forms/TaskForm.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QShowEvent>
#include <QVBoxLayout>

#include "platform/ExceptionReport.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/qt/QtText.h"

namespace {

QString Q(const char* utf8) { return Utf8Text(utf8); }

// The folder button's picture: a small yellow folder.
QIcon FolderIcon() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(150, 110, 20));
    painter.setBrush(QColor(240, 200, 80));
    painter.drawRect(1, 3, 6, 3);
    painter.setBrush(QColor(250, 215, 100));
    painter.drawRect(1, 5, 14, 9);
    return QIcon(pixmap);
}

} // namespace

TTimeSpinBox::TTimeSpinBox(int maximum, QWidget* parent) : QSpinBox(parent) {
    setRange(0, maximum);
    setSingleStep(1);
    // Keys and buttons step; typing does not reach the text.
    lineEdit()->setReadOnly(true);
}

TtaskForm::TtaskForm(TTaskTable& table, QWidget* owner) : QDialog(owner), table_(table) {
    setWindowTitle(Q("备份任务"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    auto label = [](const char* text, QWidget* parent) { return new QLabel(Q(text), parent); };

    // ---- task group
    grpTask = new QGroupBox(Q("备份任务设置"), this);
    edtTaskName = new QLineEdit(grpTask);
    edtServerName = new QLineEdit(grpTask);
    edtServerName->setAttribute(Qt::WA_InputMethodEnabled, false); // server names are Latin
    edtDBName = new QLineEdit(grpTask);
    edtUserName = new QLineEdit(grpTask);
    edtPassword = new QLineEdit(grpTask);
    edtPassword->setEchoMode(QLineEdit::Password);
    edtPassword->setStyleSheet("lineedit-password-character: 42;"); // "*"
    edtBakDBName = new QLineEdit(grpTask);
    {
        QPalette palette = edtBakDBName->palette();
        palette.setColor(QPalette::Base, QColor(254, 218, 167));
        edtBakDBName->setPalette(palette);
    }
    edtBakDBName->setToolTip(Q("多个数据库请用,隔开"));
    edtBakFilePath = new QLineEdit(grpTask);
    edtBakFilePath->setToolTip(Q("必须是数据库服务器路径"));
    BitBtn1 = new QToolButton(grpTask);
    BitBtn1->setIcon(FolderIcon());
    BitBtn1->setToolTip(Q("选择文件夹,仅对安装在服务器上有效"));

    auto* taskGrid = new QGridLayout(grpTask);
    taskGrid->addWidget(label("任务名称：", grpTask), 0, 0);
    taskGrid->addWidget(edtTaskName, 0, 1, 1, 2);
    taskGrid->addWidget(label("服务器名：", grpTask), 1, 0);
    taskGrid->addWidget(edtServerName, 1, 1, 1, 2);
    taskGrid->addWidget(label("数据库名：", grpTask), 2, 0);
    taskGrid->addWidget(edtDBName, 2, 1, 1, 2);
    taskGrid->addWidget(label("用户名：", grpTask), 3, 0);
    taskGrid->addWidget(edtUserName, 3, 1, 1, 2);
    taskGrid->addWidget(label("密码：", grpTask), 4, 0);
    taskGrid->addWidget(edtPassword, 4, 1, 1, 2);
    taskGrid->addWidget(label("待备份数据库：", grpTask), 5, 0);
    taskGrid->addWidget(edtBakDBName, 5, 1, 1, 2);
    taskGrid->addWidget(label("目的路径：", grpTask), 6, 0);
    taskGrid->addWidget(edtBakFilePath, 6, 1);
    taskGrid->addWidget(BitBtn1, 6, 2);

    // ---- mail group
    grpMail = new QGroupBox(Q("备份邮箱设置"), this);
    edtToMailAddr = new QLineEdit(grpMail);
    edtToMailAddr->setToolTip(Q("备份代码的邮箱"));
    edtCcMailAddr = new QLineEdit(grpMail);
    edtCcMailAddr->setToolTip(Q("抄送到邮箱地址"));
    edtMailTopic = new QLineEdit(grpMail);
    edtMailTopic->setToolTip(Q("自定义邮件主题格式，可以使用如下宏：\n<file> 文件名称\n<date> 日期\n\n"
                               "如：数据库备份 <file> <date>"));
    auto* mailGrid = new QGridLayout(grpMail);
    mailGrid->addWidget(label("备份邮箱地址：", grpMail), 0, 0);
    mailGrid->addWidget(edtToMailAddr, 0, 1);
    mailGrid->addWidget(label("抄送邮箱地址：", grpMail), 1, 0);
    mailGrid->addWidget(edtCcMailAddr, 1, 1);
    mailGrid->addWidget(label("邮件主题格式：", grpMail), 2, 0);
    mailGrid->addWidget(edtMailTopic, 2, 1);

    // ---- time group
    grpTime = new QGroupBox(Q("备份时间设置"), this);
    edtRunHour = new TTimeSpinBox(23, grpTime);
    edtRunMinute = new TTimeSpinBox(59, grpTime);
    cbBak2 = new QCheckBox(Q("启用备份时间2："), grpTime);
    edtRunHour2 = new TTimeSpinBox(23, grpTime);
    edtRunMinute2 = new TTimeSpinBox(59, grpTime);
    edtRarTimeAfter = new QLineEdit(grpTime);
    edtRarTimeAfter->setToolTip(Q("指备份数据库开始后多少秒开始压缩文件"));
    edtSendTimeAfter = new QLineEdit(grpTime);
    edtSendTimeAfter->setToolTip(Q("指压缩文件开始后多少秒开始发送邮件,最小60(0表示不发送)"));

    auto timeRow = [&](TTimeSpinBox* hour, TTimeSpinBox* minute) {
        auto* row = new QHBoxLayout;
        row->addWidget(hour);
        row->addWidget(label("时", grpTime));
        row->addWidget(minute);
        row->addWidget(label("分", grpTime));
        row->addStretch();
        return row;
    };
    auto* timeGrid = new QGridLayout(grpTime);
    timeGrid->addWidget(label("备份执行时间1：", grpTime), 0, 0);
    timeGrid->addLayout(timeRow(edtRunHour, edtRunMinute), 0, 1);
    timeGrid->addWidget(cbBak2, 1, 0);
    timeGrid->addLayout(timeRow(edtRunHour2, edtRunMinute2), 1, 1);
    timeGrid->addWidget(label("压缩开始时间(秒)：", grpTime), 2, 0);
    timeGrid->addWidget(edtRarTimeAfter, 2, 1);
    timeGrid->addWidget(label("邮件发送时间(秒)：", grpTime), 3, 0);
    timeGrid->addWidget(edtSendTimeAfter, 3, 1);

    // ---- buttons
    btnOk = new QPushButton(Q("确定"), this);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(Q("取消"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);

    auto* main = new QVBoxLayout(this);
    main->addWidget(grpTask);
    main->addWidget(grpMail);
    main->addWidget(grpTime);
    main->addLayout(buttons);
    setMinimumWidth(420);

    QWidget::setTabOrder(edtTaskName, edtServerName);
    QWidget::setTabOrder(edtServerName, edtDBName);
    QWidget::setTabOrder(edtDBName, edtUserName);
    QWidget::setTabOrder(edtUserName, edtPassword);
    QWidget::setTabOrder(edtPassword, edtBakDBName);
    QWidget::setTabOrder(edtBakDBName, edtBakFilePath);
    QWidget::setTabOrder(edtBakFilePath, BitBtn1);
    QWidget::setTabOrder(BitBtn1, edtToMailAddr);
    QWidget::setTabOrder(edtToMailAddr, edtCcMailAddr);
    QWidget::setTabOrder(edtCcMailAddr, edtMailTopic);
    QWidget::setTabOrder(edtMailTopic, edtRunHour);
    QWidget::setTabOrder(edtRunHour, edtRunMinute);
    QWidget::setTabOrder(edtRunMinute, edtRarTimeAfter);
    QWidget::setTabOrder(edtRarTimeAfter, edtSendTimeAfter);
    QWidget::setTabOrder(edtSendTimeAfter, cbBak2);
    QWidget::setTabOrder(cbBak2, edtRunHour2);
    QWidget::setTabOrder(edtRunHour2, edtRunMinute2);
    QWidget::setTabOrder(edtRunMinute2, btnOk);
    QWidget::setTabOrder(btnOk, btnCancel);

    connect(btnOk, &QPushButton::clicked, this, [this] { RunReportingErrors([this] { btnOkClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    connect(cbBak2, &QCheckBox::toggled, this, [this] { cbBak2Click(); });
    connect(BitBtn1, &QToolButton::clicked, this, [this] { RunReportingErrors([this] { BitBtn1Click(); }); });

    SetInput(TTaskInput::Defaults());
}

void TtaskForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (shown_) return;
    shown_ = true;
    RunReportingErrors([this] { FormShow(); });
}

TTaskInput TtaskForm::Input() const {
    TTaskInput input;
    input.TaskName = QStringToAnsiStrict(edtTaskName->text());
    input.ServerName = QStringToAnsiStrict(edtServerName->text());
    input.DBName = QStringToAnsiStrict(edtDBName->text());
    input.UserName = QStringToAnsiStrict(edtUserName->text());
    input.Password = QStringToAnsiStrict(edtPassword->text());
    input.BakDBName = QStringToAnsiStrict(edtBakDBName->text());
    input.BakFilePath = QStringToAnsiStrict(edtBakFilePath->text());
    input.ToMailAddr = QStringToAnsiStrict(edtToMailAddr->text());
    input.CcMailAddr = QStringToAnsiStrict(edtCcMailAddr->text());
    input.MailTopic = QStringToAnsiStrict(edtMailTopic->text());
    input.RunHour = edtRunHour->value();
    input.RunMinute = edtRunMinute->value();
    input.Bak2Enabled = cbBak2->isChecked();
    input.RunHour2 = edtRunHour2->value();
    input.RunMinute2 = edtRunMinute2->value();
    input.RarTimeAfter = QStringToAnsiStrict(edtRarTimeAfter->text());
    input.SendTimeAfter = QStringToAnsiStrict(edtSendTimeAfter->text());
    return input;
}

void TtaskForm::SetInput(const TTaskInput& input) {
    edtTaskName->setText(AnsiToQString(input.TaskName));
    edtServerName->setText(AnsiToQString(input.ServerName));
    edtDBName->setText(AnsiToQString(input.DBName));
    edtUserName->setText(AnsiToQString(input.UserName));
    edtPassword->setText(AnsiToQString(input.Password));
    edtBakDBName->setText(AnsiToQString(input.BakDBName));
    edtBakFilePath->setText(AnsiToQString(input.BakFilePath));
    edtToMailAddr->setText(AnsiToQString(input.ToMailAddr));
    edtCcMailAddr->setText(AnsiToQString(input.CcMailAddr));
    edtMailTopic->setText(AnsiToQString(input.MailTopic));
    edtRunHour->setValue(input.RunHour); // clamped by the spin box
    edtRunMinute->setValue(input.RunMinute);
    cbBak2->setChecked(input.Bak2Enabled);
    cbBak2Click(); // also when the tick did not change
    edtRunHour2->setValue(input.RunHour2);
    edtRunMinute2->setValue(input.RunMinute2);
    edtRarTimeAfter->setText(AnsiToQString(input.RarTimeAfter));
    edtSendTimeAfter->setText(AnsiToQString(input.SendTimeAfter));
}

void TtaskForm::FormShow() {
    if (EditNumber <= 0) return;
    TTaskInput input = TTaskInput::Defaults();
    try {
        LoadTaskInput(table_, EditNumber, input);
    } catch (...) {
        SetInput(input); // what was read before the failing field
        throw;
    }
    SetInput(input);
}

QWidget* TtaskForm::BoxWidget(TTaskInputBox box) const {
    switch (box) {
    case TTaskInputBox::TaskName: return edtTaskName;
    case TTaskInputBox::BakFilePath: return edtBakFilePath;
    case TTaskInputBox::ToMailAddr: return edtToMailAddr;
    case TTaskInputBox::BakDBName: return edtBakDBName;
    case TTaskInputBox::None: break;
    }
    return nullptr;
}

bool TtaskForm::CheckInput() {
    const TCheckOutcome outcome = ::CheckInput(table_, Input(), NewTask, EditNumber, CheckOptions);
    if (!outcome.Message.empty()) {
        if (outcome.MessageIsError)
            HandleException(EConvertError(outcome.Message));
        else
            ShowMessageBox(outcome.Message, ExeName(), MB_OK);
    }
    if (QWidget* box = BoxWidget(outcome.Focus)) box->setFocus();
    return outcome.Accepted;
}

void TtaskForm::btnOkClick() {
    if (!CheckInput()) return;
    StoreTask(table_, Input(), NewTask, EditNumber);
    accept();
}

void TtaskForm::btnCancelClick() { reject(); }

void TtaskForm::cbBak2Click() {
    const bool second = cbBak2->isChecked();
    edtRunHour2->setEnabled(second);
    edtRunMinute2->setEnabled(second);
}

void TtaskForm::BitBtn1Click() {
    QFileDialog chooser(this, Q("请选择备份目的文件夹"));
    chooser.setObjectName("RzSelDirDialog1");
    chooser.setFileMode(QFileDialog::Directory);
    // Qt's own dialog: it has a button that creates folders on every desktop.
    chooser.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    chooser.setLabelText(QFileDialog::Accept, Q("确定"));
    chooser.setLabelText(QFileDialog::Reject, Q("取消"));
    chooser.setLabelText(QFileDialog::FileName, Q("文件夹"));
    const QString start = edtBakFilePath->text();
    if (!start.isEmpty()) chooser.setDirectory(start);
    QString chosen;
    if (chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty())
        chosen = chooser.selectedFiles().constFirst();
    if (chosen.isEmpty()) return; // cancelled: the box keeps its text
    if (chosen.endsWith('/')) {   // the root of the file system
        ShowMessageBox(Utf8ToAnsi("请选择一个文件夹！"), ExeName(), MB_OK);
        return;
    }
    edtBakFilePath->setText(chosen);
}
