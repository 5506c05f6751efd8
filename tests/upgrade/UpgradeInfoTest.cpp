// The update-info reader and the newer-version decision, as pure tables.
#include <gtest/gtest.h>

#include <string>

#include "upgrade/UpgradeInfo.h"

namespace {

struct TKeyCase {
    const char* Name;
    std::string Text;
    const char* Key;
    std::string Value;
};

class InfoKeyTest : public testing::TestWithParam<TKeyCase> {};

TEST_P(InfoKeyTest, ReadsTheValue) {
    EXPECT_EQ(ReadInfoValue(GetParam().Text, GetParam().Key), GetParam().Value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InfoKeyTest,
    testing::Values(
        TKeyCase{"Plain", "#version=3\r\n", "version", "3"},
        TKeyCase{"CapitalsInFile", "#Version=3\n", "version", "3"},
        TKeyCase{"CapitalsInKey", "#version=3\n", "VERSION", "3"},
        TKeyCase{"ValueCaseKept", "#url=HTTP://Host/A.EXE\n", "url", "HTTP://Host/A.EXE"},
        TKeyCase{"MidLine", "text before #date=04/15/2010 and after\n", "date", "04/15/2010 and after"},
        TKeyCase{"EndsAtTab", "#version=3\t# note", "version", "3"},
        TKeyCase{"EndOfText", "#version=3.1", "version", "3.1"},
        TKeyCase{"TrailingBlankKept", "#url=http://h/f.exe \r\n", "url", "http://h/f.exe "},
        TKeyCase{"FirstOccurrence", "#version=3\n#version=4\n", "version", "3"},
        TKeyCase{"Absent", "#versions=3\n", "version", ""},
        TKeyCase{"BlankBeforeEquals", "#version =3\n", "version", ""},
        TKeyCase{"EmptyValue", "#version=\n", "version", ""},
        TKeyCase{"NoPrefixOfLongerKey", "#url1=a\n", "url", ""},
        TKeyCase{"HighBytesKept", "#message=\xD0\xC2\xB0\xE6\n", "message", "\xD0\xC2\xB0\xE6"}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TMessageCase {
    const char* Name;
    std::string Text;
    std::string Message;
};

class InfoMessageTest : public testing::TestWithParam<TMessageCase> {};

TEST_P(InfoMessageTest, ReadsTheBraceForm) {
    EXPECT_EQ(ReadInfoMessage(GetParam().Text), GetParam().Message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InfoMessageTest,
    testing::Values(TMessageCase{"OneLine", "#message={New reports}\n", "New reports"},
                    TMessageCase{"LinesKept", "#Message={line 1\r\nline 2}", "line 1\r\nline 2"},
                    TMessageCase{"NoClosingBrace", "#message={to the end\n", "to the end\n"},
                    TMessageCase{"BlankBeforeBrace", "#message= {x}", ""},
                    TMessageCase{"PlainFormIsNotRead", "#message=x", ""},
                    TMessageCase{"Empty", "#message={}", ""}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TUrlCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Keys;
};

class InfoUrlTest : public testing::TestWithParam<TUrlCase> {};

TEST_P(InfoUrlTest, NumbersTheKeys) {
    std::vector<std::string> keys;
    for (const TInfoUrl& url : ReadInfoUrls(GetParam().Text)) keys.push_back(url.Key + "=" + url.Url);
    EXPECT_EQ(keys, GetParam().Keys);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InfoUrlTest,
    testing::Values(
        TUrlCase{"None", "#version=3", {}},
        TUrlCase{"UrlOnly", "#url=a\n", {"url=a"}},
        TUrlCase{"UrlThenTwo", "#url=a\n#url1=skipped\n#url2=b\n#url3=c\n", {"url=a", "url2=b", "url3=c"}},
        TUrlCase{"UrlAndZeroThenThree", "#url=a\n#url0=b\n#url2=skipped\n#url3=c\n", {"url=a", "url0=b", "url3=c"}},
        TUrlCase{"NumberedFromOne", "#url1=a\n#url2=b\n#url4=gap\n", {"url1=a", "url2=b"}},
        TUrlCase{"ZeroThenTwo", "#url0=a\n#url2=b\n", {"url0=a", "url2=b"}},
        TUrlCase{"EmptyValueEndsTheList", "#url1=a\n#url2=\n#url3=c\n", {"url1=a"}}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(InfoUrlTest, StopsOneBeyondTheLimit) {
    std::string text;
    for (int n = 1; n <= 150; ++n) text += "#url" + std::to_string(n) + "=http://h/f" + std::to_string(n) + "\n";
    EXPECT_EQ(ReadInfoUrls(text).size(), MaxInfoFiles + 1);
    EXPECT_EQ(ReadUpgradeInfo(text, "http://h/i.inf").Refusal, "it lists more than 100 files");
}

TEST(InfoMethodTest, FirstCharacterDecides) {
    EXPECT_EQ(ReadInfoMethod(""), umSelfUpgrade);
    EXPECT_EQ(ReadInfoMethod("#method=1"), umUseExternalSetup);
    EXPECT_EQ(ReadInfoMethod("#method=2 web"), umRedirectToURL);
    EXPECT_EQ(ReadInfoMethod("#method=3"), umSelfUpgrade);
    EXPECT_EQ(ReadInfoMethod("#method=x1"), umSelfUpgrade);
}

struct TStagingCase {
    const char* Name;
    std::string Url;
    std::string Staging;
    bool Acceptable;
};

class StagingNameTest : public testing::TestWithParam<TStagingCase> {};

TEST_P(StagingNameTest, NamesAndChecks) {
    EXPECT_EQ(StagingName(GetParam().Url), GetParam().Staging);
    EXPECT_EQ(StagingNameFault(GetParam().Staging).empty(), GetParam().Acceptable) << StagingNameFault(GetParam().Staging);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StagingNameTest,
    testing::Values(TStagingCase{"Program", "http://h/upsoft/quorvel.exe", "quorvel.exe", true},
                    TStagingCase{"Backslash", "http://h/a\\b.dll", "b.dll", true},
                    TStagingCase{"Folder", "http://h/upsoft/", "", false},
                    TStagingCase{"Dot", "http://h/upsoft/.", ".", false},
                    TStagingCase{"DotDot", "http://h/a/..", "..", false},
                    TStagingCase{"Hidden", "http://h/.bashrc", ".bashrc", false},
                    TStagingCase{"ControlCharacter", "http://h/a\x01" "b", "a\x01" "b", false},
                    TStagingCase{"TaskFile", "http://h/task.ini", "task.ini", false},
                    TStagingCase{"SettingsAnyCase", "http://h/Config.INI", "Config.INI", false},
                    TStagingCase{"TooLong", "http://h/" + std::string(256, 'a'), std::string(256, 'a'), false},
                    TStagingCase{"Longest", "http://h/" + std::string(255, 'a'), std::string(255, 'a'), true}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TOfferCase {
    const char* Name;
    std::string InfoUrl;
    std::string Text;
    std::string Refusal; // "" when the files can be offered
};

class OfferCheckTest : public testing::TestWithParam<TOfferCase> {};

TEST_P(OfferCheckTest, RefusesUnsafeLists) {
    EXPECT_EQ(ReadUpgradeInfo(GetParam().Text, GetParam().InfoUrl).Refusal, GetParam().Refusal);
}

const std::string Hash(64, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, OfferCheckTest,
    testing::Values(
        TOfferCase{"Plain", "http://h/i.inf", "#url=http://h/q.exe\n#url2=http://h/q.chm\n", ""},
        TOfferCase{"Repeated", "http://h/i.inf", "#url=http://h/q.exe\n#url2=http://m/Q.EXE\n",
                   "url2 repeats the file name Q.EXE"},
        TOfferCase{"SettingsFile", "http://h/i.inf", "#url=http://h/config.ini\n",
                   "url would replace the user's own config.ini"},
        TOfferCase{"HashKept", "https://h/i.inf", "#url=http://h/q.exe\n#url.sha256=" + Hash + "\n", ""},
        TOfferCase{"HashUpperCase", "http://h/i.inf", "#url1=http://h/q.exe\n#url1.sha256=" + std::string(64, 'F') + "\n", ""},
        TOfferCase{"HashMalformed", "http://h/i.inf", "#url=http://h/q.exe\n#url.sha256=abc\n",
                   "url.sha256 is not 64 hex digits"},
        TOfferCase{"HashNotHex", "http://h/i.inf", "#url0=http://h/q.exe\n#url0.sha256=" + std::string(64, 'g') + "\n",
                   "url0.sha256 is not 64 hex digits"},
        TOfferCase{"HttpsListsHttps", "https://h/i.inf", "#url=https://h/q.exe\n", ""},
        TOfferCase{"HttpsListsPlainHttp", "https://h/i.inf", "#url=http://h/q.exe\n",
                   "url is plain HTTP without a SHA-256, listed by update information fetched over HTTPS"},
        TOfferCase{"HttpsListsSchemeless", "https://h/i.inf", "#url=h/q.exe\n",
                   "url is plain HTTP without a SHA-256, listed by update information fetched over HTTPS"},
        TOfferCase{"RemoteListsLocal", "http://h/i.inf", "#url=file:///tmp/q.exe\n",
                   "url names a local file, but the update information is not local"},
        TOfferCase{"LocalListsLocal", "file:///srv/i.inf", "#url=file:///srv/q.exe\n", ""},
        TOfferCase{"OtherScheme", "http://h/i.inf", "#url=ftp://h/q.exe\n", "url uses the scheme 'ftp'"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(UpgradeInfoTest, ReadsTheWholeFile) {
    const TUpgradeInfo info = ReadUpgradeInfo(
        "#version=3.0.1\r\n#date=12/01/2026\r\n#method=1\r\n#url=https://h/upsoft/quorvel.exe\r\n"
        "#url.sha256=" + std::string(64, 'A') + "\r\n#message={Faster mail\r\nNew reports}\r\n",
        "https://h/upsoft/quorvel.inf");
    EXPECT_EQ(info.Version, "3.0.1");
    EXPECT_EQ(info.Date, "12/01/2026");
    EXPECT_EQ(info.Method, umUseExternalSetup);
    EXPECT_EQ(info.Message, "Faster mail\r\nNew reports");
    ASSERT_EQ(info.Files.size(), 1u);
    EXPECT_EQ(info.Files[0].StagingName, "quorvel.exe");
    EXPECT_EQ(info.Files[0].Sha256, std::string(64, 'a'));
    EXPECT_EQ(info.Refusal, "");
}

struct TVersionCase {
    const char* Name;
    const char* Announced;
    const char* Running;
    bool Newer;
};

class NewerVersionTest : public testing::TestWithParam<TVersionCase> {};

TEST_P(NewerVersionTest, Compares) {
    EXPECT_EQ(IsNewerVersion(GetParam().Announced, GetParam().Running), GetParam().Newer);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewerVersionTest,
    testing::Values(TVersionCase{"SameFourPieces", "2.0.0.0", "2", false}, TVersionCase{"SameTwoPieces", "2.0", "2", false},
                    TVersionCase{"FifthPieceIgnored", "2.0.0.0.9", "2", false}, TVersionCase{"Minor", "2.1", "2", true},
                    TVersionCase{"TenAfterTwo", "10", "2", true}, TVersionCase{"Older", "1.9.9.9", "2", false},
                    TVersionCase{"TextPiece", "2b", "2", true}, TVersionCase{"Empty", "", "2", false},
                    TVersionCase{"RunningRelease", "2.2.0.0", "2.2.0.0", false},
                    TVersionCase{"OlderRelease", "2.1", "2.2.0.0", false},
                    TVersionCase{"NextRelease", "2.2.0.1", "2.2.0.0", true},
                    TVersionCase{"MinusOneIsText", "2.-1", "2.0", false},
                    TVersionCase{"HugePieceIsText", "2.99999999999", "2.3", true},
                    TVersionCase{"HugePieceNotReached", "3.99999999999", "20.0", false},
                    TVersionCase{"JustAbove32Bits", "2147483648", "3", false},
                    TVersionCase{"Largest32Bits", "2147483647", "3", true},
                    TVersionCase{"EmptyPieceIsText", "2..1", "2.0.0", false},
                    TVersionCase{"TextAfterNumbers", "2.2.x", "2.2.0.0", true}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TDateCase {
    const char* Name;
    const char* Announced;
    const char* Running;
    bool Newer;
};

class NewerDateTest : public testing::TestWithParam<TDateCase> {};

TEST_P(NewerDateTest, Compares) {
    EXPECT_EQ(IsNewerDate(GetParam().Announced, GetParam().Running, TCalendarDate{2026, 12, 10}), GetParam().Newer);
}

INSTANTIATE_TEST_SUITE_P(Cases, NewerDateTest,
                         testing::Values(TDateCase{"Later", "04/16/2010", "04/15/2010", true},
                                         TDateCase{"SameDay", "04/15/2010", "04/15/2010", false},
                                         TDateCase{"Earlier", "12/31/2009", "04/15/2010", false},
                                         TDateCase{"LaterYear", "01/01/2011", "12/31/2010", true},
                                         TDateCase{"InvalidDayIsNotNewer", "13/45/2010", "04/15/2010", false},
                                         TDateCase{"MissingIsNotNewer", "", "04/15/2010", false},
                                         TDateCase{"NoYearIsNotNewer", "04/15", "04/15/2010", false},
                                         TDateCase{"LeapDay", "02/29/2012", "02/28/2012", true},
                                         TDateCase{"NoLeapDay", "02/29/2011", "02/28/2011", false},
                                         TDateCase{"UnreadableRunningIsToday", "12/11/2026", "someday", true},
                                         TDateCase{"TodayAgainstUnreadable", "12/10/2026", "someday", false}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(UrlPartsTest, SchemeAndHost) {
    EXPECT_EQ(UrlScheme("HTTPS://h/x"), "https");
    EXPECT_EQ(UrlScheme("h/x"), "http");
    EXPECT_EQ(UrlHostName("http://user:pw@www.quorvel.com:8080/upsoft/quorvel.inf"), "www.quorvel.com");
    EXPECT_EQ(UrlHostName("www.quorvel.com/upsoft"), "www.quorvel.com");
    EXPECT_EQ(UrlHostName("http://[::1]:80/x"), "[::1]");
}

} // namespace
