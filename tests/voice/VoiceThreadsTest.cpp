#include "voice/VoiceThreads.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <numeric>
#include <random>
#include <stdexcept>

#include "support/FileAudioDevice.h"
#include "voice/BlockCompression.h"
#include "voice/Sound.h"
#include "voice/VoiceTestSupport.h"

namespace vox {
namespace {

using test::Bytes;
using test::Drain;
using test::kIdleSwitchLimit;
using test::Sequence;
using test::SleepMs;
using test::SwitchesOver;
using test::WaitUntil;

std::uint16_t Get16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(Get16(b, at)) |
           (static_cast<std::uint32_t>(Get16(b, at + 2)) << 16);
}

Bytes Noise(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(count);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Cuts a queue's content into the packets it holds, by their TotalLength.
std::vector<Bytes> SplitPackets(const Bytes& stream) {
    std::vector<Bytes> packets;
    std::size_t at = 0;
    while (at + kPacketHeaderSize <= stream.size()) {
        const std::uint32_t total = Get32(stream, at + 9);
        EXPECT_GE(total, kPacketHeaderSize + kVoiceHeaderSize);
        if (total < kPacketHeaderSize || at + total > stream.size()) {
            ADD_FAILURE() << "truncated packet at " << at;
            break;
        }
        packets.emplace_back(stream.begin() + at, stream.begin() + at + total);
        at += total;
    }
    EXPECT_EQ(at, stream.size());
    return packets;
}

// What a connection hands its decode thread for one pcVoice packet: VoiceHeader and block.
Bytes VoicePart(const Bytes& packet) {
    return Bytes(packet.begin() + kPacketHeaderSize, packet.end());
}

Bytes VoicePartOf(const Bytes& pcm) {
    const auto block = CompressBlock(pcm.data(), static_cast<std::int32_t>(pcm.size()));
    const Packet packet = BuildVoice(static_cast<std::uint16_t>(pcm.size()), block);
    return VoicePart(packet);
}

Bytes VoiceHeaderFor(std::uint16_t raw, std::uint16_t compressed) {
    return {0,
            0,
            static_cast<std::uint8_t>(raw),
            static_cast<std::uint8_t>(raw >> 8),
            static_cast<std::uint8_t>(compressed),
            static_cast<std::uint8_t>(compressed >> 8),
            0,
            0};
}

// Decodes every packet and concatenates the PCM.
Bytes DecodeAll(const std::vector<Bytes>& packets) {
    Bytes pcm;
    for (const Bytes& p : packets) {
        const Bytes block(p.begin() + kPacketHeaderSize + kVoiceHeaderSize, p.end());
        const Bytes raw = DecompressBlock(block.data(), static_cast<std::int32_t>(block.size()));
        EXPECT_EQ(raw.size(), Get16(p, kPacketHeaderSize + 2));
        pcm.insert(pcm.end(), raw.begin(), raw.end());
    }
    return pcm;
}

class TFakeTargets : public IVoiceTargets {
  public:
    void SendVoicePacket(ByteSpan Packet) override {
        std::lock_guard lock(FLock);
        ++FCalls;
        if (FCalls == FThrowOnCall) {
            throw std::runtime_error("write failed");
        }
        FPackets.emplace_back(Packet.begin(), Packet.end());
    }
    void ThrowOnCall(int call) {
        std::lock_guard lock(FLock);
        FThrowOnCall = call;
    }
    int Calls() const {
        std::lock_guard lock(FLock);
        return FCalls;
    }
    std::vector<Bytes> Packets() const {
        std::lock_guard lock(FLock);
        return FPackets;
    }

  private:
    mutable std::mutex FLock;
    int FCalls = 0;
    int FThrowOnCall = 0;
    std::vector<Bytes> FPackets;
};

// ---------------------------------------------------------------------------------------------
// Encode thread

TEST(EncodeThread, BuildsTheVoicePacketByteForByte) {
    TSendThread sender(nullptr);  // not started: the queue keeps what is enqueued
    TEncodeThread encoder(sender, kVoiceBlockSize);
    const Bytes pcm = Sequence(4410);
    encoder.InputBuffer().Write(pcm.data(), 4410);
    encoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return sender.SendQueue().Size() > 0; }));
    const Bytes packet = Drain(sender.SendQueue());  // enqueued in one write: whole already

    const Bytes block = CompressBlock(pcm.data(), 4410);
    ASSERT_EQ(packet.size(), 22 + block.size());
    EXPECT_EQ(std::string(packet.begin(), packet.begin() + 7), "VOXILEN");
    EXPECT_EQ(Get16(packet, 7), 0);
    EXPECT_EQ(Get32(packet, 9), packet.size());
    EXPECT_EQ(packet[13], pcVoice);
    EXPECT_EQ(Get16(packet, 14), 0);
    EXPECT_EQ(Get16(packet, 16), 4410);          // RawLength
    EXPECT_EQ(Get16(packet, 18), block.size());  // CompressedLength
    EXPECT_EQ(Get16(packet, 20), 0);
    EXPECT_EQ(Bytes(packet.begin() + 22, packet.end()), block);
}

TEST(EncodeThread, OneSecondWaitingLeavesAsTwoFullBlocksAndThePartialOne) {
    TSendThread sender(nullptr);
    TEncodeThread encoder(sender, kVoiceBlockSize);
    const Bytes pcm = Sequence(11025);
    encoder.InputBuffer().Write(pcm.data(), 11025);
    encoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return encoder.InputBuffer().Size() == 0; }));
    encoder.Terminate();
    encoder.WaitFor();
    const std::vector<Bytes> packets = SplitPackets(Drain(sender.SendQueue()));
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(Get16(packets[0], 16), 4410);
    EXPECT_EQ(Get16(packets[1], 16), 4410);
    EXPECT_EQ(Get16(packets[2], 16), 2205);
    EXPECT_EQ(DecodeAll(packets), pcm);
}

TEST(EncodeThread, InputBeyondTheLengthFieldsIsCutIntoSeveralPackets) {
    // Noise hardly compresses: a block of 65535 would come out longer than 65535.
    TSendThread sender(nullptr);
    TEncodeThread encoder(sender, kMaxVoiceBlockSize);
    const Bytes pcm = Noise(150000, 7);
    encoder.InputBuffer().Write(pcm.data(), static_cast<std::int32_t>(pcm.size()));
    encoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return encoder.InputBuffer().Size() == 0; }));
    encoder.Terminate();
    encoder.WaitFor();
    const std::vector<Bytes> packets = SplitPackets(Drain(sender.SendQueue()));
    ASSERT_GE(packets.size(), 3u);
    for (const Bytes& p : packets) {
        EXPECT_LE(p.size() - 22, 65535u);
        EXPECT_EQ(Get16(p, 18), p.size() - 22);
        EXPECT_GT(Get16(p, 16), 0);
    }
    EXPECT_EQ(DecodeAll(packets), pcm);
}

// ---------------------------------------------------------------------------------------------
// Send thread

TEST(SendThread, DeliversWholePacketsInOrder) {
    TFakeTargets targets;
    TSendThread sender(&targets);
    std::vector<Bytes> sent;
    for (const std::size_t size : {2500u, 10u, 4000u, 1u}) {
        sent.push_back(BuildVoice(123, Sequence(size, static_cast<unsigned>(size))));
        sender.Enqueue(sent.back().data(), static_cast<std::int32_t>(sent.back().size()));
    }
    sender.Start();
    ASSERT_TRUE(WaitUntil([&] { return targets.Packets().size() == sent.size(); }));
    EXPECT_EQ(targets.Packets(), sent);  // one call per packet, each whole
    EXPECT_EQ(sender.SendQueue().Size(), 0);
}

TEST(SendThread, GoesOnAfterATargetFailsAndDrainsWithoutTargets) {
    TFakeTargets targets;
    targets.ThrowOnCall(1);
    TSendThread sender(&targets);
    sender.Start();
    const Bytes a = BuildVoice(1, Sequence(100));
    const Bytes b = BuildVoice(2, Sequence(200));
    sender.Enqueue(a.data(), static_cast<std::int32_t>(a.size()));
    sender.Enqueue(b.data(), static_cast<std::int32_t>(b.size()));
    ASSERT_TRUE(WaitUntil([&] { return targets.Calls() == 2; }));
    EXPECT_EQ(targets.Packets(), std::vector<Bytes>{b});
    EXPECT_FALSE(sender.Finished());

    TSendThread alone(nullptr);
    alone.Enqueue(a.data(), static_cast<std::int32_t>(a.size()));
    alone.Enqueue(b.data(), static_cast<std::int32_t>(b.size()));
    alone.Start();
    ASSERT_TRUE(WaitUntil([&] { return alone.SendQueue().Size() == 0; }));
}

TEST(SendThread, RecordedVoiceReachesTheTargetsAsWholePackets) {
    // Holding the talk control for one second, end to end up to the connections.
    TFakeTargets targets;
    TSendThread sender(&targets);
    TEncodeThread encoder(sender, kVoiceBlockSize);
    auto device = std::make_unique<TFileAudioInput>(Sequence(11025), 0, 441);
    TFileAudioInput* input = device.get();
    TMySound sound(std::move(device));
    sender.Start();
    encoder.Start();

    sound.StartRecording(kVoiceFormat, kVoiceBlockSize, encoder.InputBuffer());
    ASSERT_TRUE(input->WaitExhausted(5000));
    sound.StopRecording();
    ASSERT_TRUE(WaitUntil([&] { return targets.Packets().size() == 3; }));
    const std::vector<Bytes> packets = targets.Packets();
    for (const Bytes& p : packets) {
        EXPECT_EQ(Get32(p, 9), p.size());
    }
    EXPECT_EQ(Get16(packets[0], 16), 4410);
    EXPECT_EQ(Get16(packets[1], 16), 4410);
    EXPECT_EQ(Get16(packets[2], 16), 2205);
    EXPECT_EQ(DecodeAll(packets), Sequence(11025));
}

// ---------------------------------------------------------------------------------------------
// Decode thread

TEST(DecodeThread, DecodesIntoTheMixerUnderItsOwnKey) {
    TFusionBuffer mixer;
    TDecodeThread decoder(mixer);
    const Bytes pcm = Sequence(4410);
    const Bytes part = VoicePartOf(pcm);
    decoder.InputBuffer().Write(part.data(), static_cast<std::int32_t>(part.size()));
    decoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return mixer.SourceSize(decoder.SourceKey()) == 4410; }));
    EXPECT_EQ(decoder.SourceKey(), static_cast<const void*>(&decoder.InputBuffer()));
    EXPECT_EQ(Drain(mixer), pcm);
}

TEST(DecodeThread, DropsEmptyCorruptAndOversizedBlocksAndDecodesTheNext) {
    TFusionBuffer mixer;
    TDecodeThread decoder(mixer);
    Bytes stream = VoiceHeaderFor(100, 0);  // an empty block
    const Bytes garbage = Noise(50, 3);
    const Bytes corrupt = VoiceHeaderFor(100, 50);
    stream.insert(stream.end(), corrupt.begin(), corrupt.end());
    stream.insert(stream.end(), garbage.begin(), garbage.end());
    const Bytes oversized = VoicePart(
        BuildVoice(0, CompressBlock(Bytes(70000, 128).data(), 70000)));  // inflates to 70000
    stream.insert(stream.end(), oversized.begin(), oversized.end());
    const Bytes pcm = Sequence(3000);
    const Bytes good = VoicePartOf(pcm);
    stream.insert(stream.end(), good.begin(), good.end());

    decoder.InputBuffer().Write(stream.data(), static_cast<std::int32_t>(stream.size()));
    decoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return mixer.Size() == 3000; }));
    EXPECT_EQ(decoder.DroppedBlocks(), 3);
    EXPECT_EQ(Drain(mixer), pcm);
    EXPECT_FALSE(decoder.Finished());
}

TEST(DecodeThread, WaitsForABlockThatHasNotFullyArrived) {
    TFusionBuffer mixer;
    TDecodeThread decoder(mixer);
    const Bytes first = VoicePartOf(Sequence(2000));
    const Bytes second = VoicePartOf(Sequence(1000, 4));
    Bytes stream = first;
    stream.insert(stream.end(), second.begin(), second.end());
    const auto half = static_cast<std::int32_t>(first.size() / 2);
    decoder.InputBuffer().Write(stream.data(), half);
    decoder.Start();
    SleepMs(30);
    EXPECT_EQ(mixer.Size(), 0);
    EXPECT_EQ(decoder.InputBuffer().Size(), half - 8);  // the header taken, nothing more
    decoder.InputBuffer().Write(stream.data() + half,
                                static_cast<std::int32_t>(stream.size()) - half);
    ASSERT_TRUE(WaitUntil([&] { return mixer.Size() == 3000; }));
    Bytes expected = Sequence(2000);
    const Bytes tail = Sequence(1000, 4);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Drain(mixer), expected);
}

// The decoding run on the calling thread takes the steps the thread takes: whole blocks into
// the mixer, an empty one dropped, and a block that has not fully arrived left for the next
// look with its header taken.
TEST(DecodeThread, DecodingOnTheCallingThreadKeepsAHalfArrivedBlockForTheNextLook) {
    TFusionBuffer mixer;
    TDecodeThread decoder(mixer);
    Bytes stream = VoiceHeaderFor(100, 0);
    const Bytes first = VoicePartOf(Sequence(2000));
    const Bytes second = VoicePartOf(Sequence(1000, 4));
    stream.insert(stream.end(), first.begin(), first.end());
    const auto cut = static_cast<std::int32_t>(stream.size() + second.size() / 2);
    stream.insert(stream.end(), second.begin(), second.end());

    decoder.InputBuffer().Write(stream.data(), cut);
    decoder.DecodeWaiting();
    EXPECT_EQ(mixer.Size(), 2000);
    EXPECT_EQ(decoder.DroppedBlocks(), 1);
    const std::int32_t halfBlock =
        cut - static_cast<std::int32_t>(stream.size() - second.size()) - 8;
    EXPECT_EQ(decoder.InputBuffer().Size(), halfBlock);
    decoder.DecodeWaiting();  // nothing new: nothing more taken
    EXPECT_EQ(decoder.InputBuffer().Size(), halfBlock);

    decoder.InputBuffer().Write(stream.data() + cut,
                                static_cast<std::int32_t>(stream.size()) - cut);
    decoder.DecodeWaiting();
    EXPECT_EQ(decoder.InputBuffer().Size(), 0);
    Bytes expected = Sequence(2000);
    const Bytes tail = Sequence(1000, 4);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Drain(mixer), expected);
    EXPECT_FALSE(decoder.Started());
    decoder.StopAndRemoveSource();
    EXPECT_EQ(mixer.ChildCount(), 0);
}

TEST(DecodeThread, TwoPartnersGetTwoChildrenAndAreHeardMixed) {
    TFusionBuffer mixer;
    TDecodeThread a(mixer);
    TDecodeThread b(mixer);
    const Bytes partA = VoicePartOf(Bytes(1000, 100));
    const Bytes partB = VoicePartOf(Bytes(1000, 200));
    a.InputBuffer().Write(partA.data(), static_cast<std::int32_t>(partA.size()));
    b.InputBuffer().Write(partB.data(), static_cast<std::int32_t>(partB.size()));
    a.Start();
    b.Start();
    ASSERT_TRUE(WaitUntil([&] {
        return mixer.SourceSize(a.SourceKey()) == 1000 && mixer.SourceSize(b.SourceKey()) == 1000;
    }));
    EXPECT_EQ(mixer.ChildCount(), 2);
    EXPECT_EQ(Drain(mixer), Bytes(1000, 150));
}

TEST(DecodeThread, ABacklogOfBlocksIsDroppedOldestFirstWithoutDecoding) {
    TFusionBuffer mixer;
    std::vector<Bytes> parts;
    for (int i = 0; i < 10; ++i) {
        parts.push_back(VoicePartOf(Bytes(1000, static_cast<std::uint8_t>(10 + i))));
    }
    // Room for two blocks behind the one about to be decoded.
    const auto partSize = static_cast<std::int32_t>(parts[0].size());
    TDecodeThread decoder(mixer, 2 * partSize);
    for (const Bytes& part : parts) {
        ASSERT_EQ(static_cast<std::int32_t>(part.size()), partSize);
        decoder.InputBuffer().Write(part.data(), partSize);
    }
    decoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return mixer.Size() == 3000; }));
    SleepMs(20);
    EXPECT_EQ(decoder.SkippedBlocks(), 7);
    EXPECT_EQ(decoder.DroppedBlocks(), 0);
    Bytes expected(1000, 17);
    expected.resize(2000, 18);
    expected.resize(3000, 19);
    EXPECT_EQ(Drain(mixer), expected);
}

TEST(DecodeThread, MoreThanTheBacklogOfVoiceWaitingDropsTheOldestBlocks) {
    // Blocks of 0.4 s each, all waiting at once (a machine that fell behind): a block with
    // more than 1.2 s of voice (by RawLength) waiting behind it is dropped undecoded.
    TFusionBuffer mixer;
    TDecodeThread decoder(mixer);
    for (int i = 0; i < 10; ++i) {
        const Bytes part = VoicePartOf(Bytes(kVoiceBlockSize, static_cast<std::uint8_t>(10 + i)));
        decoder.InputBuffer().Write(part.data(), static_cast<std::int32_t>(part.size()));
    }
    decoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return mixer.Size() == 4 * kVoiceBlockSize; }));
    SleepMs(20);
    EXPECT_EQ(decoder.SkippedBlocks(), 6);
    Bytes expected;
    for (int i = 6; i < 10; ++i) {
        expected.resize(expected.size() + kVoiceBlockSize, static_cast<std::uint8_t>(10 + i));
    }
    EXPECT_EQ(Drain(mixer), expected);
}

TEST(DecodeThread, ManyBlocksWaitingAreDroppedWhateverTheyClaimToHold) {
    // Blocks that claim to hold no voice (RawLength 0): the number waiting bounds them.
    TFusionBuffer mixer;
    TDecodeThread decoder(mixer, kDecodeInputLimit, kDecodeBacklogSamples, 8);
    for (int i = 0; i < 20; ++i) {
        const Bytes pcm(10, static_cast<std::uint8_t>(i));
        const auto block = CompressBlock(pcm.data(), 10);
        const Bytes part = VoicePart(BuildVoice(0, block));
        decoder.InputBuffer().Write(part.data(), static_cast<std::int32_t>(part.size()));
    }
    decoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return decoder.InputBuffer().Size() == 0; }));
    SleepMs(20);
    // Blocks 0 to 11 had 8 or more whole blocks behind them.
    EXPECT_EQ(decoder.SkippedBlocks(), 12);
    EXPECT_EQ(mixer.Size(), 80);
    EXPECT_EQ(Drain(mixer).front(), 12);
}

TEST(DecodeThread, StoppingBeforeRemovingTheSourceLeavesNoChildBehind) {
    TFusionBuffer mixer;
    TDecodeThread decoder(mixer);
    const Bytes part = VoicePartOf(Sequence(4410));
    for (int i = 0; i < 200; ++i) {
        decoder.InputBuffer().Write(part.data(), static_cast<std::int32_t>(part.size()));
    }
    decoder.Start();
    ASSERT_TRUE(WaitUntil([&] { return mixer.Size() > 0; }));
    decoder.StopAndRemoveSource();  // while blocks are still waiting to be decoded
    EXPECT_TRUE(decoder.Finished());
    EXPECT_EQ(mixer.ChildCount(), 0);
    SleepMs(20);
    EXPECT_EQ(mixer.ChildCount(), 0);
    decoder.StopAndRemoveSource();  // a second call is harmless
}

// ---------------------------------------------------------------------------------------------
// Sleeping until there is work

// A send thread that has taken the header of a packet whose rest has not been queued yet.
void QueueOnlyTheHeader(TSendThread& Sender, const Bytes& Packet) {
    Sender.SendQueue().Write(Packet.data(), static_cast<std::int32_t>(kPacketHeaderSize));
    ASSERT_TRUE(WaitUntil([&] { return Sender.SendQueue().Size() == 0; }));
}

// A decode thread that has taken the header of a block whose rest has not arrived yet.
void FeedHalfABlock(TDecodeThread& Decoder, const Bytes& Part) {
    const auto half = static_cast<std::int32_t>(Part.size() / 2);
    Decoder.InputBuffer().Write(Part.data(), half);
    ASSERT_TRUE(WaitUntil([&] {
        return Decoder.InputBuffer().Size() == half - static_cast<std::int32_t>(kVoiceHeaderSize);
    }));
}

TEST(VoiceThreads, IdleThreadsSleepAndAWriteWakesThem) {
    TFakeTargets targets;
    TSendThread sender(&targets);
    TEncodeThread encoder(sender);
    TSendThread halfway(nullptr);
    TFusionBuffer mixer;
    TDecodeThread idle(mixer);
    TDecodeThread partial(mixer);
    for (TThread* thread : std::vector<TThread*>{&sender, &encoder, &halfway, &idle, &partial}) {
        thread->Start();
    }
    const Bytes packet = BuildVoice(100, Sequence(300));
    QueueOnlyTheHeader(halfway, packet);
    const Bytes part = VoicePartOf(Sequence(3000, 2));
    FeedHalfABlock(partial, part);

    // Nothing to do, also halfway through a packet or a block: nobody looks for work.
    const std::vector<std::int64_t> switches =
        SwitchesOver({&sender, &encoder, &halfway, &idle, &partial}, 1000);
    const char* const names[] = {"send", "encode", "send mid-packet", "decode", "decode mid-block"};
    for (std::size_t i = 0; i < switches.size(); ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_GE(switches[i], 0);
        EXPECT_LT(switches[i], kIdleSwitchLimit);
    }

    // Each wakes for its work.
    const Bytes pcm = Sequence(1000, 5);
    encoder.InputBuffer().Write(pcm.data(), 1000);
    ASSERT_TRUE(WaitUntil([&] { return targets.Packets().size() == 1; }));
    EXPECT_EQ(DecodeAll(targets.Packets()), pcm);
    halfway.SendQueue().Write(packet.data() + kPacketHeaderSize,
                              static_cast<std::int32_t>(packet.size() - kPacketHeaderSize));
    ASSERT_TRUE(WaitUntil([&] { return halfway.SendQueue().Size() == 0; }));
    const Bytes other = VoicePartOf(Sequence(1000, 6));
    idle.InputBuffer().Write(other.data(), static_cast<std::int32_t>(other.size()));
    ASSERT_TRUE(WaitUntil([&] { return mixer.SourceSize(idle.SourceKey()) == 1000; }));
    partial.InputBuffer().Write(part.data() + part.size() / 2,
                                static_cast<std::int32_t>(part.size() - part.size() / 2));
    ASSERT_TRUE(WaitUntil([&] { return mixer.SourceSize(partial.SourceKey()) == 3000; }));
}

TEST(VoiceThreads, TerminateWakesAWaitingThreadAtOnce) {
    // Each thread sleeps until its input brings work: Terminate must wake it, or it would never
    // end. Waiting for nothing, and waiting for the rest of a packet or a block.
    const Bytes packet = BuildVoice(100, Sequence(300));
    const Bytes part = VoicePartOf(Sequence(3000));
    struct TCase {
        const char* Name;
        std::function<void()> Run;
    };
    const auto stops = [](TThread& Thread) {
        Thread.Terminate();
        EXPECT_TRUE(WaitUntil([&] { return Thread.Finished(); }, 5000));
        Thread.WaitFor();
    };
    TFusionBuffer mixer;
    const std::vector<TCase> cases = {
        {"send",
         [&] {
             TSendThread sender(nullptr);
             sender.Start();
             stops(sender);
         }},
        {"send mid-packet",
         [&] {
             TSendThread sender(nullptr);
             sender.Start();
             QueueOnlyTheHeader(sender, packet);
             stops(sender);
         }},
        {"encode",
         [&] {
             TSendThread sender(nullptr);
             TEncodeThread encoder(sender);
             encoder.Start();
             stops(encoder);
         }},
        {"decode",
         [&] {
             TDecodeThread decoder(mixer);
             decoder.Start();
             stops(decoder);
         }},
        {"decode mid-block",
         [&] {
             TDecodeThread decoder(mixer);
             decoder.Start();
             FeedHalfABlock(decoder, part);
             stops(decoder);
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Run();
    }
    EXPECT_EQ(mixer.ChildCount(), 0);
}

}  // namespace
}  // namespace vox
