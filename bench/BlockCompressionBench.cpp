// Cost of one voice block on each side of the wire: delta coding plus zlib on the encode
// thread, inflation plus delta decoding on each decode thread. "pct_of_block" is the time one
// block takes as a percentage of the 400 ms the block lasts; "ratio" is compressed / raw size.
#include "voice/BlockCompression.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr std::int32_t kBlockBytes = 4410;  // 0.4 s at 11025 samples per second
constexpr double kBlockSeconds = 0.4;
constexpr double kSampleRate = 11025.0;

// Speech-like 8-bit PCM: a few voiced harmonics under a slow syllable envelope, plus noise.
std::vector<std::uint8_t> SpeechLikeBlock() {
    std::mt19937 random(20240401);
    std::normal_distribution<double> noise(0.0, 2.0);
    const double pi = std::acos(-1.0);
    std::vector<std::uint8_t> block(kBlockBytes);
    for (std::int32_t i = 0; i < kBlockBytes; ++i) {
        const double t = i / kSampleRate;
        const double envelope = 0.55 + 0.45 * std::sin(2 * pi * 4.0 * t);
        const double voiced = 40 * std::sin(2 * pi * 140 * t) + 20 * std::sin(2 * pi * 280 * t) +
                              10 * std::sin(2 * pi * 720 * t) + 6 * std::sin(2 * pi * 1300 * t);
        const double sample = 128 + envelope * voiced + noise(random);
        block[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, sample))));
    }
    return block;
}

using Clock = std::chrono::steady_clock;

void SetCounters(benchmark::State& state, Clock::time_point started, std::size_t compressedBytes) {
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    const double iterations = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlockBytes);
    state.counters["pct_of_block"] = 100.0 * elapsed.count() / iterations / kBlockSeconds;
    state.counters["ratio"] = static_cast<double>(compressedBytes) / kBlockBytes;
}

void BM_CompressBlock(benchmark::State& state) {
    const std::vector<std::uint8_t> block = SpeechLikeBlock();
    std::size_t compressedBytes = 0;
    const Clock::time_point started = Clock::now();
    for (auto _ : state) {
        std::vector<std::uint8_t> stream = vox::CompressBlock(block.data(), kBlockBytes);
        compressedBytes = stream.size();
        benchmark::DoNotOptimize(stream.data());
    }
    SetCounters(state, started, compressedBytes);
}
BENCHMARK(BM_CompressBlock);

void BM_DecompressBlock(benchmark::State& state) {
    const std::vector<std::uint8_t> block = SpeechLikeBlock();
    const std::vector<std::uint8_t> stream = vox::CompressBlock(block.data(), kBlockBytes);
    const Clock::time_point started = Clock::now();
    for (auto _ : state) {
        std::vector<std::uint8_t> raw =
            vox::DecompressBlock(stream.data(), static_cast<std::int32_t>(stream.size()));
        benchmark::DoNotOptimize(raw.data());
    }
    SetCounters(state, started, stream.size());
}
BENCHMARK(BM_DecompressBlock);

}  // namespace

BENCHMARK_MAIN();
