#include "net/SocketPoll.h"

#include <poll.h>

#include <cerrno>
#include <climits>

namespace vox {

TDeadline::TDeadline(std::uint32_t ms)
    : unlimited_(ms == kNoDeadline),
      end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}

int TDeadline::RemainingMs() const {
    if (unlimited_) {
        return -1;
    }
    const auto left = end_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    // Rounded up, so a wait never ends before the deadline.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int PollOne(int fd, short events, const TDeadline& deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int rc = ::poll(&entry, 1, deadline.RemainingMs());
        if (rc > 0) {
            return entry.revents != 0 ? entry.revents : events;
        }
        if (rc == 0) {
            if (deadline.Passed()) {
                return 0;
            }
            continue;  // woke a little early
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

}  // namespace vox
