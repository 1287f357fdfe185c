// The sound card through Qt Multimedia: TAudioInput over QAudioSource and TAudioOutput over
// QAudioSink (on Linux both speak to PulseAudio).
//
// Qt's audio objects want a thread with an event loop, while the recorder is driven from the
// user-interface thread and the playback thread is a plain std::thread. Every Qt audio object
// of a backend therefore lives on one audio thread (TQtAudioThread) that its owner starts and
// shares with the devices it makes; the thread ends when the owner and the last device have let
// go of it. The calls below are carried over to it and wait for it, so they work while the
// user-interface thread is busy. A call that the audio thread does not serve within
// CallTimeoutMs fails with asError.
//
// Buffering, chosen for a short mouth-to-ear delay:
// - Input: QAudioSource's buffer (the server's fragment) holds PeriodMs of sound (10 ms, 110
//   bytes at 11025 Hz); captured bytes are handed over in chunks of about that size, PeriodMs
//   apart. A stop waits one period for the sound still on its way.
// - Output: a written block goes to the server whole, so it cannot run dry inside a block
//   however late this process is scheduled; QAudioSink's buffer (the server's target length)
//   is BufferMs (50 ms asked; PulseAudio settles on about 37 ms) and bounds the device's own
//   delay. A block written while the device has run dry and shorter than that buffer is
//   followed by silence up to the buffer's size, because the server does not start a stream on
//   less: a short scrap of voice would otherwise never be played.
// - "done": no more than LowWaterMs of what was written is left to play, so the next block,
//   written now, follows without a gap. "heard": the written sound has been played out by the
//   wall clock (from the moment each block was handed over, queued behind the ones before)
//   plus the device's buffer and HeardMarginMs, and QAudioSink's processed time has reached
//   everything written. Qt's idle state is not used: it comes before the sound has been heard.
//
// Statuses: no default device (no server either) -> asBadDeviceId; a format Qt cannot express
// or the device refuses -> asBadFormat; a second Open of an open object -> asAllocated; calls on
// a closed object -> asInvalidHandle; everything else, a device lost on the way included ->
// asError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "voice/AudioDevice.h"

namespace vox {

// Capture period: QAudioSource's buffer size in time.
inline constexpr std::uint32_t kQtInputPeriodMs = 10;
// QAudioSink's buffer size in time.
inline constexpr std::uint32_t kQtOutputBufferMs = 50;
// A written block is done when at most this much of what was written is left to play.
inline constexpr std::uint32_t kQtOutputLowWaterMs = 100;
// Added to the device's buffer time before written sound counts as heard.
inline constexpr std::uint32_t kQtOutputHeardMarginMs = 20;
// Longest wait for the audio thread to serve one call.
inline constexpr std::uint32_t kQtAudioCallTimeoutMs = 5000;
// A device lost while open is replaced after this pause (the system's lists catch up
// meanwhile), tried again as often, up to kQtDeviceRetries times.
inline constexpr std::uint32_t kQtDeviceRetryMs = 150;
inline constexpr int kQtDeviceRetries = 5;
// How often an open device is looked for in the system's lists.
inline constexpr std::uint32_t kQtDeviceCheckMs = 250;

// The devices the user chose, shared by a backend with the devices it makes: an empty id is
// the system's default. OnEvent receives the log line of a device lost and replaced (on the
// audio thread). Every member under Lock.
struct TQtDeviceChoice {
    std::mutex Lock;
    std::string InputId;
    std::string OutputId;
    std::function<void(const std::string& Line)> OnEvent;
};

// The audio thread: an event loop that every Qt audio object of its devices lives on.
class TQtAudioThread;
// Starts one; nullptr without a QCoreApplication. Released last by its owner (never on the
// audio thread itself), it stops the loop and joins the thread.
std::shared_ptr<TQtAudioThread> StartQtAudioThread();
// Runs Fn on the audio thread and waits at most TimeoutMs for it; false when it has not run by
// then (it may still run later, so Fn must own what it uses).
bool CallOnQtAudioThread(TQtAudioThread& Thread, std::function<void()> Fn, std::uint32_t TimeoutMs);

// The devices Qt lists for Direction, the default one marked (asks the audio thread; empty
// without one, nothing when it did not answer within CallTimeoutMs).
std::optional<std::vector<TAudioDeviceInfo>> QtAudioDevices(
    TQtAudioThread* Thread, TAudioDirection Direction,
    std::uint32_t CallTimeoutMs = kQtAudioCallTimeoutMs);

// What the default devices make of a wave format. Qt cannot express a format that is not PCM,
// has no channels or rate, a sample size other than 8, 16 or 32 bits or an inconsistent block
// alignment.
struct TQtAudioFormatInfo {
    bool Expressible = false;      // Qt has a sample format for it
    bool InputSupported = false;   // the default input device accepts it
    bool OutputSupported = false;  // the default output device accepts it
    bool HasInput = false;         // there is a default input device
    bool HasOutput = false;        // there is a default output device
};
// What the default devices say about Format (asks the audio thread; all false when it cannot
// or without one).
TQtAudioFormatInfo QtAudioFormatInfo(TQtAudioThread* Thread, const TWaveFormat& Format,
                                     std::uint32_t CallTimeoutMs = kQtAudioCallTimeoutMs);

class TQtAudioInput : public TAudioInput {
  public:
    // Thread: the audio thread, held as long as the device lives; without one every call fails
    // with asError.
    explicit TQtAudioInput(std::shared_ptr<TQtAudioThread> Thread,
                           std::uint32_t PeriodMs = kQtInputPeriodMs,
                           std::uint32_t CallTimeoutMs = kQtAudioCallTimeoutMs);
    // Closes the device when open.
    ~TQtAudioInput() override;

    TQtAudioInput(const TQtAudioInput&) = delete;
    TQtAudioInput& operator=(const TQtAudioInput&) = delete;

    // Opens the default input device and starts its stream; what it captures before Start()
    // is dropped. OnData is called on the audio thread.
    TAudioStatus Open(const TWaveFormat& Format, std::int32_t BlockSize,
                      TDataHandler OnData) override;
    TAudioStatus Start() override;
    // Waits one capture period for the sound still on its way from the device, hands over
    // everything captured, then stops the stream. asError when the device was lost meanwhile.
    TAudioStatus Stop() override;
    TAudioStatus Close() override;

    // The buffer QAudioSource settled on, in bytes (0 while closed).
    std::int32_t BufferBytes() const;
    // Opens follow Choice from now on (without one: the default device). A device lost while
    // capturing is replaced by the chosen one, or the default, and capturing goes on.
    void SetChoice(std::shared_ptr<TQtDeviceChoice> Choice);
    // The description of the device open now (empty while closed), UTF-8.
    std::string DeviceInUse() const;

  private:
    struct TCore;
    const std::shared_ptr<TQtAudioThread> FThread;
    const std::uint32_t FPeriodMs;
    const std::uint32_t FCallTimeoutMs;
    std::shared_ptr<TCore> FCore;
};

class TQtAudioOutput : public TAudioOutput {
  public:
    // Thread: the audio thread, held as long as the device lives; without one every call fails
    // with asError.
    explicit TQtAudioOutput(std::shared_ptr<TQtAudioThread> Thread,
                            std::uint32_t BufferMs = kQtOutputBufferMs,
                            std::uint32_t LowWaterMs = kQtOutputLowWaterMs,
                            std::uint32_t HeardMarginMs = kQtOutputHeardMarginMs,
                            std::uint32_t CallTimeoutMs = kQtAudioCallTimeoutMs);
    // Closes the device when open.
    ~TQtAudioOutput() override;

    TQtAudioOutput(const TQtAudioOutput&) = delete;
    TQtAudioOutput& operator=(const TQtAudioOutput&) = delete;

    TAudioStatus Open(const TWaveFormat& Format) override;
    // Hands the block to the server before returning (it plays after what was written before).
    TAudioStatus Write(const void* Data, std::int32_t Count) override;
    // Both give up at once (false, NotHeard) when the device has been lost since it was
    // opened.
    bool WaitDone(std::uint32_t TimeoutMs) override;
    THeardWait WaitHeard(std::uint32_t TimeoutMs) override;
    void WakeWaitHeard() override;
    TAudioStatus Close() override;

    // The buffer QAudioSink settled on, in bytes (0 while closed).
    std::int32_t BufferBytes() const;
    // Opens follow Choice from now on (without one: the default device). A device lost while
    // open is replaced by the chosen one, or the default; what it had not played is lost.
    void SetChoice(std::shared_ptr<TQtDeviceChoice> Choice);
    // The description of the device open now (empty while closed), UTF-8.
    std::string DeviceInUse() const;
    // Silence added after short blocks since the object was made, in bytes.
    std::int64_t PaddedBytes() const;

  private:
    struct TCore;
    const std::shared_ptr<TQtAudioThread> FThread;
    const std::uint32_t FBufferMs;
    const std::uint32_t FLowWaterMs;
    const std::uint32_t FHeardMarginMs;
    const std::uint32_t FCallTimeoutMs;
    std::shared_ptr<TCore> FCore;
};

}  // namespace vox
