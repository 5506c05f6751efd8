// The mail server settings dialog and the about box, driven offscreen.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <QLabel>

#include "platform/ExceptionReport.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/Publisher.h"
#include "platform/SettingsAccessor.h"
#include "platform/VersionInfo.h"
#include "settings/StringCipher.h"
#include "settings/forms/ConfigForm.h"
#include "tasks/forms/AboutBox.h"
#include "tests/peers/SmtpSpoolServer.h"
#include "tests/app/QtTestEnvironment.h"

namespace {

namespace fs = std::filesystem;

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

class ConfigFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        folder_ = fs::temp_directory_path() /
                  ("quorvel-config-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        path_ = (folder_ / "config.ini").string();
    }
    void TearDown() override { fs::remove_all(folder_); }

    AnsiString Stored(const char* key) const {
        TSettingsAccessor accessor;
        accessor.Path = path_;
        return accessor.ReadString("Option", key, "<missing>");
    }

    fs::path folder_;
    std::string path_;
    std::vector<std::string> errors_;
    TScopedExceptionHandler errorHandler_{[this](const AnsiString& m) { errors_.push_back(AnsiToUtf8Lenient(m)); }};
    TScopedMessageBoxHandler boxHandler_{[](const AnsiString& text, const AnsiString&, unsigned) -> int {
        ADD_FAILURE() << "unexpected box: " << AnsiToUtf8Lenient(text);
        return IDOK;
    }};
};

TEST_F(ConfigFormTest, WithoutAFileItOpensEmptyAndOkWritesAllFiveKeys) {
    TconfigForm form(nullptr, path_);
    EXPECT_EQ(form.windowTitle(), Q("邮件服务器参数设置"));
    EXPECT_EQ(form.grpSmtp->title(), Q("SMTP服务器设置"));
    EXPECT_EQ(form.edtSmtpServer->text(), "");
    EXPECT_EQ(form.edtSmtpPort->text(), "25");
    EXPECT_EQ(form.edtSmtpName->text(), "");
    EXPECT_EQ(form.edtSmtpUser->text(), "");
    EXPECT_EQ(form.edtSmtpPass->text(), "");
    EXPECT_EQ(form.edtSmtpPass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form.edtSmtpPort->toolTip(), Q("SMTP服务器端口，一般是25"));
    EXPECT_EQ(form.edtSmtpUser->toolTip(), Q("注册邮箱的用户名"));
    EXPECT_EQ(form.edtSmtpPass->toolTip(), Q("注册邮箱的密码"));
    EXPECT_TRUE(form.edtSmtpName->toolTip().contains(Q("客服中心")));
    EXPECT_FALSE(fs::exists(path_));

    form.show();
    form.btnOk->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_TRUE(errors_.empty());
    EXPECT_EQ(ReadFile(path_),
              "[Option]\nSmtpServer=\nSmtpName=\nSmtpPort=25\nSmtpUser=\nSmtpPass=\nSmtpSecurity=auto\nArchivePass=\n");
}

TEST_F(ConfigFormTest, RoundTripWithAFreshCipherOnEverySave) {
    std::vector<AnsiString> ciphers;
    for (int save = 0; save < 2; ++save) {
        TconfigForm form(nullptr, path_);
        form.edtSmtpServer->setText("mail.example.org");
        form.edtSmtpPort->setText("twenty-five"); // stored as typed
        form.edtSmtpName->setText(Q("客服中心<backup@example.org>"));
        form.edtSmtpUser->setText("backup");
        form.edtSmtpPass->setText(Q("密码;=1"));
        form.show();
        form.btnOk->click();
        ASSERT_EQ(form.result(), QDialog::Accepted);
        ciphers.push_back(Stored("SmtpPass"));
    }
    EXPECT_NE(ciphers[0], ciphers[1]);
    for (const AnsiString& cipher : ciphers) EXPECT_EQ(CipherText(cipher, SmtpPasswordKey, false), Utf8ToAnsi("密码;=1"));
    EXPECT_EQ(Stored("SmtpPort"), "twenty-five");
    EXPECT_EQ(Stored("SmtpName"), Utf8ToAnsi("客服中心<backup@example.org>"));

    TconfigForm reopened(nullptr, path_);
    EXPECT_EQ(reopened.edtSmtpServer->text(), "mail.example.org");
    EXPECT_EQ(reopened.edtSmtpPort->text(), "twenty-five");
    EXPECT_EQ(reopened.edtSmtpName->text(), Q("客服中心<backup@example.org>"));
    EXPECT_EQ(reopened.edtSmtpUser->text(), "backup");
    EXPECT_EQ(reopened.edtSmtpPass->text(), Q("密码;=1"));
    EXPECT_TRUE(errors_.empty());
}

TEST_F(ConfigFormTest, KeysAreWrittenInOrderBesideOtherSections) {
    std::ofstream(path_) << "[task]\n0=40\n";
    TconfigForm form(nullptr, path_);
    form.edtSmtpServer->setText("s");
    form.edtSmtpPass->setText("");
    form.btnOk->click();
    const std::string content = ReadFile(path_);
    EXPECT_EQ(content.rfind("[task]\n0=40\n", 0), 0u) << content;
    const std::vector<std::string> keys = {"SmtpServer=s", "SmtpName=", "SmtpPort=25", "SmtpUser=", "SmtpPass=\n"};
    std::size_t at = 0;
    for (const std::string& key : keys) {
        const std::size_t found = content.find(key, at);
        ASSERT_NE(found, std::string::npos) << key << " in\n" << content;
        at = found + key.size();
    }
}

TEST_F(ConfigFormTest, InvalidCipherIsReportedAndLeavesThePasswordEmpty) {
    std::ofstream(path_) << "[Option]\nSmtpServer=mail\nSmtpName=a@b\nSmtpPort=587\nSmtpUser=u\nSmtpPass=XYZ\n";
    TconfigForm form(nullptr, path_);
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_NE(errors_[0].find("is not a valid integer value"), std::string::npos) << errors_[0];
    EXPECT_EQ(form.edtSmtpServer->text(), "mail");
    EXPECT_EQ(form.edtSmtpName->text(), "a@b");
    EXPECT_EQ(form.edtSmtpPort->text(), "587");
    EXPECT_EQ(form.edtSmtpUser->text(), "u");
    EXPECT_EQ(form.edtSmtpPass->text(), "");
}

// ---- the archive password row

TEST_F(ConfigFormTest, ArchivePasswordIsStoredInCipherFormAndShownMasked) {
    {
        TconfigForm form(nullptr, path_);
        EXPECT_EQ(form.grpArchive->title(), Q("备份压缩包"));
        EXPECT_EQ(form.edtArchivePass->echoMode(), QLineEdit::Password);
        EXPECT_EQ(form.edtArchivePass->toolTip(), Q("设置后备份压缩包将加密(AES-256)，收件人需用此密码解压"));
        const QList<QLabel*> labels = form.grpArchive->findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(labels[0]->text(), Q("压缩包密码："));
        EXPECT_EQ(form.edtArchivePass->text(), "");
        form.edtSmtpPass->setText("login");
        form.edtArchivePass->setText(Q("压缩 pw"));
        form.show();
        form.btnOk->click();
        ASSERT_EQ(form.result(), QDialog::Accepted);
    }
    const AnsiString stored = Stored("ArchivePass");
    EXPECT_EQ(ReadFile(path_).find(Utf8ToAnsi("压缩 pw")), std::string::npos) << "never in plain text";
    EXPECT_EQ(CipherText(stored, SmtpPasswordKey, false), Utf8ToAnsi("压缩 pw"));
    TconfigForm reopened(nullptr, path_);
    EXPECT_EQ(reopened.edtArchivePass->text(), Q("压缩 pw"));
    EXPECT_EQ(reopened.edtSmtpPass->text(), "login");
    EXPECT_TRUE(errors_.empty());
}

// Each password box stands on its own: a broken cipher text empties only its box.
TEST_F(ConfigFormTest, AnInvalidCipherEmptiesOnlyItsOwnBox) {
    struct TCase {
        const char* Name;
        bool LoginBroken, ArchiveBroken;
    };
    for (const TCase& c : {TCase{"archive password broken", false, true}, TCase{"login password broken", true, false},
                           TCase{"both broken", true, true}}) {
        SCOPED_TRACE(c.Name);
        errors_.clear();
        std::ofstream(path_) << "[Option]\nSmtpServer=mail\nSmtpPass="
                             << (c.LoginBroken ? std::string("XYZ") : CipherText("login", SmtpPasswordKey, true))
                             << "\nArchivePass="
                             << (c.ArchiveBroken ? std::string("QQ") : CipherText("zip", SmtpPasswordKey, true)) << "\n";
        TconfigForm form(nullptr, path_);
        ASSERT_EQ(errors_.size(), 1u);
        EXPECT_NE(errors_[0].find("is not a valid integer value"), std::string::npos) << errors_[0];
        EXPECT_EQ(form.edtSmtpServer->text(), "mail");
        EXPECT_EQ(form.edtSmtpPass->text(), c.LoginBroken ? "" : "login");
        EXPECT_EQ(form.edtArchivePass->text(), c.ArchiveBroken ? "" : "zip");
    }
}

TEST_F(ConfigFormTest, CancelWritesNothing) {
    const std::string original = "[Option]\nSmtpServer=old\n";
    std::ofstream(path_) << original;
    TconfigForm form(nullptr, path_);
    form.edtSmtpServer->setText("new");
    form.edtSmtpPass->setText("pw");
    form.show();
    form.btnCancel->click();
    EXPECT_EQ(form.result(), QDialog::Rejected);
    EXPECT_EQ(ReadFile(path_), original);
}

TEST_F(ConfigFormTest, RefusedWriteIsReportedAndKeepsTheDialogOpen) {
    // A settings file under a plain file can never be created, whoever runs the test.
    std::ofstream(folder_ / "blocker") << "x";
    const std::string path = (folder_ / "blocker" / "config.ini").string();
    TconfigForm form(nullptr, path);
    form.show();
    form.btnOk->click();
    EXPECT_EQ(errors_, std::vector<std::string>{"Unable to write to " + path});
    EXPECT_TRUE(form.isVisible());
    EXPECT_NE(form.result(), QDialog::Accepted);
}

TEST_F(ConfigFormTest, TextOutsideTheCodePageIsRefusedBeforeAnyWrite) {
    TconfigForm form(nullptr, path_);
    form.show();
    form.edtSmtpServer->setText("mail");
    form.edtSmtpPass->setText(Q("pw😀"));
    form.btnOk->click();
    EXPECT_EQ(errors_.size(), 1u);
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(ConfigFormTest, DefaultsToTheFileBesideTheExecutable) {
    OverrideExeFolder(folder_.string() + "/");
    TconfigForm form(nullptr);
    EXPECT_EQ(form.rzrgnfl1.Path, path_);
    form.edtSmtpUser->setText("u1");
    form.btnOk->click();
    EXPECT_EQ(Stored("SmtpUser"), "u1");
    OverrideExeFolder("");
}

TEST_F(ConfigFormTest, TabOrder) {
    TconfigForm form(nullptr, path_);
    form.show();
    const std::vector<QWidget*> expected = {form.edtSmtpServer, form.edtSmtpPort, form.cbSmtpSecurity,
                                            form.edtSmtpUser,   form.edtSmtpPass, form.edtSmtpName,
                                            form.edtArchivePass, form.btnOk,      form.btnCancel,
                                            form.btnTestMail};
    std::vector<QWidget*> seen;
    QWidget* w = form.edtSmtpServer;
    for (int i = 0; i < 100 && seen.size() < expected.size(); ++i, w = w->nextInFocusChain())
        if (std::find(expected.begin(), expected.end(), w) != expected.end() &&
            std::find(seen.begin(), seen.end(), w) == seen.end())
            seen.push_back(w);
    EXPECT_EQ(seen, expected);
}

// ---- the encryption row

TEST_F(ConfigFormTest, EncryptionRowShowsTheStoredChoice) {
    struct TCase {
        const char* Stored; // nullptr: no such key
        int Shown;
    };
    for (const TCase& c : {TCase{nullptr, 0}, TCase{"auto", 0}, TCase{"starttls", 1}, TCase{"TLS", 2},
                           TCase{"none", 3}, TCase{"ssl", 0}}) {
        std::ofstream(path_) << "[Option]\nSmtpPort=25\n" << (c.Stored ? std::string("SmtpSecurity=") + c.Stored + "\n" : "");
        TconfigForm form(nullptr, path_);
        EXPECT_EQ(form.cbSmtpSecurity->currentIndex(), c.Shown) << (c.Stored ? c.Stored : "missing");
        EXPECT_EQ(form.edtSmtpPort->text(), "25") << "filling the dialog changes no port";
        // Kept as stored while the user keeps the entry it was shown as.
        form.btnOk->click();
        EXPECT_EQ(Stored("SmtpSecurity"), c.Stored ? c.Stored : "auto");
    }
    TconfigForm form(nullptr, path_);
    EXPECT_EQ(form.cbSmtpSecurity->count(), 4);
    const QStringList entries = {Q("自动"), "STARTTLS", "SSL/TLS", Q("不加密")};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(form.cbSmtpSecurity->itemText(i), entries[i]);
    EXPECT_EQ(form.cbSmtpSecurity->toolTip(), Q("自动：服务器支持时使用加密连接"));
}

// What the combo box does when the user chooses an entry from its list.
void PickSecurity(TconfigForm& form, int index) {
    form.cbSmtpSecurity->setCurrentIndex(index);
    emit form.cbSmtpSecurity->activated(index);
}

TEST_F(ConfigFormTest, PickingAnEncryptionMovesPort25Only) {
    struct TCase {
        const char* Port;
        int Pick;
        const char* PortAfter;
        const char* Stored;
    };
    for (const TCase& c : {TCase{"25", 2, "465", "tls"}, TCase{"25", 1, "587", "starttls"},
                           TCase{" 25 ", 2, "465", "tls"}, TCase{"2525", 2, "2525", "tls"},
                           TCase{"587", 1, "587", "starttls"}, TCase{"25", 3, "25", "none"},
                           TCase{"465", 3, "465", "none"}}) {
        fs::remove(path_);
        TconfigForm form(nullptr, path_);
        form.edtSmtpPort->setText(c.Port);
        form.show();
        PickSecurity(form, c.Pick);
        EXPECT_EQ(form.edtSmtpPort->text(), c.PortAfter) << c.Port << " " << c.Stored;
        form.btnOk->click();
        EXPECT_EQ(Stored("SmtpSecurity"), c.Stored);
        EXPECT_EQ(Stored("SmtpPort"), c.PortAfter);
    }
}

TEST_F(ConfigFormTest, UnknownStoredChoiceIsReplacedWhenTheUserPicksAnother) {
    std::ofstream(path_) << "[Option]\nSmtpSecurity=ssl\nSmtpPort=25\n";
    TconfigForm form(nullptr, path_);
    form.show();
    QTest::keyClick(form.cbSmtpSecurity, Qt::Key_Down); // a real key press: STARTTLS
    EXPECT_EQ(form.edtSmtpPort->text(), "587");
    QTest::keyClick(form.cbSmtpSecurity, Qt::Key_Up); // back on "自动", now chosen by the user
    form.btnOk->click();
    EXPECT_EQ(Stored("SmtpSecurity"), "auto");
}

// ---- the test mail

class ConfigFormMailTest : public ConfigFormTest {
protected:
    std::vector<std::pair<std::string, unsigned>> boxes_;
    TScopedMessageBoxHandler recordBoxes_{[this](const AnsiString& text, const AnsiString&, unsigned flags) -> int {
        boxes_.emplace_back(AnsiToUtf8Lenient(text), flags);
        return IDOK;
    }};
};

TEST_F(ConfigFormMailTest, TestMailGoesToTheSenderWithTheBoxesValuesUnsaved) {
    TSmtpSpoolServer smtp({"backup", "s3cret", false, {}});
    std::ofstream(path_) << "[Option]\nSmtpServer=elsewhere.invalid\nSmtpVerify=0\n";
    const std::string before = ReadFile(path_);
    TconfigForm form(nullptr, path_);
    form.edtSmtpServer->setText("127.0.0.1");
    form.edtSmtpPort->setText(QString::number(smtp.Port()));
    form.edtSmtpName->setText(Q("客服中心<backup@example.com>"));
    form.edtSmtpUser->setText("backup");
    form.edtSmtpPass->setText("s3cret");
    form.show();
    form.btnTestMail->click();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].first, "测试邮件已发送到 backup@example.com");
    EXPECT_EQ(boxes_[0].second & MB_ICONMASK, MB_ICONINFORMATION);
    EXPECT_TRUE(form.isVisible()) << "the dialog stays open";
    EXPECT_EQ(ReadFile(path_), before) << "nothing is saved";
    const std::vector<TSpooledMessage> mails = smtp.Messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].Subject, "Quorvel 测试邮件");
    EXPECT_EQ(mails[0].Recipients, std::vector<std::string>{"backup@example.com"});
    EXPECT_EQ(AnsiToUtf8Lenient(mails[0].Body), "这是一封测试邮件。\r\n");

    form.edtSmtpPass->setText("wrong");
    form.btnTestMail->click();
    ASSERT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(boxes_[1].first, "5.7.8 Authentication credentials invalid\r\n");
    EXPECT_EQ(boxes_[1].second & MB_ICONMASK, MB_ICONERROR);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(smtp.Messages().size(), 1u);
    EXPECT_TRUE(errors_.empty());
}

TEST(AboutBoxTest, ShowsTitleVersionDescriptionAndLink) {
    TestApplication();
    TAboutBox box(nullptr);
    EXPECT_EQ(box.windowTitle(), Q("关于"));
    EXPECT_EQ(box.ProductName->text(), Q("SQL Server数据库备份工具"));
    EXPECT_EQ(box.ProductName->font().pixelSize(), 20);
    EXPECT_FALSE(box.TitleFontFamily().isEmpty());
    EXPECT_EQ(box.Version->text().toStdString(), AnsiToUtf8(GetVersionText()));
    EXPECT_EQ(box.Version->text().toStdString(), std::string("V") + QUORVEL_VERSION); // the project's version
    EXPECT_EQ(box.Comments->text(), Q("    对SQL Server 数据库自动备份，压缩后发到您的邮箱。让您的数据高枕无忧。"));
    EXPECT_TRUE(box.Comments->wordWrap());
    EXPECT_EQ(box.lblWebsite->text().toStdString(), PublisherWebSite());
    EXPECT_TRUE(box.lblWebsite->font().underline());
    EXPECT_EQ(box.lblWebsite->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(box.OKButton->text(), Q("确定"));
    EXPECT_EQ(box.minimumSize(), box.maximumSize()); // fixed size
    box.show();
    box.OKButton->click();
    EXPECT_EQ(box.result(), QDialog::Accepted);
}

} // namespace
