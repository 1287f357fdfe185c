#include "voice/BlockCompression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

// Records the largest single allocation while a test asks for it, to show that refused
// streams never make the decompressor allocate their claimed size.
namespace {
thread_local bool gTrackAllocations = false;
thread_local std::size_t gLargestAllocation = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (gTrackAllocations && size > gLargestAllocation) {
        gLargestAllocation = size;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace vox {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Noise(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(count);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// A zlib stream of the given bytes as another encoder would write it.
Bytes ZlibStream(const Bytes& plain, int level = 9) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), level),
              Z_OK);
    out.resize(size);
    return out;
}

template <typename Error>
std::string MessageOf(const Bytes& stream) {
    try {
        DecompressBlock(stream.data(), static_cast<std::int32_t>(stream.size()));
    } catch (const Error& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(DeltaCoding, KnownBytesAndInverse) {
    const Bytes raw = {128, 130, 127, 127};
    Bytes coded(4), back(4);
    EncodeDelta(raw.data(), coded.data(), 4);
    EXPECT_EQ(coded, (Bytes{128, 130, 125, 128}));
    DecodeDelta(coded.data(), back.data(), 4);
    EXPECT_EQ(back, raw);

    const Bytes alternating = {0, 255, 0, 255};
    EncodeDelta(alternating.data(), coded.data(), 4);
    EXPECT_EQ(coded, (Bytes{0, 127, 129, 127}));

    Bytes noise = Noise(5000, 1), original = noise;
    EncodeDelta(noise.data(), noise.data(), 5000);  // in place
    DecodeDelta(noise.data(), noise.data(), 5000);
    EXPECT_EQ(noise, original);

    std::uint8_t untouched = 3;
    EncodeDelta(raw.data(), &untouched, 0);
    DecodeDelta(raw.data(), &untouched, -1);
    EXPECT_EQ(untouched, 3);
}

TEST(BlockCompression, EmptyInputRaisesTheFixedTexts) {
    const std::uint8_t byte = 0;
    try {
        CompressBlock(&byte, 0);
        FAIL();
    } catch (const EEmptyBlockError& error) {
        EXPECT_STREQ(error.what(), "圧縮前のデータの長さが、０では処理できません。");
    }
    try {
        DecompressBlock(&byte, -1);
        FAIL();
    } catch (const EEmptyBlockError& error) {
        EXPECT_STREQ(error.what(), "解凍前のデータの長さが、０では処理できません。");
    }
}

TEST(BlockCompression, WritesAStandardStreamOfTheDeltaCodedBytes) {
    const Bytes raw = Noise(4410, 2);
    const Bytes stream = CompressBlock(raw.data(), 4410);
    ASSERT_GE(stream.size(), 2u);
    EXPECT_EQ(stream[0], 0x78);
    EXPECT_EQ(stream[1], 0x01);
    Bytes coded(4410), inflated(4410);
    EncodeDelta(raw.data(), coded.data(), 4410);
    uLongf size = 4410;
    ASSERT_EQ(uncompress(inflated.data(), &size, stream.data(), static_cast<uLong>(stream.size())),
              Z_OK);
    EXPECT_EQ(size, 4410u);
    EXPECT_EQ(inflated, coded);
}

TEST(BlockCompression, RoundTrips) {
    Bytes speech(4410);
    for (std::size_t i = 0; i < speech.size(); ++i) {
        speech[i] =
            static_cast<std::uint8_t>(128 + 60 * std::sin(i * 0.07) + 20 * std::sin(i * 0.31));
    }
    const std::vector<Bytes> blocks = {Bytes{77}, Bytes(4410, 128), Bytes(4410, 60),
                                       speech,    Noise(4410, 3),   Noise(65535, 4)};
    for (const Bytes& raw : blocks) {
        const auto count = static_cast<std::int32_t>(raw.size());
        const Bytes stream = CompressBlock(raw.data(), count);
        EXPECT_EQ(DecompressBlock(stream.data(), static_cast<std::int32_t>(stream.size())), raw);
        if (raw.size() == 4410 && raw[0] == raw[1] && raw[1] == raw[4409]) {
            EXPECT_LE(stream.size(), 48u) << "constant block";
        }
    }
    // A stream of no data is a valid, empty block.
    const Bytes empty = ZlibStream({});
    EXPECT_TRUE(DecompressBlock(empty.data(), static_cast<std::int32_t>(empty.size())).empty());
}

TEST(BlockCompression, CorruptOrTruncatedStreamsRaise) {
    const Bytes raw = Noise(4410, 5);
    const Bytes good = CompressBlock(raw.data(), 4410);

    Bytes badChecksum = good;
    badChecksum.back() ^= 0x01;
    EXPECT_EQ(MessageOf<EZDecompressionError>(badChecksum), "data error");

    Bytes badHeader = good;
    badHeader[0] = 0x12;
    EXPECT_EQ(MessageOf<EZDecompressionError>(badHeader), "data error");

    // Stored blocks carry their length and its complement: breaking the pair is caught.
    Bytes badData = ZlibStream(Noise(100, 6), 0);
    badData[5] ^= 0xFF;
    EXPECT_EQ(MessageOf<EZDecompressionError>(badData), "data error");

    for (const std::size_t keep : {good.size() - 1, good.size() / 2, std::size_t{1}}) {
        const Bytes truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(keep));
        EXPECT_EQ(MessageOf<EZDecompressionError>(truncated), "buffer error") << keep;
    }
}

TEST(BlockCompression, StreamsLargerThanABlockAreRefusedWithoutAllocatingThem) {
    const Bytes justTooLong = ZlibStream(Bytes(65536, 128));
    EXPECT_EQ(MessageOf<EZDecompressionError>(justTooLong), "buffer error");

    const Bytes bomb = ZlibStream(Bytes(16 << 20, 0));  // 16 MiB of zeros in about 16 KiB
    gTrackAllocations = true;
    gLargestAllocation = 0;
    EXPECT_EQ(MessageOf<EZDecompressionError>(bomb), "buffer error");
    gTrackAllocations = false;
    EXPECT_LE(gLargestAllocation, 65536u);
}

}  // namespace
}  // namespace vox
