// The Qt message loop in real time. The timer rules themselves live in TTimer
// and are covered on the simulated loop; here: that QTimer carries them out.
// Real-time checks use lower bounds only, which a busy machine cannot break.
#ifdef QUORVEL_WITH_QT
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/qt/QtMessageLoop.h"

namespace {

class QtMessageLoop : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "test_platform";
            static char* argv[] = {name, nullptr};
            App = std::make_unique<QCoreApplication>(argc, argv);
        }
    }
    static void TearDownTestSuite() { App.reset(); }

    // Runs the Qt loop until `done` or 5 s (a failing test must not hang).
    template <typename TCondition>
    void RunUntil(TCondition done, int limitMs = 5000) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < limitMs) {
            Loop.ProcessMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void RunFor(int ms) {
        RunUntil([] { return false; }, ms);
    }
    qint64 Now() const { return Clock.elapsed(); }

    static std::unique_ptr<QCoreApplication> App;
    TQtMessageLoop Loop;
    QElapsedTimer Clock;
    void SetUp() override { Clock.start(); }
};

std::unique_ptr<QCoreApplication> QtMessageLoop::App;

TEST_F(QtMessageLoop, EnabledTimerFiresAgainAndAgainUntilDisabled) {
    TTimer timer(Loop, 20);
    int ticks = 0;
    timer.OnTimer = [&] {
        if (++ticks == 3)
            timer.SetEnabled(false);
    };
    RunUntil([&] { return ticks >= 3; });
    EXPECT_EQ(ticks, 3);
    EXPECT_GE(Now(), 60);
    RunFor(80);
    EXPECT_EQ(ticks, 3);
}

TEST_F(QtMessageLoop, NewIntervalCountsFromWhenItWasGiven) {
    TTimer timer(Loop, 50);
    qint64 firstTick = -1;
    timer.OnTimer = [&] {
        firstTick = Now();
        timer.SetEnabled(false);
    };
    RunFor(25);
    const qint64 givenAt = Now();
    timer.SetInterval(150);
    RunUntil([&] { return firstTick >= 0; });
    ASSERT_GE(firstTick, 0);
    EXPECT_GE(firstTick, givenAt + 145);
}

TEST_F(QtMessageLoop, IntervalZeroNeverFires) {
    TTimer timer(Loop, 0);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    RunFor(100);
    EXPECT_EQ(ticks, 0);
}

TEST_F(QtMessageLoop, TicksMissedDuringABlockingHandlerDoNotPileUp) {
    TTimer timer(Loop, 20);
    std::vector<qint64> ticks;
    timer.OnTimer = [&] {
        ticks.push_back(Now());
        if (ticks.size() == 1)
            Loop.Sleep(200); // ten intervals
        if (ticks.size() == 4)
            timer.SetEnabled(false);
    };
    RunUntil([&] { return ticks.size() >= 4; });
    ASSERT_EQ(ticks.size(), 4u);
    // After the late tick, the next ones keep an interval's distance: no burst.
    EXPECT_GE(ticks[3] - ticks[1], 2 * 20 - 4);
}

TEST_F(QtMessageLoop, PostedWorkRunsOnTheLoopThreadInOrder) {
    std::vector<int> order;
    std::thread::id ranOn;
    std::thread poster([&] {
        Loop.Post([&] { order.push_back(1); });
        Loop.Post([&] {
            order.push_back(2);
            ranOn = std::this_thread::get_id();
        });
    });
    poster.join();
    RunUntil([&] { return order.size() == 2; });
    EXPECT_EQ(order, (std::vector<int> {1, 2}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(QtMessageLoop, HandlerMayDestroyItsOwnTimer) {
    auto timer = std::make_unique<TTimer>(Loop, 10);
    int ticks = 0;
    timer->OnTimer = [&] {
        ++ticks;
        timer.reset();
    };
    RunUntil([&] { return !timer; });
    RunFor(50);
    EXPECT_EQ(ticks, 1);
}

TEST_F(QtMessageLoop, SleepBlocksAndTheClockIsTheSystemClock) {
    const TTimePoint before = Loop.Clock().Now();
    Loop.Sleep(30);
    EXPECT_GE(Loop.Clock().Now() - before, std::chrono::milliseconds(30));
    EXPECT_LE(std::chrono::system_clock::now() - Loop.Clock().Now(), std::chrono::seconds(1));
}

} // namespace
#endif
