// The wall-clock loop of the headless tools keeps the window timer rules,
// in real time (one case millisecond is one real millisecond: coarser scales
// let a step land on the wrong side of a tick when two busy cores also run an
// ASan build).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/RealTimeLoop.h"
#include "tests/platform/TimerRuleCases.h"

using namespace std::chrono;

namespace {

constexpr double Scale = 1.0;  // real ms per case ms
constexpr int Tolerance = 200; // real ms a tick may come late on a busy machine

int Real(int ms) { return static_cast<int>(ms * Scale); }

class RealTimeTimerRules : public testing::TestWithParam<TTimerCase> {};

TEST_P(RealTimeTimerRules, TicksAtTheExpectedTimes) {
    const TTimerCase& c = GetParam();
    TRealTimeLoop loop;
    const auto start = steady_clock::now();
    auto elapsed = [&] { return static_cast<int>(duration_cast<milliseconds>(steady_clock::now() - start).count()); };
    TTimer timer(loop, Real(c.Interval), c.Enabled);
    std::vector<int> ticks;
    timer.OnTimer = [&] {
        ticks.push_back(elapsed());
        if (ticks.size() == 1 && c.FirstTickSleep > 0) loop.Sleep(Real(c.FirstTickSleep));
    };
    // Each step, and the end, is a timer of its own that fires once.
    std::vector<std::unique_ptr<TTimer>> steps;
    for (const TTimerStep& step : c.Steps) {
        steps.push_back(std::make_unique<TTimer>(loop, Real(step.At)));
        TTimer* self = steps.back().get();
        self->OnTimer = [&timer, step, self] {
            self->SetEnabled(false);
            ApplyTimerStep(timer, step, Real(step.Value));
        };
    }
    bool done = false;
    TTimer end(loop, Real(c.RunUntil));
    end.OnTimer = [&] { done = true; };
    ASSERT_TRUE(loop.RunUntil([&] { return done; }));
    ASSERT_EQ(ticks.size(), c.Ticks.size()) << testing::PrintToString(ticks);
    for (std::size_t i = 0; i < ticks.size(); ++i) EXPECT_NEAR(ticks[i], Real(c.Ticks[i]), Tolerance) << "tick " << i;
}

INSTANTIATE_TEST_SUITE_P(RealTimeLoop, RealTimeTimerRules, testing::ValuesIn(RealTimeTimerCases()),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(RealTimeLoop, PostedWorkFromAnotherThreadWakesTheLoop) {
    TRealTimeLoop loop;
    bool ran = false;
    std::thread poster([&] {
        std::this_thread::sleep_for(50ms);
        loop.Post([&] { ran = true; });
    });
    TTimer guard(loop, 5000); // keeps the loop waiting; the post must wake it sooner
    const auto start = steady_clock::now();
    EXPECT_TRUE(loop.RunUntil([&] { return ran; }));
    poster.join();
    EXPECT_LT(steady_clock::now() - start, 2s);
}

TEST(RealTimeLoop, RunUntilReturnsFalseWhenNothingCanEverRun) {
    TRealTimeLoop loop;
    TTimer idle(loop, 1000, false);
    EXPECT_FALSE(loop.RunUntil([] { return false; }));
}

} // namespace
