#pragma once
// The message loop of the tests: a virtual clock that starts at a given point
// (a whole backup cycle anchors it to real time) and moves only when the loop
// runs towards the next due tick or when a handler sleeps. Everything is
// deterministic: a cycle of minutes runs in milliseconds.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "platform/MessageLoop.h"

class TSimulatedLoop : public TMessageLoop {
public:
    explicit TSimulatedLoop(TTimePoint start = std::chrono::system_clock::now());
    ~TSimulatedLoop() override;

    const TClock& Clock() const override { return clock_; }
    TTimePoint Now() const { return now_; }
    // Virtual time since the loop was created.
    std::chrono::milliseconds Elapsed() const;

    // Runs what is queued at this moment: the posted work, then each due
    // timer once, earliest first. Time does not move (unless a handler sleeps).
    void ProcessMessages() override;
    // Moves the virtual clock; nothing runs meanwhile, like a blocked thread.
    void Sleep(std::uint32_t milliseconds) override;
    void Post(std::function<void()> work) override;

    // Runs the loop for the given virtual time: posted work first, then ticks
    // in the order they fall due, the clock jumping from one to the next. A
    // tick that falls due while a handler sleeps runs once, after it.
    void RunFor(std::chrono::milliseconds duration);
    void RunForMinutes(int minutes) { RunFor(std::chrono::minutes(minutes)); }
    // Runs until condition() holds (tested after each delivery) or the virtual
    // limit has passed; returns condition().
    bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

    // When the timer's next tick is due; time_point::max() when it is not counting.
    TTimePoint DueTime(const TTimer& timer) const;

protected:
    void StartTimer(TTimer& timer) override;
    void StopTimer(TTimer& timer) override;

private:
    class TVirtualClock : public TClock {
    public:
        explicit TVirtualClock(const TSimulatedLoop& loop) : loop_(loop) {}
        TTimePoint Now() const override { return loop_.now_; }

    private:
        const TSimulatedLoop& loop_;
    };

    struct TCounting {
        TTimer* Timer;
        TTimePoint Due;
        std::uint64_t Order; // ties between timers due together: first started first
    };

    bool RunOnePosted();
    // The counting timer due earliest, or timers_.end().
    std::map<std::uint64_t, TCounting>::iterator EarliestTimer();
    void Deliver(std::uint64_t timerId);

    TVirtualClock clock_;
    TTimePoint start_;
    TTimePoint now_;
    std::map<std::uint64_t, TCounting> timers_;
    std::uint64_t startOrder_ = 0;
    mutable std::mutex postedLock_;
    std::deque<std::function<void()>> posted_;
};
