// One received voice block through DecompressBlock: any bytes either decode to at most
// kMaxVoiceBlockSize samples or are refused with the decompression error, and what decodes
// compresses back to the same samples.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "voice/BlockCompression.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(vox::kMaxVoiceBlockSize)) {
        return -1;  // a packet cannot carry more
    }
    std::vector<std::uint8_t> samples;
    try {
        samples = vox::DecompressBlock(data, static_cast<std::int32_t>(size));
    } catch (const vox::EZDecompressionError&) {
        return 0;
    } catch (const vox::EEmptyBlockError&) {
        if (size != 0) {
            std::abort();
        }
        return 0;
    }
    if (samples.size() > static_cast<std::size_t>(vox::kMaxVoiceBlockSize)) {
        std::fprintf(stderr, "a block inflated beyond the largest voice block\n");
        std::abort();
    }
    if (!samples.empty()) {
        const std::vector<std::uint8_t> block =
            vox::CompressBlock(samples.data(), static_cast<std::int32_t>(samples.size()));
        const std::vector<std::uint8_t> again =
            vox::DecompressBlock(block.data(), static_cast<std::int32_t>(block.size()));
        if (again != samples) {
            std::fprintf(stderr, "decoded samples do not survive a round trip\n");
            std::abort();
        }
    }
    return 0;
}
