#include "audio/QtAudioBackend.h"

#include "audio/QtAudioDevice.h"

namespace vox {

TQtAudioBackend::TQtAudioBackend() : FThread(StartQtAudioThread()) {}

TQtAudioBackend::~TQtAudioBackend() = default;

bool TQtAudioBackend::Available() {
    const TQtAudioFormatInfo info = QtAudioFormatInfo(FThread.get(), kVoiceFormat);
    return info.HasInput || info.HasOutput;
}

std::unique_ptr<TAudioInput> TQtAudioBackend::MakeInput() {
    return std::make_unique<TQtAudioInput>(FThread);
}

std::unique_ptr<TAudioOutput> TQtAudioBackend::MakeOutput() {
    return std::make_unique<TQtAudioOutput>(FThread);
}

}  // namespace vox
