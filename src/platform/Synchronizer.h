// Synchronous calls from worker threads onto the user-interface ("main") thread.
//
// The object is created on the thread that plays the user interface. A worker hands it a
// function with Synchronize() and blocks until the main thread has run it; the main thread runs
// queued calls whenever it calls CheckSynchronize() (a GUI does so from the event that the wake
// hook posts) and while it waits in WaitUntil(). No toolkit is involved, so the core runs and is
// tested without one.
//
// Lifetime: destroy the synchronizer only after every thread that may call Synchronize() on it
// has ended.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Durations.h"

namespace vox {

class TSynchronizer {
  public:
    // The calling thread becomes the main thread.
    TSynchronizer();
    ~TSynchronizer();

    TSynchronizer(const TSynchronizer&) = delete;
    TSynchronizer& operator=(const TSynchronizer&) = delete;

    bool IsMainThread() const;

    // Called (on the worker) every time a call is queued; a GUI posts an event from it whose
    // handler calls CheckSynchronize(). May be set from any thread.
    void SetWakeMainThread(std::function<void()> wake);

    // On the main thread runs fn at once. On any other thread queues fn, wakes the main thread
    // and blocks until the main thread has run it. An exception thrown by fn is rethrown here.
    void Synchronize(std::function<void()> fn);

    // Main thread only (std::logic_error otherwise). Runs every queued call, one after the
    // other; when none is queued, waits up to waitMs for one (or for Wake()). Returns whether
    // any call ran. Calls may nest: a call may itself pump (a modal dialog does).
    bool CheckSynchronize(std::uint32_t waitMs = 0);

    // Returns once done() is true. On the main thread it keeps running queued calls meanwhile
    // (checking done() at least every pollMs), so a main thread that waits for a worker cannot
    // deadlock against that worker's Synchronize(). On other threads it just waits, also
    // checking done() every pollMs. Wake() makes it check at once.
    void WaitUntil(const std::function<bool()>& done, std::uint32_t pollMs = kIdlePollMs);

    // Wakes WaitUntil() and a CheckSynchronize() that waits, on any thread. Threads call it
    // when they finish so that a main thread waiting for them notices at once.
    void Wake();

    // Number of calls queued and not yet taken by the main thread.
    std::size_t PendingCount() const;

  private:
    struct TCall;
    bool RunOne();
    void CallWakeHook();

    const std::thread::id mainThread_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;  // a call was queued, or Wake()
    std::condition_variable done_;    // a call has run
    std::deque<std::shared_ptr<TCall>> queue_;
    std::uint64_t wakeCount_ = 0;
    std::mutex hookMutex_;
    std::function<void()> wake_;
};

}  // namespace vox
