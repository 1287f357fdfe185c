#include "platform/Synchronizer.h"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>

namespace vox {

struct TSynchronizer::TCall {
    std::function<void()> fn;
    std::exception_ptr error;
    bool done = false;
};

TSynchronizer::TSynchronizer() : mainThread_(std::this_thread::get_id()) {}

TSynchronizer::~TSynchronizer() = default;

bool TSynchronizer::IsMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

void TSynchronizer::SetWakeMainThread(std::function<void()> wake) {
    std::lock_guard lock(hookMutex_);
    wake_ = std::move(wake);
}

void TSynchronizer::CallWakeHook() {
    // A copy, so the hook runs without the lock and may be replaced meanwhile.
    std::function<void()> wake;
    {
        std::lock_guard lock(hookMutex_);
        wake = wake_;
    }
    if (wake) {
        wake();
    }
}

void TSynchronizer::Synchronize(std::function<void()> fn) {
    if (!fn) {
        return;
    }
    if (IsMainThread()) {
        fn();
        return;
    }
    auto call = std::make_shared<TCall>();
    call->fn = std::move(fn);
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(call);
    }
    queued_.notify_all();
    CallWakeHook();
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return call->done; });
    }
    if (call->error) {
        std::rethrow_exception(call->error);
    }
}

bool TSynchronizer::RunOne() {
    std::shared_ptr<TCall> call;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) {
            return false;
        }
        call = std::move(queue_.front());
        queue_.pop_front();
    }
    std::exception_ptr error;
    try {
        call->fn();
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard lock(mutex_);
        call->error = std::move(error);
        call->done = true;
        // The waiting worker holds the last reference and frees the call (and the exception it
        // carries) itself, after it has seen the result.
        call.reset();
    }
    done_.notify_all();
    return true;
}

bool TSynchronizer::CheckSynchronize(std::uint32_t waitMs) {
    if (!IsMainThread()) {
        throw std::logic_error("CheckSynchronize called outside the main thread");
    }
    if (waitMs > 0) {
        std::unique_lock lock(mutex_);
        const std::uint64_t wakes = wakeCount_;
        queued_.wait_for(lock, std::chrono::milliseconds(waitMs),
                         [&] { return !queue_.empty() || wakeCount_ != wakes; });
    }
    bool ran = false;
    while (RunOne()) {
        ran = true;
    }
    return ran;
}

void TSynchronizer::WaitUntil(const std::function<bool()>& done, std::uint32_t pollMs) {
    if (pollMs == 0) {
        pollMs = 1;
    }
    const bool main = IsMainThread();
    for (;;) {
        // The wake count is read before done() so that a Wake() after the check is not missed.
        std::uint64_t wakes;
        {
            std::lock_guard lock(mutex_);
            wakes = wakeCount_;
        }
        if (done()) {
            return;
        }
        {
            std::unique_lock lock(mutex_);
            queued_.wait_for(lock, std::chrono::milliseconds(pollMs),
                             [&] { return wakeCount_ != wakes || (main && !queue_.empty()); });
        }
        if (main) {
            while (RunOne()) {
            }
        }
    }
}

void TSynchronizer::Wake() {
    {
        std::lock_guard lock(mutex_);
        ++wakeCount_;
    }
    queued_.notify_all();
}

std::size_t TSynchronizer::PendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

}  // namespace vox
