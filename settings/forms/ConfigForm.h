#pragma once
// The mail server settings dialog "邮件服务器参数设置": the values of section
// Option of config.ini, the password deciphered for the box and enciphered
// afresh on every save, the connection's encryption, and a test mail sent with
// the values in the boxes.
#include <string>

#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

#include "platform/SettingsAccessor.h"

class TconfigForm : public QDialog {
public:
    // `configPath` empty: config.ini beside the executable.
    explicit TconfigForm(QWidget* owner, std::string configPath = {});

    // Reads the values into the boxes. A stored password that is no cipher
    // text is reported and leaves its box empty.
    void FormCreate();
    // Writes the five keys in order, each at once; a refused write is reported
    // and keeps the dialog open.
    void btnOkClick();
    void btnCancelClick();
    // Sends the test mail to the sender address with the boxes' values (not
    // saved); reports success or the error in a box and stays open.
    void btnTestMailClick();
    // The user picked an encryption: "SSL/TLS" turns a port of 25 into 465,
    // "STARTTLS" into 587. Nothing else changes the port.
    void cbSmtpSecurityChange(int index);

    // The longest wait for the server during the test mail, in ms.
    static constexpr int TestMailTimeoutMs = 30000;

    TSettingsAccessor rzrgnfl1; // the dialog's INI accessor

    QGroupBox* grpSmtp;
    QLineEdit* edtSmtpServer;
    QLineEdit* edtSmtpPort;
    QLineEdit* edtSmtpName;
    QLineEdit* edtSmtpUser;
    QLineEdit* edtSmtpPass;
    QComboBox* cbSmtpSecurity; // items carry the stored values: auto, starttls, tls, none
    QGroupBox* grpArchive;
    QLineEdit* edtArchivePass; // ArchivePass; empty: archives are not encrypted
    QPushButton* btnOk;
    QPushButton* btnCancel;
    QPushButton* btnTestMail;

private:
    // The boxes' values, with the file-only keys as the file holds them.
    struct TMailServerSettings BoxValues() const;

    // The stored encryption text, written back unchanged until the user picks
    // an entry (so a value the list does not know survives).
    std::string FStoredSecurity = "auto";
    bool FSecurityChosen = false;
};
