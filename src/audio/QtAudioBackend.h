// The sound card through Qt Multimedia as the session sees it: whether there is a default
// input or output device, and the devices of QtAudioDevice.h.
#pragma once

#include <memory>

#include "voice/AudioDevice.h"

namespace vox {

class TQtAudioBackend : public TAudioBackend {
  public:
    // True when Qt lists a default input or output device for the program's voice format.
    bool Available() override;
    std::unique_ptr<TAudioInput> MakeInput() override;
    std::unique_ptr<TAudioOutput> MakeOutput() override;
};

}  // namespace vox
