#include "transfer/TransferCommon.h"

#include <algorithm>
#include <cerrno>

#include "net/CustomWinSocket.h"
#include "net/Tls.h"
#include "platform/Clock.h"

namespace vox::transfer_detail {

bool PeerWentAway(const ESocketError& error) {
    const int code = error.ErrorCode();
    return code == ECONNRESET || code == EPIPE || code == ECONNABORTED;
}

std::optional<TTransferOutcome> StartDataTls(TCustomWinSocket& socket,
                                             const TDataSecurity& security, bool asServer,
                                             std::uint32_t timeoutMs) {
    if (!security.Encrypted()) {
        return std::nullopt;
    }
    TTransferOutcome ended = TTransferOutcome::Failed;
    switch (socket.StartTls(*security.Identity, asServer, timeoutMs)) {
        case TTlsOutcome::Established:
            if (socket.PeerFingerprint() == security.PartnerFingerprint) {
                return std::nullopt;
            }
            ended = TTransferOutcome::KeyRefused;
            break;
        case TTlsOutcome::PeerClosed:
            ended = TTransferOutcome::PartnerStopped;
            break;
        case TTlsOutcome::TimedOut:
            ended = TTransferOutcome::TimedOut;
            break;
        case TTlsOutcome::Failed:
            break;
    }
    socket.Close();
    return ended;
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

TSendWindow::TSendWindow(std::int64_t initial, std::int64_t maximum)
    : window_(std::max<std::int64_t>(initial, 1)), maximum_(maximum) {}

void TSendWindow::Sent(std::int64_t sentEnd, std::int64_t nowUs) {
    if (sampling_ || sentEnd <= acked_) {
        return;
    }
    sampling_ = true;
    sampleEnd_ = sentEnd;
    sampleStartUs_ = nowUs;
    sampleStartAcked_ = acked_;
}

void TSendWindow::Acked(std::int64_t acked, std::int64_t nowUs) {
    acked_ = std::max(acked_, acked);
    if (!sampling_ || acked_ < sampleEnd_) {
        return;
    }
    sampling_ = false;
    const std::int64_t rttUs = std::max<std::int64_t>(nowUs - sampleStartUs_, 1);
    minRttUs_ = minRttUs_ < 0 ? rttUs : std::min(minRttUs_, rttUs);
    if (maximum_ <= window_) {
        return;
    }
    // Bytes per microsecond times microseconds, in floating point: no overflow on fast links.
    const double rate =
        static_cast<double>(acked_ - sampleStartAcked_) / static_cast<double>(rttUs);
    const double wanted = 2.0 * rate * static_cast<double>(minRttUs_);
    if (wanted > static_cast<double>(window_)) {
        window_ =
            wanted >= static_cast<double>(maximum_) ? maximum_ : static_cast<std::int64_t>(wanted);
    }
}

}  // namespace vox::transfer_detail
