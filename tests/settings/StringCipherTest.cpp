#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "platform/Exception.h"
#include "settings/StringCipher.h"

namespace {

TEST(StringCipher, EmptyTextStaysEmpty) {
    EXPECT_EQ(CipherText("", SmtpPasswordKey, true), "");
    EXPECT_EQ(CipherText("", SmtpPasswordKey, false), "");
}

TEST(StringCipher, CipherTextIsSeedPlusOneCapitalHexPairPerByte) {
    AnsiString cipher = CipherText("hello", SmtpPasswordKey, true);
    ASSERT_EQ(cipher.size(), 12u);
    for (char c : cipher) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << cipher;
    EXPECT_EQ(CipherText(cipher, SmtpPasswordKey, false), "hello");
}

TEST(StringCipher, KnownCipherTexts) {
    // Worked by hand: seed 0x10, key "kesto947": 'a'(0x61): (0x10+0x61)%255=0x71, ^'k'(0x6B)=0x1A;
    // 'b'(0x62): (0x1A+0x62)%255=0x7C, ^'e'(0x65)=0x19.
    EXPECT_EQ(CipherText("101A19", SmtpPasswordKey, false), "ab");
    EXPECT_EQ(CipherText("101a19", SmtpPasswordKey, false), "ab"); // lower-case digits read alike
    // Empty key: the default key "60478159" ('6' = 0x36): (0x10+0x61)^0x36 = 0x47.
    EXPECT_EQ(CipherText("1047", "", false), "a");
    // An odd length is no cipher text (a lone digit would give a wrong byte or
    // be dropped without a word): see InvalidCipherTextIsAConversionError.
}

TEST(StringCipher, TwoEnciphermentsDifferButBothDecipher) {
    const AnsiString password = "p\xC3\xDC\xC2\xEB;=x"; // "p密码;=x"
    std::set<AnsiString> seen;
    for (int i = 0; i < 16; ++i) {
        AnsiString cipher = CipherText(password, SmtpPasswordKey, true);
        EXPECT_EQ(CipherText(cipher, SmtpPasswordKey, false), password);
        seen.insert(cipher);
    }
    EXPECT_GT(seen.size(), 1u); // 16 draws of a byte are all equal with probability 2^-120
}

TEST(StringCipher, EveryByteFrom1To254ComesBackAtEveryPositionAfterEverySeed) {
    // A text longer than the key uses the key from the first byte again.
    AnsiString all;
    for (int b = 1; b <= 254; ++b) all += static_cast<char>(b);
    for (int round = 0; round < 64; ++round) {
        AnsiString rotated = all.substr(round) + all.substr(0, round);
        EXPECT_EQ(CipherText(CipherText(rotated, SmtpPasswordKey, true), SmtpPasswordKey, false), rotated);
        EXPECT_EQ(CipherText(CipherText(rotated, "k", true), "k", false), rotated);
    }
}

TEST(StringCipher, InvalidCipherTextIsAConversionError) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"1G22", "'1G' is not a valid integer value"},
        {"10ZZ", "'ZZ' is not a valid integer value"},
        {"AB", "'' is not a valid integer value"}, // a seed and nothing after it
        {"A", "'A' is not a valid cipher text: it must hold an even number of hexadecimal digits"},
        {"ABC", "'ABC' is not a valid cipher text: it must hold an even number of hexadecimal digits"},
        {"10A", "'10A' is not a valid cipher text: it must hold an even number of hexadecimal digits"},
        {"101A19F", "'101A19F' is not a valid cipher text: it must hold an even number of hexadecimal digits"},
    };
    for (const auto& c : cases) {
        try {
            CipherText(c.text, SmtpPasswordKey, false);
            ADD_FAILURE() << c.text;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message, c.message);
        }
    }
}

TEST(StringCipher, WrongKeyGivesOtherBytesWithoutError) {
    AnsiString cipher = CipherText("secret", SmtpPasswordKey, true);
    EXPECT_NE(CipherText(cipher, "other", false), "secret");
}

} // namespace
