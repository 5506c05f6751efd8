#include "settings/forms/ConfigForm.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "platform/ExceptionReport.h"
#include "platform/Files.h"
#include "platform/qt/QtText.h"
#include "settings/MailSettings.h"

namespace {
QString Q(const char* utf8) { return Utf8Text(utf8); }
QString FromAnsi(const AnsiString& text) { return AnsiToQString(text); }
// Strict: a character code page 936 cannot hold is refused, not stored as "?".
AnsiString ToAnsi(const QString& text) { return Utf8ToAnsi(text.toStdString()); }
} // namespace

TconfigForm::TconfigForm(QWidget* owner, std::string configPath) : QDialog(owner) {
    setWindowTitle(Q("邮件服务器参数设置"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    grpSmtp = new QGroupBox(Q("SMTP服务器设置"), this);
    edtSmtpServer = new QLineEdit(grpSmtp);
    edtSmtpServer->setToolTip(Q("SMTP服务器的地址(如：smtp.example.com)"));
    edtSmtpPort = new QLineEdit(grpSmtp);
    edtSmtpPort->setToolTip(Q("SMTP服务器端口，一般是25"));
    edtSmtpName = new QLineEdit(grpSmtp);
    edtSmtpName->setToolTip(Q("在SMTP服务器上注册的发送邮箱地址，如：backup@example.com\n"
                              "写成 客服中心<backup@example.com> 时，收件人看到的发件人是中文名称“客服中心”"));
    edtSmtpUser = new QLineEdit(grpSmtp);
    edtSmtpUser->setToolTip(Q("注册邮箱的用户名"));
    edtSmtpPass = new QLineEdit(grpSmtp);
    edtSmtpPass->setToolTip(Q("注册邮箱的密码"));
    edtSmtpPass->setEchoMode(QLineEdit::Password);
    edtSmtpPass->setStyleSheet("lineedit-password-character: 42;"); // "*"

    auto* grid = new QGridLayout(grpSmtp);
    const std::pair<const char*, QLineEdit*> rows[] = {
        {"SMTP服务器地址：", edtSmtpServer}, {"SMTP服务器端口：", edtSmtpPort}, {"SMTP邮箱地址：", edtSmtpName},
        {"登录用户名：", edtSmtpUser},       {"登录密码：", edtSmtpPass},
    };
    int row = 0;
    for (const auto& [text, box] : rows) {
        grid->addWidget(new QLabel(Q(text), grpSmtp), row, 0);
        grid->addWidget(box, row, 1);
        ++row;
    }

    btnOk = new QPushButton(Q("确定"), this);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(Q("取消"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    auto* main = new QVBoxLayout(this);
    main->addWidget(grpSmtp);
    main->addLayout(buttons);
    setMinimumWidth(380);

    QWidget::setTabOrder(edtSmtpServer, edtSmtpPort);
    QWidget::setTabOrder(edtSmtpPort, edtSmtpUser);
    QWidget::setTabOrder(edtSmtpUser, edtSmtpPass);
    QWidget::setTabOrder(edtSmtpPass, edtSmtpName);
    QWidget::setTabOrder(edtSmtpName, btnOk);
    QWidget::setTabOrder(btnOk, btnCancel);

    connect(btnOk, &QPushButton::clicked, this, [this] { RunReportingErrors([this] { btnOkClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });

    rzrgnfl1.Path = configPath.empty() ? ExeFolder() + "config.ini" : std::move(configPath);
    RunReportingErrors([this] { FormCreate(); });
}

void TconfigForm::FormCreate() {
    TMailServerSettings values;
    auto fill = [&] {
        edtSmtpServer->setText(FromAnsi(values.SmtpServer));
        edtSmtpName->setText(FromAnsi(values.SmtpName));
        edtSmtpPort->setText(FromAnsi(values.SmtpPort));
        edtSmtpUser->setText(FromAnsi(values.SmtpUser));
        edtSmtpPass->setText(FromAnsi(values.SmtpPass));
    };
    try {
        TMailSettings(rzrgnfl1).Load(values);
    } catch (...) {
        values.SmtpPass.clear(); // the four others were read before the password failed
        fill();
        throw;
    }
    fill();
}

void TconfigForm::btnOkClick() {
    TMailServerSettings values;
    values.SmtpServer = ToAnsi(edtSmtpServer->text());
    values.SmtpName = ToAnsi(edtSmtpName->text());
    values.SmtpPort = ToAnsi(edtSmtpPort->text());
    values.SmtpUser = ToAnsi(edtSmtpUser->text());
    values.SmtpPass = ToAnsi(edtSmtpPass->text());
    TMailSettings(rzrgnfl1).Save(values);
    accept();
}

void TconfigForm::btnCancelClick() { reject(); }
