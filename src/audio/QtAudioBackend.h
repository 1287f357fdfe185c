// The sound card through Qt Multimedia as the session sees it: whether there is a default
// input or output device, and the devices of QtAudioDevice.h.
#pragma once

#include <memory>

#include "voice/AudioDevice.h"

namespace vox {

class TQtAudioThread;

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

  private:
    std::shared_ptr<TQtAudioThread> FThread;
};

}  // namespace vox
