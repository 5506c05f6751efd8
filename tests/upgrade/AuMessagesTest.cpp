// The message table and the choice of its language.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/AnsiString.h"
#include "upgrade/AuMessages.h"
#include "upgrade/AutoUpgrader.h"

namespace {

// Restores the process-wide block after each test.
class MessageTableTest : public testing::Test {
protected:
    void TearDown() override { SetUpgraderLanguage(wlEnglish); }
};

struct TLocaleCase {
    const char* Locale;
    TauAutoUpgraderLanguage Language;
};

class LocaleLanguageTest : public testing::TestWithParam<TLocaleCase> {};

TEST_P(LocaleLanguageTest, Chooses) {
    EXPECT_EQ(LanguageFromLocaleName(GetParam().Locale), GetParam().Language);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocaleLanguageTest,
    testing::Values(TLocaleCase{"zh_CN.UTF-8", wlChineseSimplified}, TLocaleCase{"zh_SG", wlChineseSimplified},
                    TLocaleCase{"zh_TW.Big5", wlChineseTraditional}, TLocaleCase{"zh_HK", wlChineseTraditional},
                    TLocaleCase{"zh_MO.UTF-8", wlChineseTraditional}, TLocaleCase{"pt_BR.UTF-8", wlPortugueseBrazilian},
                    TLocaleCase{"pt_PT", wlPortuguese}, TLocaleCase{"pt", wlPortuguese},
                    TLocaleCase{"de_DE.UTF-8@euro", wlGerman}, TLocaleCase{"ru_RU.KOI8-R", wlRussian},
                    TLocaleCase{"is_IS", wlIcelandic}, TLocaleCase{"ms_MY", wlMalay},
                    TLocaleCase{"ja_JP.UTF-8", wlEnglish}, TLocaleCase{"C", wlEnglish},
                    TLocaleCase{"POSIX", wlEnglish}, TLocaleCase{"", wlEnglish}));

TEST_F(MessageTableTest, LocaleVariablesInOrder) {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* v = std::getenv(names[i]);
        had[i] = v != nullptr;
        if (v) saved[i] = v;
    }
    ::setenv("LC_ALL", "", 1);
    ::setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
    ::setenv("LANG", "de_DE.UTF-8", 1);
    SetUpgraderLanguage(wlAuto);
    EXPECT_EQ(UpgraderLanguage(), wlChineseSimplified);
    EXPECT_EQ(UpgraderBlockStart(), 42050);
    ::setenv("LC_ALL", "pt_BR", 1);
    SetUpgraderLanguage(wlAuto);
    EXPECT_EQ(UpgraderBlockStart(), 41300);
    for (int i = 0; i < 3; ++i) {
        if (had[i])
            ::setenv(names[i], saved[i].c_str(), 1);
        else
            ::unsetenv(names[i]);
    }
}

struct TTextCase {
    int Resource;
    const char* Utf8;
};

class MessageTextTest : public testing::TestWithParam<TTextCase> {};

TEST_P(MessageTextTest, ByResourceNumber) {
    EXPECT_EQ(AnsiToUtf8(LoadUpgraderString(GetParam().Resource)), GetParam().Utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageTextTest,
    testing::Values(TTextCase{41000, "Application update wizard"}, TTextCase{41024, "Newer version not found. You actually are\rusing most recent version of this program."},
                    TTextCase{41030, "Connection with remote server lost.\r\rPlease restore connection and try to\rupgrade this software again later."},
                    TTextCase{42050, "软件升级"}, TTextCase{42073, "  %s已经有新版本推出，\n%s\n您要升级到新版本吗？"},
                    TTextCase{42075, "在服务器中无法找到升级的相关信息。"},
                    TTextCase{42080, "与远端服务器的连接中断，\r\r请重新连接后再进行升级操作。"},
                    TTextCase{42000, "軟體升級精靈"},
                    TTextCase{42001, "Downloading files..."}, // no translation: English
                    TTextCase{41100, "Application update wizard"},
                    TTextCase{42230, "Connection with remote server lost.\r\rPlease restore connection and try to\rupgrade this software again later."},
                    TTextCase{40997, "<AppTitle>"}, TTextCase{40999, "AutoUpgrader"},
                    TTextCase{41031, "File %s is damaged (checksum mismatch).\r\rThe upgrade was cancelled."},
                    TTextCase{42082, "升级操作无法完成：%s"},
                    TTextCase{41033, ""}, TTextCase{42250, ""}, TTextCase{40000, ""}));

TEST_F(MessageTableTest, EveryChineseTextIsInTheCodePage) {
    SetUpgraderLanguage(wlChineseSimplified);
    for (int m = 0; m < auMessageCount; ++m) EXPECT_FALSE(auMessage(m).empty()) << m;
    EXPECT_EQ(auMessage(19), Utf8ToAnsi("稍等一下(&L)"));
}

TEST_F(MessageTableTest, QuestionText) {
    SetUpgraderLanguage(wlEnglish);
    EXPECT_EQ(UpgradeQuestionText("quorvel", "Faster"),
              "A newer version of quorvel was released.\n\nFaster\n\nDo you want to update your version with the latest one?");
    // An empty message leaves an empty line in the middle.
    EXPECT_EQ(UpgradeQuestionText("quorvel", ""),
              "A newer version of quorvel was released.\n\nDo you want to update your version with the latest one?");
    EXPECT_EQ(UpgradeQuestionText("Project1", "x"),
              "A newer version of <AppTitle> was released.\n\nx\n\nDo you want to update your version with the latest one?");
}

} // namespace
