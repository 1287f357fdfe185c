// The running program without its windows: the synchronizer onto the user-interface thread,
// the connection core (listener, partners, calls), the voice pipeline (recorder -> encode ->
// send -> connections -> decode -> mixer -> playback) and the order in which all of it starts
// and ends. The main window holds one and shows what it reports through IConversationUi; the
// load benchmark runs one without any window.
//
// Threads: every method runs on the user-interface thread, the one that created the session.
// The session owns every thread of the voice path and the connection core, which owns the
// connection threads; Shutdown() ends and joins them all.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Durations.h"
#include "platform/Synchronizer.h"
#include "portmap/PortMapper.h"
#include "protocol/Conversation.h"
#include "protocol/ConversationUi.h"
#include "protocol/Trust.h"
#include "settings/Settings.h"
#include "voice/AudioDevice.h"

namespace vox {

class TConnectionCore;
class TEncodeThread;
class TFusionBuffer;
class TMySound;
class TPlayFileThread;
class TSendThread;
class TTlsIdentity;

// What the program logs when it has no sound device (UTF-8).
inline constexpr const char* kSoundUnavailable =
    "音声の入出力装置が見つからないため、音声は使えません（チャットとファイル転送は使えます）。";

// How long a partner counts as talking after the last of its voice was taken for playing.
inline constexpr std::chrono::milliseconds kTalkingMarkMs{600};

// What a remembered device choice comes to among the devices listed now: the id to choose
// (empty: the system's default) and the log line naming the device in use (UTF-8). Id and
// Description are the remembered ones in UTF-8; a description that names no device is shown
// cut short and with control characters left out.
struct TDeviceDecision {
    std::string Id;
    std::string Line;
};
TDeviceDecision DecideDevice(TAudioDirection Direction,
                             const std::vector<TAudioDeviceInfo>& Devices, const std::string& Id,
                             const std::string& Description);

struct TSessionOptions {
    TConversationTimeouts Timeouts;
    // The sound card. Null, or one that is not Available(): no sound; chat and files work, the
    // log says so once, talking reports that there is no microphone.
    std::unique_ptr<TAudioBackend> Audio;
    // A playback failure, UTF-8, on the playback thread. It must not wait for the user-interface
    // thread (post the line instead). Empty: dropped.
    std::function<void(const std::string& utf8)> OnPlaybackError;
    // How the listening ports are opened on the home router, and where its log lines go (UTF-8,
    // on the mapper's thread; it must not wait for the user-interface thread: post the line).
    // Empty: dropped.
    TPortMapOptions PortMap;
    std::function<void(const std::string& utf8)> OnPortMapLog;
    // Sound devices added or removed (Line empty), or an open one lost and replaced (Line is
    // the log line, UTF-8); on the sound card's thread, it must not wait for the user-interface
    // thread. Empty: dropped.
    std::function<void(const std::string& utf8)> OnDeviceEvent;
    std::uint32_t PortMapExitWaitMs = kPortMapExitWaitMs;
};

class TSession {
  public:
    // Creates every part, started none: connections can be made (the listener switched on)
    // from now on, their voice goes to the mixer. UI thread.
    TSession(IConversationUi& ui, TSessionOptions options);
    // Shutdown().
    ~TSession();

    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // Starts the voice threads and logs once when there is no sound device.
    void Start();
    // Drops every connection, stops the recorder, ends the encode and send threads, the
    // connection core (waiting until every connection thread has ended, running their last calls
    // onto this thread meanwhile) and the playback thread, in that order. A second call does
    // nothing. The synchronizer stays until the session is destroyed.
    void Shutdown();
    bool ShutDown() const { return FShutDown; }

    TSynchronizer& Sync() { return FSync; }
    TConnectionCore& Core() { return *FCore; }
    // Opens ports on the home router while listening (SetPorts); its outcome lines go to the
    // log. Shutdown() removes its mappings before the program ends.
    TPortMapper& PortMapper() { return *FPortMapper; }
    TFusionBuffer& Mixer();
    bool SoundAvailable() const { return FSoundAvailable; }

    // Push-to-talk. StartTalking opens the microphone and records into the encode thread; a
    // failure raises ESoundError with the text for the user (no microphone, say) and leaves
    // the session not talking. StopTalking sends what was recorded up to now; a device failure
    // there raises ESoundError after the recorder has stopped.
    bool IsTalking() const;
    void StartTalking();
    void StopTalking();

    // The sound card while there is one (its device lists), else null.
    TAudioBackend* Audio() { return FSoundAvailable ? FOptions.Audio.get() : nullptr; }
    // Uses the remembered devices (CP932 texts) from the next talk and the next burst of
    // playback on: by id, else by description, else the system's default; logs one line for
    // each direction naming the device in use (none for a direction whose sound card lists no
    // device, when none was chosen). Nothing without sound.
    void ChooseDevices(const TSoundSettings& Sound);
    // The volume of everything played, in percent.
    void SetOutputVolume(int Percent);
    // How loud the partner of this connection is played.
    void SetPartnerVolume(TConversation* Connection, const TPartnerVolume& Volume);
    // Whether that partner's voice is being played now.
    bool PartnerTalking(TConversation* Connection);
    // The microphone's level while talking or testing, in percent; 0 otherwise.
    int InputLevel() const;
    // A microphone test: the microphone opens and its level is measured, nothing is sent.
    // Raises ESoundError like StartTalking; does nothing while talking.
    void StartMicTest();
    void StopMicTest();
    bool MicTesting() const { return FMicTest; }
    // Encrypts connections with the own key and certificate beside the settings file (made at
    // the first start) and remembers partners' keys in the settings file. Returns an empty
    // text, or why not (UTF-8): the program then runs in the clear as before. UI thread, before
    // listening or calling.
    std::string EnableTls(const std::string& settingsFile);
    // The own identity while connections are encrypted; null otherwise.
    const TTlsIdentity* Identity() const { return FIdentity.get(); }

  private:
    // The key of the connection's voice in the mixer; null when the core lists no such
    // connection.
    const void* VoiceKeyOf(TConversation* Connection);

    IConversationUi& FUi;
    TSessionOptions FOptions;
    bool FSoundAvailable = false;
    bool FStarted = false;
    bool FShutDown = false;
    bool FMicTest = false;

    // Destroyed last: every thread that may synchronise onto it has ended by then.
    TSynchronizer FSync;
    // Released by Shutdown() in the reverse order of this list: the playback thread (whose
    // mixer the connections feed) outlives the connection core, the core outlives the send
    // thread that writes to its connections, the send thread outlives the encode thread, the
    // encode thread outlives the recorder.
    std::unique_ptr<TPlayFileThread> FPlayThread;
    std::unique_ptr<TConnectionCore> FCore;
    std::unique_ptr<TPortMapper> FPortMapper;
    std::unique_ptr<TSendThread> FSendThread;
    std::unique_ptr<TEncodeThread> FEncodeThread;
    std::unique_ptr<TMySound> FSound;
    std::shared_ptr<const TTlsIdentity> FIdentity;
    std::unique_ptr<ITrustStore> FTrust;
};

}  // namespace vox
