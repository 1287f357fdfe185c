// The worker threads that carry voice between the sound device and the network:
// TEncodeThread (recorded PCM -> pcVoice packets), TSendThread (packets -> every connection)
// and TDecodeThread (one per connection: received blocks -> the playback mixer).
//
// Each thread owns its buffer and sleeps on it until there is work: a write into it wakes the
// thread, and so does Terminate(). Its destructor terminates and joins it. Create, then Start().
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/Thread.h"
#include "voice/AudioDevice.h"
#include "voice/Buffer.h"
#include "wire/Packet.h"

namespace vox {

// Where the send thread delivers voice: the connection core's lists. The implementation
// queues the packet whole on every connection whose handshake was accepted (outgoing ones
// first, then incoming ones, one list lock at a time), without waiting on the network; each
// connection's writer puts it on the wire. It may throw; the send thread ignores the error and
// goes on with the next packet.
class IVoiceTargets {
  public:
    virtual ~IVoiceTargets() = default;
    virtual void SendVoicePacket(ByteSpan Packet) = 0;
};

// Moves queued voice packets to the connections, one whole packet at a time. With no targets
// (or no connection) the queue drains all the same.
class TSendThread : public TThread {
  public:
    // Targets may be null: packets are then discarded. It must outlive the thread.
    explicit TSendThread(IVoiceTargets* Targets);
    ~TSendThread() override;
    TSendThread(const TSendThread&) = delete;
    TSendThread& operator=(const TSendThread&) = delete;

    // Appends Count bytes, one or more whole packets, to the queue in one locked write, so the
    // queue only ever holds whole packets. Count <= 0 does nothing.
    void Enqueue(const void* Buffer, std::int32_t Count);

    TThreadFifoBuffer& SendQueue() { return FSendQueue; }

  protected:
    void Execute() override;
    void TerminateRequested() override;

  private:
    // Takes the next whole packet from the queue, waiting for its rest when only part of it
    // is there; false when the queue held no packet or the thread was terminated meanwhile.
    bool TakePacket(std::vector<std::uint8_t>& Packet);

    IVoiceTargets* const FTargets;
    TThreadFifoBuffer FSendQueue;
};

// Compresses recorded PCM into pcVoice packets and queues them on the send thread. Each packet
// carries at most MaxBlockSize bytes of PCM (one recording buffer by default), so input that
// piled up leaves as several packets and no length ever exceeds its 16-bit field.
class TEncodeThread : public TThread {
  public:
    // Sender must outlive this thread. MaxBlockSize is clamped to 1..kMaxVoiceBlockSize.
    explicit TEncodeThread(TSendThread& Sender, std::int32_t MaxBlockSize = kVoiceBlockSize);
    ~TEncodeThread() override;
    TEncodeThread(const TEncodeThread&) = delete;
    TEncodeThread& operator=(const TEncodeThread&) = delete;

    // The recorder's target.
    TThreadFifoBuffer& InputBuffer() { return FInputBuffer; }

  protected:
    void Execute() override;
    void TerminateRequested() override;

  private:
    // Builds and queues the packet(s) of Count bytes; a block that cannot be compressed is
    // lost, the thread goes on.
    void EncodeBlock(const std::uint8_t* Data, std::int32_t Count);

    TSendThread& FSender;
    const std::int32_t FMaxBlockSize;
    TThreadFifoBuffer FInputBuffer;
};

// What a decode thread lets wait behind the block it is about to decode; beyond any of these
// the oldest blocks are dropped undecoded. Bytes: two of the largest packets.
inline constexpr std::int32_t kDecodeInputLimit =
    static_cast<std::int32_t>(2 * (kVoiceHeaderSize + kMaxFieldLength));
// Voice, by the RawLength of the blocks waiting: the partner's backlog (1.2 s).
inline constexpr std::int32_t kDecodeBacklogSamples =
    static_cast<std::int32_t>(kVoiceFormat.AvgBytesPerSec * kVoiceBacklogMs / 1000);
// Blocks, whatever they claim to hold.
inline constexpr std::int32_t kDecodeBacklogBlocks = 64;

// Decodes one connection's voice into the mixer, under the key of its own input buffer. The
// connection appends each VoiceHeader together with its block to InputBuffer. A block that is
// empty, corrupt or would inflate beyond kMaxVoiceBlockSize is dropped; the next one is found
// from the header's CompressedLength and decoded as usual. When too much waits behind a
// block (the partner sends faster than blocks can be decoded, a flood of blocks that inflate
// to the maximum, a machine too busy to keep up) -- more than InputLimit bytes, more than
// BacklogSamples of voice by the waiting blocks' RawLength, or BacklogBlocks blocks or more
// -- that block is dropped without being decoded, so the input stays bounded and the voice
// that is decoded stays recent.
class TDecodeThread : public TThread {
  public:
    // The mixer must outlive this object.
    explicit TDecodeThread(TFusionBuffer& Mixer, std::int32_t InputLimit = kDecodeInputLimit,
                           std::int32_t BacklogSamples = kDecodeBacklogSamples,
                           std::int32_t BacklogBlocks = kDecodeBacklogBlocks);
    // StopAndRemoveSource().
    ~TDecodeThread() override;
    TDecodeThread(const TDecodeThread&) = delete;
    TDecodeThread& operator=(const TDecodeThread&) = delete;

    TThreadFifoBuffer& InputBuffer() { return FInputBuffer; }
    // The key of this connection's stream in the mixer.
    const void* SourceKey() const { return &FInputBuffer; }

    // Terminates the thread, waits for it to end and only then removes its stream from the
    // mixer, so that no block decoded late can leave a child behind. Safe to call twice.
    void StopAndRemoveSource();

    // Decodes on the calling thread the whole blocks the input holds now, without waiting for
    // more, as the thread would; a header whose block has not fully arrived is taken and its
    // block awaited at the next call. For running the decoding in one thread; only on an
    // object whose thread has not been started.
    void DecodeWaiting();

    // Blocks dropped as empty or corrupt so far.
    std::int64_t DroppedBlocks() const { return FDropped.load(); }
    // Blocks dropped undecoded because too much waited behind them.
    std::int64_t SkippedBlocks() const { return FSkipped.load(); }

  protected:
    void Execute() override;
    void TerminateRequested() override;

  private:
    // Whether too much waits in the input behind the block just taken.
    bool BacklogBehind() const;
    // Takes the next header and its block and decodes the block into the mixer, waiting for
    // them (wait) or not; false when terminated, or (not waiting) when they are not there yet.
    bool DecodeNext(std::vector<std::uint8_t>& block, bool wait);

    TFusionBuffer& FMixer;
    const std::int32_t FInputLimit;
    const std::int32_t FBacklogSamples;
    const std::int32_t FBacklogBlocks;
    TThreadFifoBuffer FInputBuffer;
    std::int32_t FPendingLength = 0;  // a block whose header DecodeWaiting() has taken
    std::atomic<std::int64_t> FDropped{0};
    std::atomic<std::int64_t> FSkipped{0};
};

}  // namespace vox
