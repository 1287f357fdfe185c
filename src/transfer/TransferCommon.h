// Pieces the two transfer threads share.
#pragma once

#include <cstdint>
#include <optional>

#include "net/SocketError.h"
#include "transfer/TransferView.h"

namespace vox {
class TCustomWinSocket;

// How a transfer ended, either way.
enum class TTransferOutcome {
    Completed,
    Failed,
    PartnerStopped,
    TimedOut,
    Interrupted,
    KeyRefused
};
}  // namespace vox

namespace vox::transfer_detail {

inline constexpr int kAckBytes = 8;

// The running count as it travels: signed 64-bit, little-endian.
inline void EncodeAck(std::int64_t count, unsigned char (&out)[kAckBytes]) {
    const auto value = static_cast<std::uint64_t>(count);
    for (int i = 0; i < kAckBytes; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline std::int64_t DecodeAck(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int i = kAckBytes - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return static_cast<std::int64_t>(value);
}

// How long one wait for data may take: the socket timeout, cut short where the idle limit
// (counted from idleMs already passed) comes first; at least 1 ms.
inline std::uint32_t WaitSlice(std::uint32_t socketTimeoutMs, std::uint32_t idleLimitMs,
                               std::uint32_t idleMs) {
    const std::uint32_t left = idleMs < idleLimitMs ? idleLimitMs - idleMs : 0;
    const std::uint32_t slice = left < socketTimeoutMs ? left : socketTimeoutMs;
    return slice > 0 ? slice : 1;
}

// True for a socket failure that means the other end has gone away.
bool PeerWentAway(const ESocketError& error);

// Starts TLS on the data connection when security asks for it, as the server (the receiving
// end) or the client (the sending end), and checks the partner's key. Nothing when the
// connection can carry the file: in the clear when no encryption is asked for, or encrypted
// with the conversation's key. Otherwise how the transfer ends, the connection closed:
// PartnerStopped (closed or reset during the handshake), TimedOut (no handshake within
// timeoutMs), KeyRefused (another key than the conversation's), Failed (anything else).
std::optional<TTransferOutcome> StartDataTls(TCustomWinSocket& socket,
                                             const TDataSecurity& security, bool asServer,
                                             std::uint32_t timeoutMs);

// Applies the progress rule: the bar moves when the count has passed the threshold, which then
// advances in steps of kProgressStepBytes, and not more often than intervalMs.
class TProgressGate {
  public:
    explicit TProgressGate(std::uint32_t intervalMs) : intervalMs_(intervalMs) {}
    // True when the bar should now show count. A step that comes too soon after the last one
    // shown is held back instead.
    bool Pass(std::int64_t count);
    // Whether a step is held back; the caller then waits no longer than IntervalMs().
    bool HasHeld() const { return held_ >= 0; }
    std::uint32_t IntervalMs() const { return intervalMs_; }
    // The held-back step, once the interval has passed: a stream that pauses must not leave
    // the bar behind for as long as the pause lasts.
    bool TakeHeld(std::int64_t& count);

  private:
    bool IntervalPassed(std::uint32_t now) const;

    std::uint32_t intervalMs_;
    std::int64_t threshold_ = kProgressStepBytes;
    std::uint32_t lastShown_ = 0;
    bool shown_ = false;
    std::int64_t held_ = -1;
};

// The sending end's window: the bytes it may keep unacknowledged. It starts at initial and
// follows twice the bandwidth-delay product measured from the acknowledgements: the rate at
// which bytes were acknowledged over one round trip, times the shortest round trip seen. Twice,
// so that the window is never what holds the rate down while the measurement catches up; a
// window larger than the path needs only fills the socket buffers, which the system bounds.
// It never shrinks, and never grows past maximum (nor at all when maximum <= initial).
// Times are microseconds on any steady clock.
class TSendWindow {
  public:
    TSendWindow(std::int64_t initial, std::int64_t maximum);

    std::int64_t Bytes() const { return window_; }
    // The bytes up to sentEnd have been handed to the connection.
    void Sent(std::int64_t sentEnd, std::int64_t nowUs);
    // The receiver has now acknowledged acked bytes.
    void Acked(std::int64_t acked, std::int64_t nowUs);
    // The shortest round trip measured so far; -1 before the first.
    std::int64_t MinRoundTripUs() const { return minRttUs_; }

  private:
    std::int64_t window_;
    const std::int64_t maximum_;
    std::int64_t acked_ = 0;
    // One measurement at a time: from the moment sampleEnd_ was sent until it is acknowledged.
    bool sampling_ = false;
    std::int64_t sampleEnd_ = 0;
    std::int64_t sampleStartUs_ = 0;
    std::int64_t sampleStartAcked_ = 0;
    std::int64_t minRttUs_ = -1;
};

}  // namespace vox::transfer_detail
