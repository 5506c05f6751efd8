#include "upgrade/AuThread.h"

#include <sys/resource.h>
#include <unistd.h>

#include "platform/ExceptionReport.h"

int NiceValueOf(TThreadPriority priority) {
    switch (priority) {
    case tpIdle: return 19;
    case tpLowest: return 10;
    case tpLower: return 5;
    default: return 0;
    }
}

// ---------------------------------------------------------------- TauWorker

bool TauWorker::CallOnMainThread(std::function<void()> routine) {
    // Guarded by the shared lock. Once the main thread has started the
    // routine, the worker waits for its end even if it is discarded meanwhile:
    // the routine may refer to the worker's own variables.
    struct TSlot {
        bool Started = false;
        bool Done = false;
        bool Ran = false;
    };
    auto slot = std::make_shared<TSlot>();
    shared_->Loop->Post([shared = shared_, id = id_, slot, routine = std::move(routine)] {
        bool current;
        {
            std::lock_guard lock(shared->Lock);
            current = shared->Current == id && !shared->Destroying;
            slot->Started = current;
        }
        bool ran = false;
        if (current) {
            try {
                routine();
                ran = true;
            } catch (...) {
                HandleCurrentException();
            }
        }
        std::lock_guard lock(shared->Lock);
        slot->Done = true;
        slot->Ran = ran;
        shared->Signal.notify_all();
    });
    std::unique_lock lock(shared_->Lock);
    shared_->Signal.wait(lock, [&] { return slot->Done || (!slot->Started && (shared_->Current != id_ || shared_->Destroying));
    });
    return slot->Done && slot->Ran;
}

void TauWorker::PostToMainThread(std::function<void()> routine) {
    shared_->Loop->Post([shared = shared_, id = id_, routine = std::move(routine)] {
        {
            std::lock_guard lock(shared->Lock);
            if (shared->Current != id || shared->Destroying) return;
        }
        RunReportingErrors(routine);
    });
}

bool TauWorker::IsCurrent() const {
    std::lock_guard lock(shared_->Lock);
    return shared_->Current == id_ && !shared_->Destroying;
}

// ---------------------------------------------------------------- TauEventThread

TauEventThread::TauEventThread(std::shared_ptr<TauThreadShared> shared, std::uint64_t id, TauThreadRoutines routines,
                               TThreadPriority priority)
    : shared_(std::move(shared)), id_(id), routines_(std::move(routines)), priority_(priority) {}

TauEventThread::~TauEventThread() {
    if (thread_.joinable()) thread_.detach();
}

void TauEventThread::Resume(const std::shared_ptr<TauEventThread>& self) {
    busy_ = true; // from the start on, so a second start at once sees it running
    // The thread holds its own object: a discarded worker outlives its component.
    thread_ = std::thread([self] { self->Body(); });
}

void TauEventThread::Release() {
    if (!thread_.joinable()) return;
    bool finished;
    {
        std::lock_guard lock(shared_->Lock);
        finished = finished_;
    }
    if (finished)
        thread_.join();
    else
        thread_.detach();
}

void TauEventThread::Body() {
    const int nice = NiceValueOf(priority_);
    if (nice > 0) {
        const int now = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
        if (nice > now) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice);
    }
    TauWorker worker(shared_, id_);
    if (routines_.Execute && worker.IsCurrent()) {
        try {
            routines_.Execute(worker);
        } catch (const std::exception& e) {
            if (routines_.Error) {
                const std::string message = ExceptionMessage(e);
                worker.CallOnMainThread([this, message] { routines_.Error(message); });
            }
        } catch (...) {
            if (routines_.Error) worker.CallOnMainThread([this] { routines_.Error("Unknown error"); });
        }
    }
    busy_ = false;
    if (routines_.Completion) {
        const bool ran = worker.CallOnMainThread([this] { routines_.Completion(); });
        if (!ran && routines_.CallFailed && worker.IsCurrent())
            worker.CallOnMainThread([this] { routines_.CallFailed(); });
    }
    std::lock_guard lock(shared_->Lock);
    finished_ = true;
    shared_->Signal.notify_all();
}

// ---------------------------------------------------------------- TauCustomThread

TauCustomThread::TauCustomThread(TMessageLoop& loop) : shared_(std::make_shared<TauThreadShared>(loop)) {}

TauCustomThread::~TauCustomThread() {
    {
        std::lock_guard lock(shared_->Lock);
        shared_->Destroying = true;
        shared_->Current = 0;
        shared_->Signal.notify_all();
    }
    if (current_) discarded_.push_back(std::move(current_));
    const auto deadline = std::chrono::steady_clock::now() + DestroyWait;
    {
        std::unique_lock lock(shared_->Lock);
        shared_->Signal.wait_until(lock, deadline, [this] {
            for (const auto& worker : discarded_)
                if (!worker->Finished()) return false;
            return true;
        });
    }
    for (const auto& worker : discarded_) worker->Release();
}

void TauCustomThread::Retire() {
    {
        std::lock_guard lock(shared_->Lock);
        shared_->Current = ++lastId_; // no worker carries this id yet
        shared_->Signal.notify_all();
    }
    if (current_) discarded_.push_back(std::move(current_));
    // Threads that have ended are joined now, so they do not pile up.
    std::erase_if(discarded_, [this](const std::shared_ptr<TauEventThread>& worker) {
        bool finished;
        {
            std::lock_guard lock(shared_->Lock);
            finished = worker->Finished();
        }
        if (finished) worker->Release();
        return finished;
    });
}

bool TauCustomThread::Start() {
    Retire();
    current_ = std::make_shared<TauEventThread>(shared_, lastId_, Routines, Priority);
    current_->Resume(current_);
    return true;
}

void TauCustomThread::Discard() {
    Retire();
}

bool TauCustomThread::Busy() const {
    return current_ && current_->Busy();
}
