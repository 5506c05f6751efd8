#pragma once
// The wizard of the downloads: the current file and all files with their
// progress, then the finish page. Every way of closing it but the finish
// button asks first (message 27); Yes aborts the upgrade.
#include <QDialog>
#include <functional>

#include "platform/AnsiString.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class TauAutoUpgrader;

class TauAutoUpgraderWizardForm : public QDialog {
public:
    explicit TauAutoUpgraderWizardForm(TauAutoUpgrader& component);
    ~TauAutoUpgraderWizardForm() override;

    static TauAutoUpgraderWizardForm* Instance();

    void SetFileURL(const std::string& url);
    void ShowFinishPage();
    bool OnFinishPage() const { return finishPage_; }
    // Closes without asking (the upgrade was stopped from outside).
    void CloseQuietly();
    // Runs once the window has closed, however that happened.
    std::function<void()> OnClosed;

    QLabel* SidePicture = nullptr;
    QLabel* TitleLabel = nullptr;
    QGroupBox* CurrentFileGroup = nullptr;
    QLabel* SourceLabel = nullptr;
    QLineEdit* FileURL = nullptr;
    QLabel* FileSizeLabel = nullptr;
    QLabel* TransferRateLabel = nullptr;
    QLabel* TimeLeftLabel = nullptr;
    QProgressBar* CurrentFileProgress = nullptr;
    QGroupBox* AllFilesGroup = nullptr;
    QLabel* AllFilesLabel = nullptr;
    QProgressBar* AllFilesProgress = nullptr;
    QLabel* AfterNote = nullptr;
    QLabel* NameShadow = nullptr;
    QLabel* NameLabel = nullptr;
    QPushButton* FinishButton = nullptr;
    QPushButton* CancelButton = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override; // Esc: the close command

private:
    TauAutoUpgrader& component_;
    bool finishPage_ = false;
    bool closeAllowed_ = false;
    bool closed_ = false;
};
