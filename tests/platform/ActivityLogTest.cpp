#include <gtest/gtest.h>

#include "platform/ActivityLog.h"

namespace {

class TFixedClock : public TClock {
public:
    TTimePoint Now() const override { return now; }
    TTimePoint now = FromLocal({2026, 3, 7, 20, 30, 5, 0, 0});
};

TEST(ActivityLog, LineIsLocalTimeStampBlankAndText) {
    TFixedClock clock;
    TActivityLog log(clock);
    std::vector<std::string> seen;
    log.AddObserver([&](const AnsiString& line) { seen.push_back(line); });
    log.AddLog("\xB4\xFD\xC3\xFC"); // 待命
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines().front(), "2026-03-07 20:30:05 \xB4\xFD\xC3\xFC");
    EXPECT_EQ(seen, std::vector<std::string>{log.Lines().front()});
}

TEST(ActivityLog, HoldsAtMost101Lines) {
    TFixedClock clock;
    TActivityLog log(clock);
    for (int i = 1; i <= 100; ++i) log.AddLog(std::to_string(i));
    EXPECT_EQ(log.Lines().size(), 100u);
    log.AddLog("101"); // with 100 lines the new one makes 101
    EXPECT_EQ(log.Lines().size(), 101u);
    EXPECT_EQ(log.Lines().front(), "2026-03-07 20:30:05 1");
    log.AddLog("102"); // with 101 lines the oldest goes first
    EXPECT_EQ(log.Lines().size(), 101u);
    EXPECT_EQ(log.Lines().front(), "2026-03-07 20:30:05 2");
    EXPECT_EQ(log.Lines().back(), "2026-03-07 20:30:05 102");
}

} // namespace
