#include "platform/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/Synchronizer.h"

namespace vox {

namespace {

// Nice value per priority; levels at or above normal map to 0.
int NiceValue(TThreadPriority priority) {
    switch (priority) {
        case TThreadPriority::tpIdle:
            return 19;
        case TThreadPriority::tpLowest:
            return 10;
        case TThreadPriority::tpLower:
            return 5;
        default:
            return 0;
    }
}

}  // namespace

TThread::TThread(TSynchronizer* sync) : sync_(sync) {}

TThread::~TThread() {
    if (IsCurrentThread()) {
        // The thread would go on running in a freed object: a fault of the owner, stopped here
        // where it can be seen rather than later at random.
        (void)std::fputs("TThread destroyed from inside its own thread\n", stderr);
        std::abort();
    }
    // Last resort: a derived class should have stopped the thread already.
    if (thread_.joinable()) {
        terminated_.store(true);
        WaitFor();
    }
}

void TThread::Start() {
    std::lock_guard lock(joinMutex_);
    if (started_.load()) {
        return;
    }
    thread_ = std::thread([this] { Run(); });
    started_.store(true);
}

void TThread::Terminate() {
    terminated_.store(true);
    TerminateRequested();
}

void TThread::Run() {
    threadId_.store(std::this_thread::get_id());
    {
        std::lock_guard lock(mutex_);
        tid_ = static_cast<int>(gettid());
    }
    ApplyPriority();
    std::exception_ptr fatal;
    try {
        Execute();
    } catch (...) {
        fatal = std::current_exception();
    }
    if (fatal) {
        {
            std::lock_guard lock(mutex_);
            fatal_ = fatal;
        }
        if (OnException) {
            try {
                OnException(fatal);
            } catch (...) {
            }
        }
    }
    if (OnTerminate) {
        try {
            Synchronize(OnTerminate);
        } catch (...) {
        }
    }
    {
        std::lock_guard lock(mutex_);
        tid_ = 0;
        finished_.store(true);
    }
    finishedCv_.notify_all();
    if (sync_ != nullptr) {
        sync_->Wake();
    }
    AfterFinish();
}

void TThread::WaitFor() {
    if (!started_.load()) {
        return;
    }
    if (IsCurrentThread()) {
        return;
    }
    if (sync_ != nullptr && sync_->IsMainThread()) {
        sync_->WaitUntil([this] { return Finished(); });
    } else {
        std::unique_lock lock(mutex_);
        finishedCv_.wait(lock, [this] { return finished_.load(); });
    }
    std::lock_guard lock(joinMutex_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TThread::Synchronize(std::function<void()> fn) {
    if (sync_ != nullptr) {
        sync_->Synchronize(std::move(fn));
    } else if (fn) {
        fn();
    }
}

void TThread::SetPriority(TThreadPriority priority) {
    priority_.store(priority);
    ApplyPriority();
}

void TThread::ApplyPriority() {
    // Under the lock, so the thread cannot end (and its id be reused) meanwhile.
    std::lock_guard lock(mutex_);
    const int tid = tid_;
    if (tid == 0) {
        return;  // applied when the thread starts
    }
    const int nice = NiceValue(priority_.load());
    // Going back up towards 0 may be refused without privileges; the setting is advisory.
    if (getpriority(PRIO_PROCESS, static_cast<id_t>(tid)) != nice) {
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
    }
}

int TThread::SystemThreadId() const {
    std::lock_guard lock(mutex_);
    return tid_;
}

std::exception_ptr TThread::FatalException() const {
    std::lock_guard lock(mutex_);
    return fatal_;
}

}  // namespace vox
