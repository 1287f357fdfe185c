#include "session/Session.h"

#include <mutex>
#include <vector>

#include "net/Tls.h"
#include "platform/Cp932.h"
#include "protocol/ConnectionCore.h"
#include "session/SettingsTrust.h"
#include "settings/Settings.h"
#include "voice/NoAudioDevice.h"
#include "voice/Sound.h"
#include "voice/VoiceThreads.h"

namespace vox {

TSession::TSession(IConversationUi& ui, TSessionOptions options)
    : FUi(ui), FOptions(std::move(options)) {
    FSoundAvailable = FOptions.Audio && FOptions.Audio->Available();
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
    return FSound && FSound->IsRecording();
}

void TSession::StartTalking() {
    if (FShutDown || IsTalking()) {
        return;
    }
    FSound->StartRecording(kVoiceFormat, kVoiceBlockSize, FEncodeThread->InputBuffer());
}

void TSession::StopTalking() {
    if (FSound) {
        FSound->StopRecording();
    }
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
