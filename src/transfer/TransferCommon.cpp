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
    if (shown_ && intervalMs_ > 0 && ElapsedMs(lastShown_, now) < intervalMs_) {
        return false;
    }
    shown_ = true;
    lastShown_ = now;
    return true;
}

}  // namespace vox::transfer_detail
