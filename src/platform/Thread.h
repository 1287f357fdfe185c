// Base class of the program's worker threads.
//
// A TThread is owned by whoever creates it; it never deletes itself. The creator sets the
// hooks and the priority, calls Start(), later Terminate() and WaitFor(), and then frees it.
//
// Destruction: a derived class must stop its thread (Terminate() plus whatever wakes it, then
// WaitFor()) in its own destructor or before it is destroyed, because Execute() uses the
// derived object. The base destructor only guards against a running std::thread by terminating
// and joining it as a last resort. Destroying a thread from inside itself is a fault: the
// process stops with a message.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace vox {

class TSynchronizer;

// Scheduling priority. Raising a thread above normal needs privileges on Linux, so the levels
// above tpNormal are accepted and remembered but have no effect; the levels below normal lower
// the thread's nice value where the system allows it. Treat the setting as advisory.
enum class TThreadPriority {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

class TThread {
  public:
    // sync: the synchronizer onto whose main thread Synchronize() and the end notification go;
    // without one they run on the calling thread.
    explicit TThread(TSynchronizer* sync = nullptr);
    virtual ~TThread();

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the thread. A second call does nothing.
    void Start();
    bool Started() const { return started_.load(); }

    // Asks Execute() to stop: sets Terminated() and calls TerminateRequested() to wake it.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }

    // True once Execute() has returned and the end notification has run.
    bool Finished() const { return finished_.load(); }

    // Waits until the thread has finished and joins it. On the synchronizer's main thread it
    // keeps running the calls that threads synchronise meanwhile (the end notification of this
    // thread included). Returns at once when the thread was never started or when called on
    // the thread itself. Several threads may wait at once.
    void WaitFor();

    // Runs fn on the synchronizer's main thread and waits for it (at once without one).
    void Synchronize(std::function<void()> fn);

    TSynchronizer* Synchronizer() const { return sync_; }

    // True when called on this thread.
    bool IsCurrentThread() const { return threadId_.load() == std::this_thread::get_id(); }

    // The system's id of the thread (gettid()) while it runs; 0 before it has started running
    // and once it has finished.
    int SystemThreadId() const;

    void SetPriority(TThreadPriority priority);
    TThreadPriority Priority() const { return priority_.load(); }

    // The exception that escaped Execute(), if any; valid once Finished().
    std::exception_ptr FatalException() const;

    // Hooks; set them before Start().
    // Runs through Synchronize() after Execute() has returned.
    std::function<void()> OnTerminate;
    // Runs on the thread itself when an exception escapes Execute(); the exception never goes
    // further. Exceptions thrown by the hook are dropped.
    std::function<void(std::exception_ptr)> OnException;

  protected:
    virtual void Execute() = 0;
    // Called by Terminate() after the flag is set, on the calling thread: a derived class wakes
    // its thread here when it sleeps on something of its own.
    virtual void TerminateRequested() {}
    // Called on the thread as its very last step, after Finished() became true. The object is
    // still alive (WaitFor() joins before anyone may free it).
    virtual void AfterFinish() {}

  private:
    void Run();
    void ApplyPriority();

    TSynchronizer* const sync_;
    std::atomic<bool> started_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::thread::id> threadId_{};
    std::atomic<TThreadPriority> priority_{TThreadPriority::tpNormal};
    int tid_ = 0;  // system thread id while running, for priority changes (under mutex_)

    mutable std::mutex mutex_;
    std::condition_variable finishedCv_;
    std::exception_ptr fatal_;
    std::mutex joinMutex_;
    std::thread thread_;
};

}  // namespace vox
