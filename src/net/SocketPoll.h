// Readiness waits with a deadline, for the socket layer's own use.
#pragma once

#include <chrono>
#include <cstdint>

namespace vox {

inline constexpr std::uint32_t kNoDeadline = UINT32_MAX;

class TDeadline {
  public:
    // kNoDeadline: waits without limit.
    explicit TDeadline(std::uint32_t ms);
    // Milliseconds left for poll(): -1 without limit, 0 when passed (rounded up otherwise).
    int RemainingMs() const;
    bool Passed() const { return RemainingMs() == 0; }

  private:
    bool unlimited_;
    std::chrono::steady_clock::time_point end_;
};

// poll() on one descriptor until it reports any of events (or an error/hang-up), the deadline
// passes, or a signal-free error occurs. Returns the reported events, 0 on timeout, -1 with
// errno set on failure. EINTR is retried with the time left.
int PollOne(int fd, short events, const TDeadline& deadline);

}  // namespace vox
