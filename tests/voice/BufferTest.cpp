#include "voice/Buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <functional>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "voice/VoiceTestSupport.h"

namespace vox {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::SleepMs;
using test::WaitUntil;

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

TEST(FifoBuffer, CapacityGrowsInStepsByDoublingAndShrinksWhenMostlyEmptyOnWrite) {
    TCustomFifoBuffer fifo;
    EXPECT_EQ(fifo.Capacity(), 0);
    const Bytes data = Sequence(40000);
    fifo.Write(data.data(), 1);
    EXPECT_EQ(fifo.Capacity(), 8192);
    fifo.Write(data.data() + 1, 8191);
    EXPECT_EQ(fifo.Capacity(), 8192);
    fifo.Write(data.data() + 8192, 1);
    EXPECT_EQ(fifo.Capacity(), 16384);
    fifo.Write(data.data() + 8193, 16385 - 8193);
    EXPECT_EQ(fifo.Capacity(), 32768);  // twice the storage, not just the next step
    fifo.Write(data.data() + 16385, 40000 - 16385);
    EXPECT_EQ(fifo.Capacity(), 65536);

    // A read keeps the storage; a write that leaves it at most a quarter full shrinks it to
    // twice the content, rounded up.
    EXPECT_EQ(Take(fifo, 35000), Bytes(data.begin(), data.begin() + 35000));
    EXPECT_EQ(fifo.Capacity(), 65536);
    const Bytes tail = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    fifo.Write(tail.data(), 10);
    EXPECT_EQ(fifo.Capacity(), 16384);
    Bytes expected(data.begin() + 35000, data.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Take(fifo, 9000), expected);  // asking for more returns exactly the content

    // Never below one step: small writes into an empty buffer keep it.
    fifo.Write(tail.data(), 10);
    EXPECT_EQ(fifo.Capacity(), 8192);
    fifo.Write(tail.data(), 10);
    EXPECT_EQ(fifo.Capacity(), 8192);
    fifo.Clear();
    EXPECT_EQ(fifo.Size(), 0);
    EXPECT_EQ(fifo.Capacity(), 0);

    // A write that needs more than twice the storage gets what it needs, rounded up.
    fifo.Write(data.data(), 1);
    fifo.Write(data.data() + 1, 39999);
    EXPECT_EQ(fifo.Capacity(), 40960);
    EXPECT_EQ(Take(fifo, 40000), data);
}

TEST(FifoBuffer, ReadsWritesPeeksAndDiscardsAcrossTheEndOfTheRing) {
    TCustomFifoBuffer fifo;
    const Bytes data = Sequence(20000);
    std::size_t written = 0, taken = 0;
    const auto write = [&](std::size_t n) {
        fifo.Write(data.data() + written, static_cast<std::int32_t>(n));
        written += n;
    };
    // The oldest byte near the end of the storage: the next write goes on at its start.
    write(8101);
    EXPECT_EQ(Take(fifo, 8001), Bytes(data.begin(), data.begin() + 8001));
    taken = 8001;
    write(1003);  // 91 bytes up to the end, 912 from the start
    ASSERT_EQ(fifo.Capacity(), 8192);
    ASSERT_EQ(fifo.Size(), 1103);

    // A peek over the end, from an offset, takes nothing.
    Bytes seen(51);
    EXPECT_EQ(fifo.Peek(seen.data(), 51, 167), 51);
    EXPECT_EQ(seen, Bytes(data.begin() + taken + 167, data.begin() + taken + 218));
    EXPECT_EQ(fifo.Size(), 1103);

    // A discard over the end, then a read over it and one wholly behind it.
    EXPECT_EQ(fifo.Discard(150), 150);  // up to 8151
    taken += 150;
    EXPECT_EQ(Take(fifo, 77), Bytes(data.begin() + taken, data.begin() + taken + 77));
    taken += 77;
    EXPECT_EQ(Take(fifo, 33), Bytes(data.begin() + taken, data.begin() + taken + 33));
    taken += 33;

    // Wrapped again (7280 bytes up to the end, 20 from the start), then grown while wrapped:
    // every byte stays in order.
    write(7300);
    ASSERT_EQ(fifo.Capacity(), 8192);
    write(2001);
    EXPECT_EQ(fifo.Capacity(), 16384);
    EXPECT_EQ(fifo.Size(), static_cast<std::int32_t>(written - taken));
    EXPECT_EQ(Take(fifo, 20000), Bytes(data.begin() + taken, data.begin() + written));
    EXPECT_EQ(fifo.Discard(5), 0);
}

TEST(FifoBuffer, OddSizedOperationsMatchASimpleQueue) {
    // Reads, writes, peeks and discards of odd sizes at random against std::deque: over the
    // end of the ring, while growing and while shrinking.
    TCustomFifoBuffer fifo;
    std::deque<std::uint8_t> model;
    std::mt19937 random(17);
    const Bytes data = Sequence(70000);
    std::size_t next = 0;
    Bytes out(70000);
    for (int step = 0; step < 4000; ++step) {
        const auto pick = [&](std::uint32_t bound) {
            return static_cast<std::int32_t>(random() % bound);
        };
        // More writes than reads for a while, then the reverse, so the size swings.
        const bool filling = (step / 500) % 2 == 0;
        switch (pick(4)) {
            case 0: {
                const std::int32_t n = pick(filling ? 9001 : 2001);
                const std::size_t at = next % (data.size() - 9001);
                fifo.Write(data.data() + at, n);
                model.insert(model.end(), data.begin() + at, data.begin() + at + n);
                next += 1237;
                break;
            }
            case 1: {
                const std::int32_t n = pick(filling ? 2001 : 9001);
                ASSERT_EQ(fifo.Read(out.data(), n), std::min<std::int32_t>(n, model.size()));
                const auto got = std::min<std::size_t>(n, model.size());
                ASSERT_TRUE(std::equal(out.begin(), out.begin() + got, model.begin()));
                model.erase(model.begin(), model.begin() + got);
                break;
            }
            case 2: {
                const std::int32_t offset = pick(static_cast<std::uint32_t>(model.size()) + 10);
                const std::int32_t n = pick(5001);
                const std::int32_t got = fifo.Peek(out.data(), n, offset);
                const std::int32_t expected = std::clamp<std::int32_t>(
                    std::min<std::int32_t>(n, static_cast<std::int32_t>(model.size()) - offset), 0,
                    n);
                ASSERT_EQ(got, expected);
                ASSERT_TRUE(std::equal(out.begin(), out.begin() + got, model.begin() + offset));
                break;
            }
            default: {
                const std::int32_t n = pick(filling ? 501 : 3001);
                const auto gone = std::min<std::size_t>(n, model.size());
                ASSERT_EQ(fifo.Discard(n), static_cast<std::int32_t>(gone));
                model.erase(model.begin(), model.begin() + gone);
                break;
            }
        }
        ASSERT_EQ(fifo.Size(), static_cast<std::int32_t>(model.size()));
        ASSERT_GE(fifo.Capacity(), fifo.Size());
        ASSERT_EQ(fifo.Capacity() % TCustomFifoBuffer::kCapacityStep, 0);
    }
    const Bytes rest(model.begin(), model.end());
    EXPECT_EQ(Take(fifo, static_cast<std::int32_t>(rest.size()) + 1), rest);
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

template <typename TFifo>
void ExpectNonPositiveCountsChangeNothing() {
    TFifo fifo;
    int notifications = 0;
    fifo.OnWrite = fifo.OnRead = [&](TMyBuffer*) { ++notifications; };
    std::uint8_t byte = 42;
    fifo.Write(&byte, 0);
    fifo.Write(&byte, -5);
    EXPECT_EQ(fifo.Read(&byte, 0), 0);
    EXPECT_EQ(fifo.Read(&byte, -1), 0);
    EXPECT_EQ(fifo.Discard(-1), 0);
    EXPECT_EQ(fifo.Capacity(), 0);
    EXPECT_EQ(notifications, 0);
}

TEST(FifoBuffer, NonPositiveCountsChangeNothingAndNotifyNobody) {
    ExpectNonPositiveCountsChangeNothing<TCustomFifoBuffer>();
    ExpectNonPositiveCountsChangeNothing<TThreadFifoBuffer>();
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

// Runs Wait on a thread of its own; Finished() tells once it has returned.
class TWaiter {
  public:
    explicit TWaiter(std::function<bool()> Wait)
        : FThread([this, wait = std::move(Wait)] {
              FResult = wait();
              FDone = true;
          }) {}
    ~TWaiter() { FThread.join(); }
    bool Finished() const { return FDone; }
    bool Result() const { return FResult; }

  private:
    std::atomic<bool> FDone{false};
    std::atomic<bool> FResult{false};
    std::thread FThread;
};

// Long enough that a test waiting this long has been failed by a missing wake-up, and that a
// loaded machine never gets near it.
constexpr auto kNoWake = std::chrono::seconds(20);
constexpr int kPromptMs = 5000;

TEST(ThreadFifoBuffer, AWaitingReaderIsWokenOnceEnoughHasBeenWritten) {
    TThreadFifoBuffer fifo;
    const Bytes data = Sequence(10);
    const auto begin = TThreadFifoBuffer::TClock::now();
    TWaiter waiter(
        [&] { return fifo.WaitForBytes(10, TThreadFifoBuffer::TClock::now() + kNoWake); });
    fifo.Write(data.data(), 4);
    SleepMs(50);
    EXPECT_FALSE(waiter.Finished());  // four bytes are not ten
    fifo.Write(data.data() + 4, 6);
    ASSERT_TRUE(WaitUntil([&] { return waiter.Finished(); }, kPromptMs));
    EXPECT_TRUE(waiter.Result());
    EXPECT_LT(TThreadFifoBuffer::TClock::now() - begin, kNoWake / 2);
    EXPECT_EQ(Take(fifo, 10), data);

    // Enough already there: no wait at all, with or without a deadline.
    fifo.Write(data.data(), 3);
    EXPECT_TRUE(fifo.WaitForBytes(3));
    EXPECT_TRUE(fifo.WaitForBytes(2, TThreadFifoBuffer::TClock::now()));
}

TEST(ThreadFifoBuffer, TerminateWakesAWaitingReaderAndEveryLaterWaitReturnsAtOnce) {
    TThreadFifoBuffer fifo;
    TWaiter forever([&] { return fifo.WaitForBytes(1); });
    TWaiter until([&] { return fifo.WaitForBytes(1, TThreadFifoBuffer::TClock::now() + kNoWake); });
    SleepMs(30);
    EXPECT_FALSE(forever.Finished());
    EXPECT_FALSE(fifo.Terminated());
    fifo.Terminate();
    ASSERT_TRUE(WaitUntil([&] { return forever.Finished() && until.Finished(); }, kPromptMs));
    EXPECT_FALSE(forever.Result());
    EXPECT_FALSE(until.Result());
    EXPECT_TRUE(fifo.Terminated());

    EXPECT_FALSE(fifo.WaitForBytes(1));
    // Still a buffer: what is written is kept, and a wait for it says so.
    const Bytes data = Sequence(5);
    fifo.Write(data.data(), 5);
    EXPECT_TRUE(fifo.WaitForBytes(5));
    EXPECT_FALSE(fifo.WaitForBytes(6));
    EXPECT_EQ(Take(fifo, 5), data);
}

TEST(ThreadFifoBuffer, AWaitGivesUpAtItsDeadline) {
    TThreadFifoBuffer fifo;
    const auto begin = TThreadFifoBuffer::TClock::now();
    EXPECT_FALSE(fifo.WaitForBytes(1, begin + std::chrono::milliseconds(50)));
    EXPECT_GE(TThreadFifoBuffer::TClock::now() - begin, std::chrono::milliseconds(50));
}

TEST(FusionBuffer, AWaitingPlayerIsWokenByAWriteAndByTerminate) {
    TFusionBuffer mixer;
    int a = 0;
    {
        TWaiter waiter([&] { return mixer.WaitForData(); });
        SleepMs(30);
        EXPECT_FALSE(waiter.Finished());
        mixer.WriteFrom(Sequence(3).data(), 3, &a);
        ASSERT_TRUE(WaitUntil([&] { return waiter.Finished(); }, kPromptMs));
        EXPECT_TRUE(waiter.Result());
    }
    EXPECT_TRUE(mixer.WaitForData());  // data there: at once
    Take(mixer, 3);
    {
        // A drained child is no data.
        TWaiter waiter([&] { return mixer.WaitForData(); });
        SleepMs(30);
        EXPECT_FALSE(waiter.Finished());
        mixer.Terminate();
        ASSERT_TRUE(WaitUntil([&] { return waiter.Finished(); }, kPromptMs));
        EXPECT_FALSE(waiter.Result());
    }
    EXPECT_FALSE(mixer.WaitForData());
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

namespace vox {
namespace {

// A sine of Amplitude around silence, Count samples, Period samples long.
std::vector<std::uint8_t> SineBytes(std::size_t Count, int Amplitude, double Period) {
    std::vector<std::uint8_t> out(Count);
    for (std::size_t i = 0; i < Count; ++i) {
        out[i] = static_cast<std::uint8_t>(
            128 + std::lround(Amplitude * std::sin(2 * 3.14159265358979 * i / Period)));
    }
    return out;
}

// Amplitude of the component of period Period in Samples (a one-frequency Fourier sum), so
// that two partners' tones mixed together are told apart.
double ToneAmplitude(const std::vector<std::uint8_t>& Samples, double Period) {
    double re = 0;
    double im = 0;
    for (std::size_t i = 0; i < Samples.size(); ++i) {
        const double x = static_cast<double>(Samples[i]) - 128;
        const double phase = 2 * 3.14159265358979 * static_cast<double>(i) / Period;
        re += x * std::cos(phase);
        im += x * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(Samples.size());
}

TEST(FusionBufferVolume, ScalingKeepsSilenceRoundsAwayFromItAndClips) {
    EXPECT_EQ(ScaleSample(128, 0), 128);
    EXPECT_EQ(ScaleSample(128, 200), 128);
    EXPECT_EQ(ScaleSample(255, 100), 255);
    EXPECT_EQ(ScaleSample(0, 100), 0);
    EXPECT_EQ(ScaleSample(228, 50), 178);
    EXPECT_EQ(ScaleSample(28, 50), 78);
    EXPECT_EQ(ScaleSample(129, 50), 129);  // half a step rounds away from silence
    EXPECT_EQ(ScaleSample(127, 50), 127);
    EXPECT_EQ(ScaleSample(255, 0), 128);
    EXPECT_EQ(ScaleSample(200, 200), 255);  // clipped, never wrapped
    EXPECT_EQ(ScaleSample(40, 200), 0);
}

TEST(FusionBufferVolume, HalfVolumeHalvesOnePartnerAndLeavesTheOtherAsItWas) {
    constexpr std::size_t kCount = 11025;
    constexpr double kPeriodA = 25;  // 441 Hz at 11025 Hz
    constexpr double kPeriodB = 17;  // 648.5 Hz
    // Amplitudes that 200 % does not clip.
    const auto toneA = SineBytes(kCount, 60, kPeriodA);
    const auto toneB = SineBytes(kCount, 60, kPeriodB);
    const int a = 0;
    const int b = 0;
    const auto mixed = [&](int VolumeA, int VolumeB) {
        TFusionBuffer mixer;
        mixer.SetSourceVolume(&a, VolumeA);  // set before the partner's first voice
        mixer.WriteFrom(toneA.data(), kCount, &a);
        mixer.WriteFrom(toneB.data(), kCount, &b);
        mixer.SetSourceVolume(&b, VolumeB);
        return Take(mixer, kCount);
    };
    const auto both = mixed(100, 100);
    const auto halfA = mixed(50, 100);
    const auto muteA = mixed(0, 100);
    const double a100 = ToneAmplitude(both, kPeriodA);
    const double b100 = ToneAmplitude(both, kPeriodB);
    ASSERT_GT(a100, 25);  // the mean of two: about 30 each
    EXPECT_NEAR(ToneAmplitude(halfA, kPeriodA) / a100, 0.5, 0.05);
    EXPECT_NEAR(ToneAmplitude(halfA, kPeriodB) / b100, 1.0, 0.1 * 0.5);
    EXPECT_LT(ToneAmplitude(muteA, kPeriodA), 0.5);  // nothing of A
    // B is heard as if A were not there: alone, not at half of it.
    EXPECT_NEAR(ToneAmplitude(muteA, kPeriodB) / b100, 2.0, 0.1);
    // 200 % doubles it.
    EXPECT_NEAR(ToneAmplitude(mixed(200, 100), kPeriodA) / a100, 2.0, 0.1);
}

TEST(FusionBufferVolume, AMutedPartnerLeavesTheOthersAsLoudAsIfItWereNotThere) {
    constexpr std::int32_t kCount = 4410;
    const auto toneA = SineBytes(kCount, 60, 25);
    const auto toneB = SineBytes(kCount, 60, 17);
    const auto toneC = SineBytes(kCount, 60, 11);
    const int a = 0;
    const int b = 0;
    const int c = 0;
    // The reference: B and C without A.
    TFusionBuffer without;
    without.WriteFrom(toneB.data(), kCount, &b);
    without.WriteFrom(toneC.data(), kCount, &c);
    const Bytes reference = Take(without, kCount);

    TFusionBuffer mixer;
    mixer.SetSourceVolume(&a, 0);
    mixer.WriteFrom(toneA.data(), kCount, &a);
    mixer.WriteFrom(toneB.data(), kCount, &b);
    mixer.WriteFrom(toneC.data(), kCount, &c);
    EXPECT_EQ(Take(mixer, kCount), reference);
    EXPECT_EQ(mixer.SourceSize(&a), 0);  // the muted voice is taken, not piled up

    // A muted partner with a longer backlog than the others: they are still mixed without it
    // (C, silent, still counts), and the rest of its backlog plays as silence, not noise.
    mixer.WriteFrom(toneA.data(), kCount, &a);
    mixer.WriteFrom(toneB.data(), 100, &b);
    without.WriteFrom(toneB.data(), 100, &b);
    const Bytes head = Take(without, kCount);
    ASSERT_EQ(head.size(), 100u);
    const Bytes tail = Take(mixer, kCount);
    ASSERT_EQ(tail.size(), static_cast<std::size_t>(kCount));
    EXPECT_EQ(Bytes(tail.begin(), tail.begin() + 100), head);
    EXPECT_EQ(Bytes(tail.begin() + 100, tail.end()), Bytes(kCount - 100, 128));

    // Everyone muted: silence of the length taken.
    mixer.SetSourceVolume(&b, 0);
    mixer.SetSourceVolume(&c, 0);
    mixer.WriteFrom(toneB.data(), kCount, &b);
    mixer.WriteFrom(toneC.data(), kCount, &c);
    EXPECT_EQ(Take(mixer, kCount), Bytes(kCount, 128));

    // Unmuted again, A counts in the mean as before.
    mixer.SetSourceVolume(&a, 100);
    mixer.SetSourceVolume(&b, 100);
    mixer.SetSourceVolume(&c, 100);
    mixer.WriteFrom(toneB.data(), kCount, &b);
    mixer.WriteFrom(toneC.data(), kCount, &c);
    EXPECT_NEAR(ToneAmplitude(Take(mixer, kCount), 17), 20, 1.5);  // a third of 60
}

TEST(FusionBufferVolume, OnePartnerAloneAndTheOutputVolumeScaleWhatIsRead) {
    const auto tone = SineBytes(4410, 100, 25);
    const int a = 0;
    const int b = 0;
    TFusionBuffer mixer;
    mixer.WriteFrom(tone.data(), 4410, &a);
    EXPECT_EQ(Take(mixer, 4410), tone);  // 100 %: passed through unchanged
    mixer.SetSourceVolume(&a, 50);
    mixer.WriteFrom(tone.data(), 4410, &a);
    EXPECT_NEAR(ToneAmplitude(Take(mixer, 4410), 25), 50, 2);
    mixer.SetOutputVolume(50);  // both: a quarter
    mixer.WriteFrom(tone.data(), 4410, &a);
    EXPECT_NEAR(ToneAmplitude(Take(mixer, 4410), 25), 25, 2);
    mixer.SetSourceVolume(&a, 100);  // two partners: the mean, then the output volume
    mixer.WriteFrom(tone.data(), 4410, &a);
    mixer.WriteFrom(tone.data(), 4410, &b);
    EXPECT_NEAR(ToneAmplitude(Take(mixer, 4410), 25), 50, 2);
    // A partner that leaves takes its volume with it: one that comes back under the same key
    // starts at 100 %.
    mixer.SetSourceVolume(&a, 0);
    mixer.RemoveSource(&a);
    EXPECT_EQ(mixer.SourceVolume(&a), 100);
    EXPECT_EQ(mixer.SourceVolume(&b), 100);
}

TEST(FusionBufferVolume, APartnerIsActiveWhileItsVoiceIsInTheMixerAndShortlyAfter) {
    const int a = 0;
    const int b = 0;
    TFusionBuffer mixer;
    EXPECT_FALSE(mixer.SourceActive(&a, std::chrono::milliseconds(500)));
    const Bytes voice(100, 200);
    mixer.WriteFrom(voice.data(), 100, &a);
    EXPECT_TRUE(mixer.SourceActive(&a, std::chrono::milliseconds(0)));
    EXPECT_FALSE(mixer.SourceActive(&b, std::chrono::milliseconds(500)));
    Take(mixer, 100);
    EXPECT_TRUE(mixer.SourceActive(&a, std::chrono::hours(1)));  // just played
    SleepMs(20);
    EXPECT_FALSE(mixer.SourceActive(&a, std::chrono::milliseconds(1)));
}

}  // namespace
}  // namespace vox
