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

std::vector<TAudioDeviceInfo> TAudioBackend::Devices(TAudioDirection) {
    return {};
}

std::optional<std::vector<TAudioDeviceInfo>> TAudioBackend::DevicesWithin(TAudioDirection Direction,
                                                                          std::uint32_t) {
    return Devices(Direction);
}

void TAudioBackend::ChooseDevice(TAudioDirection, const std::string&) {}

void TAudioBackend::SetDeviceEvents(const TDeviceEvent&) {}

const TAudioDeviceInfo* MatchDevice(const std::vector<TAudioDeviceInfo>& Devices,
                                    const std::string& Id, const std::string& Description) {
    if (!Id.empty()) {
        for (const auto& device : Devices) {
            if (device.Id == Id) {
                return &device;
            }
        }
    }
    if (!Description.empty()) {
        for (const auto& device : Devices) {
            if (device.Description == Description) {
                return &device;
            }
        }
    }
    return nullptr;
}

}  // namespace vox
