// The packets of the conversation connection: a 14-byte header, a sub-header that depends on
// the command, then the payload. All integers little-endian at fixed offsets, no alignment.
// Texts are CP932 bytes with their length in the sub-header and no terminator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vox {

using Packet = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

enum PacketCommand : std::uint8_t {
    pcConnect = 1,
    pcVoice = 2,
    pcText = 3,
    pcTransferRequest = 4,
    pcConnectReply = 6,
    pcTransferReply = 7,
};

enum ReplyResult : std::uint8_t {
    rcAccepted = 1,
    rcRefused = 2,
    rcBusy = 3,
};

inline constexpr std::string_view kPacketMagic = "VOXILEN";
inline constexpr std::size_t kPacketHeaderSize = 14;
inline constexpr std::size_t kConnectRequestHeaderSize = 8;
inline constexpr std::size_t kVoiceHeaderSize = 8;
inline constexpr std::size_t kTextHeaderSize = 4;
inline constexpr std::size_t kTransferRequestHeaderSize = 10;
inline constexpr std::size_t kReplyHeaderSize = 5;
// A 16-bit length field bounds every payload part.
inline constexpr std::size_t kMaxFieldLength = 65535;
// The largest packet the format can describe: header, the largest sub-header, one full field.
inline constexpr std::uint32_t kMaxPacketLength =
    kPacketHeaderSize + kTransferRequestHeaderSize + kMaxFieldLength;

// Raised for a packet that cannot be built (a part too long for its length field) or read
// (lengths that do not fit the packet). The connection that read it ends.
class EPacketError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct PacketHeader {
    std::uint32_t TotalLength = 0;
    std::uint8_t Command = 0;
};

struct ConnectRequestHeader {
    std::uint16_t NameLength = 0;
    std::uint16_t CommentLength = 0;
    std::uint16_t PassPhraseLength = 0;
};

struct VoiceHeader {
    std::uint16_t RawLength = 0;
    std::uint16_t CompressedLength = 0;
};

struct TransferRequestHeader {
    std::uint16_t NameLength = 0;
    std::uint32_t FileSize = 0;
    std::uint16_t Port = 0;
};

struct ReplyHeader {
    std::uint8_t Result = 0;
    std::uint16_t TextLength = 0;
};

// --- Building ------------------------------------------------------------------------------
// Each throws EPacketError when a part is longer than its 16-bit length field allows.

Packet BuildConnect(std::string_view name, std::string_view comment,
                    std::string_view encodedPassPhrase);
Packet BuildVoice(std::uint16_t rawLength, ByteSpan compressedBlock);
Packet BuildText(std::string_view line);
Packet BuildTransferRequest(std::string_view fileName, std::uint32_t fileSize, std::uint16_t port);
Packet BuildConnectReply(std::uint8_t result, std::string_view text);
Packet BuildTransferReply(std::uint8_t result, std::string_view text);

// --- Reading -------------------------------------------------------------------------------

// The first seven bytes, cut at a zero byte, compared with the magic without regard to case.
bool CheckMagic(ByteSpan header);
// Reads TotalLength and Command from a 14-byte header (no checks).
PacketHeader ReadPacketHeader(ByteSpan header);

// Commands whose rest the receive loop reads; every other command's payload stays unread.
bool CommandHasHandler(std::uint8_t command);
// Sub-header size of a command; 0 for codes the format does not know.
std::size_t SubHeaderSize(std::uint8_t command);
// Whether a header of a command that is read further can describe its packet: at least the
// header and the command's sub-header, at most kMaxPacketLength. Checked before the rest of
// the packet is allocated.
bool TotalLengthFits(const PacketHeader& header);

// Sub-headers read from their bytes (the span must hold at least the sub-header's size).
ConnectRequestHeader ReadConnectRequestHeader(ByteSpan bytes);
ReplyHeader ReadReplyHeader(ByteSpan bytes);
VoiceHeader ReadVoiceHeader(ByteSpan bytes);

// The parsers below take the rest of a packet (TotalLength - 14 bytes, sub-header first) and
// throw EPacketError when the sub-header's lengths point beyond it.
struct TextPacket {
    std::string Text;  // cut at a zero byte inside the stated length
};
TextPacket ParseTextPacket(ByteSpan rest);

struct VoicePacket {
    VoiceHeader Header;
    ByteSpan Block;  // CompressedLength bytes inside rest
};
VoicePacket ParseVoicePacket(ByteSpan rest);

struct TransferRequestPacket {
    TransferRequestHeader Header;
    std::string FileName;
};
TransferRequestPacket ParseTransferRequestPacket(ByteSpan rest);

struct ReplyPacket {
    ReplyHeader Header;
    std::string Text;
};
ReplyPacket ParseReplyPacket(ByteSpan rest);

// A received text: up to its stated length, and only up to a zero byte that comes earlier.
std::string TextUpToZero(ByteSpan bytes);

}  // namespace vox
