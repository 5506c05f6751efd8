#include "mail/IdEMailAddress.h"

#include <gtest/gtest.h>

namespace {

AnsiString Gbk(std::string_view utf8) { return Utf8ToAnsi(utf8); }

struct TItem {
    AnsiString Name;
    AnsiString Address;
    bool operator==(const TItem&) const = default;
};

void PrintTo(const TItem& item, std::ostream* os) {
    *os << "{Name \"" << AnsiToUtf8Lenient(item.Name) << "\", Address \"" << AnsiToUtf8Lenient(item.Address) << "\"}";
}

std::vector<TItem> ItemsOf(const TIdEMailAddressList& list) {
    std::vector<TItem> out;
    for (std::size_t i = 0; i < list.Count(); ++i) out.push_back({list[i].Name, list[i].Address});
    return out;
}

// ---- one address ------------------------------------------------------------

struct TParseCase {
    const char* Name;
    AnsiString Text;
    TItem Expected;
};
void PrintTo(const TParseCase& c, std::ostream* os) { *os << c.Name; }


class ParseAddressTest : public ::testing::TestWithParam<TParseCase> {};

TEST_P(ParseAddressTest, Parses) {
    TIdEMailAddressItem item;
    item.Name = "old";
    item.Address = "old@x";
    item.SetText(GetParam().Text);
    EXPECT_EQ((TItem{item.Name, item.Address}), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseAddressTest,
    ::testing::Values(TParseCase{"Empty", "  ", {"", ""}},
                      TParseCase{"Bare", " a@b.cn ", {"", "a@b.cn"}},
                      TParseCase{"NoDelimiter", "admin", {"", "admin"}},
                      TParseCase{"NameAndBrackets", "Name <a@b>", {"Name", "a@b"}},
                      TParseCase{"QuotedName", "\"Sales, East\" <a@b>", {"Sales, East", "a@b"}},
                      TParseCase{"ChineseName", Gbk("客服 <a@b>"), {Gbk("客服"), "a@b"}},
                      TParseCase{"CommentDiscarded", "a@b (Some Name)", {"", "a@b"}},
                      TParseCase{"SpaceAfterDomainJoins", "a@b c@d", {"", "a@bc@d"}},
                      TParseCase{"DotsAfterAtInBracketsTrimmed", "<first.last@b . cn>", {"", "first.last@b.cn"}},
                      TParseCase{"EscapeInQuotedName", "\"a\\\"b\" <x@y>", {"a\"b", "x@y"}},
                      TParseCase{"NameWithoutAddress", "Sales Dept", {"Sales ", ""}},
                      // 0x81 0x40 is one character whose trail byte is an at-sign.
                      TParseCase{"TrailByteIsNoAtSign", Gbk("丂丂 <a@b>"), {Gbk("丂丂"), "a@b"}},
                      TParseCase{"TrailByteIsNoBackslash", Gbk("\"乗\" <a@b>"), {Gbk("乗"), "a@b"}}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(ParseAddress, AtSignAfterClosedBracketsFailsKeepingWhatWasRead) {
    TIdEMailAddressItem item;
    try {
        item.SetText("Joe <a@b> c@d");
        FAIL() << "no error";
    } catch (const EIdEmailParseError& e) {
        EXPECT_EQ(e.Message, "@ Outside address");
    }
    EXPECT_EQ(item.Name, "Joe");
    EXPECT_EQ(item.Address, "a@b");
}

// ---- rendering ----------------------------------------------------------------

struct TTextCase {
    const char* Name;
    TItem Item;
    AnsiString Expected;
};
void PrintTo(const TTextCase& c, std::ostream* os) { *os << c.Name; }


class AddressTextTest : public ::testing::TestWithParam<TTextCase> {};

TEST_P(AddressTextTest, Renders) {
    TIdEMailAddressItem item;
    item.Name = GetParam().Item.Name;
    item.Address = GetParam().Item.Address;
    EXPECT_EQ(item.Text(), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Items, AddressTextTest,
    ::testing::Values(TTextCase{"Empty", {"", ""}, ""},
                      TTextCase{"NameOnly", {"Sales ", ""}, "Sales  <>"},
                      TTextCase{"Bare", {"", "a@b"}, "a@b"},
                      TTextCase{"NoAtSignRendersEmpty", {"", "admin"}, ""},
                      TTextCase{"SafeName", {"Name", "a@b"}, "Name <a@b>"},
                      TTextCase{"NameEqualToUpperAddressLeftOut", {"A@B", "a@b"}, "<a@b>"},
                      TTextCase{"ChineseNameQuoted", {Gbk("客服"), "a@b"}, Gbk("\"客服\" <a@b>")},
                      TTextCase{"QuotesEscaped", {"a\"b", "x@y"}, "\"a\\\"b\" <x@y>"},
                      TTextCase{"LocalPartWithSpaceQuoted", {"", "j s@b"}, "<\"j s\"@b>"},
                      TTextCase{"LocalPartWithDotUnquoted", {"", "j.s@b"}, "j.s@b"},
                      TTextCase{"OnlyTheFirstOddByteDecides", {"", "j.s x@b"}, "j.s x@b"},
                      TTextCase{"QuotedLocalPartEscaped", {"", "a\"b@c"}, "<\"a\\\"b\"@c>"},
                      // The trail byte 0x5C of this character is no backslash to escape.
                      TTextCase{"DoubleByteLocalPart", {"", Gbk("乗@b")}, Gbk("<\"乗\"@b>")}),
    [](const auto& test) { return std::string(test.param.Name); });

// ---- lists ------------------------------------------------------------------

struct TListCase {
    const char* Name;
    AnsiString Text;
    std::vector<TItem> Expected;
};
void PrintTo(const TListCase& c, std::ostream* os) { *os << c.Name; }


class AddressListTest : public ::testing::TestWithParam<TListCase> {};

TEST_P(AddressListTest, Parses) {
    TIdEMailAddressList list;
    list.Add().Address = "left@over";
    list.SetAddressesText(GetParam().Text);
    EXPECT_EQ(ItemsOf(list), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AddressListTest,
    ::testing::Values(
        TListCase{"Empty", "", {}},
        TListCase{"Blank", " \t ", {}},
        TListCase{"One", "a@b", {{"", "a@b"}}},
        TListCase{"NoDelimiterStays", "admin", {{"", "admin"}}},
        TListCase{"Comma", "a@b, c@d", {{"", "a@b"}, {"", "c@d"}}},
        TListCase{"Semicolon", "a@b;c@d", {{"", "a@b"}, {"", "c@d"}}},
        TListCase{"SemicolonSpace", "a@b; c@d", {{"", "a@b"}, {"", "c@d"}}},
        TListCase{"TrailingSeparator", "a@b,", {{"", "a@b"}}},
        TListCase{"SpaceIsNoSeparator", "a@b c@d", {{"", "a@bc@d"}}},
        TListCase{"CommaDropsAddressWithoutAtSign", "admin, a@b", {{"", "a@b"}}},
        TListCase{"SemicolonKeepsIt", "admin; a@b", {{"", "admin"}, {"", "a@b"}}},
        TListCase{"NamedItems", Gbk("张三 <zs@b.cn>, \"Sales, East\" <s@b.cn>"),
                  {{Gbk("张三"), "zs@b.cn"}, {"Sales, East", "s@b.cn"}}},
        TListCase{"NameOnlyItemKept", "Sales Dept, a@b", {{"Sales ", ""}, {"", "a@b"}}},
        TListCase{"CommentWithCommaDiscarded", "a@b (x, y), c@d", {{"", "a@b"}, {"", "c@d"}}},
        TListCase{"GroupNameDiscarded", "team: a@b, c@d;", {{"", "a@b"}, {"", "c@d"}}},
        TListCase{"ItemWithoutDomainDropped", "a@, b@c.d", {{"", "a@"}, {"", "b@c.d"}}},
        TListCase{"TrailByteIsNoComma", Gbk("丂, a@b"), {{"", "a@b"}}}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(AddressList, ParseErrorKeepsItemsFoundSoFar) {
    TIdEMailAddressList list;
    try {
        list.SetAddressesText("x@y, <a@b> c@d, e@f");
        FAIL() << "no error";
    } catch (const EIdEmailParseError& e) {
        EXPECT_EQ(e.Message, "@ Outside address");
    }
    EXPECT_EQ(ItemsOf(list), (std::vector<TItem>{{"", "x@y"}, {"", "a@b"}}));
}

TEST(AddressList, AddDeleteClear) {
    TIdEMailAddressList list;
    list.Add().Address = "a@b";
    list.Add().Address = "c@d";
    list.Add().Address = "e@f";
    list.Delete(1);
    EXPECT_EQ(ItemsOf(list), (std::vector<TItem>{{"", "a@b"}, {"", "e@f"}}));
    list.Clear();
    EXPECT_TRUE(list.Empty());
}

// ---- the sender of the settings ---------------------------------------------

struct TSenderCase {
    const char* Name;
    AnsiString Text;
    TItem Expected;
    bool Refused = false;
};
void PrintTo(const TSenderCase& c, std::ostream* os) { *os << c.Name; }

class ParseSenderTest : public ::testing::TestWithParam<TSenderCase> {};

TEST_P(ParseSenderTest, SplitsNameAndAddress) {
    const TSenderCase& c = GetParam();
    if (!c.Refused) {
        const TIdEMailAddressItem item = ParseSender(c.Text);
        EXPECT_EQ((TItem{item.Name, item.Address}), c.Expected);
        return;
    }
    try {
        ParseSender(c.Text);
        FAIL() << "accepted";
    } catch (const EIdInvalidAddress& e) {
        EXPECT_EQ(e.Message, "Sender \"" + c.Text + "\" is neither an address nor a name followed by <address>");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseSenderTest,
    ::testing::Values(TSenderCase{"Plain", "backup@example.com", {"", "backup@example.com"}},
                      TSenderCase{"PlainByteForByte", " backup@example.com ", {"", " backup@example.com "}},
                      TSenderCase{"PlainWithComment", Gbk("backup@example.com (备份)"), {"", Gbk("backup@example.com (备份)")}},
                      TSenderCase{"ChineseName", Gbk("客服中心 <backup@example.com>"), {Gbk("客服中心"), "backup@example.com"}},
                      TSenderCase{"ChineseNameNoBlank", Gbk("客服中心<backup@example.com>"), {Gbk("客服中心"), "backup@example.com"}},
                      TSenderCase{"QuotedName", "\"Backup, Night\" <b@example.com>", {"Backup, Night", "b@example.com"}},
                      TSenderCase{"BracketsOnly", "<b@example.com>", {"", "b@example.com"}},
                      TSenderCase{"EmptyBrackets", "Backup <>", {}, true},
                      TSenderCase{"AtSignOutside", "<a@example.com> b@example.com", {}, true}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(FindDelimiter, StepsOverDoubleByteCharacters) {
    EXPECT_EQ(FindDelimiter("abc,d", ",;"), 4u);
    EXPECT_EQ(FindDelimiter("abc", ",;"), 0u);
    EXPECT_EQ(FindDelimiter(Gbk("丂@"), "@"), 3u);
    EXPECT_EQ(FindDelimiter("\x81", "@"), 0u); // a lead byte at the end stands alone
}

} // namespace
