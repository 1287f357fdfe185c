#include "voice/AudioDevice.h"

namespace vox {

std::uint32_t BytesPerSecond(const TWaveFormat& Format) {
    if (Format.AvgBytesPerSec != 0) {
        return Format.AvgBytesPerSec;
    }
    return Format.SamplesPerSec * Format.BlockAlign;
}

std::uint32_t PlayTimeMs(const TWaveFormat& Format, std::int64_t Count) {
    const std::uint64_t rate = BytesPerSecond(Format);
    if (rate == 0 || Count <= 0) {
        return 0;
    }
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(Count) * 1000 + rate - 1) / rate);
}

}  // namespace vox
