#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/SettingsAccessor.h"

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("quorvel-ini-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "config.ini").string();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(dir_, ec);
    }
    void Put(const std::string& content) { ASSERT_EQ(ReplaceFileContent(path_, content), 0); }
    std::string Content() {
        std::string c;
        EXPECT_TRUE(ReadWholeFile(path_, c));
        return c;
    }
    std::string Read(const char* section, const char* key, const char* def = "<default>") {
        return GetPrivateProfileString(section, key, def, path_);
    }

    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(IniFileTest, ReadingFollowsTheProfileRules) {
    Put("; a comment\r\n"
        "[Option]\r\n"
        "SmtpServer = smtp.example.com \r\n"
        "  smtpport=2525\r\n"
        "Quoted=\"  spaced  \"\r\n"
        "Single='x'\r\n"
        "Unmatched=\"x'\r\n"
        "Empty=\r\n"
        "[ task ]\r\n"
        "0=120\r\n"
        "[Option]\r\n"
        "Late=ignored\r\n");
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"Option", "SmtpServer", "smtp.example.com"},
        {"OPTION", "SMTPPORT", "2525"},
        {"option", "Quoted", "  spaced  "},
        {"Option", "Single", "x"},
        {"Option", "Unmatched", "\"x'"},
        {"Option", "Empty", ""},
        {"Option", "Missing", "<default>"},
        {"task", "0", "120"},
        {"Task", "1", "<default>"},
        {"Option", "Late", "<default>"}, // only the first section of a name counts
        {"Nowhere", "SmtpServer", "<default>"},
    };
    for (const auto& c : cases) EXPECT_EQ(Read(c.section, c.key), c.expected) << c.section << "/" << c.key;
}

TEST_F(IniFileTest, MissingFileReadsAsDefault) { EXPECT_EQ(Read("Option", "SmtpPort", "25"), "25"); }

TEST_F(IniFileTest, LongValueReadsAsItsFirst2047Bytes) {
    Put("[Option]\nSmtpServer=" + std::string(3000, 'h') + "\n");
    EXPECT_EQ(Read("Option", "SmtpServer"), std::string(2047, 'h'));
}

TEST_F(IniFileTest, WritingCreatesFileAndSection) {
    ASSERT_TRUE(WritePrivateProfileString("Option", "SmtpServer", "mail.example.com", path_));
    ASSERT_TRUE(WritePrivateProfileString("Option", "SmtpPort", "25", path_));
    ASSERT_TRUE(WritePrivateProfileString("task", "0", "150", path_));
    EXPECT_EQ(Content(), "[Option]\nSmtpServer=mail.example.com\nSmtpPort=25\n[task]\n0=150\n");
    EXPECT_EQ(Read("Option", "SmtpPort"), "25");
}

TEST_F(IniFileTest, WritingKeepsEveryOtherLineByteForByte) {
    const std::string before = "; settings of quorvel\r\n"
                               "[Option]\r\n"
                               "SmtpServer=old.example.com\r\n"
                               "Unknown = kept  \r\n"
                               "\r\n"
                               "[task]\r\n"
                               "0=120\r\n"
                               "1=0x40";
    Put(before);
    ASSERT_TRUE(WritePrivateProfileString("option", "SMTPSERVER", "new.example.com", path_));
    ASSERT_TRUE(WritePrivateProfileString("Option", "SmtpUser", "backup", path_));
    ASSERT_TRUE(WritePrivateProfileString("TASK", "2", "99", path_));
    EXPECT_EQ(Content(), "; settings of quorvel\r\n"
                         "[Option]\r\n"
                         "SMTPSERVER=new.example.com\r\n"
                         "Unknown = kept  \r\n"
                         "SmtpUser=backup\r\n"
                         "\r\n"
                         "[task]\r\n"
                         "0=120\r\n"
                         "1=0x40\r\n"
                         "2=99\r\n");
}

TEST_F(IniFileTest, BytesPassThroughUnconverted) {
    const std::string gbk = "\xBF\xCD\xB7\xFE\xD6\xD0\xD0\xC4 <a@b.cn>"; // 客服中心
    ASSERT_TRUE(WritePrivateProfileString("Option", "SmtpName", gbk, path_));
    EXPECT_EQ(Read("Option", "SmtpName"), gbk);
}

TEST_F(IniFileTest, WriteThatCannotBeDoneIsRefusedAndLosesNothing) {
    Put("[Option]\nSmtpServer=a\n");
    ::chmod(path_.c_str(), 0444); // read-only, refused even for root
    EXPECT_FALSE(WritePrivateProfileString("Option", "SmtpServer", "b", path_));
    EXPECT_EQ(Content(), "[Option]\nSmtpServer=a\n");
    EXPECT_FALSE(WritePrivateProfileString("Option", "SmtpServer", "b", (dir_ / "no" / "such.ini").string()));
}

// Whatever is written reads back as exactly that entry, and nothing else appears.
TEST_F(IniFileTest, EntriesThatWouldNotReadBackAreRefused) {
    struct Case {
        const char* name;
        std::string section, key, value;
        bool refused;
    };
    const Case cases[] = {
        {"line feed in a value makes a section", "Option", "SmtpServer", "x\n[Database]\nOdbcOptions=y", true},
        {"carriage return in a value", "Option", "SmtpServer", "x\ry", true},
        {"NUL in a value", "Option", "SmtpServer", std::string("x\0y", 3), true},
        {"line feed in a key", "Option", "a\nb", "x", true},
        {"line feed in a section", "Opt\nion", "a", "x", true},
        {"bracket in a section", "Opt]ion", "a", "x", true},
        {"equals sign in a key", "Option", "a=b", "x", true},
        {"key read as a comment", "Option", ";a", "x", true},
        {"key read as a section", "Option", "[a", "x", true},
        {"equals sign and bracket in a value", "Option", "a", "b=c]d", false},
        {"bracket in a key", "Option", "a]b", "x", false},
        {"GBK text", "Option", "SmtpName", "\xBF\xCD\xB7\xFE <a@b.cn>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put("[Option]\nSmtpServer=a\n");
        EXPECT_EQ(ProfileEntryFault(c.section, c.key, c.value).empty(), !c.refused);
        EXPECT_EQ(WritePrivateProfileString(c.section, c.key, c.value, path_), !c.refused);
        if (c.refused) {
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(Content(), "[Option]\nSmtpServer=a\n");
        } else {
            EXPECT_EQ(Read(c.section.c_str(), c.key.c_str()), c.value);
        }
    }
    TSettingsAccessor settings;
    settings.Path = path_;
    try {
        settings.WriteString("Option", "SmtpServer", "x\n[Database]");
        ADD_FAILURE();
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message, "Unable to write to " + path_ + ": a value must not hold a line break");
    }
}

TEST_F(IniFileTest, AccessorRaisesUnableToWriteWithThePath) {
    TSettingsAccessor settings;
    settings.Path = (dir_ / "missing-folder" / "config.ini").string();
    try {
        settings.WriteString("Option", "SmtpServer", "x");
        FAIL() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message, "Unable to write to " + settings.Path);
    }
    settings.Path = path_;
    settings.WriteString("Option", "SmtpPort", "587");
    EXPECT_EQ(settings.ReadString("Option", "SmtpPort", "25"), "587");
}

TEST_F(IniFileTest, AccessorWithoutPathUsesTheExecutablesIniFile) {
    OverrideExeFolder(dir_.string());
    TSettingsAccessor settings;
    EXPECT_EQ(settings.EffectivePath(), dir_.string() + "/" + ExeName() + ".ini");
    OverrideExeFolder("");
}

TEST(Files, FoldersEndWithASeparator) {
    EXPECT_EQ(ExeFolder().back(), '/');
    EXPECT_TRUE(DirectoryExists(ExeFolder()));
    EXPECT_EQ(TempFolder().back(), '/');
}

TEST(Files, ReplaceFileContentKeepsTheModeAndLeavesNoTemporaryFile) {
    auto dir = std::filesystem::temp_directory_path() / ("quorvel-files-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string path = (dir / "task.ini").string();
    ASSERT_EQ(ReplaceFileContent(path, "one", 0600), 0);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::chmod(path.c_str(), 0640);
    ASSERT_EQ(ReplaceFileContent(path, "two", 0600), 0);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::string content;
    ASSERT_TRUE(ReadWholeFile(path, content));
    EXPECT_EQ(content, "two");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    EXPECT_NE(ReplaceFileContent((dir / "none" / "x").string(), "x"), 0);
    std::filesystem::remove_all(dir);
}

} // namespace
