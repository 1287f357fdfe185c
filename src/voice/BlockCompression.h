// Compression of one voice block: first-difference coding of the 8-bit samples, then one zlib
// stream (level 1, window 15, memory level 8, default strategy). Decompression undoes both.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vox {

// The largest block a voice packet can describe (its lengths are 16-bit); inflating never
// produces more than this.
inline constexpr std::int32_t kMaxVoiceBlockSize = 65535;

// Failures of zlib, carrying zlib's own text for the status ("data error", "buffer error"...).
class EZLibError : public std::runtime_error {
  public:
    EZLibError(int Status, const std::string& Message)
        : std::runtime_error(Message), FStatus(Status) {}
    int Status() const { return FStatus; }

  private:
    int FStatus;
};

class EZCompressionError : public EZLibError {
  public:
    using EZLibError::EZLibError;
};

class EZDecompressionError : public EZLibError {
  public:
    using EZLibError::EZLibError;
};

// A block of length 0 (or less) handed to CompressBlock / DecompressBlock; the message is the
// UTF-8 Japanese text of the error.
class EEmptyBlockError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Dest[0] = Source[0]; Dest[i] = Source[i] - Source[i-1] + 128 (mod 256). Count < 1 does
// nothing. Source and Dest may be the same area.
void EncodeDelta(const std::uint8_t* Source, std::uint8_t* Dest, std::int32_t Count);
// The exact inverse: Dest[i] = Dest[i-1] + Source[i] - 128 (mod 256). Count < 1 does nothing.
// Source and Dest may be the same area.
void DecodeDelta(const std::uint8_t* Source, std::uint8_t* Dest, std::int32_t Count);

// Delta-codes Count raw samples and compresses them into a complete zlib stream.
// Raises EEmptyBlockError for Count < 1 and EZCompressionError when zlib fails.
std::vector<std::uint8_t> CompressBlock(const void* Data, std::int32_t Count);

// Inflates one zlib stream of Count bytes and undoes the delta coding. Raises EEmptyBlockError
// for Count < 1, and EZDecompressionError for a corrupt or truncated stream and for one that
// would inflate to more than kMaxVoiceBlockSize bytes (which is refused, never allocated).
// Bytes after the end of the stream are ignored. A stream of no data gives an empty result.
std::vector<std::uint8_t> DecompressBlock(const void* Data, std::int32_t Count);

}  // namespace vox
