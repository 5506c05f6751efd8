#pragma once
// The message loop of quorvelctl: window timers on the wall clock, without a
// toolkit. One thread runs it; Post may be called from any thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "platform/MessageLoop.h"

class TRealTimeLoop : public TMessageLoop {
public:
    TRealTimeLoop() = default;
    ~TRealTimeLoop() override = default;

    const TClock& Clock() const override { return SystemClock(); }
    // Runs the posted work, then each due timer once.
    void ProcessMessages() override;
    void Sleep(std::uint32_t milliseconds) override;
    void Post(std::function<void()> work) override;

    // Runs posted work and ticks as they fall due until condition() holds
    // (tested after each) ; false when nothing is left that could ever run.
    bool RunUntil(const std::function<bool()>& condition);

protected:
    void StartTimer(TTimer& timer) override;
    void StopTimer(TTimer& timer) override;

private:
    using TSteady = std::chrono::steady_clock;
    struct TCounting {
        TTimer* Timer;
        TSteady::time_point Due;
        std::uint64_t Order;
    };

    bool RunOnePosted();
    void Deliver(std::uint64_t timerId);

    std::map<std::uint64_t, TCounting> timers_;
    std::uint64_t startOrder_ = 0;
    std::mutex postedLock_;
    std::condition_variable postedSignal_;
    std::deque<std::function<void()>> posted_;
};
