// Slows the guessing of the pass phrase. After a few wrong pass phrases from one address within
// a window of time, calls from that address are refused for a while without their pass phrase
// being looked at, so that a right guess then gets the same answer as a wrong one. Each further
// block of the same address lasts twice as long as the one before, up to a limit.
// IPv6 callers are counted per /64 network, which one household or one server usually holds
// whole; every IPv4 address counts alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace vox {

inline constexpr int kGuessFailures = 5;                            // wrong ones before a block
inline constexpr std::uint64_t kGuessWindowMs = 10ULL * 60 * 1000;  // counted within this
inline constexpr std::uint64_t kFirstGuessBlockMs = 60ULL * 1000;
inline constexpr std::uint64_t kLongestGuessBlockMs = 60ULL * 60 * 1000;
// Addresses remembered at most; the quietest are forgotten first.
inline constexpr std::size_t kGuessAddressesKept = 4096;

struct TGuessLimits {
    int Failures = kGuessFailures;
    std::uint64_t WindowMs = kGuessWindowMs;
    std::uint64_t FirstBlockMs = kFirstGuessBlockMs;
    std::uint64_t LongestBlockMs = kLongestGuessBlockMs;
    std::size_t AddressesKept = kGuessAddressesKept;
};

// The key an address is counted under: a dotted IPv4 address as it is, the /64 network of an
// IPv6 one ("2001:db8:1:2::/64"), anything else as it is.
std::string GuessKey(const std::string& address);

// Thread-safe; times are milliseconds of a steady clock, given by the caller.
class TGuessLimiter {
  public:
    explicit TGuessLimiter(TGuessLimits limits = {}) : FLimits(limits) {}

    // Whether calls from the address are to be refused unchecked at nowMs.
    bool Blocked(const std::string& address, std::uint64_t nowMs);
    // A wrong pass phrase from the address. Returns how long the block it starts lasts, in
    // milliseconds, or 0 when it starts none.
    std::uint64_t Failed(const std::string& address, std::uint64_t nowMs);
    // A right pass phrase from the address: its count of wrong ones starts again.
    void Succeeded(const std::string& address);

    std::size_t AddressCount() const;

  private:
    struct TEntry {
        std::deque<std::uint64_t> Failures;  // within the window, oldest first
        std::uint64_t BlockedUntil = 0;
        int Blocks = 0;  // blocks so far: the next lasts 2^Blocks first blocks
        std::uint64_t LastSeen = 0;
    };
    void Forget(std::uint64_t nowMs);

    const TGuessLimits FLimits;
    mutable std::mutex FLock;
    std::map<std::string, TEntry> FEntries;
};

// Milliseconds of the steady clock, for the limiter.
std::uint64_t SteadyMs();

}  // namespace vox
