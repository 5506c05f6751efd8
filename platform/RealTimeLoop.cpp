#include "platform/RealTimeLoop.h"

#include <algorithm>
#include <thread>
#include <vector>

using std::chrono::milliseconds;

void TRealTimeLoop::StartTimer(TTimer& timer) {
    timers_[timer.Id()] = TCounting{&timer, TSteady::now() + milliseconds(timer.Interval()), ++startOrder_};
}

void TRealTimeLoop::StopTimer(TTimer& timer) { timers_.erase(timer.Id()); }

void TRealTimeLoop::Sleep(std::uint32_t ms) { std::this_thread::sleep_for(milliseconds(ms)); }

void TRealTimeLoop::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(postedLock_);
        posted_.push_back(std::move(work));
    }
    postedSignal_.notify_one();
}

bool TRealTimeLoop::RunOnePosted() {
    std::function<void()> work;
    {
        std::lock_guard<std::mutex> guard(postedLock_);
        if (posted_.empty()) return false;
        work = std::move(posted_.front());
        posted_.pop_front();
    }
    if (work) work();
    return true;
}

void TRealTimeLoop::Deliver(std::uint64_t timerId) {
    auto it = timers_.find(timerId);
    const auto now = TSteady::now();
    if (it == timers_.end() || it->second.Due > now) return;
    it->second.Due = NextTickDue(it->second.Due, now, it->second.Timer->Interval());
    // A copy: the handler may replace its timer's handler or destroy the timer.
    TTimer::THandler handler = it->second.Timer->OnTimer;
    if (handler) handler();
}

void TRealTimeLoop::ProcessMessages() {
    std::size_t queued;
    {
        std::lock_guard<std::mutex> guard(postedLock_);
        queued = posted_.size();
    }
    while (queued-- > 0 && RunOnePosted()) {
    }
    const auto now = TSteady::now();
    std::vector<std::pair<TCounting, std::uint64_t>> due;
    for (const auto& [id, counting] : timers_)
        if (counting.Due <= now) due.emplace_back(counting, id);
    std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
        return a.first.Due != b.first.Due ? a.first.Due < b.first.Due : a.first.Order < b.first.Order;
    });
    for (const auto& entry : due) Deliver(entry.second);
}

bool TRealTimeLoop::RunUntil(const std::function<bool()>& condition) {
    while (!condition()) {
        if (RunOnePosted()) continue;
        auto next = std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
            return a.second.Due != b.second.Due ? a.second.Due < b.second.Due : a.second.Order < b.second.Order;
        });
        if (next == timers_.end()) return condition();
        {
            // Wakes for posted work or when the earliest tick falls due.
            std::unique_lock<std::mutex> lock(postedLock_);
            postedSignal_.wait_until(lock, next->second.Due, [this] { return !posted_.empty(); });
        }
        if (TSteady::now() >= next->second.Due) Deliver(next->first);
    }
    return true;
}
