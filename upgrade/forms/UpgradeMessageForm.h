#pragma once
// The question window that announces a newer version: Yes or Later. The
// server's message is shown as plain text; a long one scrolls within the
// screen's height.
#include <QDialog>

#include "platform/AnsiString.h"

class QLabel;
class QPushButton;
class QScrollArea;

class TauAutoUpgraderUpgradeMessageForm : public QDialog {
public:
    // `question`: message 23 as UpgradeQuestionText made it.
    explicit TauAutoUpgraderUpgradeMessageForm(const AnsiString& question);
    ~TauAutoUpgraderUpgradeMessageForm() override;

    // The window while it exists (there is at most one).
    static TauAutoUpgraderUpgradeMessageForm* Instance();

    QLabel* Image = nullptr;
    QLabel* TextLabel = nullptr;
    QScrollArea* TextArea = nullptr;
    QPushButton* YesButton = nullptr;
    QPushButton* LaterButton = nullptr;
};

// Shows the window modally; true exactly for its Yes button.
bool AskUpgrade(const AnsiString& question);
