#include "mail/IdHeaderCoding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "mail/IdHeaderList.h"
#include "tests/support/TimeZoneScope.h"

namespace {

AnsiString Gbk(std::string_view utf8) { return Utf8ToAnsi(utf8); }

AnsiString Repeat(std::string_view s, int n) {
    AnsiString out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

const THeaderCharset Gb2312{"GB2312", 'B', TTransferHeader::Plain8Bit};
const THeaderCharset Latin1{"ISO-8859-1", 'Q', TTransferHeader::Plain8Bit};

// ---- header charset -------------------------------------------------------

struct TCharsetCase {
    const char* Name;
    TUserLocale Locale;
    const char* Charset;
    char Letter;
    TTransferHeader Transfer;
};
void PrintTo(const TCharsetCase& c, std::ostream* os) { *os << c.Name; }


class ChooseHeaderCharsetTest : public ::testing::TestWithParam<TCharsetCase> {};

TEST_P(ChooseHeaderCharsetTest, FollowsTheLocale) {
    const TCharsetCase& c = GetParam();
    const THeaderCharset got = ChooseHeaderCharset(c.Locale);
    EXPECT_EQ(got.Charset, c.Charset);
    EXPECT_EQ(got.Letter, c.Letter);
    EXPECT_EQ(got.Transfer, c.Transfer);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, ChooseHeaderCharsetTest,
    ::testing::Values(TCharsetCase{"ChinesePrc", {4, 2}, "GB2312", 'B', TTransferHeader::Plain8Bit},
                      TCharsetCase{"ChineseTaiwan", {4, 1}, "Big5", 'B', TTransferHeader::Plain8Bit},
                      TCharsetCase{"ChineseHongKong", {4, 3}, "Big5", 'B', TTransferHeader::Plain8Bit},
                      TCharsetCase{"Japanese", {17, 1}, "ISO-2022-JP", 'B', TTransferHeader::Japanese},
                      TCharsetCase{"Korean", {18, 1}, "EUC-KR", 'B', TTransferHeader::Plain8Bit},
                      TCharsetCase{"English", {9, 1}, "ISO-8859-1", 'Q', TTransferHeader::Plain8Bit},
                      TCharsetCase{"Neutral", {0, 0}, "ISO-8859-1", 'Q', TTransferHeader::Plain8Bit}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(ChooseHeaderCharset, TheUserLocaleGivesGb2312) {
    EXPECT_EQ(ChooseHeaderCharset().Charset, "GB2312");
    EXPECT_EQ(ChooseHeaderCharset().Letter, 'B');
}

// ---- encoded words --------------------------------------------------------

struct TEncodeCase {
    const char* Name;
    AnsiString Text;
    THeaderCharset Charset;
    std::string_view Specials;
    AnsiString Expected;
};
void PrintTo(const TEncodeCase& c, std::ostream* os) { *os << c.Name; }


class EncodeHeaderTextTest : public ::testing::TestWithParam<TEncodeCase> {};

TEST_P(EncodeHeaderTextTest, Encodes) {
    const TEncodeCase& c = GetParam();
    EXPECT_EQ(EncodeHeaderText(c.Text, c.Specials, c.Charset), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Words, EncodeHeaderTextTest,
    ::testing::Values(
        TEncodeCase{"Empty", "", Gb2312, "", ""},
        TEncodeCase{"PlainAsciiUnchanged", "Daily backup  of db1 ", Gb2312, "", "Daily backup  of db1 "},
        TEncodeCase{"AsciiWordsAroundChineseStayPlain", Gbk("Backup of 测试数据库 finished"), Gb2312, "",
                    "Backup of =?GB2312?B?suLK1Mr9vt2/4g==?= finished"},
        TEncodeCase{"MixedWordIsEncodedWhole", Gbk("备份20100415093000.rar 2010-04-15"), Gb2312, "",
                    "=?GB2312?B?sbi33TIwMTAwNDE1MDkzMDAwLnJhcg==?= 2010-04-15"},
        TEncodeCase{"SeparatorsBetweenEncodedWordsJoinTheRun", Gbk("测试 数据库"), Gb2312, "",
                    "=?GB2312?B?suLK1CDK/b7dv+I=?="},
        TEncodeCase{"OuterSeparatorsStayOutside", Gbk("  测试\t"), Gb2312, "", "  =?GB2312?B?suLK1A==?=\t"},
        TEncodeCase{"ControlByteNeedsEncoding", "a\x01" "b", Gb2312, "", "=?GB2312?B?YQFi?="},
        TEncodeCase{"SpecialMakesAWordNeedEncoding", Gbk("Zhang, 三"), Gb2312, NameSpecials,
                    "=?GB2312?B?WmhhbmcsIMj9?="},
        TEncodeCase{"SpecialIgnoredWithoutSpecials", "Zhang, Li", Gb2312, "", "Zhang, Li"},
        // 45 bytes fill one word exactly, the 46th starts the next.
        TEncodeCase{"B45BytesOneWord", Repeat("\x80", 45), Gb2312, "", "=?GB2312?B?" + Repeat("gICA", 15) + "?="},
        TEncodeCase{"B46BytesTwoWords", Repeat("\x80", 46), Gb2312, "",
                    "=?GB2312?B?" + Repeat("gICA", 15) + "?=\r\n\t=?GB2312?B?gA==?="},
        // 23 Chinese characters: byte 45 is a lead byte, so the first word ends after 44.
        TEncodeCase{"BWordNeverEndsInsideACharacter", Repeat(Gbk("测"), 23), Gb2312, "",
                    "=?GB2312?B?" + Repeat("suKy4rLi", 7) + "suI=?=\r\n\t=?GB2312?B?suI=?="},
        TEncodeCase{"QQuotesSpecialBytes", "x\x80_=? \x80", Latin1, "", "=?ISO-8859-1?Q?x=80=5F=3D=3F_=80?="},
        TEncodeCase{"QBreaksBeforeTheByteThatWouldPass75", Repeat("\x80", 20), Latin1, "",
                    "=?ISO-8859-1?Q?" + Repeat("=80", 19) + "?=\r\n\t=?ISO-8859-1?Q?=80?="},
        TEncodeCase{"QWordNeverEndsInsideACharacter", Repeat(Gbk("测"), 10), Latin1, "",
                    "=?ISO-8859-1?Q?" + Repeat("=B2=E2", 9) + "?=\r\n\t=?ISO-8859-1?Q?=B2=E2?="},
        TEncodeCase{"Letter8LeavesTextAlone", Gbk("测试"), THeaderCharset{"x", '8', TTransferHeader::Plain8Bit}, "",
                    Gbk("测试")}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(EncodeHeaderText, JapaneseModeConvertsToIso2022JpFirst) {
    const THeaderCharset japanese = ChooseHeaderCharset({LANG_JAPANESE, 1});
    // "日本" in ISO-2022-JP: ESC $ B, 0x46 0x7C 0x4B 0x5C, ESC ( B.
    EXPECT_EQ(EncodeHeaderText(Gbk("日本"), "", japanese), "=?ISO-2022-JP?B?GyRCRnxLXBsoQg==?=");
}

// ---- addresses ------------------------------------------------------------

struct TRenderCase {
    const char* Name;
    AnsiString DisplayName;
    AnsiString Address;
    AnsiString Expected;
};
void PrintTo(const TRenderCase& c, std::ostream* os) { *os << c.Name; }


class RenderAddressItemTest : public ::testing::TestWithParam<TRenderCase> {};

TEST_P(RenderAddressItemTest, Renders) {
    const TRenderCase& c = GetParam();
    TIdEMailAddressItem item;
    item.Name = c.DisplayName;
    item.Address = c.Address;
    EXPECT_EQ(RenderAddressItem(item, Gb2312), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Items, RenderAddressItemTest,
    ::testing::Values(TRenderCase{"BareAddress", "", "a@b.cn", "a@b.cn"},
                      TRenderCase{"AddressWithNameInsideStaysVerbatim", "", Gbk("客服中心<a@b>"), Gbk("客服中心<a@b>")},
                      TRenderCase{"AsciiNameIsQuoted", "John Smith", "js@b.cn", "\"John Smith\" <js@b.cn>"},
                      TRenderCase{"QuotesAndBackslashesEscaped", "a\"b\\c", "x@y", "\"a\\\"b\\\\c\" <x@y>"},
                      TRenderCase{"ChineseNameEncoded", Gbk("张三"), "zs@b.cn", "=?GB2312?B?1cXI/Q==?= <zs@b.cn>"},
                      TRenderCase{"NameWithSpecialAndChineseEncodedWhole", Gbk("Zhang, 三"), "z@b",
                                  "=?GB2312?B?WmhhbmcsIMj9?= <z@b>"},
                      TRenderCase{"NameWithoutAddress", "Sales ", "", "\"Sales \" <>"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(RenderAddressList, JoinsItemsWithCommaSpace) {
    TIdEMailAddressList list;
    EXPECT_EQ(RenderAddressList(list, Gb2312), "");
    list.Add().Address = "a@b";
    TIdEMailAddressItem& named = list.Add();
    named.Name = Gbk("张三");
    named.Address = "zs@b";
    list.Add().Address = "c@d";
    EXPECT_EQ(RenderAddressList(list, Gb2312), "a@b, =?GB2312?B?1cXI/Q==?= <zs@b>, c@d");
}

// ---- date -----------------------------------------------------------------

struct TDateCase {
    const char* Name;
    TLocalDateTime Local;
    int Offset;
    const char* Expected;
};
void PrintTo(const TDateCase& c, std::ostream* os) { *os << c.Name; }


class InternetDateTest : public ::testing::TestWithParam<TDateCase> {};

TEST_P(InternetDateTest, Formats) {
    EXPECT_EQ(InternetDate(GetParam().Local, GetParam().Offset), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, InternetDateTest,
    ::testing::Values(TDateCase{"China", {2004, 1, 5, 13, 4, 5, 0, 1}, 480, "Mon, 5 Jan 2004 13:04:05 +0800"},
                      TDateCase{"Utc", {2010, 12, 31, 0, 0, 0, 0, 5}, 0, "Fri, 31 Dec 2010 00:00:00 +0000"},
                      TDateCase{"BehindWithMinutes", {2021, 7, 18, 23, 59, 59, 0, 0}, -210,
                                "Sun, 18 Jul 2021 23:59:59 -0330"},
                      TDateCase{"AheadWithMinutes", {2021, 10, 16, 9, 5, 0, 0, 6}, 345,
                                "Sat, 16 Oct 2021 09:05:00 +0545"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(InternetDate, UsesTheZoneOffsetInForceAtThatTime) {
    {
        TTimeZoneScope china("CST-8");
        EXPECT_EQ(InternetDate(UtcTime(2004, 1, 5, 5, 4, 5)), "Mon, 5 Jan 2004 13:04:05 +0800");
        EXPECT_EQ(UtcOffset(), 480);
    }
    TTimeZoneScope newYork("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(InternetDate(UtcTime(2020, 7, 1, 16, 0, 0)), "Wed, 1 Jul 2020 12:00:00 -0400");
    EXPECT_EQ(InternetDate(UtcTime(2020, 1, 1, 17, 0, 0)), "Wed, 1 Jan 2020 12:00:00 -0500");
    EXPECT_EQ(UtcOffsetAt(UtcTime(2020, 1, 1, 17, 0, 0)), -300);
}

// ---- setting and folding fields --------------------------------------------

std::vector<AnsiString> LinesOf(const TIdHeaderList& list) { return list.Lines(); }

TEST(SetHeader, AddsReplacesAndRemovesFields) {
    TIdHeaderList list;
    list.SetHeader("From", "a@b");
    list.SetHeader("Subject", "first");
    EXPECT_EQ(LinesOf(list), (std::vector<AnsiString>{"From: a@b", "Subject: first"}));

    // Replaced in place, found without regard to case; its continuation lines go.
    list.Add("X-Old: 1");
    list.Add(" continued");
    list.SetHeader("x-old", "2");
    list.SetHeader("SUBJECT", "second");
    EXPECT_EQ(LinesOf(list), (std::vector<AnsiString>{"From: a@b", "SUBJECT: second", "x-old: 2"}));

    list.Add(" continued\tagain");
    list.SetHeader("X-Old", "");
    list.SetHeader("Missing", "");
    EXPECT_EQ(LinesOf(list), (std::vector<AnsiString>{"From: a@b", "SUBJECT: second"}));
    EXPECT_EQ(list.Values("subject"), "second");
    EXPECT_EQ(list.Values("Nope"), "");
}

TEST(SetHeader, LineEndsInAValueCannotStartAField) {
    TIdHeaderList list;
    list.SetHeader("References", "<a@b>\r\nBcc: victim@x\nX-Evil: y\r\n\r\n.");
    EXPECT_EQ(LinesOf(list), (std::vector<AnsiString>{"References: <a@b>", " Bcc: victim@x X-Evil: y", " ."}));
}

struct TFoldCase {
    const char* Name;
    AnsiString Field;
    std::vector<AnsiString> Lines; // as SetHeader leaves them
};
void PrintTo(const TFoldCase& c, std::ostream* os) { *os << c.Name; }


class FoldTest : public ::testing::TestWithParam<TFoldCase> {};

TEST_P(FoldTest, FoldsAt78) {
    const TFoldCase& c = GetParam();
    const std::size_t colon = c.Field.find(": ");
    TIdHeaderList list;
    list.SetHeader(c.Field.substr(0, colon), c.Field.substr(colon + 2));
    EXPECT_EQ(LinesOf(list), c.Lines);
    for (const AnsiString& line : list.Lines()) EXPECT_FALSE(line.empty());
}

const AnsiString Word45 = "=?GB2312?B?" + Repeat("gICA", 15) + "?=";

INSTANTIATE_TEST_SUITE_P(
    Fields, FoldTest,
    ::testing::Values(
        TFoldCase{"ShortLineUnchanged", "Subject: hello world", {"Subject: hello world"}},
        // 42 bytes: a word of 56 characters still fits beside "Subject: ".
        TFoldCase{"Subject42Bytes",
                  "Subject: " + EncodeHeaderText(Repeat("\x80", 42), "", Gb2312),
                  {"Subject: =?GB2312?B?" + Repeat("gICA", 14) + "?="}},
        TFoldCase{"Subject43Bytes",
                  "Subject: " + EncodeHeaderText(Repeat("\x80", 43), "", Gb2312),
                  {"Subject:", " =?GB2312?B?" + Repeat("gICA", 14) + "gA==?="}},
        TFoldCase{"Subject45Bytes", "Subject: " + EncodeHeaderText(Repeat("\x80", 45), "", Gb2312),
                  {"Subject:", " " + Word45}},
        TFoldCase{"Subject46Bytes", "Subject: " + EncodeHeaderText(Repeat("\x80", 46), "", Gb2312),
                  {"Subject:", " " + Word45, " =?GB2312?B?gA==?="}},
        TFoldCase{"Subject100Bytes", "Subject: " + EncodeHeaderText(Repeat("\x80", 100), "", Gb2312),
                  {"Subject:", " " + Word45, " " + Word45, " =?GB2312?B?" + Repeat("gICA", 3) + "gA==?="}},
        TFoldCase{"ChineseSubject100Bytes", "Subject: " + EncodeHeaderText(Repeat(Gbk("测"), 50), "", Gb2312),
                  {"Subject:", " =?GB2312?B?" + Repeat("suKy4rLi", 7) + "suI=?=",
                   " =?GB2312?B?" + Repeat("suKy4rLi", 7) + "suI=?=", " =?GB2312?B?" + Repeat("suKy4rLi", 2) + "?="}},
        TFoldCase{"AddressListFoldsAfterAComma",
                  "To: alice.cooper@example.com, bob.dylan@example.com, carol.king@example.com, dave@example.com",
                  {"To: alice.cooper@example.com, bob.dylan@example.com, carol.king@example.com,",
                   " dave@example.com"}},
        TFoldCase{"NoBreakInsideQuotes",
                  "To: \"a very long display name with many spaces that goes past the fold width\" <x@y>",
                  {"To: \"a very long display name with many spaces that goes past the fold width\"", " <x@y>"}},
        TFoldCase{"ExistingBreakKept", "X-Note: one\r\n two", {"X-Note: one", " two"}},
        TFoldCase{"TrailingBlanksTrimmed", "X-Note: value   ", {"X-Note: value"}}),
    [](const auto& test) { return std::string(test.param.Name); });

} // namespace
