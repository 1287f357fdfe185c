// The sound card through Qt Multimedia as the session sees it: whether there is a default
// input or output device, and the devices of QtAudioDevice.h.
#pragma once

#include <memory>

#include "voice/AudioDevice.h"

namespace vox {

class TQtAudioThread;
struct TQtDeviceChoice;

// Changes of the lists of devices this close together are told once.
inline constexpr int kQtDeviceListDebounceMs = 300;

// Owns the audio thread that every Qt audio object of its devices lives on: it ends when the
// backend and the devices it made are gone.
class TQtAudioBackend : public TAudioBackend {
  public:
    // Needs a QCoreApplication; without one there is no sound.
    TQtAudioBackend();
    ~TQtAudioBackend() override;

    TQtAudioBackend(const TQtAudioBackend&) = delete;
    TQtAudioBackend& operator=(const TQtAudioBackend&) = delete;

    // True when Qt lists a default input or output device for the program's voice format.
    bool Available() override;
    std::unique_ptr<TAudioInput> MakeInput() override;
    std::unique_ptr<TAudioOutput> MakeOutput() override;
    std::vector<TAudioDeviceInfo> Devices(TAudioDirection Direction) override;
    std::optional<std::vector<TAudioDeviceInfo>> DevicesWithin(TAudioDirection Direction,
                                                               std::uint32_t WaitMs) override;
    void ChooseDevice(TAudioDirection Direction, const std::string& Id) override;
    // Follows Qt's lists of devices; changes within DebounceMs of each other are told once.
    void SetDeviceEvents(const TDeviceEvent& OnEvent) override;

  private:
    struct TWatch;
    std::shared_ptr<TQtAudioThread> FThread;
    std::shared_ptr<TQtDeviceChoice> FChoice;
    std::shared_ptr<TWatch> FWatch;
};

}  // namespace vox
