#include "session/Session.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "net/Tls.h"
#include "platform/Cp932.h"
#include "protocol/ClientThread.h"
#include "protocol/ConnectionCore.h"
#include "protocol/ServerThread.h"
#include "session/SettingsTrust.h"
#include "settings/Settings.h"
#include "voice/NoAudioDevice.h"
#include "voice/Sound.h"
#include "voice/VoiceThreads.h"

namespace vox {

namespace {

// A remembered text as it may be shown: no control characters, at most kShownChars
// characters (UTF-8 sequences kept whole).
std::string Shown(const std::string& Text) {
    constexpr std::size_t kShownChars = 40;
    std::string out;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < Text.size();) {
        const auto lead = static_cast<unsigned char>(Text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        length = std::min(length, Text.size() - i);
        if (lead >= 0x20 && lead != 0x7F) {
            if (chars == kShownChars) {
                out += "…";
                break;
            }
            out.append(Text, i, length);
            ++chars;
        }
        i += length;
    }
    return out;
}

}  // namespace

TDeviceDecision DecideDevice(TAudioDirection Direction,
                             const std::vector<TAudioDeviceInfo>& Devices, const std::string& Id,
                             const std::string& Description) {
    const std::string kind = Direction == TAudioDirection::Input ? "マイク" : "スピーカー";
    std::string fallback;
    for (const auto& device : Devices) {
        if (device.IsDefault) {
            fallback = device.Description;
        }
    }
    const auto asDefault = [&] {
        return fallback.empty() ? std::string("システムの既定")
                                : "システムの既定（" + fallback + "）";
    };
    TDeviceDecision decision;
    if (const TAudioDeviceInfo* match = MatchDevice(Devices, Id, Description)) {
        decision.Id = match->Id;
        decision.Line = kind + ": " + match->Description + " を使います。";
    } else if (Id.empty() && Description.empty()) {
        decision.Line = kind + ": " + asDefault() + " を使います。";
    } else {
        const std::string named = Shown(Description.empty() ? Id : Description);
        decision.Line = kind + ": 設定の装置「" + named + "」が見つからないため、" + asDefault() +
                        " を使います。";
    }
    return decision;
}

TSession::TSession(IConversationUi& ui, TSessionOptions options)
    : FUi(ui), FOptions(std::move(options)) {
    FSoundAvailable = FOptions.Audio && FOptions.Audio->Available();
    if (FSoundAvailable && FOptions.OnDeviceEvent) {
        FOptions.Audio->SetDeviceEvents(FOptions.OnDeviceEvent);
    }
    std::unique_ptr<TAudioInput> input;
    std::unique_ptr<TAudioOutput> output;
    if (FSoundAvailable) {
        input = FOptions.Audio->MakeInput();
        output = FOptions.Audio->MakeOutput();
    }
    if (!input) {
        input = std::make_unique<TNoAudioInput>();
    }
    if (!output) {
        output = std::make_unique<TNoAudioOutput>();
    }
    FSound = std::make_unique<TMySound>(std::move(input));
    // The playback thread exists (not yet started) before the listener can hand out a
    // connection: every connection decodes into its mixer.
    FPlayThread = std::make_unique<TPlayFileThread>(kVoiceBlockSize, kVoiceFormat,
                                                    std::move(output), FOptions.OnPlaybackError);
    FPlayThread->SetPriority(TThreadPriority::tpHigher);
    FCore = std::make_unique<TConnectionCore>(FSync, FUi, FOptions.Timeouts, &FPlayThread->Mixer());
    FSendThread = std::make_unique<TSendThread>(FCore.get());
    FEncodeThread = std::make_unique<TEncodeThread>(*FSendThread);
    FPortMapper = std::make_unique<TPortMapper>(FOptions.OnPortMapLog, FOptions.PortMap);
}

TSession::~TSession() {
    Shutdown();
}

void TSession::Start() {
    if (FStarted || FShutDown) {
        return;
    }
    FStarted = true;
    if (!FSoundAvailable) {
        FUi.AddLog(Utf8ToCp932(kSoundUnavailable));
    }
    FEncodeThread->Start();
    FSendThread->Start();
    FPlayThread->Start();
}

TFusionBuffer& TSession::Mixer() {
    return FPlayThread->Mixer();
}

bool TSession::IsTalking() const {
    return FSound && FSound->IsRecording() && !FMicTest;
}

void TSession::StartTalking() {
    if (FShutDown || IsTalking()) {
        return;
    }
    StopMicTest();
    FSound->StartRecording(kVoiceFormat, kVoiceBlockSize, FEncodeThread->InputBuffer());
}

void TSession::StopTalking() {
    if (FSound && !FMicTest) {
        FSound->StopRecording();
    }
}

void TSession::StartMicTest() {
    if (FShutDown || !FSound || FSound->IsRecording()) {
        return;
    }
    FSound->StartMonitoring(kVoiceFormat, kVoiceBlockSize);
    FMicTest = true;
}

void TSession::StopMicTest() {
    if (!FMicTest) {
        return;
    }
    FMicTest = false;
    if (FSound) {
        try {
            FSound->StopRecording();
        } catch (const std::exception&) {
            // Nothing was sent; the device's complaint about the end of a test changes nothing.
        }
    }
}

int TSession::InputLevel() const {
    return FSound ? FSound->InputLevel() : 0;
}

void TSession::ChooseDevices(const TSoundSettings& Sound) {
    TAudioBackend* audio = Audio();
    if (audio == nullptr) {
        return;
    }
    const struct {
        TAudioDirection Direction;
        const std::string& Id;
        const std::string& Description;
    } choices[] = {{TAudioDirection::Input, Sound.MicrophoneId, Sound.Microphone},
                   {TAudioDirection::Output, Sound.SpeakerId, Sound.Speaker}};
    for (const auto& choice : choices) {
        const std::vector<TAudioDeviceInfo> devices = audio->Devices(choice.Direction);
        const TDeviceDecision decision = DecideDevice(
            choice.Direction, devices, Cp932ToUtf8(choice.Id), Cp932ToUtf8(choice.Description));
        audio->ChooseDevice(choice.Direction, decision.Id);
        // A sound card that lists nothing and nothing chosen: there is no device to name.
        if (!devices.empty() || !choice.Id.empty() || !choice.Description.empty()) {
            FUi.AddLog(Utf8ToCp932(decision.Line));
        }
    }
}

void TSession::SetOutputVolume(int Percent) {
    Mixer().SetOutputVolume(Percent);
}

const void* TSession::VoiceKeyOf(TConversation* Connection) {
    // Only a connection the core still lists is touched: the window may name one that has
    // just ended. While the core is being dropped a handshake may still finish: no core, no key.
    const void* key = nullptr;
    if (!FCore) {
        return key;
    }
    FCore->ForEachIncoming([&](TServerThread& thread) {
        if (static_cast<TConversation*>(&thread) == Connection) {
            key = &thread.VoiceInput();
        }
    });
    FCore->ForEachOutgoing([&](TClientThread& thread) {
        if (static_cast<TConversation*>(&thread) == Connection) {
            key = &thread.VoiceInput();
        }
    });
    return key;
}

void TSession::SetPartnerVolume(TConversation* Connection, const TPartnerVolume& Volume) {
    if (const void* key = VoiceKeyOf(Connection)) {
        Mixer().SetSourceVolume(key, Volume.Mute ? 0 : Volume.Volume);
    }
}

bool TSession::PartnerTalking(TConversation* Connection) {
    const void* key = VoiceKeyOf(Connection);
    return key != nullptr && Mixer().SourceActive(key, kTalkingMarkMs);
}

void TSession::Shutdown() {
    if (FShutDown) {
        return;
    }
    FShutDown = true;
    // The router forgets this machine's ports first, if it answers in time.
    FPortMapper->SetPorts({});
    if (FPortMapper->WaitIdle(FOptions.PortMapExitWaitMs)) {
        FPortMapper.reset();
    } else {
        // A router that does not answer must not hold the program's end: the mapper goes
        // silent and its thread ends when the router lets it, after this program's.
        FPortMapper->Abandon();
        static std::mutex abandonedLock;
        static auto* abandoned = new std::vector<TPortMapper*>;  // kept, never freed
        const std::lock_guard lock(abandonedLock);
        abandoned->push_back(FPortMapper.release());
    }
    try {
        FCore->DisconnectAll();
    } catch (const std::exception&) {
        // Closing down: the connections end all the same below.
    }
    try {
        FSound->StopRecording();
    } catch (const std::exception&) {
        // Closing down: the device's complaint changes nothing.
    }
    FSound.reset();
    // Each destructor terminates its thread and joins it: the encode thread feeds the send
    // thread, the send thread writes to the core's connections.
    FEncodeThread.reset();
    FSendThread.reset();
    // Waits until every connection thread has ended, running their last calls onto this
    // thread (log lines, member list) meanwhile. The decode threads feed the playback mixer.
    FCore.reset();
    FPlayThread.reset();
    // The sound card goes last, with whatever threads of its own it runs.
    FOptions.Audio.reset();
}

std::string TSession::EnableTls(const std::string& settingsFile) {
    try {
        const TIdentityFiles files = IdentityFilesFor(settingsFile);
        FIdentity = TTlsIdentity::LoadOrCreate(files.Key, files.Certificate);
    } catch (const std::exception& e) {
        return e.what();
    }
    FTrust = std::make_unique<TSettingsTrustStore>(settingsFile);
    FCore->SetTls(FIdentity, FTrust.get());
    return {};
}

}  // namespace vox
