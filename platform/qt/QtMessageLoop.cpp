#include "platform/qt/QtMessageLoop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <thread>

#include "platform/ExceptionReport.h"

using std::chrono::milliseconds;

TQtMessageLoop::TQtMessageLoop() = default;

TQtMessageLoop::~TQtMessageLoop() = default;

const TClock& TQtMessageLoop::Clock() const {
    return SystemClock();
}

void TQtMessageLoop::StartTimer(TTimer& timer) {
    TCounting& counting = timers_[timer.Id()];
    counting.Timer = &timer;
    counting.Due = TSteady::now() + milliseconds(timer.Interval());
    if (!counting.Shot) {
        counting.Shot = std::make_unique<QTimer>(this);
        counting.Shot->setSingleShot(true);
        // Window timers keep to the millisecond; a coarse timer may slip by 5 %.
        counting.Shot->setTimerType(Qt::PreciseTimer);
        const std::uint64_t id = timer.Id();
        connect(counting.Shot.get(), &QTimer::timeout, this, [this, id] { Deliver(id); });
    }
    Arm(counting);
}

void TQtMessageLoop::StopTimer(TTimer& timer) {
    auto it = timers_.find(timer.Id());
    if (it == timers_.end())
        return;
    // The QTimer may be the one whose timeout is running this very call (a
    // handler that stops or destroys its timer): deleted once control is back
    // in the event loop, or with the loop.
    QTimer* shot = it->second.Shot.release();
    timers_.erase(it);
    if (shot) {
        shot->stop();
        shot->disconnect(this);
        shot->deleteLater();
    }
}

void TQtMessageLoop::Arm(TCounting& counting) {
    // Rounded up: a shot that wakes before the due moment only re-arms. QTimer
    // counts in int milliseconds, so a wait beyond about 24 days is cut (and re-armed).
    const auto wait = std::chrono::ceil<milliseconds>(counting.Due - TSteady::now()).count();
    counting.Shot->start(static_cast<int>(std::clamp<milliseconds::rep>(wait, 0, INT_MAX)));
}

void TQtMessageLoop::Deliver(std::uint64_t timerId) {
    auto it = timers_.find(timerId);
    if (it == timers_.end())
        return;
    TCounting& counting = it->second;
    const auto now = TSteady::now();
    if (counting.Due > now) { // woken early (or a long wait cut): wait for the rest
        Arm(counting);
        return;
    }
    counting.Due = NextTickDue(counting.Due, now, counting.Timer->Interval());
    Arm(counting);
    // A copy: the handler may replace its timer's handler or destroy the timer.
    const TTimer::THandler handler = counting.Timer->OnTimer;
    if (handler)
        RunReportingErrors(handler);
}

bool TQtMessageLoop::Counting(const TTimer& timer) const {
    return timers_.count(timer.Id()) != 0;
}

milliseconds TQtMessageLoop::Remaining(const TTimer& timer) const {
    auto it = timers_.find(timer.Id());
    if (it == timers_.end())
        return milliseconds::max();
    return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(it->second.Due - TSteady::now()));
}

void TQtMessageLoop::Sleep(std::uint32_t ms) {
    std::this_thread::sleep_for(milliseconds(ms));
}

std::size_t TQtMessageLoop::PostedCount() const {
    std::lock_guard<std::mutex> guard(postedLock_);
    return posted_.size();
}

void TQtMessageLoop::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(postedLock_);
        posted_.push_back(std::move(work));
    }
    // One wake-up per item, running the oldest item still queued: the order
    // stays that of posting even when ProcessMessages ran some already.
    QMetaObject::invokeMethod(this, [this] { RunPosted(1); }, Qt::QueuedConnection);
}

void TQtMessageLoop::RunPosted(std::size_t count) {
    while (count-- > 0) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> guard(postedLock_);
            if (posted_.empty())
                return;
            work = std::move(posted_.front());
            posted_.pop_front();
        }
        if (work)
            RunReportingErrors(work);
    }
}

void TQtMessageLoop::ProcessMessages() {
    // Only what was queued when called, so a handler that calls this in a
    // loop while more work arrives is never held in it.
    RunPosted(PostedCount());
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}
