#pragma once
// The desktop's upgrade windows behind the component's window interface.
#include "upgrade/AutoUpgrader.h"

class TauQtUpgradeWindows : public TauUpgradeWindows {
public:
    bool HasDisplay() const override { return true; }
    bool AskUpgrade(const AnsiString& question) override;
    bool AskPassword(TauAutoUpgrader& component) override;
    void CloseWindows() override;

    void ShowWizard(TauAutoUpgrader& component) override;
    bool WizardExists() const override;
    void SetWizardFile(const std::string& url, const AnsiString& allFiles) override;
    void SetWizardFileSize(const AnsiString& text) override;
    void SetWizardProgress(int filePercent, int totalPercent, const AnsiString& rate,
                           const AnsiString& timeLeft) override;
    void ShowFinishPage() override;
};
