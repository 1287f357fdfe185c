#include "protocol/GuessLimiter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vox {

std::string GuessKey(const std::string& address) {
    in6_addr v6{};
    if (address.find(':') == std::string::npos || inet_pton(AF_INET6, address.c_str(), &v6) != 1) {
        return address;
    }
    std::memset(v6.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &v6, text, sizeof text);
    return std::string(text) + "/64";
}

bool TGuessLimiter::Blocked(const std::string& address, std::uint64_t nowMs) {
    std::lock_guard lock(FLock);
    const auto it = FEntries.find(GuessKey(address));
    return it != FEntries.end() && nowMs < it->second.BlockedUntil;
}

std::uint64_t TGuessLimiter::Failed(const std::string& address, std::uint64_t nowMs) {
    std::lock_guard lock(FLock);
    const std::string key = GuessKey(address);
    if (FEntries.find(key) == FEntries.end() && FEntries.size() >= FLimits.AddressesKept) {
        Forget(nowMs);
    }
    TEntry& entry = FEntries[key];
    entry.LastSeen = nowMs;
    if (nowMs < entry.BlockedUntil) {
        return 0;  // already blocked: refused unchecked, nothing more to count
    }
    while (!entry.Failures.empty() && nowMs - entry.Failures.front() >= FLimits.WindowMs) {
        entry.Failures.pop_front();
    }
    entry.Failures.push_back(nowMs);
    if (static_cast<int>(entry.Failures.size()) < FLimits.Failures) {
        return 0;
    }
    std::uint64_t length = FLimits.FirstBlockMs;
    for (int i = 0; i < entry.Blocks && length < FLimits.LongestBlockMs; ++i) {
        length *= 2;
    }
    length = std::min(length, FLimits.LongestBlockMs);
    entry.Failures.clear();
    entry.BlockedUntil = nowMs + length;
    ++entry.Blocks;
    return length;
}

void TGuessLimiter::Succeeded(const std::string& address) {
    std::lock_guard lock(FLock);
    FEntries.erase(GuessKey(address));
}

std::size_t TGuessLimiter::AddressCount() const {
    std::lock_guard lock(FLock);
    return FEntries.size();
}

void TGuessLimiter::Forget(std::uint64_t nowMs) {
    // First whatever is neither blocked nor counting any more; then, if still full, the
    // address heard from longest ago.
    for (auto it = FEntries.begin(); it != FEntries.end();) {
        const TEntry& entry = it->second;
        const bool quiet =
            nowMs >= entry.BlockedUntil &&
            (entry.Failures.empty() || nowMs - entry.Failures.back() >= FLimits.WindowMs) &&
            nowMs - entry.LastSeen >= FLimits.LongestBlockMs;
        it = quiet ? FEntries.erase(it) : std::next(it);
    }
    if (FEntries.size() >= FLimits.AddressesKept) {
        const auto oldest = std::min_element(
            FEntries.begin(), FEntries.end(),
            [](const auto& a, const auto& b) { return a.second.LastSeen < b.second.LastSeen; });
        FEntries.erase(oldest);
    }
}

std::uint64_t SteadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace vox
