// Byte buffers of the voice path: a plain FIFO, a locked FIFO for hand-over between threads
// that a consumer can sleep on, and the mixer that keeps one FIFO per producer and averages
// them into one stream of 8-bit unsigned PCM (128 = silence) when it is read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vox {

class TMyBuffer;

// Notification hook: called with the buffer as sender.
using TNotifyEvent = std::function<void(TMyBuffer* Sender)>;

// Abstract byte buffer.
class TMyBuffer {
  public:
    TMyBuffer() = default;
    TMyBuffer(const TMyBuffer&) = delete;
    TMyBuffer& operator=(const TMyBuffer&) = delete;
    virtual ~TMyBuffer() = default;

    // Called, if assigned, after every write / read. The locked buffers call them after
    // their lock has been released, on the thread that wrote or read.
    TNotifyEvent OnWrite;
    TNotifyEvent OnRead;

    // Bytes that a read could deliver now.
    virtual std::int32_t Size() const = 0;
    // Appends Count bytes from Buffer. Count <= 0 does nothing.
    virtual void Write(const void* Buffer, std::int32_t Count) = 0;
    // Moves up to Count bytes into Buffer and returns how many were moved (0 for Count <= 0).
    virtual std::int32_t Read(void* Buffer, std::int32_t Count) = 0;

  protected:
    void NotifyWrite();
    void NotifyRead();
};

// Unlocked first-in-first-out buffer over a ring of storage: reads and writes copy only the
// bytes they move, whatever the buffer holds.
//
// Storage is 0 or a multiple of kCapacityStep bytes. A write that does not fit grows it to at
// least twice its size (or to what is needed, when more), keeping the held bytes; a write
// that leaves the buffer holding a quarter of its storage or less gives the surplus back
// (down to twice the content, at least one step). A read never resizes it.
class TCustomFifoBuffer : public TMyBuffer {
  public:
    static constexpr std::int32_t kCapacityStep = 8192;
    // The largest storage a FIFO can have (the largest step multiple in 32 bits).
    static constexpr std::int32_t kMaxCapacity = INT32_MAX / kCapacityStep * kCapacityStep;

    TCustomFifoBuffer() = default;
    ~TCustomFifoBuffer() override = default;

    std::int32_t Size() const override;
    // Raises std::bad_alloc when the storage cannot grow; the buffer is then unchanged.
    void Write(const void* Buffer, std::int32_t Count) override;
    std::int32_t Read(void* Buffer, std::int32_t Count) override;
    // Empties the buffer and releases its storage.
    void Clear();
    // Drops up to Count of the oldest bytes without reading them; returns how many went.
    // Fires no notification.
    std::int32_t Discard(std::int32_t Count);
    // Copies up to Count bytes, starting Offset bytes after the oldest, without taking them;
    // returns how many were copied (0 when Offset is at or beyond the end).
    std::int32_t Peek(void* Buffer, std::int32_t Count, std::int32_t Offset) const;

    // Bytes of storage allocated: 0 or a multiple of kCapacityStep.
    std::int32_t Capacity() const;
    // Resizes the storage to NewCapacity rounded up to the step, but never below what the
    // buffer holds: held bytes are never lost. 0 (or less) on an empty buffer frees it.
    void SetCapacity(std::int32_t NewCapacity);

  private:
    // Moves the held bytes into storage of NewCapacity bytes (rounded up to the step, never
    // below Size()), oldest first at the start.
    void Resize(std::int64_t NewCapacity);
    // Copies Count bytes from the ring position At (which may wrap) into Out.
    void CopyOut(std::int64_t At, std::uint8_t* Out, std::int32_t Count) const;

    std::unique_ptr<std::uint8_t[]> FMemory;
    std::int32_t FCapacity = 0;
    std::int32_t FHead = 0;  // position of the oldest byte
    std::int32_t FSize = 0;
};

// FIFO whose every operation holds a lock: the only FIFO shared between threads. It owns an
// unlocked FIFO and gives access to it only under the lock, which is innermost: nothing is
// called out of it while it is held.
//
// A consumer thread sleeps in WaitForBytes until a write brings what it needs; Terminate()
// wakes it for good (its owner calls it when the consumer is asked to stop).
class TThreadFifoBuffer : public TMyBuffer {
  public:
    using TClock = std::chrono::steady_clock;

    TThreadFifoBuffer() = default;

    std::int32_t Size() const override;
    // Wakes the threads waiting for bytes.
    void Write(const void* Buffer, std::int32_t Count) override;
    std::int32_t Read(void* Buffer, std::int32_t Count) override;
    void Clear();
    std::int32_t Discard(std::int32_t Count);
    std::int32_t Peek(void* Buffer, std::int32_t Count, std::int32_t Offset) const;
    std::int32_t Capacity() const;
    void SetCapacity(std::int32_t NewCapacity);

    // Sleeps until the buffer holds at least MinBytes or Terminate() has been called, and at
    // most until Deadline in the second form. True when at least MinBytes are held on return.
    bool WaitForBytes(std::int32_t MinBytes);
    bool WaitForBytes(std::int32_t MinBytes, TClock::time_point Deadline);
    // Wakes every thread waiting for bytes, and makes every later wait return at once. The
    // buffer goes on storing what is written.
    void Terminate();
    bool Terminated() const;

  private:
    mutable std::mutex FLock;
    std::condition_variable FArrived;
    TCustomFifoBuffer FFifo;
    bool FTerminated = false;
};

// FIFO tagged with the producer that feeds it; lives only inside a TFusionBuffer, whose lock
// covers it. The source is an identity key and is never dereferenced.
class TFusionChildBuffer : public TCustomFifoBuffer {
  public:
    explicit TFusionChildBuffer(const void* Source) : FSource(Source) {}
    const void* Source() const { return FSource; }
    // When a read last took bytes from it.
    std::chrono::steady_clock::time_point LastRead{};

  private:
    const void* FSource;
};

// A volume in percent applied to one 8-bit unsigned sample (128 = silence): the distance from
// silence scaled, rounded half away from silence, clipped to 0..255. 100 changes nothing, 0
// gives silence.
std::uint8_t ScaleSample(std::uint8_t Sample, int Percent);

// The mixer: one child FIFO per source; a read delivers the mean of all children, a child
// with nothing at a position counting as silence there. A muted child (volume 0) is read but
// left out of the mean, as if its partner were not there.
//
// A source limit keeps a partner whose voice comes faster than it is played (a bursty link,
// a partner sending too fast) from piling up delay: when a write leaves a child holding more
// than the limit, its oldest samples beyond the limit are dropped, so what is heard next is
// never more than the limit behind.
//
// The player sleeps in WaitForData until a write brings voice; Terminate() wakes it for good.
class TFusionBuffer : public TMyBuffer {
  public:
    // A mixed read over two or more children delivers at most this many bytes at once.
    static constexpr std::int32_t MixScratchSize = 32768;
    static constexpr std::uint8_t kSilence = 128;

    TFusionBuffer() = default;
    ~TFusionBuffer() override;
    TFusionBuffer(const TFusionBuffer&) = delete;
    TFusionBuffer& operator=(const TFusionBuffer&) = delete;

    // The largest Size among the children; 0 with no child.
    std::int32_t Size() const override;
    // Data enters the mixer only through WriteFrom: this raises std::logic_error.
    void Write(const void* Buffer, std::int32_t Count) override;
    // Mixed read; see Buffer.cpp. With two or more children at most MixScratchSize bytes.
    std::int32_t Read(void* Buffer, std::int32_t Count) override;

    // Appends Count bytes to the child of Source, creating it at the end of the list on first
    // use, and wakes the thread waiting for data. Count <= 0 does nothing (and creates no
    // child).
    void WriteFrom(const void* Buffer, std::int32_t Count, const void* Source);
    // Deletes the child of Source with whatever bytes it still holds; nothing if none.
    void RemoveSource(const void* Source);

    // Number of children, and what the child of Source holds (0 when it has none).
    std::int32_t ChildCount() const;
    std::int32_t SourceSize(const void* Source) const;

    // Caps what each child may hold at Bytes (rounded down to whole samples of SampleSize
    // bytes; at least one sample); the oldest samples beyond it are dropped, a whole sample at
    // a time, when a write passes it. 0 (the default) or less: no limit. Applies from the next
    // write on.
    void SetSourceLimit(std::int32_t Bytes, std::int32_t SampleSize = 1);
    std::int32_t SourceLimit() const;
    // Bytes dropped by the limit so far, over all sources.
    std::int64_t DroppedBytes() const;

    // How loud the voice of Source is mixed, in percent (0: not at all); 100 when never set.
    // Kept from now on, also before Source's first write, until RemoveSource. Applies from the
    // next read on.
    void SetSourceVolume(const void* Source, int Percent);
    int SourceVolume(const void* Source) const;
    // How loud everything read is, in percent; 100 when never set.
    void SetOutputVolume(int Percent);
    int OutputVolume() const;
    // Whether Source's voice is in the mixer now or a read took some of it within the last
    // Within: its voice is being played.
    bool SourceActive(const void* Source, std::chrono::milliseconds Within) const;

    // Sleeps until a read could deliver something or Terminate() has been called; true in the
    // first case.
    bool WaitForData();
    // Wakes the thread waiting for data, and makes every later wait return at once.
    void Terminate();

  private:
    TFusionChildBuffer* FindChild(const void* Source) const;
    // The largest child. Under FLock.
    std::int32_t LargestChild() const;
    // Drops the child's oldest whole samples beyond the limit. Under FLock.
    void Trim(TFusionChildBuffer& Child);

    mutable std::mutex FLock;
    std::condition_variable FArrived;
    bool FTerminated = false;
    std::vector<std::unique_ptr<TFusionChildBuffer>> FChildren;
    // Working areas of the mixed read, kept between reads (at most MixScratchSize each).
    std::vector<std::uint8_t> FScratch;
    std::vector<std::uint32_t> FSums;
    std::int32_t FSourceLimit = 0;
    std::int32_t FSampleSize = 1;
    std::int64_t FDroppedBytes = 0;
    // Volumes set for sources (those not listed: 100) and for the whole.
    std::vector<std::pair<const void*, int>> FVolumes;
    int FOutputVolume = 100;
    // The volume of Source. Under FLock.
    int VolumeOf(const void* Source) const;
};

}  // namespace vox
