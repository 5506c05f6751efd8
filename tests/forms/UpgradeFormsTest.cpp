// The upgrade windows driven offscreen: their texts in English and Chinese,
// the close confirmation of the wizard, its finish page, the password window
// and the server's text shown as text.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/MessageBox.h"
#include "platform/RealTimeLoop.h"
#include "tests/app/QtTestEnvironment.h"
#include "upgrade/AutoUpgrader.h"
#include "upgrade/forms/PasswordForm.h"
#include "upgrade/forms/QtUpgradeWindows.h"
#include "upgrade/forms/UpgradeMessageForm.h"
#include "upgrade/forms/WizardForm.h"

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Counts what reaches the procedure from the windows.
class TClosingProcedure : public TauUpgradeProcedure {
public:
    void DownloadNextFile(TauAutoUpgrader&, bool) override {}
    void OpenURL(TauAutoUpgrader&, const std::string&) override {}
    void WizardClosed(TauAutoUpgrader&) override { ++Closed; }
    int Closed = 0;
};

class UpgradeFormsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        upgrader_.ApplicationTitle = "quorvel";
        upgrader_.Windows = &windows_;
        upgrader_.Procedure = &procedure_;
        upgrader_.OnAborted = [this] { ++aborted_; };
    }
    void TearDown() override {
        windows_.CloseWindows();
        RunEventLoopFor(std::chrono::milliseconds(20));
        SetUpgraderLanguage(wlEnglish);
    }
    // Runs `act` once the modal window has opened.
    static void WhenShown(std::function<void()> act) { QTimer::singleShot(0, std::move(act)); }

    TRealTimeLoop loop_;
    TauAutoUpgrader upgrader_{loop_};
    TauQtUpgradeWindows windows_;
    TClosingProcedure procedure_;
    int aborted_ = 0;
    std::vector<std::string> boxes_;
    int answer_ = IDNO;
    TScopedMessageBoxHandler boxHandler_{[this](const AnsiString& text, const AnsiString& caption, unsigned flags) {
        boxes_.push_back(AnsiToUtf8(caption) + ": " + AnsiToUtf8(text) +
                         ((flags & MB_TYPEMASK) == MB_YESNO ? " [yes/no]" : ""));
        return answer_;
    }};
};

struct TLanguageCase {
    const char* Name;
    TauAutoUpgraderLanguage Language;
    const char* Caption, *Yes, *Later, *Downloading, *CurrentFile, *Next, *Cancel, *Preparing, *Finished, *Ok,
        *PasswordCaption, *UserName;
};

class UpgradeFormsTextTest : public UpgradeFormsTest, public ::testing::WithParamInterface<TLanguageCase> {};

TEST_P(UpgradeFormsTextTest, WindowsSpeakTheChosenLanguage) {
    const TLanguageCase& c = GetParam();
    upgrader_.SetLanguage(c.Language);

    QString caption, yes, later;
    WhenShown([&] {
        auto* form = TauAutoUpgraderUpgradeMessageForm::Instance();
        ASSERT_NE(form, nullptr);
        caption = form->windowTitle();
        yes = form->YesButton->text();
        later = form->LaterButton->text();
        form->LaterButton->click();
    });
    EXPECT_FALSE(windows_.AskUpgrade(UpgradeQuestionText("quorvel", "Faster")));
    EXPECT_EQ(caption, Q(c.Caption));
    EXPECT_EQ(yes, Q(c.Yes));
    EXPECT_EQ(later, Q(c.Later));

    windows_.ShowWizard(upgrader_);
    auto* wizard = TauAutoUpgraderWizardForm::Instance();
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(wizard->windowTitle(), Q(c.Caption));
    EXPECT_EQ(wizard->TitleLabel->text(), Q(c.Downloading));
    EXPECT_EQ(wizard->CurrentFileGroup->title(), " " + Q(c.CurrentFile) + " ");
    EXPECT_EQ(wizard->FinishButton->text(), Q(c.Next));
    EXPECT_FALSE(wizard->FinishButton->isEnabled());
    EXPECT_EQ(wizard->CancelButton->text(), Q(c.Cancel));
    EXPECT_EQ(wizard->TimeLeftLabel->text(), Q(c.Preparing));
    EXPECT_EQ(wizard->NameLabel->text(), " AutoUpgrader ");
    windows_.ShowFinishPage();
    EXPECT_EQ(wizard->TitleLabel->text(), Q(c.Finished));
    EXPECT_EQ(wizard->FinishButton->text(), Q(c.Ok));

    QString passwordCaption, userName;
    WhenShown([&] {
        auto* form = TauAutoUpgraderPasswordForm::Instance();
        ASSERT_NE(form, nullptr);
        passwordCaption = form->windowTitle();
        userName = form->UserNameLabel->text();
        form->CancelButton->click();
    });
    EXPECT_FALSE(windows_.AskPassword(upgrader_));
    EXPECT_EQ(passwordCaption, Q(c.PasswordCaption));
    EXPECT_EQ(userName, Q(c.UserName));
}

INSTANTIATE_TEST_SUITE_P(
    Languages, UpgradeFormsTextTest,
    ::testing::Values(TLanguageCase{"English", wlEnglish, "Application update wizard", "&Yes", "&Later",
                                    "Downloading files...", "Current file", "&Next >", "&Cancel", "Preparing. . .",
                                    "Upgrade completed!", "&OK", "Enter password", "User Name"},
                      TLanguageCase{"Chinese", wlChineseSimplified, "软件升级", "是 (&Y)", "稍等一下(&L)",
                                    "文档下载中", "当前的文档", "下一个>(&N)", "取消(&C)", "准备中", "升级完成！",
                                    "确定(&O)", "请输入密码", "帐号"}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TCloseCase {
    const char* Name;
    int Answer;
    bool Closes;
};

class WizardCloseTest : public UpgradeFormsTest, public ::testing::WithParamInterface<TCloseCase> {};

// Enter acts on the cancel button while a file downloads: the question comes
// first, and only Yes ends the upgrade.
TEST_P(WizardCloseTest, EnterWhileDownloadingAsksFirst) {
    answer_ = GetParam().Answer;
    windows_.ShowWizard(upgrader_);
    auto* wizard = TauAutoUpgraderWizardForm::Instance();
    ASSERT_NE(wizard, nullptr);
    wizard->activateWindow();
    QTest::keyClick(wizard, Qt::Key_Return);
    RunEventLoopFor(std::chrono::milliseconds(20));
    EXPECT_EQ(boxes_, std::vector<std::string>{
                          "quorvel: The update is not completed.\rWould you like to abort upgrading? [yes/no]"});
    EXPECT_EQ(windows_.WizardExists(), !GetParam().Closes);
    EXPECT_EQ(aborted_, GetParam().Closes ? 1 : 0);
    EXPECT_EQ(procedure_.Closed, GetParam().Closes ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, WizardCloseTest,
                         ::testing::Values(TCloseCase{"No", IDNO, false}, TCloseCase{"Yes", IDYES, true}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST_F(UpgradeFormsTest, FinishButtonClosesWithoutAQuestion) {
    windows_.ShowWizard(upgrader_);
    windows_.SetWizardFile("http://example.com/upsoft/quorvel", Utf8ToAnsi("Downloading 1 of 1"));
    auto* wizard = TauAutoUpgraderWizardForm::Instance();
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(wizard->FileURL->text(), "http://example.com/upsoft/quorvel");
    EXPECT_TRUE(wizard->FileURL->isReadOnly());
    QTest::keyClicks(wizard->FileURL, "typed");
    EXPECT_EQ(wizard->FileURL->text(), "http://example.com/upsoft/quorvel");
    EXPECT_EQ(wizard->AllFilesLabel->text(), "Downloading 1 of 1");

    windows_.ShowFinishPage();
    EXPECT_TRUE(wizard->AfterNote->isVisibleTo(wizard));
    EXPECT_EQ(wizard->AfterNote->text(),
              "The update of quorvel has been successfully completed.\n\nPress the OK button to restart program.");
    EXPECT_FALSE(wizard->CurrentFileGroup->isVisibleTo(wizard));
    EXPECT_FALSE(wizard->CancelButton->isEnabled());
    EXPECT_TRUE(wizard->FinishButton->isEnabled());
    wizard->FinishButton->click();
    RunEventLoopFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(boxes_.empty());
    EXPECT_FALSE(windows_.WizardExists());
    EXPECT_EQ(procedure_.Closed, 1);
    EXPECT_EQ(aborted_, 0);
}

TEST_F(UpgradeFormsTest, StoppedFromOutsideTheWizardClosesWithoutAQuestion) {
    windows_.ShowWizard(upgrader_);
    upgrader_.StopUpgrade();
    RunEventLoopFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(boxes_.empty());
    EXPECT_FALSE(windows_.WizardExists());
}

// The window is freed on closing: the name stays with the component, the password does not show again.
TEST_F(UpgradeFormsTest, PasswordWindowKeepsTheNameOnly) {
    upgrader_.URL = "http://example.com/upsoft/quorvel";
    WhenShown([] {
        auto* form = TauAutoUpgraderPasswordForm::Instance();
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->TextLabel->text(),
                  "Access to remote file \"quorvel\" is password protected.\n\nPlease enter your username and password "
                  "(received after registration) to continue software upgrade.");
        EXPECT_EQ(form->Password->echoMode(), QLineEdit::Password);
        form->UserName->setText("reg");
        form->Password->setText("s3cret");
        form->OkButton->click();
    });
    EXPECT_TRUE(windows_.AskPassword(upgrader_));
    EXPECT_EQ(upgrader_.HTTPUsername, "reg");
    EXPECT_EQ(upgrader_.HTTPPassword, "s3cret");

    QString name, password;
    WhenShown([&] {
        auto* form = TauAutoUpgraderPasswordForm::Instance();
        ASSERT_NE(form, nullptr);
        name = form->UserName->text();
        password = form->Password->text();
        form->close();
    });
    EXPECT_FALSE(windows_.AskPassword(upgrader_));
    EXPECT_EQ(name, "reg");
    EXPECT_EQ(password, "");
}

// The server's message is text: markup shows as typed, and a long one scrolls
// within the screen instead of making the window taller than it.
TEST_F(UpgradeFormsTest, ServerMessageIsPlainTextAndScrolls) {
    std::string lines = "<b>Faster</b> <a href=\"file:///etc\">here</a>";
    for (int i = 0; i < 200; ++i) lines += "\nline";
    QString shown;
    int height = 0, areaHeight = 0, textHeight = 0;
    WhenShown([&] {
        auto* form = TauAutoUpgraderUpgradeMessageForm::Instance();
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->TextLabel->textFormat(), Qt::PlainText);
        shown = form->TextLabel->text();
        height = form->height();
        areaHeight = form->TextArea->height();
        textHeight = form->TextLabel->height();
        QTest::keyClick(form, Qt::Key_Escape);
    });
    EXPECT_FALSE(windows_.AskUpgrade(UpgradeQuestionText("quorvel", lines)));
    EXPECT_TRUE(shown.contains("<b>Faster</b> <a href=\"file:///etc\">here</a>"));
    EXPECT_LE(height, QGuiApplication::primaryScreen()->availableGeometry().height());
    EXPECT_LT(areaHeight, textHeight);
}

TEST_F(UpgradeFormsTest, ShortQuestionFitsWithoutScrolling) {
    int areaHeight = 0, textHeight = 0;
    WhenShown([&] {
        auto* form = TauAutoUpgraderUpgradeMessageForm::Instance();
        ASSERT_NE(form, nullptr);
        areaHeight = form->TextArea->height();
        textHeight = form->TextLabel->height();
        form->YesButton->click();
    });
    EXPECT_TRUE(windows_.AskUpgrade(UpgradeQuestionText("quorvel", "")));
    EXPECT_EQ(areaHeight, textHeight);
}

} // namespace
