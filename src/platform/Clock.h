// The millisecond clock that time limits are measured with.
#pragma once

#include <cstdint>

namespace vox {

// Milliseconds of a monotonic clock; the count wraps at 2^32 (about every 49.7 days).
std::uint32_t TimeGetTime();

// Milliseconds from `start` to `now`, both TimeGetTime values; right across the wrap.
constexpr std::uint32_t ElapsedMs(std::uint32_t start, std::uint32_t now) {
    return now - start;  // unsigned arithmetic is modulo 2^32
}

}  // namespace vox
