#pragma once
// The worker thread of the HTTP component and the hand-over of its calls to
// the main thread. Every transfer runs on a fresh std::thread; every call into
// component code runs on the main thread through TMessageLoop::Post while the
// worker waits for it. Starting or discarding never waits for the previous
// thread: each call checks, under the one lock, that its worker is still the
// current one, so a discarded worker never delivers again. What a worker
// touches is shared-owned, so it never reaches a freed component.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MessageLoop.h"

// The seven steps of a thread's priority. Only lowering is applied (as a
// nice value); the higher steps run as normal.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The nice value a priority step runs at.
int NiceValueOf(TThreadPriority priority);

// State one component shares with every worker it ever started.
struct TauThreadShared {
    explicit TauThreadShared(TMessageLoop& loop) : Loop(&loop) {}
    std::mutex Lock;
    std::condition_variable Signal;
    std::uint64_t Current = 0; // id of the worker that may deliver; 0: none
    bool Destroying = false;
    TMessageLoop* Loop;
};

class TauEventThread;

// What the execute routine sees of its worker.
class TauWorker {
public:
    TauWorker(std::shared_ptr<TauThreadShared> shared, std::uint64_t id) : shared_(std::move(shared)), id_(id) {}

    // Runs `routine` on the main thread and returns when it has run: true, or
    // false when it did not run (the worker was discarded or its component is
    // going) or raised an error (reported through the error reporting).
    bool CallOnMainThread(std::function<void()> routine);
    // Queues `routine` for the main thread without waiting; it runs only while
    // this worker is still current.
    void PostToMainThread(std::function<void()> routine);
    // Whether this worker may still deliver.
    bool IsCurrent() const;

private:
    std::shared_ptr<TauThreadShared> shared_;
    std::uint64_t id_;
};

struct TauThreadRoutines {
    // On the worker thread.
    std::function<void(TauWorker&)> Execute;
    // On the main thread, with the text of an error the execute routine raised.
    std::function<void(const std::string& message)> Error;
    // On the main thread, after the execute routine has ended.
    std::function<void()> Completion;
    // On the main thread, after a main-thread call raised an error.
    std::function<void()> CallFailed;
};

// One operating-system thread and its flags.
class TauEventThread {
public:
    TauEventThread(std::shared_ptr<TauThreadShared> shared, std::uint64_t id, TauThreadRoutines routines,
                   TThreadPriority priority);
    ~TauEventThread();
    TauEventThread(const TauEventThread&) = delete;
    TauEventThread& operator=(const TauEventThread&) = delete;

    void Resume(const std::shared_ptr<TauEventThread>& self);
    bool Busy() const { return busy_; }
    // Whether the thread has left its body (set under the shared lock).
    bool Finished() const { return finished_; }
    // Joins a finished thread, detaches one still running.
    void Release();

private:
    void Body();

    std::shared_ptr<TauThreadShared> shared_;
    std::uint64_t id_;
    TauThreadRoutines routines_;
    TThreadPriority priority_;
    std::atomic<bool> busy_{false};
    bool finished_ = false; // guarded by shared_->Lock
    std::thread thread_;
};

// Owns the current worker and restarts it per transfer.
class TauCustomThread {
public:
    // How long destruction waits for discarded workers to end.
    static constexpr std::chrono::milliseconds DestroyWait{2000};

    explicit TauCustomThread(TMessageLoop& loop);
    ~TauCustomThread();
    TauCustomThread(const TauCustomThread&) = delete;
    TauCustomThread& operator=(const TauCustomThread&) = delete;

    // Routines copied into every new worker.
    TauThreadRoutines Routines;
    TThreadPriority Priority = tpNormal;

    // Discards the current worker (without waiting) and starts a new one.
    bool Start();
    // The current worker will deliver nothing more; it is not waited for.
    void Discard();
    // The current worker runs its execute routine.
    bool Busy() const;

    TMessageLoop& Loop() const { return *shared_->Loop; }

private:
    void Retire();

    std::shared_ptr<TauThreadShared> shared_;
    std::uint64_t lastId_ = 0;
    std::shared_ptr<TauEventThread> current_;
    std::vector<std::shared_ptr<TauEventThread>> discarded_;
};
