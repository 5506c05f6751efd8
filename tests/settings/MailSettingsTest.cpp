#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "settings/MailSettings.h"
#include "settings/StringCipher.h"

namespace fs = std::filesystem;

namespace {

class MailSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-mailsettings-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        accessor_.Path = (dir_ / "config.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Put(const std::string& content) { ASSERT_EQ(ReplaceFileContent(accessor_.Path, content), 0); }

    fs::path dir_;
    TSettingsAccessor accessor_;
    TMailSettings settings_{accessor_};
};

TEST(MailSettingsPort, StoredPortAppliesOnlyWhenItIsAValidPortNumber) {
    struct Case {
        const char* text;
        int port;
    };
    const Case cases[] = {
        {"25", 25},     {"587", 587},  {"465", 465},  {"1", 1},      {"65535", 65535}, {" 2525 ", 2525},
        {"0587", 587},  {"", 25},      {"0", 25},     {"65536", 25}, {"99999", 25},    {"-25", 25},
        {"+25", 25},    {"25a", 25},   {"2 5", 25},   {"smtp", 25},  {"000025", 25},   {"4294967321", 25},
    };
    for (const Case& c : cases) EXPECT_EQ(TMailSettings::ApplicablePort(c.text), c.port) << "'" << c.text << "'";
}

TEST_F(MailSettingsTest, MissingFileGivesTheDefaults) {
    EXPECT_EQ(settings_.SmtpServer(), "");
    EXPECT_EQ(settings_.SmtpName(), "");
    EXPECT_EQ(settings_.SmtpUser(), "");
    EXPECT_EQ(settings_.SmtpPortText(), "25");
    EXPECT_EQ(settings_.SmtpPort(), 25);
    EXPECT_EQ(settings_.SmtpPassword(), "");
    EXPECT_EQ(settings_.SmtpSecurity(), "auto");
    EXPECT_TRUE(settings_.SmtpVerify());
    EXPECT_EQ(settings_.SmtpCAFile(), "");
    EXPECT_EQ(settings_.Archiver(), "auto");
    EXPECT_EQ(settings_.ArchivePassword(), "");
    EXPECT_EQ(settings_.MaxMailSize(), 0u);
    EXPECT_FALSE(fs::exists(accessor_.Path)); // reading creates nothing
}

// Certificate checks stay on for anything but a stored "0": a typo must not turn
// them off.
TEST_F(MailSettingsTest, TlsKeysAsStored) {
    struct TCase {
        const char* Verify;
        bool On;
    };
    for (const TCase& c : {TCase{"0", false}, TCase{" 0 ", false}, TCase{"1", true}, TCase{"", true},
                           TCase{"no", true}, TCase{"false", true}}) {
        Put(std::string("[Option]\r\nSmtpSecurity=StartTLS\r\nSmtpCAFile=/etc/ssl/relay.pem\r\nSmtpVerify=") +
            c.Verify + "\r\n");
        EXPECT_EQ(settings_.SmtpVerify(), c.On) << "'" << c.Verify << "'";
        EXPECT_EQ(settings_.SmtpSecurity(), "StartTLS");
        EXPECT_EQ(settings_.SmtpCAFile(), "/etc/ssl/relay.pem");
    }
}

TEST_F(MailSettingsTest, EveryReadGoesToTheFile) {
    Put("[Option]\r\nSmtpServer=mail.example.com\r\nSmtpPort=587\r\nSmtpName=backup@example.com\r\n"
        "SmtpUser=backup\r\nSmtpPass=" +
        CipherText("s3cret", SmtpPasswordKey, true) + "\r\n[task]\r\nSmtpServer=other\r\n");
    EXPECT_EQ(settings_.SmtpServer(), "mail.example.com");
    EXPECT_EQ(settings_.SmtpName(), "backup@example.com");
    EXPECT_EQ(settings_.SmtpUser(), "backup");
    EXPECT_EQ(settings_.SmtpPort(), 587);
    EXPECT_EQ(settings_.SmtpPassword(), "s3cret");

    // Changed behind our back (the dialog saved): the next read sees it.
    Put("[option]\r\nsmtpserver=relay.example.net\r\nSmtpPort=abc\r\n");
    EXPECT_EQ(settings_.SmtpServer(), "relay.example.net");
    EXPECT_EQ(settings_.SmtpPortText(), "abc");
    EXPECT_EQ(settings_.SmtpPort(), 25);
    EXPECT_EQ(settings_.SmtpUser(), "");
}

TEST_F(MailSettingsTest, SaveWritesTheFiveKeysAndLoadReadsThemBack) {
    TMailServerSettings values;
    values.SmtpServer = "127.0.0.1";
    values.SmtpName = Utf8ToAnsi("客服中心 <backup@example.com>");
    values.SmtpPort = "2525";
    values.SmtpUser = "backup";
    values.SmtpPass = Utf8ToAnsi("密码pw");
    values.SmtpSecurity = "starttls";
    values.ArchivePass = Utf8ToAnsi("压缩 pw");
    settings_.Save(values);
    std::string content;
    ASSERT_TRUE(ReadWholeFile(accessor_.Path, content));
    // Key order as the dialog writes them; the password only in cipher form.
    auto at = [&](const char* key) { return content.find(key); };
    EXPECT_LT(at("SmtpServer="), at("SmtpName="));
    EXPECT_LT(at("SmtpName="), at("SmtpPort="));
    EXPECT_LT(at("SmtpPort="), at("SmtpUser="));
    EXPECT_LT(at("SmtpUser="), at("SmtpPass="));
    EXPECT_LT(at("SmtpPass="), at("SmtpSecurity="));
    EXPECT_LT(at("SmtpSecurity="), at("ArchivePass="));
    EXPECT_EQ(content.find(values.SmtpPass), std::string::npos);
    EXPECT_EQ(content.find(values.ArchivePass), std::string::npos);
    // Kept in the file only: the dialog has no box for them.
    EXPECT_EQ(at("SmtpVerify="), std::string::npos);
    EXPECT_EQ(at("SmtpCAFile="), std::string::npos);

    TMailServerSettings loaded;
    settings_.Load(loaded);
    EXPECT_EQ(loaded.SmtpServer, values.SmtpServer);
    EXPECT_EQ(loaded.SmtpName, values.SmtpName);
    EXPECT_EQ(loaded.SmtpPort, values.SmtpPort);
    EXPECT_EQ(loaded.SmtpUser, values.SmtpUser);
    EXPECT_EQ(loaded.SmtpPass, values.SmtpPass);
    EXPECT_EQ(loaded.SmtpSecurity, "starttls");
    EXPECT_EQ(loaded.ArchivePass, values.ArchivePass);
    EXPECT_EQ(settings_.SmtpPort(), 2525);
}

TEST_F(MailSettingsTest, BadCipherTextFailsButTheOtherValuesAreLoaded) {
    Put("[Option]\r\nSmtpServer=mail.example.com\r\nSmtpUser=u\r\nSmtpPass=not-hex\r\n");
    EXPECT_THROW(settings_.SmtpPassword(), EConvertError);
    TMailServerSettings loaded;
    loaded.SmtpPass = "stale";
    EXPECT_THROW(settings_.Load(loaded), EConvertError);
    EXPECT_EQ(loaded.SmtpServer, "mail.example.com");
    EXPECT_EQ(loaded.SmtpUser, "u");
    EXPECT_EQ(loaded.SmtpPass, "");
}

// One broken password does not hide the other; the first error is raised.
TEST_F(MailSettingsTest, ABadArchiveCipherLeavesTheLoginPasswordLoaded) {
    Put("[Option]\r\nSmtpPass=" + CipherText("login", SmtpPasswordKey, true) + "\r\nArchivePass=zz\r\n");
    TMailServerSettings loaded;
    loaded.ArchivePass = "stale";
    EXPECT_THROW(settings_.Load(loaded), EConvertError);
    EXPECT_EQ(loaded.SmtpPass, "login");
    EXPECT_EQ(loaded.ArchivePass, "");
}

TEST_F(MailSettingsTest, ArchivePasswordIsEncipheredAfreshEachTime) {
    settings_.SetArchivePassword("zip-pw");
    const AnsiString first = accessor_.ReadString("Option", "ArchivePass", "");
    settings_.SetArchivePassword("zip-pw");
    EXPECT_NE(accessor_.ReadString("Option", "ArchivePass", ""), first);
    EXPECT_EQ(settings_.ArchivePassword(), "zip-pw");
    settings_.SetArchivePassword("");
    EXPECT_EQ(accessor_.ReadString("Option", "ArchivePass", "x"), "") << "no password, no encryption";
}

// Megabytes of 2^20 bytes; a typo is refused rather than mailing without a limit.
TEST(MailSettingsMaxMailSize, WholeMegabytesOrAnError) {
    struct TCase {
        const char* Text;
        std::uint64_t Bytes; // for the valid ones
        bool Valid;
    };
    for (const TCase& c : {TCase{"", 0, true}, TCase{"0", 0, true}, TCase{"10", 10485760, true},
                           TCase{" 25 ", 26214400, true}, TCase{"1000000", 1000000ull << 20, true},
                           TCase{"10MB", 0, false}, TCase{"-1", 0, false}, TCase{"1.5", 0, false},
                           TCase{"1000001", 0, false}, TCase{"99999999999999999999999", 0, false}}) {
        if (c.Valid) {
            EXPECT_EQ(TMailSettings::MaxMailSizeFromText(c.Text), c.Bytes) << "'" << c.Text << "'";
        } else {
            EXPECT_THROW(TMailSettings::MaxMailSizeFromText(c.Text), ESettingsError) << "'" << c.Text << "'";
        }
    }
}

TEST_F(MailSettingsTest, AFailedWriteIsReported) {
    fs::create_directories(accessor_.Path); // a folder where the file should be: no write can succeed
    TMailServerSettings values;
    try {
        settings_.Save(values);
        FAIL() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message, "Unable to write to " + accessor_.Path);
    }
}

} // namespace
