// What the recorder and the playback thread need from a sound card, independent of the audio
// library behind it. A backend implements TAudioInput and TAudioOutput; the file backend
// (FileAudioDevice.h) serves the tests, the Qt Multimedia backend lives with the Qt layer.
//
// Every call of both interfaces returns a TAudioStatus. The values are the ones the program's
// error messages are keyed by; a backend maps its own errors onto them (a missing device to
// asBadDeviceId, a device in use to asAllocated, a refused format to asBadFormat, anything
// else to asError).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vox {

// The wave format of the voice path: PCM, 8-bit unsigned samples (128 = silence).
struct TWaveFormat {
    std::uint16_t FormatTag = 1;  // 1 = PCM, the only one the program uses
    std::uint16_t Channels = 1;
    std::uint32_t SamplesPerSec = 11025;
    std::uint32_t AvgBytesPerSec = 11025;
    std::uint16_t BlockAlign = 1;
    std::uint16_t BitsPerSample = 8;

    friend bool operator==(const TWaveFormat&, const TWaveFormat&) = default;
};

// The format voice is recorded in: mono, 11025 samples per second, 8 bits.
inline constexpr TWaveFormat kVoiceFormat{};
// Bytes of one recording buffer and one playback block: 0.4 s of recorded voice.
inline constexpr std::int32_t kVoiceBlockSize = 4410;
// The most voice one partner may have waiting, undecoded or in the mixer; older voice beyond
// it is dropped, so a slow or bursty link never piles up more delay than this.
inline constexpr std::uint32_t kVoiceBacklogMs = 1200;

// A sound device as the system lists it. Texts are UTF-8.
struct TAudioDeviceInfo {
    std::string Id;           // stable across restarts (the sound server's name of it)
    std::string Description;  // what the user reads
    bool IsDefault = false;   // the system's default of its direction
};

enum class TAudioDirection { Input, Output };

// Status of a device call.
enum TAudioStatus : int {
    asOk = 0,
    asError = 1,          // any failure without a more precise value
    asBadDeviceId = 2,    // no such device (no default device either)
    asAllocated = 4,      // the device is in use by someone else
    asInvalidHandle = 5,  // the device is not open
    asNoMem = 7,          // memory could not be allocated
    asHandleBusy = 12,    // the device is busy on another thread
    asBadFormat = 32,     // the device refuses the format
    asStillPlaying = 33,  // closing while blocks are still queued
    asUnprepared = 34,    // a buffer was not set up for the device
};

// Sound input. The calls come from one thread (the user-interface thread); the data handler is
// called on whatever thread the backend delivers on.
class TAudioInput {
  public:
    // Receives captured bytes, in chunks of any size, in capture order.
    using TDataHandler = std::function<void(const std::uint8_t* Data, std::int32_t Count)>;

    virtual ~TAudioInput() = default;

    // Opens the default input device at Format. BlockSize is the size of the blocks the caller
    // collects: a hint for the backend's buffering, chunks need not match it. OnData is kept
    // until Close(). Nothing is delivered before Start().
    virtual TAudioStatus Open(const TWaveFormat& Format, std::int32_t BlockSize,
                              TDataHandler OnData) = 0;
    // Starts capturing.
    virtual TAudioStatus Start() = 0;
    // Stops capturing. Every byte captured up to now is handed to OnData before Stop()
    // returns (on this thread or the delivering one); none is handed over after it returned.
    virtual TAudioStatus Stop() = 0;
    // Releases the device. Also valid after a failed Start() or Stop().
    virtual TAudioStatus Close() = 0;
};

// How a wait for the written sound to be heard ended.
enum class THeardWait {
    Heard,     // everything written so far has been heard
    NotHeard,  // not by the timeout, or the device failed
    Woken,     // WakeWaitHeard() cut the wait short
};

// Sound output. One thread (the playback thread) makes every call but WakeWaitHeard; the calls
// may block.
//
// Two moments matter for a written block:
// - done: the device has taken all of it (Windows: the block-done notification; Qt: its bytes
//   have been processed by QAudioSink). A block written now follows it without a gap.
// - heard: the sound has actually left the speaker: done plus the latency of the device's own
//   pipeline. QAudioSink reports idle about 140 ms before that moment, so a Qt backend derives
//   "heard" from the processed microseconds plus the device latency (or waits for the stream to
//   drain) rather than from the idle state. Closing before "heard" cuts the tail.
class TAudioOutput {
  public:
    virtual ~TAudioOutput() = default;

    // Opens the default output device at Format.
    virtual TAudioStatus Open(const TWaveFormat& Format) = 0;
    // Hands Count bytes to the device to be played after what was written before; returns
    // without waiting for them to play (the bytes are copied).
    virtual TAudioStatus Write(const void* Data, std::int32_t Count) = 0;
    // Waits at most TimeoutMs until everything written so far is done; true when it is.
    virtual bool WaitDone(std::uint32_t TimeoutMs) = 0;
    // Waits at most TimeoutMs until everything written so far has been heard, or until
    // WakeWaitHeard() is called.
    virtual THeardWait WaitHeard(std::uint32_t TimeoutMs) = 0;
    // Makes the WaitHeard in progress return Woken at once; when none is in progress, the next
    // one does (a wake-up given just before the wait is not lost). Any thread may call it, at
    // any time, the device open or not.
    virtual void WakeWaitHeard() = 0;
    // Stops at once and releases the device; what has not been heard yet is lost.
    virtual TAudioStatus Close() = 0;
};

// The sound card as a whole: whether there is one, and the devices the recorder and the
// playback thread work with. The program's session owns one (and with it whatever threads the
// backend runs); the Qt Multimedia backend lives with the Qt layer, the file backend with the
// tests.
class TAudioBackend {
  public:
    virtual ~TAudioBackend() = default;

    // False when the machine offers no sound device at all (no sound server, say): the
    // program then runs chat and file transfer only.
    virtual bool Available() = 0;
    virtual std::unique_ptr<TAudioInput> MakeInput() = 0;
    virtual std::unique_ptr<TAudioOutput> MakeOutput() = 0;

    // The devices of one direction the system lists now, the default one first marked as such;
    // empty when the backend cannot tell. Any thread but the backend's own.
    virtual std::vector<TAudioDeviceInfo> Devices(TAudioDirection Direction);
    // The same, waiting at most WaitMs for the backend: nothing when it could not tell in time
    // (as opposed to an empty list: no device at all). For looking again and again from the
    // window thread, which must not wait long.
    virtual std::optional<std::vector<TAudioDeviceInfo>> DevicesWithin(TAudioDirection Direction,
                                                                       std::uint32_t WaitMs);
    // The device the next open of that direction (the next talk, the next burst of playback)
    // uses: Id, or the system's default when Id is empty or no longer listed. A device that
    // is lost while open is followed by that same choice. Any thread.
    virtual void ChooseDevice(TAudioDirection Direction, const std::string& Id);
    // Called whenever a device was added or removed (changes close together reported once),
    // and when an open device was lost and the sound went over to another: Line is then the
    // log line (UTF-8), empty for a plain change of the lists. On the backend's own thread:
    // it must not wait for the user-interface thread. Set before any device is opened.
    using TDeviceEvent = std::function<void(const std::string& Line)>;
    virtual void SetDeviceEvents(const TDeviceEvent& OnEvent);
};

// The device to use for a choice remembered as Id and Description among Devices: the one of
// that id, else the first of that description, else none (the system's default then). Empty
// values match nothing.
const TAudioDeviceInfo* MatchDevice(const std::vector<TAudioDeviceInfo>& Devices,
                                    const std::string& Id, const std::string& Description);

// Bytes per second of a format (average bytes per second, or samples times block
// alignment when that field is 0).
std::uint32_t BytesPerSecond(const TWaveFormat& Format);

// Milliseconds it takes to play Count bytes in Format (rounded up; 0 for a format of no rate).
std::uint32_t PlayTimeMs(const TWaveFormat& Format, std::int64_t Count);

}  // namespace vox
