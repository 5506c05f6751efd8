#pragma once
// The message loop of the desktop and the service: window timers on Qt timers
// and the Qt event loop of the main thread, with the rules of TTimer (see
// MessageLoop.h) kept exactly as the simulated loop keeps them. Needs a
// QCoreApplication (or QApplication) that outlives it.
//
// An error that a tick or posted work raises goes to the application's error
// reporting (HandleCurrentException): an exception must never cross Qt's
// event loop.
#include <QObject>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/MessageLoop.h"

class QTimer;

class TQtMessageLoop : public QObject, public TMessageLoop {
    Q_OBJECT
public:
    TQtMessageLoop();
    ~TQtMessageLoop() override;
    TQtMessageLoop(const TQtMessageLoop&) = delete;
    TQtMessageLoop& operator=(const TQtMessageLoop&) = delete;

    const TClock& Clock() const override;
    // Runs the work posted until now, then lets Qt deliver what is queued
    // (due ticks, input, paints) once, without waiting for more.
    void ProcessMessages() override;
    // Blocks the thread: no tick, no paint, no input meanwhile.
    void Sleep(std::uint32_t milliseconds) override;
    // Thread-safe; the work runs in the event loop in the order posted.
    void Post(std::function<void()> work) override;

    // Whether the timer counts, and how long until its next tick.
    bool Counting(const TTimer& timer) const;
    std::chrono::milliseconds Remaining(const TTimer& timer) const;

protected:
    void StartTimer(TTimer& timer) override;
    void StopTimer(TTimer& timer) override;

private:
    using TSteady = std::chrono::steady_clock;
    struct TCounting {
        TTimer* Timer = nullptr;
        TSteady::time_point Due;
        std::unique_ptr<QTimer> Shot; // single shot, re-armed for each tick; child of the loop
    };

    void Arm(TCounting& counting);
    void Deliver(std::uint64_t timerId);
    void RunPosted(std::size_t count);
    std::size_t PostedCount() const;

    std::map<std::uint64_t, TCounting> timers_;
    mutable std::mutex postedLock_;
    std::deque<std::function<void()>> posted_;
};
