// The Qt binding of the message loop keeps the window timer rules of the
// simulated loop, in real time (one simulated second is 200 ms here).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Exception.h"
#include "platform/ExceptionReport.h"
#include "platform/qt/QtMessageLoop.h"
#include "tests/app/QtTestEnvironment.h"
#include "tests/platform/TimerRuleCases.h"

using namespace std::chrono;

namespace {

constexpr double Scale = 0.2;   // real ms per simulated ms
constexpr int Tolerance = 90;   // real ms a tick may come late (or early) on a busy machine

int Real(int simulated) {
    return static_cast<int>(simulated * Scale);
}

class QtTimerRules : public testing::TestWithParam<TTimerCase> {};

TEST_P(QtTimerRules, TicksAtTheExpectedTimes) {
    const TTimerCase& c = GetParam();
    TestApplication();
    TQtMessageLoop loop;
    QElapsedTimer clock;
    TTimer timer(loop, Real(c.Interval), c.Enabled);
    clock.start();
    std::vector<int> ticks;
    timer.OnTimer = [&] {
        ticks.push_back(static_cast<int>(clock.elapsed()));
        if (ticks.size() == 1 && c.FirstTickSleep > 0)
            loop.Sleep(Real(c.FirstTickSleep));
    };
    for (const TTimerStep& step : c.Steps) {
        QTimer::singleShot(Real(step.At), Qt::PreciseTimer, [&timer, step] {
            ApplyTimerStep(timer, step, Real(step.Value));
        });
    }
    RunEventLoopFor(milliseconds(Real(c.RunUntil)));
    ASSERT_EQ(ticks.size(), c.Ticks.size()) << testing::PrintToString(ticks);
    for (std::size_t i = 0; i < ticks.size(); ++i)
        EXPECT_NEAR(ticks[i], Real(c.Ticks[i]), Tolerance) << "tick " << i;
}

INSTANTIATE_TEST_SUITE_P(QtMessageLoop, QtTimerRules, testing::ValuesIn(RealTimeTimerCases()),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(QtMessageLoop, ProcessMessagesLetsPostedWorkAndDueTicksRunInsideAHandler) {
    TestApplication();
    TQtMessageLoop loop;
    TTimer outer(loop, 100), other(loop, 200);
    std::vector<std::string> log;
    bool insideOuter = false;
    outer.OnTimer = [&] {
        outer.SetEnabled(false);
        insideOuter = true;
        loop.Sleep(200); // other's tick falls due meanwhile
        loop.Post([&] { log.push_back(std::string("posted") + (insideOuter ? " inside" : " outside")); });
        log.push_back("before");
        loop.ProcessMessages();
        log.push_back("after");
        insideOuter = false;
    };
    other.OnTimer = [&] {
        other.SetEnabled(false);
        log.push_back(std::string("other") + (insideOuter ? " inside" : " outside"));
    };
    RunEventLoopUntil([&] { return log.size() >= 4; }, milliseconds(3000));
    EXPECT_EQ(log, (std::vector<std::string> {"before", "posted inside", "other inside", "after"}));
}

TEST(QtMessageLoop, ProcessMessagesRunsOnlyWhatWasPostedWhenCalled) {
    TestApplication();
    TQtMessageLoop loop;
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        loop.Post(again);
    };
    loop.Post(again);
    loop.ProcessMessages();
    EXPECT_GE(runs, 1);
    EXPECT_LT(runs, 100) << "each call ends although work keeps arriving";
    const int before = runs;
    loop.ProcessMessages();
    EXPECT_GT(runs, before);
    RunEventLoopFor(milliseconds(20)); // the queue drains into nothing once `again` stops reposting
    again = [&] { ++runs; };
    RunEventLoopFor(milliseconds(20));
}

TEST(QtMessageLoop, WorkPostedFromOtherThreadsRunsOnTheLoopsThreadInOrder) {
    TestApplication();
    TQtMessageLoop loop;
    const std::thread::id mainThread = std::this_thread::get_id();
    std::vector<int> order;
    std::atomic<bool> wrongThread {false};
    std::thread poster([&] {
        for (int i = 0; i < 50; ++i)
            loop.Post([&, i] {
                wrongThread = wrongThread || std::this_thread::get_id() != mainThread;
                order.push_back(i);
            });
    });
    poster.join();
    ASSERT_TRUE(RunEventLoopUntil([&] { return order.size() == 50; }, milliseconds(3000)));
    EXPECT_FALSE(wrongThread);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(QtMessageLoop, AnErrorInATickIsReportedAndTheTimerGoesOn) {
    TestApplication();
    TQtMessageLoop loop;
    std::vector<AnsiString> reported;
    TScopedExceptionHandler capture([&](const AnsiString& message) { reported.push_back(message); });
    TTimer timer(loop, 50);
    int ticks = 0;
    timer.OnTimer = [&] {
        ++ticks;
        throw Exception("Login failed for user 'sa'.");
    };
    ASSERT_TRUE(RunEventLoopUntil([&] { return ticks >= 2; }, milliseconds(3000)));
    timer.SetEnabled(false);
    EXPECT_EQ(reported.size(), static_cast<std::size_t>(ticks));
    EXPECT_EQ(reported.front(), "Login failed for user 'sa'.");
}

TEST(QtMessageLoop, AHandlerMayDestroyItsOwnTimer) {
    TestApplication();
    TQtMessageLoop loop;
    auto timer = std::make_unique<TTimer>(loop, 30);
    int ticks = 0;
    timer->OnTimer = [&] {
        ++ticks;
        timer.reset();
    };
    ASSERT_TRUE(RunEventLoopUntil([&] { return !timer; }, milliseconds(3000)));
    RunEventLoopFor(milliseconds(100));
    EXPECT_EQ(ticks, 1);
}

TEST(QtMessageLoop, ClockIsTheSystemClockAndSleepBlocks) {
    TestApplication();
    TQtMessageLoop loop;
    const auto before = system_clock::now();
    EXPECT_GE(loop.Clock().Now(), before);
    TTimer timer(loop, 10);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    QElapsedTimer elapsed;
    elapsed.start();
    loop.Sleep(120);
    EXPECT_GE(elapsed.elapsed(), 115);
    EXPECT_EQ(ticks, 0) << "nothing runs while the thread sleeps";
    loop.ProcessMessages();
    EXPECT_EQ(ticks, 1) << "ticks missed while blocked collapse into one";
}

} // namespace
