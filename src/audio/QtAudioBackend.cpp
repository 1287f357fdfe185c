#include "audio/QtAudioBackend.h"

#include <QMediaDevices>
#include <QObject>
#include <QTimer>

#include "audio/QtAudioDevice.h"

namespace vox {

// The watch over Qt's lists of devices: made, used and destroyed on the audio thread.
struct TQtAudioBackend::TWatch {
    std::unique_ptr<QMediaDevices> Devices;
    std::unique_ptr<QTimer> Debounce;
};

TQtAudioBackend::TQtAudioBackend()
    : FThread(StartQtAudioThread()), FChoice(std::make_shared<TQtDeviceChoice>()) {}

TQtAudioBackend::~TQtAudioBackend() {
    if (FWatch && FThread) {
        // Qt objects end on the thread they live on.
        CallOnQtAudioThread(
            *FThread,
            [watch = FWatch] {
                watch->Debounce.reset();
                watch->Devices.reset();
            },
            kQtAudioCallTimeoutMs);
    }
}

bool TQtAudioBackend::Available() {
    const TQtAudioFormatInfo info = QtAudioFormatInfo(FThread.get(), kVoiceFormat);
    return info.HasInput || info.HasOutput;
}

std::unique_ptr<TAudioInput> TQtAudioBackend::MakeInput() {
    auto input = std::make_unique<TQtAudioInput>(FThread);
    input->SetChoice(FChoice);
    return input;
}

std::unique_ptr<TAudioOutput> TQtAudioBackend::MakeOutput() {
    auto output = std::make_unique<TQtAudioOutput>(FThread);
    output->SetChoice(FChoice);
    return output;
}

std::vector<TAudioDeviceInfo> TQtAudioBackend::Devices(TAudioDirection Direction) {
    return QtAudioDevices(FThread.get(), Direction).value_or(std::vector<TAudioDeviceInfo>{});
}

std::optional<std::vector<TAudioDeviceInfo>> TQtAudioBackend::DevicesWithin(
    TAudioDirection Direction, std::uint32_t WaitMs) {
    return QtAudioDevices(FThread.get(), Direction, WaitMs);
}

void TQtAudioBackend::ChooseDevice(TAudioDirection Direction, const std::string& Id) {
    std::lock_guard lock(FChoice->Lock);
    (Direction == TAudioDirection::Input ? FChoice->InputId : FChoice->OutputId) = Id;
}

void TQtAudioBackend::SetDeviceEvents(const TDeviceEvent& OnEvent) {
    {
        std::lock_guard lock(FChoice->Lock);
        FChoice->OnEvent = OnEvent;
    }
    if (!FThread || FWatch) {
        return;
    }
    FWatch = std::make_shared<TWatch>();
    CallOnQtAudioThread(
        *FThread,
        [watch = FWatch, choice = FChoice] {
            watch->Devices = std::make_unique<QMediaDevices>();
            watch->Debounce = std::make_unique<QTimer>();
            watch->Debounce->setSingleShot(true);
            watch->Debounce->setInterval(kQtDeviceListDebounceMs);
            QTimer* debounce = watch->Debounce.get();
            QObject::connect(debounce, &QTimer::timeout, debounce, [choice] {
                std::function<void(const std::string&)> onEvent;
                {
                    std::lock_guard lock(choice->Lock);
                    onEvent = choice->OnEvent;
                }
                if (onEvent) {
                    onEvent(std::string());
                }
            });
            const auto changed = [debounce] { debounce->start(); };
            QObject::connect(watch->Devices.get(), &QMediaDevices::audioInputsChanged, debounce,
                             changed);
            QObject::connect(watch->Devices.get(), &QMediaDevices::audioOutputsChanged, debounce,
                             changed);
        },
        kQtAudioCallTimeoutMs);
}

}  // namespace vox
