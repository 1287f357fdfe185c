#include "voice/BlockCompression.h"

#include <zlib.h>

#include <cstring>

namespace vox {

namespace {

constexpr int kLevel = 1;  // fastest: a block is compressed right after it was recorded
constexpr int kWindowBits = 15;
constexpr int kMemLevel = 8;

// zlib's own text for a status code.
std::string StatusText(int Status) {
    return zError(Status);
}

// Ends a deflate / inflate state on every way out. Not copyable: a copy would end the state
// twice.
struct DeflateGuard {
    explicit DeflateGuard(z_stream* Stream) : stream(Stream) {}
    DeflateGuard(const DeflateGuard&) = delete;
    DeflateGuard& operator=(const DeflateGuard&) = delete;
    ~DeflateGuard() { deflateEnd(stream); }

    z_stream* stream;
};

struct InflateGuard {
    explicit InflateGuard(z_stream* Stream) : stream(Stream) {}
    InflateGuard(const InflateGuard&) = delete;
    InflateGuard& operator=(const InflateGuard&) = delete;
    ~InflateGuard() { inflateEnd(stream); }

    z_stream* stream;
};

}  // namespace

void EncodeDelta(const std::uint8_t* Source, std::uint8_t* Dest, std::int32_t Count) {
    if (Count < 1) {
        return;
    }
    // Walk backwards so that Source and Dest may be the same area.
    for (std::int32_t i = Count - 1; i >= 1; --i) {
        Dest[i] = static_cast<std::uint8_t>(Source[i] - Source[i - 1] + 128);
    }
    Dest[0] = Source[0];
}

void DecodeDelta(const std::uint8_t* Source, std::uint8_t* Dest, std::int32_t Count) {
    if (Count < 1) {
        return;
    }
    Dest[0] = Source[0];
    for (std::int32_t i = 1; i < Count; ++i) {
        Dest[i] = static_cast<std::uint8_t>(Dest[i - 1] + Source[i] - 128);
    }
}

std::vector<std::uint8_t> CompressBlock(const void* Data, std::int32_t Count) {
    if (Count < 1) {
        throw EEmptyBlockError("圧縮前のデータの長さが、０では処理できません。");
    }
    std::vector<std::uint8_t> work(static_cast<std::size_t>(Count));
    EncodeDelta(static_cast<const std::uint8_t*>(Data), work.data(), Count);

    z_stream stream{};
    int status =
        deflateInit2(&stream, kLevel, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
        throw EZCompressionError(status, StatusText(status));
    }
    DeflateGuard guard{&stream};

    std::vector<std::uint8_t> compressed(deflateBound(&stream, static_cast<uLong>(Count)));
    stream.next_in = work.data();
    stream.avail_in = static_cast<uInt>(Count);
    stream.next_out = compressed.data();
    stream.avail_out = static_cast<uInt>(compressed.size());
    status = deflate(&stream, Z_FINISH);
    if (status != Z_STREAM_END) {
        // The output is sized by deflateBound, so this is a failure inside zlib.
        const int reported = status < 0 ? status : Z_BUF_ERROR;
        throw EZCompressionError(reported, StatusText(reported));
    }
    compressed.resize(stream.total_out);
    return compressed;
}

std::vector<std::uint8_t> DecompressBlock(const void* Data, std::int32_t Count) {
    if (Count < 1) {
        throw EEmptyBlockError("解凍前のデータの長さが、０では処理できません。");
    }
    // One byte more than a block may hold: filling it shows that the stream would inflate
    // beyond the limit, and inflating stops there instead of growing without bound.
    std::vector<std::uint8_t> inflated(static_cast<std::size_t>(kMaxVoiceBlockSize) + 1);

    z_stream stream{};
    int status = inflateInit2(&stream, kWindowBits);
    if (status != Z_OK) {
        throw EZDecompressionError(status, StatusText(status));
    }
    InflateGuard guard{&stream};

    // zlib does not write through next_in; it is declared non-const only without ZLIB_CONST.
    stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(Data));
    stream.avail_in = static_cast<uInt>(Count);
    stream.next_out = inflated.data();
    stream.avail_out = static_cast<uInt>(inflated.size());
    status = inflate(&stream, Z_FINISH);

    // The output is full (a stream inflating to more than a block), the input ended before
    // the stream did (a truncated stream), or the stream ended beyond a block: all three are
    // the buffer error.
    if (status == Z_OK || status == Z_BUF_ERROR ||
        (status == Z_STREAM_END && stream.total_out > static_cast<uLong>(kMaxVoiceBlockSize))) {
        status = Z_BUF_ERROR;
    }
    if (status != Z_STREAM_END) {
        throw EZDecompressionError(status, StatusText(status));
    }

    const auto rawCount = static_cast<std::int32_t>(stream.total_out);
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(rawCount));
    DecodeDelta(inflated.data(), raw.data(), rawCount);
    return raw;
}

}  // namespace vox
