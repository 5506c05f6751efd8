#include <gtest/gtest.h>

#include "platform/AnsiString.h"
#include "platform/Exception.h"

namespace {

// "备份" in code page 936
const std::string kBeifen = "\xB1\xB8\xB7\xDD";

TEST(AnsiString, ConvertsBetweenCodePage936AndUtf8) {
    EXPECT_EQ(Utf8ToAnsi("备份"), kBeifen);
    EXPECT_EQ(AnsiToUtf8(kBeifen), "备份");
    EXPECT_EQ(AnsiToUtf8("plain ascii"), "plain ascii");
    EXPECT_EQ(AnsiToUtf16(kBeifen), u"备份");
    EXPECT_EQ(Utf16ToAnsi(u"备份 x"), kBeifen + " x");
}

TEST(AnsiString, StrictConversionNamesTheBadByte) {
    try {
        AnsiToUtf8("ab\xFF");
        FAIL() << "no error";
    } catch (const EEncodingError& e) {
        EXPECT_NE(e.Message.find("0xFF"), std::string::npos) << e.Message;
        EXPECT_NE(e.Message.find("offset 2"), std::string::npos) << e.Message;
    }
    // A character that code page 936 does not have.
    EXPECT_THROW(Utf8ToAnsi("\xF0\x9F\x98\x80"), EEncodingError);
}

TEST(AnsiString, LenientConversionReplacesWhatDoesNotConvert) {
    EXPECT_EQ(AnsiToUtf8Lenient("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf8ToAnsiLenient("x\xF0\x9F\x98\x80y"), "x?y");
    EXPECT_EQ(Utf16ToUtf8Lenient(u"备\xD800x"), "备\xEF\xBF\xBDx"); // a lone surrogate
}

TEST(AnsiString, LeadBytes) {
    EXPECT_FALSE(IsLeadByte('\x80'));
    EXPECT_TRUE(IsLeadByte('\x81'));
    EXPECT_TRUE(IsLeadByte('\xFE'));
    EXPECT_FALSE(IsLeadByte('\xFF'));
    EXPECT_FALSE(IsLeadByte('a'));
}

struct CaseMapping {
    const char* name;
    std::string in;
    std::string upper;
};

TEST(AnsiString, UpperCaseKeepsDoubleByteCharactersAndPositions) {
    // "乡" is 0xCF 0xE7; "睦" is 0xC4 0xC0... use characters whose trail byte is an ASCII letter:
    // 0x81 0x61 has trail 'a', 0xB0 0x7A has trail 'z'.
    const CaseMapping cases[] = {
        {"ascii", "abcXYZ-09", "ABCXYZ-09"},
        {"trail byte a stays", "\x81" "a" "b", "\x81" "a" "B"},
        {"trail byte z stays", "x\xB0z", "X\xB0z"},
        {"chinese untouched", kBeifen + "date", kBeifen + "DATE"},
        {"lone lead byte at end", "a\x81", "A\x81"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiUpperCase(c.in), c.upper) << c.name;
        EXPECT_EQ(AnsiUpperCase(c.in).size(), c.in.size()) << c.name;
    }
    EXPECT_EQ(AnsiLowerCase("<FILE>\x81" "A"), "<file>\x81" "A");
}

TEST(AnsiString, SameTextIgnoresAsciiCaseOnly) {
    EXPECT_TRUE(SameText("TaskName", "taskNAME"));
    EXPECT_FALSE(SameText("taskName", "taskNames"));
    EXPECT_FALSE(SameText("\xB1\xB8", "\xB1\xA8"));
}

TEST(AnsiString, TruncateToWidthNeverSplitsACharacter) {
    struct Case {
        std::string in;
        std::size_t width;
        std::string out;
    } cases[] = {
        {"abcdef", 4, "abcd"},
        {"ab", 4, "ab"},
        {kBeifen, 4, kBeifen},
        {kBeifen, 3, "\xB1\xB8"},  // the cut would split 份: its lead byte goes too
        {"a" + kBeifen, 2, "a"},
        {"a" + kBeifen, 3, "a\xB1\xB8"},
        {std::string(60, 'x'), 50, std::string(50, 'x')},
    };
    for (const auto& c : cases) EXPECT_EQ(TruncateToWidth(c.in, c.width), c.out) << c.in << " / " << c.width;
}

TEST(AnsiString, TrimAndFormat) {
    EXPECT_EQ(Trim("  a b \t\r\n"), "a b");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Format("Unable to write to %s", "/x/config.ini"), "Unable to write to /x/config.ini");
    EXPECT_EQ(Format("%d-%.2d", 8, 5), "8-05");
}

} // namespace
