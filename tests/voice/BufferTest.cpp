#include "voice/Buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vox {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Take(TMyBuffer& buffer, std::int32_t count) {
    Bytes out(static_cast<std::size_t>(count), 0xEE);
    out.resize(static_cast<std::size_t>(buffer.Read(out.data(), count)));
    return out;
}

Bytes Sequence(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

TEST(FifoBuffer, CapacityGrowsInStepsAndFollowsTheContentOnWrite) {
    TCustomFifoBuffer fifo;
    EXPECT_EQ(fifo.Capacity(), 0);
    const Bytes data = Sequence(10000);
    fifo.Write(data.data(), 1);
    EXPECT_EQ(fifo.Capacity(), 8192);
    fifo.Write(data.data() + 1, 8191);
    EXPECT_EQ(fifo.Capacity(), 8192);
    fifo.Write(data.data() + 8192, 1);
    EXPECT_EQ(fifo.Capacity(), 16384);
    fifo.Write(data.data() + 8193, 10000 - 8193);

    // A read keeps the storage; the next write shrinks it to the content rounded up.
    EXPECT_EQ(Take(fifo, 9000), Bytes(data.begin(), data.begin() + 9000));
    EXPECT_EQ(fifo.Capacity(), 16384);
    const Bytes tail = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    fifo.Write(tail.data(), 10);
    EXPECT_EQ(fifo.Capacity(), 8192);
    Bytes expected(data.begin() + 9000, data.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Take(fifo, 5000), expected);  // asking for more returns exactly the content

    fifo.Write(tail.data(), 10);
    fifo.Clear();
    EXPECT_EQ(fifo.Size(), 0);
    EXPECT_EQ(fifo.Capacity(), 0);
}

TEST(FifoBuffer, PartialReadsKeepOrderAndAnEmptyReadLeavesTheDestination) {
    TThreadFifoBuffer fifo;
    std::uint8_t untouched[4] = {9, 9, 9, 9};
    EXPECT_EQ(fifo.Read(untouched, 4), 0);
    EXPECT_EQ(untouched[0], 9);

    const Bytes data = Sequence(300);
    fifo.Write(data.data(), 100);
    fifo.Write(data.data() + 100, 200);
    Bytes got = Take(fifo, 1);
    for (const std::int32_t step : {2, 97, 150, 1000}) {
        const Bytes part = Take(fifo, step);
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, data);
}

TEST(FifoBuffer, NonPositiveCountsChangeNothingAndNotifyNobody) {
    for (const bool locked : {false, true}) {
        std::unique_ptr<TCustomFifoBuffer> fifo =
            locked ? std::make_unique<TThreadFifoBuffer>() : std::make_unique<TCustomFifoBuffer>();
        int notifications = 0;
        fifo->OnWrite = fifo->OnRead = [&](TMyBuffer*) { ++notifications; };
        std::uint8_t byte = 42;
        fifo->Write(&byte, 0);
        fifo->Write(&byte, -5);
        EXPECT_EQ(fifo->Read(&byte, 0), 0);
        EXPECT_EQ(fifo->Read(&byte, -1), 0);
        EXPECT_EQ(fifo->Capacity(), 0);
        EXPECT_EQ(notifications, 0);
    }
}

TEST(FifoBuffer, NotificationsRunOutsideTheLockWithTheBufferAsSender) {
    TThreadFifoBuffer fifo;
    std::vector<std::int32_t> sizesSeen;
    // Calling back into the buffer would deadlock if the lock were still held.
    fifo.OnWrite = fifo.OnRead = [&](TMyBuffer* sender) {
        EXPECT_EQ(sender, &fifo);
        sizesSeen.push_back(sender->Size());
    };
    const Bytes data = Sequence(10);
    fifo.Write(data.data(), 10);
    Take(fifo, 4);
    EXPECT_EQ(sizesSeen, (std::vector<std::int32_t>{10, 6}));
}

TEST(FifoBuffer, PeekCopiesFromAnOffsetAndTakesNothing) {
    TThreadFifoBuffer fifo;
    const Bytes data = Sequence(100);
    fifo.Write(data.data(), 100);
    Bytes seen(10, 0xEE);
    EXPECT_EQ(fifo.Peek(seen.data(), 10, 95), 5);  // only what is there
    EXPECT_EQ(Bytes(seen.begin(), seen.begin() + 5), Bytes(data.begin() + 95, data.end()));
    EXPECT_EQ(fifo.Peek(seen.data(), 10, 100), 0);
    EXPECT_EQ(fifo.Peek(seen.data(), 10, -1), 0);
    EXPECT_EQ(fifo.Peek(seen.data(), 4, 0), 4);
    EXPECT_EQ(Bytes(seen.begin(), seen.begin() + 4), Bytes(data.begin(), data.begin() + 4));
    EXPECT_EQ(fifo.Size(), 100);
    EXPECT_EQ(Take(fifo, 100), data);
}

TEST(FifoBuffer, SetCapacityNeverDropsHeldBytes) {
    TCustomFifoBuffer fifo;
    const Bytes data = Sequence(20000);
    fifo.Write(data.data(), 20000);
    fifo.SetCapacity(0);
    EXPECT_EQ(fifo.Capacity(), 24576);
    fifo.SetCapacity(8192 * 5);
    EXPECT_EQ(fifo.Capacity(), 8192 * 5);
    EXPECT_EQ(Take(fifo, 20000), data);
}

TEST(FifoBuffer, ConcurrentWriterAndReaderSeeEveryByteInOrder) {
    TThreadFifoBuffer fifo;
    const Bytes data = Sequence(200000);
    std::thread writer([&] {
        std::size_t at = 0;
        for (std::size_t step = 1; at < data.size(); step = step % 4410 + 37) {
            const std::size_t n = std::min(step, data.size() - at);
            fifo.Write(data.data() + at, static_cast<std::int32_t>(n));
            at += n;
        }
    });
    Bytes got;
    std::uint8_t piece[1024];
    for (std::int32_t step = 1; got.size() < data.size(); step = step % 1024 + 1) {
        if (fifo.Size() == 0) {
            std::this_thread::yield();
            continue;
        }
        const std::int32_t n = fifo.Read(piece, step);
        got.insert(got.end(), piece, piece + n);
    }
    writer.join();
    EXPECT_EQ(got, data);
}

TEST(FusionBuffer, OneChildPassesThroughUnchangedWithoutALimit) {
    TFusionBuffer mixer;
    std::uint8_t untouched = 7;
    EXPECT_EQ(mixer.Read(&untouched, 1), 0);
    EXPECT_EQ(untouched, 7);

    const Bytes data = Sequence(40000);
    mixer.WriteFrom(data.data(), 40000, &mixer);
    EXPECT_EQ(mixer.Size(), 40000);
    EXPECT_EQ(Take(mixer, 50000), data);
    EXPECT_THROW(mixer.Write(data.data(), 1), std::logic_error);
}

TEST(FusionBuffer, MixesThePlainMeanRoundedHalfUpWithSilenceForMissingBytes) {
    TFusionBuffer mixer;
    int a = 0, b = 0;
    const Bytes first = {200, 200, 255, 0, 1}, second = {100};
    mixer.WriteFrom(first.data(), 2, &a);
    mixer.WriteFrom(second.data(), 1, &b);
    EXPECT_EQ(mixer.Size(), 2);
    std::uint8_t out[4] = {1, 1, 1, 1};
    ASSERT_EQ(mixer.Read(out, 4), 2);
    EXPECT_EQ(out[0], 150);
    EXPECT_EQ(out[1], 164);  // 200 against silence
    EXPECT_EQ(out[2], 1);    // beyond what was mixed: untouched

    // A drained child stays and still counts as silence.
    mixer.WriteFrom(first.data() + 2, 3, &a);
    EXPECT_EQ(mixer.ChildCount(), 2);
    EXPECT_EQ(Take(mixer, 3), (Bytes{192, 64, 65}));

    // Three children: 1/3 rounds down, 254.67 up.
    int c = 0;
    const Bytes low = {0, 255}, high = {1, 254};
    mixer.WriteFrom(low.data(), 2, &a);
    mixer.WriteFrom(low.data(), 2, &b);
    mixer.WriteFrom(high.data(), 2, &c);
    EXPECT_EQ(Take(mixer, 2), (Bytes{0, 255}));
}

TEST(FusionBuffer, ChildrenAdvanceIndependentlyAndKeepTheirRemainder) {
    TFusionBuffer mixer;
    int a = 0, b = 0;
    const Bytes loud(10, 228), quiet(3, 28);
    mixer.WriteFrom(loud.data(), 6, &a);
    mixer.WriteFrom(quiet.data(), 3, &b);
    mixer.WriteFrom(loud.data(), 4, &a);  // same source: appended to the same child
    EXPECT_EQ(mixer.ChildCount(), 2);
    EXPECT_EQ(Take(mixer, 4), (Bytes{128, 128, 128, 178}));
    EXPECT_EQ(mixer.SourceSize(&a), 6);
    EXPECT_EQ(mixer.SourceSize(&b), 0);
    EXPECT_EQ(mixer.Size(), 6);
}

TEST(FusionBuffer, RemoveSourceDiscardsTheChildWithItsBytes) {
    TFusionBuffer mixer;
    int a = 0, b = 0, stranger = 0;
    const Bytes data = {10, 20, 30};
    mixer.WriteFrom(data.data(), 3, &a);
    mixer.WriteFrom(data.data(), 1, &b);
    mixer.WriteFrom(data.data(), 0, &stranger);  // nothing delivered: no child
    mixer.RemoveSource(&stranger);
    EXPECT_EQ(mixer.ChildCount(), 2);
    mixer.RemoveSource(&a);
    EXPECT_EQ(mixer.ChildCount(), 1);
    EXPECT_EQ(Take(mixer, 3), Bytes{10});  // b alone now, unmixed
    mixer.WriteFrom(data.data(), 3, &a);   // a returns as a new child beside the drained b
    EXPECT_EQ(mixer.ChildCount(), 2);
    EXPECT_EQ(Take(mixer, 3), (Bytes{69, 74, 79}));
}

TEST(FusionBuffer, AMixedReadNeverTakesMoreThanOneScratchBlock) {
    TFusionBuffer mixer;
    int a = 0, b = 0;
    const Bytes data(40000, 128);
    mixer.WriteFrom(data.data(), 40000, &a);
    mixer.WriteFrom(data.data(), 100, &b);
    Bytes out(40000);
    EXPECT_EQ(mixer.Read(out.data(), 40000), TFusionBuffer::MixScratchSize);
    EXPECT_EQ(mixer.SourceSize(&a), 40000 - TFusionBuffer::MixScratchSize);
    EXPECT_EQ(mixer.Read(out.data(), 40000), 40000 - TFusionBuffer::MixScratchSize);
}

TEST(FusionBuffer, WritersReaderAndRemovalRunConcurrently) {
    TFusionBuffer mixer;
    std::atomic<bool> done{false};
    int sources[2];
    std::vector<std::thread> writers;
    for (int& source : sources) {
        writers.emplace_back([&mixer, &source] {
            const Bytes block(441, 150);
            for (int i = 0; i < 300; ++i) {
                mixer.WriteFrom(block.data(), 441, &source);
                if (i % 50 == 49) {
                    mixer.RemoveSource(&source);
                }
            }
        });
    }
    std::thread reader([&] {
        std::uint8_t block[4410];
        while (!done) {
            if (mixer.Size() > 0) {
                mixer.Read(block, 4410);
            }
        }
    });
    for (auto& writer : writers) {
        writer.join();
    }
    done = true;
    reader.join();
    EXPECT_LE(mixer.ChildCount(), 2);
}

TEST(FusionBuffer, ASourceLimitKeepsTheNewestBytesOfEachChildOnly) {
    TFusionBuffer mixer;
    int a = 0;
    int b = 0;
    mixer.SetSourceLimit(1000);
    EXPECT_EQ(mixer.SourceLimit(), 1000);
    const Bytes voice = Sequence(2500);
    // Written in pieces, as decoded blocks arrive: the child never holds more than the limit,
    // and what it holds is the newest voice, in order.
    for (std::size_t at = 0; at < voice.size(); at += 300) {
        const auto n = static_cast<std::int32_t>(std::min<std::size_t>(300, voice.size() - at));
        mixer.WriteFrom(voice.data() + at, n, &a);
        EXPECT_LE(mixer.SourceSize(&a), 1000);
    }
    const Bytes quiet(400, 100);
    mixer.WriteFrom(quiet.data(), 400, &b);  // another partner within the limit keeps all
    EXPECT_EQ(mixer.SourceSize(&a), 1000);
    EXPECT_EQ(mixer.SourceSize(&b), 400);
    EXPECT_EQ(mixer.DroppedBytes(), 1500);
    mixer.RemoveSource(&b);
    EXPECT_EQ(Take(mixer, 4410), Bytes(voice.end() - 1000, voice.end()));

    // A single write larger than the limit also keeps only its tail.
    mixer.WriteFrom(voice.data(), 2500, &a);
    EXPECT_EQ(Take(mixer, 4410), Bytes(voice.end() - 1000, voice.end()));
}

TEST(FusionBuffer, TheSourceLimitDropsWholeSamplesAndZeroMeansNoLimit) {
    TFusionBuffer mixer;
    int a = 0;
    // Two-byte samples: a limit of 5 bytes holds two whole samples.
    mixer.SetSourceLimit(5, 2);
    EXPECT_EQ(mixer.SourceLimit(), 4);
    const Bytes samples = Sequence(10);
    mixer.WriteFrom(samples.data(), 6, &a);
    mixer.WriteFrom(samples.data() + 6, 4, &a);
    EXPECT_EQ(Take(mixer, 100), Bytes(samples.begin() + 6, samples.end()));
    EXPECT_EQ(mixer.DroppedBytes(), 6);

    // A limit below one sample still keeps one sample.
    mixer.SetSourceLimit(1, 2);
    EXPECT_EQ(mixer.SourceLimit(), 2);

    mixer.SetSourceLimit(0);
    const Bytes many = Sequence(50000);
    mixer.WriteFrom(many.data(), 50000, &a);
    EXPECT_EQ(mixer.SourceSize(&a), 50000);
}

}  // namespace
}  // namespace vox
