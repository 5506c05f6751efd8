#pragma once
// The password window for a server that asks for credentials: the user name
// shows the last one entered, the password field is empty each time.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class TauAutoUpgrader;

class TauAutoUpgraderPasswordForm : public QDialog {
public:
    explicit TauAutoUpgraderPasswordForm(TauAutoUpgrader& component);
    ~TauAutoUpgraderPasswordForm() override;

    static TauAutoUpgraderPasswordForm* Instance();

    QLabel* Image = nullptr;
    QLabel* TextLabel = nullptr;
    QLabel* UserNameLabel = nullptr;
    QLabel* PasswordLabel = nullptr;
    QLineEdit* UserName = nullptr;
    QLineEdit* Password = nullptr;
    QPushButton* OkButton = nullptr;
    QPushButton* CancelButton = nullptr;

private:
    void OkClick();
    TauAutoUpgrader& component_;
};

// Shows the window modally; true for OK, after HTTPUsername and HTTPPassword are written.
bool AskPassword(TauAutoUpgrader& component);
