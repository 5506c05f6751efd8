#include "upgrade/forms/QtUpgradeWindows.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include "upgrade/forms/PasswordForm.h"
#include "upgrade/forms/UpgradeMessageForm.h"
#include "upgrade/forms/UpgradePictures.h"
#include "upgrade/forms/WizardForm.h"

bool TauQtUpgradeWindows::AskUpgrade(const AnsiString& question) {
    return ::AskUpgrade(question);
}

bool TauQtUpgradeWindows::AskPassword(TauAutoUpgrader& component) {
    return ::AskPassword(component);
}

void TauQtUpgradeWindows::CloseWindows() {
    if (auto* question = TauAutoUpgraderUpgradeMessageForm::Instance())
        question->reject();
    if (auto* wizard = TauAutoUpgraderWizardForm::Instance())
        wizard->CloseQuietly();
}

void TauQtUpgradeWindows::ShowWizard(TauAutoUpgrader& component) {
    auto* wizard = TauAutoUpgraderWizardForm::Instance();
    if (!wizard) {
        wizard = new TauAutoUpgraderWizardForm(component); // frees itself on closing
        wizard->OnClosed = [&component] { component.WizardClosed(); };
    }
    wizard->show();
}

bool TauQtUpgradeWindows::WizardExists() const {
    return TauAutoUpgraderWizardForm::Instance() != nullptr;
}

void TauQtUpgradeWindows::SetWizardFile(const std::string& url, const AnsiString& allFiles) {
    if (auto* wizard = TauAutoUpgraderWizardForm::Instance()) {
        wizard->SetFileURL(url);
        wizard->AllFilesLabel->setText(UpgradeText(allFiles));
        wizard->AllFilesLabel->adjustSize();
    }
}

void TauQtUpgradeWindows::SetWizardFileSize(const AnsiString& text) {
    if (auto* wizard = TauAutoUpgraderWizardForm::Instance()) {
        wizard->FileSizeLabel->setText(UpgradeText(text));
        wizard->FileSizeLabel->adjustSize();
    }
}

void TauQtUpgradeWindows::SetWizardProgress(int filePercent, int totalPercent, const AnsiString& rate,
                                            const AnsiString& timeLeft) {
    if (auto* wizard = TauAutoUpgraderWizardForm::Instance()) {
        wizard->CurrentFileProgress->setValue(filePercent);
        wizard->AllFilesProgress->setValue(totalPercent);
        wizard->TransferRateLabel->setText(UpgradeText(rate));
        wizard->TransferRateLabel->adjustSize();
        wizard->TimeLeftLabel->setText(UpgradeText(timeLeft));
        wizard->TimeLeftLabel->adjustSize();
    }
}

void TauQtUpgradeWindows::ShowFinishPage() {
    if (auto* wizard = TauAutoUpgraderWizardForm::Instance())
        wizard->ShowFinishPage();
}
