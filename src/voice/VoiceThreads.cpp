#include "voice/VoiceThreads.h"

#include <algorithm>
#include <array>

#include "voice/BlockCompression.h"

namespace vox {

// ---------------------------------------------------------------------------------------------
// TSendThread

TSendThread::TSendThread(IVoiceTargets* Targets) : FTargets(Targets) {}

TSendThread::~TSendThread() {
    Terminate();
    WaitFor();
}

void TSendThread::Enqueue(const void* Buffer, std::int32_t Count) {
    FSendQueue.Write(Buffer, Count);
}

void TSendThread::TerminateRequested() {
    FSendQueue.Terminate();
}

void TSendThread::Execute() {
    std::vector<std::uint8_t> packet;
    while (!Terminated()) {
        if (!FSendQueue.WaitForBytes(static_cast<std::int32_t>(kPacketHeaderSize)) ||
            !TakePacket(packet)) {
            continue;
        }
        if (FTargets == nullptr) {
            continue;
        }
        try {
            FTargets->SendVoicePacket(ByteSpan(packet.data(), packet.size()));
        } catch (...) {
            // A connection that failed has been dealt with by the targets; the others and the
            // next packets go on.
        }
    }
}

bool TSendThread::TakePacket(std::vector<std::uint8_t>& Packet) {
    if (FSendQueue.Size() < static_cast<std::int32_t>(kPacketHeaderSize)) {
        return false;
    }
    std::array<std::uint8_t, kPacketHeaderSize> header{};
    FSendQueue.Read(header.data(), static_cast<std::int32_t>(header.size()));
    const PacketHeader parsed = ReadPacketHeader(header);
    if (!CheckMagic(header) || parsed.TotalLength < kPacketHeaderSize ||
        parsed.TotalLength > kMaxPacketLength) {
        // Only whole packets are ever queued, so this is not one: nothing after it can be
        // trusted to start a packet either.
        FSendQueue.Clear();
        return false;
    }
    Packet.assign(header.begin(), header.end());
    Packet.resize(parsed.TotalLength);
    std::size_t got = kPacketHeaderSize;
    while (got < Packet.size()) {
        // The rest was queued in the same write; waiting only covers a misuse of Enqueue.
        const std::int32_t n =
            FSendQueue.Read(Packet.data() + got, static_cast<std::int32_t>(Packet.size() - got));
        got += static_cast<std::size_t>(n);
        if (n == 0 && !FSendQueue.WaitForBytes(1)) {
            return false;  // terminated
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// TEncodeThread

TEncodeThread::TEncodeThread(TSendThread& Sender, std::int32_t MaxBlockSize)
    : FSender(Sender),
      FMaxBlockSize(std::clamp<std::int32_t>(MaxBlockSize, 1, kMaxVoiceBlockSize)) {}

TEncodeThread::~TEncodeThread() {
    Terminate();
    WaitFor();
}

void TEncodeThread::TerminateRequested() {
    FInputBuffer.Terminate();
}

void TEncodeThread::Execute() {
    std::vector<std::uint8_t> pcm;
    while (!Terminated()) {
        if (!FInputBuffer.WaitForBytes(1)) {
            continue;  // terminated
        }
        const std::int32_t waiting = FInputBuffer.Size();
        pcm.resize(static_cast<std::size_t>(std::min(waiting, FMaxBlockSize)));
        const std::int32_t n = FInputBuffer.Read(pcm.data(), static_cast<std::int32_t>(pcm.size()));
        EncodeBlock(pcm.data(), n);
    }
}

// NOLINTNEXTLINE(misc-no-recursion): each call halves Count, so it goes log2(Count) deep
void TEncodeThread::EncodeBlock(const std::uint8_t* Data, std::int32_t Count) {
    if (Count <= 0) {
        return;
    }
    try {
        const std::vector<std::uint8_t> compressed = CompressBlock(Data, Count);
        if (compressed.size() > static_cast<std::size_t>(kMaxVoiceBlockSize)) {
            // Samples that do not compress can come out slightly longer than they went in:
            // such a block goes as two halves.
            if (Count > 1) {
                const std::int32_t half = Count / 2;
                EncodeBlock(Data, half);
                EncodeBlock(Data + half, Count - half);
            }
            return;
        }
        const Packet packet = BuildVoice(static_cast<std::uint16_t>(Count),
                                         ByteSpan(compressed.data(), compressed.size()));
        FSender.Enqueue(packet.data(), static_cast<std::int32_t>(packet.size()));
    } catch (const std::exception&) {
        // The block is lost; recording and the next blocks go on.
    }
}

// ---------------------------------------------------------------------------------------------
// TDecodeThread

TDecodeThread::TDecodeThread(TFusionBuffer& Mixer, std::int32_t InputLimit,
                             std::int32_t BacklogSamples, std::int32_t BacklogBlocks)
    : FMixer(Mixer),
      FInputLimit(std::max<std::int32_t>(InputLimit, 0)),
      FBacklogSamples(std::max<std::int32_t>(BacklogSamples, 0)),
      FBacklogBlocks(std::max<std::int32_t>(BacklogBlocks, 1)) {}

TDecodeThread::~TDecodeThread() {
    StopAndRemoveSource();
}

void TDecodeThread::TerminateRequested() {
    FInputBuffer.Terminate();
}

void TDecodeThread::StopAndRemoveSource() {
    Terminate();
    WaitFor();
    FMixer.RemoveSource(SourceKey());
}

bool TDecodeThread::BacklogBehind() const {
    const std::int32_t size = FInputBuffer.Size();
    if (size > FInputLimit) {
        return true;
    }
    // Walk the whole blocks waiting (the input only grows meanwhile), adding up what they say
    // they hold.
    std::int64_t samples = 0;
    std::int32_t blocks = 0;
    std::int32_t at = 0;
    std::array<std::uint8_t, kVoiceHeaderSize> header{};
    while (size - at >= static_cast<std::int32_t>(kVoiceHeaderSize) && blocks < FBacklogBlocks) {
        FInputBuffer.Peek(header.data(), static_cast<std::int32_t>(header.size()), at);
        const VoiceHeader fields = ReadVoiceHeader(ByteSpan(header.data(), header.size()));
        at += static_cast<std::int32_t>(kVoiceHeaderSize) + fields.CompressedLength;
        if (at > size) {
            break;  // still arriving
        }
        samples += fields.RawLength;
        ++blocks;
        if (samples > FBacklogSamples) {
            return true;
        }
    }
    return blocks >= FBacklogBlocks;
}

void TDecodeThread::Execute() {
    std::vector<std::uint8_t> block;
    while (!Terminated() && DecodeNext(block, true)) {
    }
}

void TDecodeThread::DecodeWaiting() {
    std::vector<std::uint8_t> block;
    while (DecodeNext(block, false)) {
    }
}

bool TDecodeThread::DecodeNext(std::vector<std::uint8_t>& block, bool wait) {
    auto have = [&](std::int32_t bytes) {
        return wait ? FInputBuffer.WaitForBytes(bytes) : FInputBuffer.Size() >= bytes;
    };
    std::int32_t length = FPendingLength;
    FPendingLength = 0;
    if (length == 0) {
        if (!have(static_cast<std::int32_t>(kVoiceHeaderSize))) {
            return false;  // terminated, or nothing more yet
        }
        std::array<std::uint8_t, kVoiceHeaderSize> header{};
        FInputBuffer.Read(header.data(), static_cast<std::int32_t>(header.size()));
        length = ReadVoiceHeader(ByteSpan(header.data(), header.size())).CompressedLength;
        if (length == 0) {
            FDropped.fetch_add(1);
            return true;
        }
    }
    // The connection appends a header and its block together, so the block is normally
    // complete; otherwise wait for the rest without taking anything else.
    if (!have(length)) {
        FPendingLength = length;
        return false;
    }
    block.resize(static_cast<std::size_t>(length));
    FInputBuffer.Read(block.data(), length);
    if (BacklogBehind()) {
        // A backlog of blocks: this one is too old to be worth the inflating.
        FSkipped.fetch_add(1);
        return true;
    }
    std::vector<std::uint8_t> samples;
    try {
        samples = DecompressBlock(block.data(), length);
    } catch (const std::runtime_error&) {
        // Corrupt, or more than a block: dropped. CompressedLength has kept the place in
        // the stream, so the next header is read as usual.
        FDropped.fetch_add(1);
        return true;
    }
    FMixer.WriteFrom(samples.data(), static_cast<std::int32_t>(samples.size()), SourceKey());
    return true;
}

}  // namespace vox
