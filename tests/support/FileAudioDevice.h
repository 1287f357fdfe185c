// A sound card made of byte buffers, for tests and for feeding recorded files through the
// voice path: the input delivers PCM bytes from memory (or a file) at real-time pace or
// faster, the output keeps what it "plays" and can hold it back by a play-out delay, the way a
// real device's pipeline does. Each call can be told to fail with a given status.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "voice/AudioDevice.h"

namespace vox {

// The whole content of a file as bytes; std::runtime_error when it cannot be read.
std::vector<std::uint8_t> LoadPcmFile(const std::string& Path);

// Input that "captures" the bytes of Source, from the first to the last; after the last byte
// it delivers nothing more. The position carries over from one recording to the next.
class TFileAudioInput : public TAudioInput {
  public:
    // Speed: how many times faster than real time the bytes arrive (at the opened format's
    // rate); 0 or less delivers everything at once. ChunkSize: bytes per delivery (the last
    // one of a recording may be shorter: Stop() hands over what has been captured so far).
    explicit TFileAudioInput(std::vector<std::uint8_t> Source, double Speed = 1.0,
                             std::int32_t ChunkSize = 441);
    ~TFileAudioInput() override;

    TAudioStatus Open(const TWaveFormat& Format, std::int32_t BlockSize,
                      TDataHandler OnData) override;
    TAudioStatus Start() override;
    TAudioStatus Stop() override;
    TAudioStatus Close() override;

    // Makes every later call of that kind return Status without doing anything; asOk undoes it.
    // Open also refuses every format other than 8-bit mono PCM with asBadFormat.
    void FailOpen(TAudioStatus Status);
    void FailStart(TAudioStatus Status);
    void FailStop(TAudioStatus Status);
    void FailClose(TAudioStatus Status);

    bool IsOpen() const;
    bool IsCapturing() const;
    int OpenCount() const;   // successful opens
    int CloseCount() const;  // successful closes
    // Bytes handed to the data handler so far (the handler has returned for all of them).
    std::int64_t Delivered() const;
    // Waits at most TimeoutMs until every byte of the source has been delivered.
    bool WaitExhausted(std::uint32_t TimeoutMs) const;

  private:
    void Run();
    void StopThread();

    const std::vector<std::uint8_t> FSource;
    const double FSpeed;
    const std::int32_t FChunkSize;

    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    TDataHandler FOnData;
    TWaveFormat FFormat;
    bool FOpen = false;
    bool FCapturing = false;
    bool FStopRequested = false;
    std::int64_t FPosition = 0;  // next byte of the source to deliver
    std::int64_t FDelivered = 0;
    int FOpenCount = 0;
    int FCloseCount = 0;
    TAudioStatus FOpenFailure = asOk;
    TAudioStatus FStartFailure = asOk;
    TAudioStatus FStopFailure = asOk;
    TAudioStatus FCloseFailure = asOk;
    std::thread FThread;
};

// Output that "plays" each written block in the time it lasts at the opened rate divided by
// Speed (0 or less: at once), and counts it heard PlayOutDelayMs after it was done. Heard
// bytes are kept in memory and, when Path is given, appended to that file.
class TFileAudioOutput : public TAudioOutput {
  public:
    explicit TFileAudioOutput(double Speed = 1.0, std::uint32_t PlayOutDelayMs = 0,
                              const std::string& Path = {});
    ~TFileAudioOutput() override;

    TAudioStatus Open(const TWaveFormat& Format) override;
    TAudioStatus Write(const void* Data, std::int32_t Count) override;
    bool WaitDone(std::uint32_t TimeoutMs) override;
    THeardWait WaitHeard(std::uint32_t TimeoutMs) override;
    void WakeWaitHeard() override;
    TAudioStatus Close() override;

    // Makes every later call of that kind fail with Status; asOk undoes it.
    void FailOpen(TAudioStatus Status);
    void FailWrite(TAudioStatus Status);
    void FailClose(TAudioStatus Status);

    bool IsOpen() const;
    int OpenAttempts() const;    // calls of Open, failed ones included
    int OpenCount() const;       // successful opens
    int CloseCount() const;      // successful closes
    TWaveFormat Format() const;  // of the last successful open
    // Everything heard so far, over all opens, in order.
    std::vector<std::uint8_t> Heard() const;
    // The size of every block written, over all opens.
    std::vector<std::int32_t> Blocks() const;
    // Bytes written but not yet heard when the device was closed (the cut-off tails).
    std::int64_t CutBytes() const;
    // Blocks written while an earlier block had not been done yet.
    int WritesWhileBusy() const;

  private:
    using TClock = std::chrono::steady_clock;
    struct TInFlight {
        TClock::time_point HeardAt;
        std::vector<std::uint8_t> Bytes;
    };

    void Run();
    void StopThread();
    TClock::duration PlayTime(std::size_t Count) const;

    const double FSpeed;
    const std::chrono::milliseconds FPlayOutDelay;

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::ofstream FFile;
    TWaveFormat FFormat;
    bool FOpen = false;
    bool FStopRequested = false;
    bool FWakeHeard = false;                       // WakeWaitHeard() not yet used up by a wait
    std::deque<std::vector<std::uint8_t>> FQueue;  // written, not started
    std::optional<std::vector<std::uint8_t>> FPlaying;
    TClock::time_point FPlayEnd;
    std::deque<TInFlight> FInFlight;  // done, not heard yet
    std::int64_t FWritten = 0;        // bytes written since the open
    std::int64_t FDone = 0;
    std::int64_t FHeardCount = 0;
    std::vector<std::uint8_t> FHeard;
    std::vector<std::int32_t> FBlocks;
    std::int64_t FCut = 0;
    int FWritesWhileBusy = 0;
    int FOpenAttempts = 0;
    int FOpenCount = 0;
    int FCloseCount = 0;
    TAudioStatus FOpenFailure = asOk;
    TAudioStatus FWriteFailure = asOk;
    TAudioStatus FCloseFailure = asOk;
    std::thread FThread;
};

// A sound card of files for a session: the devices come from the given makers (a maker left
// empty gives a device that says there is none). Available unless told otherwise.
class TFileAudioBackend : public TAudioBackend {
  public:
    std::function<std::unique_ptr<TAudioInput>()> MakeInputDevice;
    std::function<std::unique_ptr<TAudioOutput>()> MakeOutputDevice;
    bool IsAvailable = true;

    bool Available() override { return IsAvailable; }
    std::unique_ptr<TAudioInput> MakeInput() override {
        return MakeInputDevice ? MakeInputDevice() : nullptr;
    }
    std::unique_ptr<TAudioOutput> MakeOutput() override {
        return MakeOutputDevice ? MakeOutputDevice() : nullptr;
    }

    // The devices it lists, and the ids chosen last (index: the direction).
    std::vector<TAudioDeviceInfo> Inputs;
    std::vector<TAudioDeviceInfo> Outputs;
    std::string ChosenInput = "(never chosen)";
    std::string ChosenOutput = "(never chosen)";
    std::vector<TAudioDeviceInfo> Devices(TAudioDirection Direction) override {
        return Direction == TAudioDirection::Input ? Inputs : Outputs;
    }
    // While set, a look that may not wait gets no answer (a sound thread that is busy).
    bool Busy = false;
    // The waits those looks were given.
    std::vector<std::uint32_t> Waits;
    std::optional<std::vector<TAudioDeviceInfo>> DevicesWithin(TAudioDirection Direction,
                                                               std::uint32_t WaitMs) override {
        Waits.push_back(WaitMs);
        if (Busy) {
            return std::nullopt;
        }
        return Devices(Direction);
    }
    void ChooseDevice(TAudioDirection Direction, const std::string& Id) override {
        (Direction == TAudioDirection::Input ? ChosenInput : ChosenOutput) = Id;
    }
};

}  // namespace vox
