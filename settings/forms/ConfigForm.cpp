#include "settings/forms/ConfigForm.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "platform/ExceptionReport.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/qt/QtText.h"
#include "settings/MailSettings.h"
#include "settings/SmtpSetup.h"

namespace {
QString Q(const char* utf8) { return Utf8Text(utf8); }
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

    cbSmtpSecurity = new QComboBox(grpSmtp);
    for (const auto& [text, value] : {std::pair{"自动", "auto"}, std::pair{"STARTTLS", "starttls"},
                                      std::pair{"SSL/TLS", "tls"}, std::pair{"不加密", "none"}})
        cbSmtpSecurity->addItem(Q(text), QString::fromLatin1(value));
    cbSmtpSecurity->setToolTip(Q("自动：服务器支持时使用加密连接"));

    auto* grid = new QGridLayout(grpSmtp);
    const std::pair<const char*, QWidget*> rows[] = {
        {"SMTP服务器地址：", edtSmtpServer}, {"SMTP服务器端口：", edtSmtpPort}, {"连接加密：", cbSmtpSecurity},
        {"SMTP邮箱地址：", edtSmtpName},     {"登录用户名：", edtSmtpUser},     {"登录密码：", edtSmtpPass},
    };
    int row = 0;
    for (const auto& [text, box] : rows) {
        grid->addWidget(new QLabel(Q(text), grpSmtp), row, 0);
        grid->addWidget(box, row, 1);
        ++row;
    }

    grpArchive = new QGroupBox(Q("备份压缩包"), this);
    edtArchivePass = new QLineEdit(grpArchive);
    edtArchivePass->setToolTip(Q("设置后备份压缩包将加密(AES-256)，收件人需用此密码解压"));
    edtArchivePass->setEchoMode(QLineEdit::Password);
    edtArchivePass->setStyleSheet("lineedit-password-character: 42;"); // "*"
    auto* archiveGrid = new QGridLayout(grpArchive);
    archiveGrid->addWidget(new QLabel(Q("压缩包密码："), grpArchive), 0, 0);
    archiveGrid->addWidget(edtArchivePass, 0, 1);

    btnOk = new QPushButton(Q("确定"), this);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(Q("取消"), this);
    btnTestMail = new QPushButton(Q("发送测试邮件"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnTestMail);
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    auto* main = new QVBoxLayout(this);
    main->addWidget(grpSmtp);
    main->addWidget(grpArchive);
    main->addLayout(buttons);
    setMinimumWidth(380);

    QWidget::setTabOrder(edtSmtpServer, edtSmtpPort);
    QWidget::setTabOrder(edtSmtpPort, cbSmtpSecurity);
    QWidget::setTabOrder(cbSmtpSecurity, edtSmtpUser);
    QWidget::setTabOrder(edtSmtpUser, edtSmtpPass);
    QWidget::setTabOrder(edtSmtpPass, edtSmtpName);
    QWidget::setTabOrder(edtSmtpName, edtArchivePass);
    QWidget::setTabOrder(edtArchivePass, btnOk);
    QWidget::setTabOrder(btnOk, btnCancel);
    QWidget::setTabOrder(btnCancel, btnTestMail);

    connect(btnOk, &QPushButton::clicked, this, [this] { RunReportingErrors([this] { btnOkClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    connect(btnTestMail, &QPushButton::clicked, this, [this] { btnTestMailClick(); });
    // Only a choice of the user changes the port, never the filling of the dialog.
    connect(cbSmtpSecurity, &QComboBox::activated, this, [this](int index) { cbSmtpSecurityChange(index); });

    rzrgnfl1.Path = configPath.empty() ? ExeFolder() + "config.ini" : std::move(configPath);
    RunReportingErrors([this] { FormCreate(); });
}

void TconfigForm::FormCreate() {
    TMailServerSettings values;
    auto fill = [&] {
        edtSmtpServer->setText(AnsiToQString(values.SmtpServer));
        edtSmtpName->setText(AnsiToQString(values.SmtpName));
        edtSmtpPort->setText(AnsiToQString(values.SmtpPort));
        edtSmtpUser->setText(AnsiToQString(values.SmtpUser));
        edtSmtpPass->setText(AnsiToQString(values.SmtpPass));
        edtArchivePass->setText(AnsiToQString(values.ArchivePass));
        FStoredSecurity = values.SmtpSecurity;
        TSmtpSecurity security = ssAuto;
        int index = 0;
        if (SmtpSecurityFromText(values.SmtpSecurity, security))
            index = std::max(0, cbSmtpSecurity->findData(QString::fromLatin1(SmtpSecurityName(security))));
        cbSmtpSecurity->setCurrentIndex(index);
        FSecurityChosen = false;
    };
    try {
        TMailSettings(rzrgnfl1).Load(values);
    } catch (...) {
        fill(); // everything but the password that failed, which stays empty

        throw;
    }
    fill();
}

TMailServerSettings TconfigForm::BoxValues() const {
    TMailServerSettings values;
    values.SmtpServer = QStringToAnsiStrict(edtSmtpServer->text());
    values.SmtpName = QStringToAnsiStrict(edtSmtpName->text());
    values.SmtpPort = QStringToAnsiStrict(edtSmtpPort->text());
    values.SmtpUser = QStringToAnsiStrict(edtSmtpUser->text());
    values.SmtpPass = QStringToAnsiStrict(edtSmtpPass->text());
    values.ArchivePass = QStringToAnsiStrict(edtArchivePass->text());
    values.SmtpSecurity = FSecurityChosen ? AnsiString(cbSmtpSecurity->currentData().toString().toStdString())
                                          : AnsiString(FStoredSecurity);
    const TMailSettings file(rzrgnfl1);
    values.SmtpVerify = file.SmtpVerify();
    values.SmtpCAFile = file.SmtpCAFile();
    return values;
}

void TconfigForm::btnOkClick() {
    TMailSettings(rzrgnfl1).Save(BoxValues());
    accept();
}

void TconfigForm::cbSmtpSecurityChange(int index) {
    FSecurityChosen = true;
    const QString value = cbSmtpSecurity->itemData(index).toString();
    if (edtSmtpPort->text().trimmed() != "25") return;
    if (value == "tls") edtSmtpPort->setText("465");
    else if (value == "starttls") edtSmtpPort->setText("587");
}

void TconfigForm::btnTestMailClick() {
    AnsiString sentTo;
    AnsiString error;
    bool failed = false;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        sentTo = SendTestMail(BoxValues(), AnsiString(), TestMailTimeoutMs);
    } catch (const std::exception& e) {
        error = ExceptionMessage(e);
        failed = true;
    }
    QApplication::restoreOverrideCursor();
    const AnsiString caption = QStringToAnsiStrict(windowTitle());
    if (!failed) {
        AnsiString text = Utf8ToAnsi("测试邮件已发送到 ");
        text.append(sentTo);
        ShowMessageBox(text, caption, MB_OK | MB_ICONINFORMATION);
    } else {
        ShowMessageBox(error, caption, MB_OK | MB_ICONERROR);
    }
}

void TconfigForm::btnCancelClick() { reject(); }
