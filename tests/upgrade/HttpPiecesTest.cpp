// The HTTP-date reader, the realm of a challenge and the progress figures.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "upgrade/HttpPieces.h"

namespace {

using namespace std::chrono;

// 6 November 1994, 08:49:37 UTC.
const TSysSeconds Instant = sys_days(year(1994) / November / 6) + hours(8) + minutes(49) + seconds(37);

struct TDateCase {
    const char* Name;
    const char* Text;
    std::optional<TSysSeconds> Expected;
};

class HttpDateTest : public testing::TestWithParam<TDateCase> {};

TEST_P(HttpDateTest, Reads) {
    EXPECT_EQ(ParseHttpDate(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpDateTest,
    testing::Values(TDateCase{"Rfc1123", "Sun, 06 Nov 1994 08:49:37 GMT", Instant},
                    TDateCase{"Rfc850", "Sunday, 06-Nov-94 08:49:37 GMT", Instant},
                    TDateCase{"Asctime", "Sun Nov  6 08:49:37 1994", Instant},
                    TDateCase{"LowerCaseNames", "sun, 06 nov 1994 08:49:37 gmt", Instant},
                    TDateCase{"SurroundingBlanks", "  Sun, 06 Nov 1994 08:49:37 GMT  ", Instant},
                    TDateCase{"PlusTwoHours", "Sun, 06 Nov 1994 10:49:37 +0200", Instant},
                    TDateCase{"MinusHalfHour", "Sun, 06 Nov 1994 08:19:37 -0030", Instant},
                    TDateCase{"NoWeekday", "06 Nov 1994 08:49:37 GMT", Instant},
                    TDateCase{"TwoDigitYearAfter2000", "Mon, 01-Jan-01 00:00:00 GMT",
                              sys_days(year(2001) / January / 1)},
                    TDateCase{"NoTime", "Sun, 06 Nov 1994", sys_days(year(1994) / November / 6)},
                    TDateCase{"Empty", "", std::nullopt},
                    TDateCase{"Garbage", "not a date at all", std::nullopt},
                    TDateCase{"UnknownMonth", "Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
                    TDateCase{"DayThatDoesNotExist", "Thu, 31 Feb 1994 08:49:37 GMT", std::nullopt},
                    TDateCase{"HourOutOfRange", "Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
                    TDateCase{"HugeNumbers", "Sun, 9999999999 Nov 99999999999 08:49:37 GMT", std::nullopt}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TRealmCase {
    const char* Name;
    const char* Header;
    const char* Realm;
};

class RealmTest : public testing::TestWithParam<TRealmCase> {};

TEST_P(RealmTest, Reads) {
    EXPECT_EQ(RealmFromHeader(GetParam().Header), GetParam().Realm);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RealmTest,
    testing::Values(TRealmCase{"Basic", "Basic realm=\"Updates\"", "Updates"},
                    // Everything up to the next-to-last character, the further parameters included.
                    TRealmCase{"Digest", "Digest realm=\"Updates\", nonce=\"abc\"", "Updates\", nonce=\"abc"},
                    TRealmCase{"NoQuote", "Basic realm=Updates", ""},
                    TRealmCase{"EmptyRealm", "Basic realm=\"\"", ""},
                    TRealmCase{"CutShort", "Basic realm=\"", ""},
                    TRealmCase{"Empty", "", ""}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TProgressCase {
    const char* Name;
    std::int64_t Bytes, Length, ElapsedMs;
    int Percent;
    std::int64_t Elapsed, Left;
    float Rate;
};

class ProgressTest : public testing::TestWithParam<TProgressCase> {};

TEST_P(ProgressTest, Figures) {
    const TProgressCase& c = GetParam();
    const TProgressFigures f = ComputeProgress(c.Bytes, c.Length, c.ElapsedMs);
    EXPECT_EQ(f.PercentDone, c.Percent);
    EXPECT_EQ(f.ElapsedSeconds, c.Elapsed);
    EXPECT_EQ(f.EstimatedSecondsLeft, c.Left);
    EXPECT_FLOAT_EQ(f.TransferRate, c.Rate);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressTest,
    testing::Values(TProgressCase{"Half", 51200, 102400, 4000, 50, 4, 4, 12.5f},
                    TProgressCase{"TieToEven", 1, 200, 0, 0, 0, 0, 1 / 1024.0f},  // 0.5 % rounds to 0
                    TProgressCase{"TieToEvenUp", 3, 200, 0, 2, 0, 0, 3 / 1024.0f}, // 1.5 % rounds to 2
                    TProgressCase{"NoLength", 10240, 0, 3500, 0, 3, -3, 10240 / 1024.0f / 3},
                    TProgressCase{"NothingYet", 0, 1000, 2000, 0, 2, -2, 0},
                    TProgressCase{"Done", 1000, 1000, 10000, 100, 10, 0, 1000 / 1024.0f / 10},
                    TProgressCase{"Huge", std::int64_t(5) << 32, std::int64_t(10) << 32, 1000, 50, 1, 1,
                                  static_cast<float>((std::int64_t(5) << 32) / 1024.0)}),
    [](const auto& test) { return std::string(test.param.Name); });

} // namespace
