#include "transfer/TransferViewLink.h"

namespace vox {

namespace {

// The link whose report the current thread is delivering, if any.
thread_local const TTransferViewLink* tDelivering = nullptr;

}  // namespace

void TTransferViewLink::MarkStarted(std::string interruptedLine) {
    std::lock_guard lock(mutex_);
    started_ = true;
    interruptedLine_ = std::move(interruptedLine);
}

bool TTransferViewLink::Started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

void TTransferViewLink::Deliver(const std::function<void(ITransferView&)>& show) {
    // The lock is held while the view runs, so that Detach() on another thread cannot return
    // while a report is still on its way into the window.
    std::lock_guard lock(mutex_);
    if (detached_) {
        return;
    }
    const TTransferViewLink* outer = tDelivering;
    tDelivering = this;
    try {
        show(view_);
    } catch (...) {
        tDelivering = outer;
        throw;
    }
    tDelivering = outer;
}

bool TTransferViewLink::Seal(const std::string& logLine, const std::function<void()>& commit) {
    std::lock_guard lock(mutex_);
    if (detached_ || sealed_) {
        return false;
    }
    if (commit) {
        commit();
    }
    sealed_ = true;
    sealedLine_ = logLine;
    return true;
}

void TTransferViewLink::DeliverSealed(const std::function<void(ITransferView&)>& show) {
    Deliver([&](ITransferView& view) {
        reported_ = true;  // under the lock Deliver() holds
        show(view);
    });
}

std::string TTransferViewLink::Detach() {
    std::lock_guard lock(mutex_);
    if (detached_) {
        return {};
    }
    detached_ = true;
    if (!started_) {
        return {};
    }
    if (!sealed_) {
        return interruptedLine_;
    }
    return reported_ ? std::string() : sealedLine_;
}

bool TTransferViewLink::Detached() const {
    std::lock_guard lock(mutex_);
    return detached_;
}

bool TTransferViewLink::DeliveringOnThisThread() const {
    return tDelivering == this;
}

void TTransferViewLink::ShowFrom(TThread& thread, const std::function<void(ITransferView&)>& show) {
    try {
        thread.Synchronize([&] { Deliver(show); });
    } catch (...) {
    }
}

void TTransferViewLink::ShowSealedFrom(TThread& thread,
                                       const std::function<void(ITransferView&)>& show) {
    try {
        thread.Synchronize([&] { DeliverSealed(show); });
    } catch (...) {
    }
}

}  // namespace vox
