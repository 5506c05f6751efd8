#pragma once
// The event loop as the toolkit-free core sees it: window timers whose ticks
// arrive through the loop, "let queued messages run", blocking sleeps, the
// local clock and posting work to the loop's thread. The desktop binds it to
// Qt's event loop; the tests bind it to a simulated loop with a virtual clock.
#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/Clock.h"

class TMessageLoop;

// A window timer. The rules the scheduler relies on live here, once, for every
// loop: enabling a disabled timer or giving an enabled one a different
// interval starts the interval afresh; enabling an enabled timer or setting
// the interval it already has changes nothing; an interval of 0 never fires.
// Ticks are delivered by the loop: one tick waits while any handler runs, and
// ticks missed meanwhile do not pile up.
class TTimer {
public:
    using TInterval = std::uint32_t; // milliseconds
    using THandler = std::function<void()>;

    // The defaults of a timer dropped on a form: enabled, 1000 ms.
    explicit TTimer(TMessageLoop& loop, TInterval interval = 1000, bool enabled = true);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    TInterval Interval() const { return interval_; }
    void SetInterval(TInterval value);

    // Runs at each tick. A timer without a handler still counts its interval.
    THandler OnTimer;

    // The loop's handle of this timer (unique within its loop).
    std::uint64_t Id() const { return id_; }
    TMessageLoop& Loop() const { return *loop_; }

private:
    void Update();

    TMessageLoop* loop_;
    std::uint64_t id_;
    TInterval interval_;
    bool enabled_;
};

// When a timer's next tick is due, as the tick due at `due` is delivered at
// `now`: one interval after this one was due; when that moment has passed too
// (a handler or the thread was blocked), one interval from now, so that missed
// ticks collapse into the one being delivered. Every loop keeps this rule.
template <class TTimePointOf>
TTimePointOf NextTickDue(TTimePointOf due, TTimePointOf now, TTimer::TInterval interval) {
    const std::chrono::milliseconds step(interval);
    const TTimePointOf next = due + step;
    return next < now ? now + step : next;
}

class TMessageLoop {
public:
    virtual ~TMessageLoop() = default;

    // The local clock the core reads ("now" for the scan, the log's stamps).
    virtual const TClock& Clock() const = 0;
    // Lets queued messages run: posted work and due ticks, then returns.
    virtual void ProcessMessages() = 0;
    // Blocks the thread; nothing of the loop runs meanwhile.
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    // Queues work to run on the loop's thread; callable from any thread.
    virtual void Post(std::function<void()> work) = 0;

protected:
    friend class TTimer;
    std::uint64_t NextTimerId() { return ++lastTimerId_; }
    // The timer's interval starts now (replacing any running one).
    virtual void StartTimer(TTimer& timer) = 0;
    // The timer stops counting; a tick not yet delivered is dropped.
    virtual void StopTimer(TTimer& timer) = 0;

private:
    std::uint64_t lastTimerId_ = 0;
};
