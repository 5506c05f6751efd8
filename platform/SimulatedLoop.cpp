#include "platform/SimulatedLoop.h"

#include <algorithm>
#include <utility>
#include <vector>

using std::chrono::milliseconds;

TSimulatedLoop::TSimulatedLoop(TTimePoint start) : clock_(*this), start_(start), now_(start) {}

TSimulatedLoop::~TSimulatedLoop() = default;

milliseconds TSimulatedLoop::Elapsed() const {
    return std::chrono::duration_cast<milliseconds>(now_ - start_);
}

void TSimulatedLoop::StartTimer(TTimer& timer) {
    timers_[timer.Id()] = TCounting {&timer, now_ + milliseconds(timer.Interval()), ++startOrder_};
}

void TSimulatedLoop::StopTimer(TTimer& timer) {
    timers_.erase(timer.Id());
}

TTimePoint TSimulatedLoop::DueTime(const TTimer& timer) const {
    auto it = timers_.find(timer.Id());
    return it == timers_.end() ? TTimePoint::max() : it->second.Due;
}

void TSimulatedLoop::Sleep(std::uint32_t ms) {
    now_ += milliseconds(ms);
}

void TSimulatedLoop::Post(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(postedLock_);
    posted_.push_back(std::move(work));
}

bool TSimulatedLoop::RunOnePosted() {
    std::function<void()> work;
    {
        std::lock_guard<std::mutex> guard(postedLock_);
        if (posted_.empty())
            return false;
        work = std::move(posted_.front());
        posted_.pop_front();
    }
    if (work)
        work();
    return true;
}

std::map<std::uint64_t, TSimulatedLoop::TCounting>::iterator TSimulatedLoop::EarliestTimer() {
    auto best = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (best == timers_.end() || it->second.Due < best->second.Due ||
            (it->second.Due == best->second.Due && it->second.Order < best->second.Order))
            best = it;
    }
    return best;
}

void TSimulatedLoop::Deliver(std::uint64_t timerId) {
    auto it = timers_.find(timerId);
    if (it == timers_.end() || it->second.Due > now_)
        return;
    TCounting& counting = it->second;
    counting.Due = NextTickDue(counting.Due, now_, counting.Timer->Interval());
    // A copy: the handler may replace its timer's handler or destroy the timer.
    TTimer::THandler handler = counting.Timer->OnTimer;
    if (handler)
        handler();
}

void TSimulatedLoop::ProcessMessages() {
    std::size_t queued;
    {
        std::lock_guard<std::mutex> guard(postedLock_);
        queued = posted_.size();
    }
    while (queued-- > 0 && RunOnePosted()) {
    }
    // Only what is due now, each timer once, so that a handler calling this
    // in a loop cannot be held in it forever.
    std::vector<std::pair<TCounting, std::uint64_t>> due;
    for (const auto& [id, counting] : timers_)
        if (counting.Due <= now_)
            due.emplace_back(counting, id);
    std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
        return a.first.Due != b.first.Due ? a.first.Due < b.first.Due : a.first.Order < b.first.Order;
    });
    for (const auto& entry : due)
        Deliver(entry.second);
}

void TSimulatedLoop::RunFor(milliseconds duration) {
    const TTimePoint end = now_ + duration;
    for (;;) {
        if (RunOnePosted())
            continue;
        auto next = EarliestTimer();
        if (next == timers_.end() || next->second.Due > end)
            break;
        now_ = std::max(now_, next->second.Due);
        Deliver(next->first);
    }
    now_ = std::max(now_, end);
}

bool TSimulatedLoop::RunUntil(const std::function<bool()>& condition, milliseconds limit) {
    const TTimePoint end = now_ + limit;
    while (!condition()) {
        if (RunOnePosted())
            continue;
        auto next = EarliestTimer();
        if (next == timers_.end() || next->second.Due > end) {
            now_ = std::max(now_, end);
            return condition();
        }
        now_ = std::max(now_, next->second.Due);
        Deliver(next->first);
    }
    return true;
}
