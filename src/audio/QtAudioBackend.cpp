#include "audio/QtAudioBackend.h"

#include "audio/QtAudioDevice.h"

namespace vox {

bool TQtAudioBackend::Available() {
    const TQtAudioFormatInfo info = QtAudioFormatInfo(kVoiceFormat);
    return info.HasInput || info.HasOutput;
}

std::unique_ptr<TAudioInput> TQtAudioBackend::MakeInput() {
    return std::make_unique<TQtAudioInput>();
}

std::unique_ptr<TAudioOutput> TQtAudioBackend::MakeOutput() {
    return std::make_unique<TQtAudioOutput>();
}

}  // namespace vox
