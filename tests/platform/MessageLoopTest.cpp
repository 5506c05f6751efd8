// The window timer rules the scheduler relies on, on the simulated loop.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/SimulatedLoop.h"
#include "tests/platform/TimerRuleCases.h"

using namespace std::chrono;

namespace {

const TTimePoint Anchor = system_clock::from_time_t(1700000000);

int ElapsedMs(const TSimulatedLoop& loop) {
    return static_cast<int>(loop.Elapsed().count());
}

class TimerRules : public testing::TestWithParam<TTimerCase> {};

TEST_P(TimerRules, TicksAtTheExpectedTimes) {
    const TTimerCase& c = GetParam();
    TSimulatedLoop loop(Anchor);
    TTimer timer(loop, c.Interval, c.Enabled);
    std::vector<int> ticks;
    timer.OnTimer = [&] {
        ticks.push_back(ElapsedMs(loop));
        if (ticks.size() == 1 && c.FirstTickSleep > 0)
            loop.Sleep(c.FirstTickSleep);
    };
    for (const TTimerStep& step : c.Steps) {
        loop.RunFor(milliseconds(step.At - ElapsedMs(loop)));
        ApplyTimerStep(timer, step, step.Value);
    }
    loop.RunFor(milliseconds(c.RunUntil - ElapsedMs(loop)));
    EXPECT_EQ(ticks, c.Ticks);
    EXPECT_EQ(ElapsedMs(loop), c.RunUntil);
}

INSTANTIATE_TEST_SUITE_P(SimulatedLoop, TimerRules, testing::ValuesIn(TimerCases()),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(SimulatedLoop, TickWaitsForARunningHandlerThenTicksGoInDueOrder) {
    TSimulatedLoop loop(Anchor);
    TTimer a(loop, 1000), b(loop, 1500);
    std::vector<std::string> log;
    a.OnTimer = [&] {
        log.push_back("A@" + std::to_string(ElapsedMs(loop)));
        if (log.size() == 1)
            loop.Sleep(1000);
    };
    b.OnTimer = [&] { log.push_back("B@" + std::to_string(ElapsedMs(loop))); };
    loop.RunFor(milliseconds(3200));
    EXPECT_EQ(log, (std::vector<std::string> {"A@1000", "B@2000", "A@2000", "A@3000", "B@3000"}));
}

TEST(SimulatedLoop, ProcessMessagesLetsDueTicksAndPostedWorkRunInsideAHandler) {
    TSimulatedLoop loop(Anchor);
    TTimer outer(loop, 1000), other(loop, 2000);
    std::vector<std::string> log;
    bool insideOuter = false;
    outer.OnTimer = [&] {
        outer.SetEnabled(false);
        insideOuter = true;
        loop.Sleep(1500); // now 2500: other's tick (due 2000) is waiting
        loop.Post([&] { log.push_back(std::string("posted") + (insideOuter ? " inside" : " outside")); });
        log.push_back("before");
        loop.ProcessMessages();
        log.push_back("after");
        insideOuter = false;
    };
    other.OnTimer = [&] { log.push_back("other@" + std::to_string(ElapsedMs(loop)) + (insideOuter ? " inside" : "")); };
    loop.RunFor(milliseconds(4100));
    EXPECT_EQ(log, (std::vector<std::string> {"before", "posted inside", "other@2500 inside", "after", "other@4000"}))
        << "other's next tick: due 4000 after the one delivered late at 2500";
}

TEST(SimulatedLoop, ProcessMessagesRunsOnlyWhatWasQueuedWhenCalled) {
    TSimulatedLoop loop(Anchor);
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        loop.Post(again);
    };
    loop.Post(again);
    loop.ProcessMessages();
    EXPECT_EQ(runs, 1);
    loop.ProcessMessages();
    EXPECT_EQ(runs, 2);
}

TEST(SimulatedLoop, ClockStartsAtTheAnchorAndMovesOnlyWithSleepsAndRuns) {
    TSimulatedLoop loop(Anchor);
    EXPECT_EQ(loop.Clock().Now(), Anchor);
    loop.ProcessMessages();
    EXPECT_EQ(loop.Clock().Now(), Anchor);
    loop.Sleep(2000);
    EXPECT_EQ(loop.Clock().Now(), Anchor + seconds(2));
    loop.RunForMinutes(3);
    EXPECT_EQ(loop.Clock().Now(), Anchor + seconds(2) + minutes(3));
}

TEST(SimulatedLoop, WorkPostedFromAnotherThreadRunsOnTheLoopsThread) {
    TSimulatedLoop loop(Anchor);
    std::thread::id ranOn;
    std::thread poster([&] { loop.Post([&] { ranOn = std::this_thread::get_id(); }); });
    poster.join();
    loop.RunFor(milliseconds(0));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(SimulatedLoop, HandlerMayStopOrDestroyItsOwnTimer) {
    TSimulatedLoop loop(Anchor);
    int stopped = 0, destroyed = 0;
    TTimer stopper(loop, 1000);
    stopper.OnTimer = [&] {
        ++stopped;
        stopper.SetEnabled(false);
    };
    auto doomed = std::make_unique<TTimer>(loop, 700);
    doomed->OnTimer = [&] {
        ++destroyed;
        doomed.reset();
    };
    loop.RunFor(seconds(10));
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(stopper.Enabled());
}

TEST(SimulatedLoop, RunUntilStopsAtTheConditionOrTheLimit) {
    TSimulatedLoop loop(Anchor);
    TTimer timer(loop, 1000);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    EXPECT_TRUE(loop.RunUntil([&] { return ticks == 3; }, minutes(1)));
    EXPECT_EQ(ElapsedMs(loop), 3000);
    timer.SetEnabled(false);
    EXPECT_FALSE(loop.RunUntil([&] { return ticks == 4; }, seconds(5)));
    EXPECT_EQ(ElapsedMs(loop), 8000);
}

} // namespace
