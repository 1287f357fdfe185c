// The recorder (TMySound) and the playback thread (TPlayFileThread), both over the
// audio-device interface of AudioDevice.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "voice/AudioDevice.h"
#include "voice/Buffer.h"

namespace vox {

// The mixer's per-partner limit for voice recorded in Format: kVoiceBacklogMs of it, in whole
// samples (13230 bytes for the program's voice).
std::int32_t VoiceBacklogBytes(const TWaveFormat& Format);

// A device that has not done (or not let be heard) a block this long after the block's own
// playing time is taken as failed.
inline constexpr std::uint32_t kPlaybackStallMarginMs = 2000;

// A failure of the recorder; the message is the UTF-8 Japanese text shown to the user.
class ESoundError : public std::runtime_error {
  public:
    ESoundError(const std::string& Message, TAudioStatus Status)
        : std::runtime_error(Message), FStatus(Status) {}
    TAudioStatus Status() const { return FStatus; }

  private:
    TAudioStatus FStatus;
};

enum class TRecordStep { Open, Start, Stop, Close };
enum class TPlayStep { Open, Play, Close };

// The texts of the recorder's and of the playback's failures, by step and device status.
std::string RecordErrorMessage(TRecordStep Step, TAudioStatus Status);
std::string PlayErrorMessage(TPlayStep Step, TAudioStatus Status);
// The recording buffer could not be allocated.
std::string RecordBufferErrorMessage();

// The format voice is played in: the rate raised by 5% (11025 -> 11576 samples per second),
// so that partners are heard slightly faster than they spoke and a backlog shrinks.
TWaveFormat PlaybackFormat(const TWaveFormat& Format);

// Records from the input device while the talk control is held. Every BufferSize bytes
// captured are appended to the target FIFO as one write, in capture order; the bytes captured
// after the last full buffer are appended when the recording stops.
//
// StartRecording and StopRecording run on one thread (the user-interface thread); the device
// delivers on its own. The target must outlive the recording.
class TMySound {
  public:
    explicit TMySound(std::unique_ptr<TAudioInput> Device);
    // Stops a running recording first (its errors are dropped).
    ~TMySound();

    TMySound(const TMySound&) = delete;
    TMySound& operator=(const TMySound&) = delete;

    bool IsRecording() const { return FIsRecording.load(); }

    // Opens and starts the input. A failure releases everything acquired so far, leaves the
    // recorder idle and raises ESoundError with the message of the failed step. Calling it
    // while recording raises std::logic_error.
    void StartRecording(const TWaveFormat& Format, std::int32_t BufferSize,
                        TThreadFifoBuffer& Target);
    // Opens and starts the input like StartRecording, but what it captures goes nowhere: only
    // the level is measured (a microphone test).
    void StartMonitoring(const TWaveFormat& Format, std::int32_t BufferSize);
    // The loudness of what the input captured last (the peak of the latest chunk delivered),
    // in percent of full scale; 0 while idle.
    int InputLevel() const { return FLevel.load(); }
    // Stops the input, hands the partial buffer to the target and closes the device. The
    // recorder is idle afterwards even when the device reports a failure, which is then
    // raised as ESoundError. Does nothing while idle.
    void StopRecording();

  private:
    void Begin(const TWaveFormat& Format, std::int32_t BufferSize, TThreadFifoBuffer* Target);
    void DataArrived(const std::uint8_t* Data, std::int32_t Count);

    const std::unique_ptr<TAudioInput> FDevice;
    std::atomic<bool> FIsRecording{false};
    std::atomic<int> FLevel{0};

    // Shared with the device's delivering thread.
    std::mutex FLock;
    bool FCapturing = false;
    std::vector<std::uint8_t> FBlock;
    std::int32_t FFill = 0;
    TThreadFifoBuffer* FRecordTarget = nullptr;
};

// Plays what the partners say. Owns the mixer into which the decode threads write; whenever
// the mixer holds data it opens the output device, plays the mixed stream in blocks of at most
// BlockSize bytes (one block at the device, the next one read and ready), and closes the
// device once the mixer is dry and the last block has been heard. In between it sleeps: a
// write into the mixer wakes it, also while it waits for the last block to be heard (the voice
// then goes on in the same burst), and so does Terminate().
//
// Each partner's voice in the mixer is capped at VoiceBacklogBytes(Format): the oldest beyond
// it is dropped.
//
// A device failure (open, play, close) is reported through OnError with its Japanese text
// (UTF-8), once until playing succeeds again; the voice waiting in the mixer is then dropped
// and the device is tried again when new voice arrives. The thread never ends by itself.
class TPlayFileThread : public TThread {
  public:
    // Called on the playback thread; must not call back into this object.
    using TErrorLog = std::function<void(const std::string& Message)>;

    TPlayFileThread(std::int32_t BlockSize, const TWaveFormat& Format,
                    std::unique_ptr<TAudioOutput> Output, TErrorLog OnError,
                    std::uint32_t StallMarginMs = kPlaybackStallMarginMs);
    // Terminates the thread and waits for it (the block already taken is still played).
    ~TPlayFileThread() override;
    TPlayFileThread(const TPlayFileThread&) = delete;
    TPlayFileThread& operator=(const TPlayFileThread&) = delete;

    // The mixer's OnWrite belongs to the thread: it wakes the device's WaitHeard.
    TFusionBuffer& Mixer() { return FMixer; }
    const TWaveFormat& PlayFormat() const { return FPlayFormat; }
    std::int32_t BlockSize() const { return FBlockSize; }

  protected:
    void Execute() override;
    void TerminateRequested() override;

  private:
    void PlayBurst();
    // Waits until the last block written has been heard; false when the device stalled.
    // Returns early (true, with *MoreVoice set) when new voice arrives meanwhile.
    bool WaitLastHeard(std::int32_t LastBlock, bool* MoreVoice);
    void DropWaiting();
    void ReportError(const std::string& Message);

    const TWaveFormat FPlayFormat;
    const std::int32_t FBlockSize;
    const std::unique_ptr<TAudioOutput> FOutput;
    const TErrorLog FOnError;
    const std::uint32_t FStallMarginMs;
    TFusionBuffer FMixer;
    std::vector<std::uint8_t> FBlock;
    std::string FLastError;  // reported and not yet followed by a good burst
};

}  // namespace vox
