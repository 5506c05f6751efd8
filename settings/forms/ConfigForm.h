#pragma once
// The mail server settings dialog "邮件服务器参数设置": the five values of
// section Option of config.ini, the password deciphered for the box and
// enciphered afresh on every save.
#include <string>

#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

#include "platform/SettingsAccessor.h"

class TconfigForm : public QDialog {
public:
    // `configPath` empty: config.ini beside the executable.
    explicit TconfigForm(QWidget* owner, std::string configPath = {});

    // Reads the five values into the boxes. A stored password that is no
    // cipher text is reported and leaves the password box empty.
    void FormCreate();
    // Writes the five keys in order, each at once; a refused write is reported
    // and keeps the dialog open.
    void btnOkClick();
    void btnCancelClick();

    TSettingsAccessor rzrgnfl1; // the dialog's INI accessor

    QGroupBox* grpSmtp;
    QLineEdit* edtSmtpServer;
    QLineEdit* edtSmtpPort;
    QLineEdit* edtSmtpName;
    QLineEdit* edtSmtpUser;
    QLineEdit* edtSmtpPass;
    QPushButton* btnOk;
    QPushButton* btnCancel;
};
