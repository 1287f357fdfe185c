#include "transfer/TransferCommon.h"

#include <cerrno>

#include "platform/Clock.h"

namespace vox::transfer_detail {

bool PeerWentAway(const ESocketError& error) {
    const int code = error.ErrorCode();
    return code == ECONNRESET || code == EPIPE || code == ECONNABORTED;
}

bool TProgressGate::Pass(std::int64_t count) {
    if (count <= threshold_) {
        return false;
    }
    while (threshold_ < count) {
        threshold_ += kProgressStepBytes;
    }
    const std::uint32_t now = TimeGetTime();
    if (!IntervalPassed(now)) {
        held_ = count;
        return false;
    }
    shown_ = true;
    lastShown_ = now;
    held_ = -1;
    return true;
}

bool TProgressGate::TakeHeld(std::int64_t& count) {
    const std::uint32_t now = TimeGetTime();
    if (held_ < 0 || !IntervalPassed(now)) {
        return false;
    }
    count = held_;
    held_ = -1;
    lastShown_ = now;
    return true;
}

bool TProgressGate::IntervalPassed(std::uint32_t now) const {
    return !shown_ || intervalMs_ == 0 || ElapsedMs(lastShown_, now) >= intervalMs_;
}

}  // namespace vox::transfer_detail
