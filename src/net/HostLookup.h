// Host-name and address look-ups (IPv4 and IPv6).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Durations.h"

namespace vox {

// The addresses of a host name in the order a call tries them (net/Address.h's texts): the
// resolver's answer for any family among those this machine has addresses of
// (AI_ADDRCONFIG), its first IPv6 address first and then IPv4 and IPv6 in turn, as RFC 8305
// asks. A numeric address is its own answer without a look-up. A name the resolver does not
// know raises ESocketError with the resolver's text and API 'getaddrinfo'. Blocks the calling
// thread for as long as the system's resolver takes.
std::vector<std::string> LookupHostAddresses(const std::string& host);

// Puts addresses in the order a call tries them: IPv6 first, then the families in turn, each
// family's addresses in the order given; duplicates are dropped.
std::vector<std::string> InterleaveFamilies(const std::vector<std::string>& addresses);

// True for a dotted IPv4 address such as "127.0.0.1".
bool IsDottedAddress(const std::string& address);

// Reverse look-ups of callers' addresses on one thread of its own, which its owner joins.
//
// The system's resolver has no time limit of its own: a caller waits for its answer at most
// the time it gives and then goes on without a name, while the look-up finishes on the
// resolver's thread and its answer is dropped. Look-ups run one after the other; one whose
// caller has stopped waiting before it began is skipped, and beyond kResolverQueueLimit waiting
// look-ups a caller gets no name at once, so a flood of callers never piles work up here.
class THostResolver {
  public:
    static constexpr std::size_t kResolverQueueLimit = 16;

    // Starts the resolver's thread, which sleeps until a look-up is asked for.
    THostResolver();
    // Waits for a look-up in progress (the system's own time limit) and joins the thread.
    ~THostResolver();

    THostResolver(const THostResolver&) = delete;
    THostResolver& operator=(const THostResolver&) = delete;

    // The name found by a reverse look-up of a dotted IPv4 or an IPv6 address; empty when none
    // is found, when the text is no address, or when no answer came within timeoutMs (at once
    // for 0, which asks nothing). Thread-safe.
    std::string Reverse(const std::string& address, std::uint32_t timeoutMs = kReverseLookupMs);

  private:
    struct TRequest;
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;  // a request was queued, or the resolver is to stop
    std::condition_variable done_;  // a request was answered
    std::deque<std::shared_ptr<TRequest>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace vox
