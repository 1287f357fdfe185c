#include "wire/Packet.h"

#include <algorithm>
#include <cctype>

namespace vox {

namespace {

void Put16(Packet& p, std::size_t at, std::uint16_t v) {
    p[at] = static_cast<std::uint8_t>(v);
    p[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(Packet& p, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::uint16_t Get16(ByteSpan b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t Get32(ByteSpan b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint16_t FieldLength(std::size_t length) {
    if (length > kMaxFieldLength) {
        throw EPacketError("packet field longer than 65535 bytes");
    }
    return static_cast<std::uint16_t>(length);
}

// A zeroed packet with its header filled in; the sub-header and payload follow.
Packet NewPacket(std::uint8_t command, std::size_t subHeaderSize, std::size_t payloadSize) {
    const std::size_t total = kPacketHeaderSize + subHeaderSize + payloadSize;
    Packet p(total, 0);
    std::copy(kPacketMagic.begin(), kPacketMagic.end(), p.begin());
    Put32(p, 9, static_cast<std::uint32_t>(total));
    p[13] = command;
    return p;
}

void Append(Packet& p, std::size_t& at, std::string_view bytes) {
    std::copy(bytes.begin(), bytes.end(), p.begin() + static_cast<std::ptrdiff_t>(at));
    at += bytes.size();
}

Packet BuildReply(std::uint8_t command, std::uint8_t result, std::string_view text) {
    const std::uint16_t length = FieldLength(text.size());
    Packet p = NewPacket(command, kReplyHeaderSize, text.size());
    p[kPacketHeaderSize + 2] = result;
    Put16(p, kPacketHeaderSize + 3, length);
    std::size_t at = kPacketHeaderSize + kReplyHeaderSize;
    Append(p, at, text);
    return p;
}

// Checks that a sub-header and the payload it announces lie inside the rest of a packet.
void RequireInside(ByteSpan rest, std::size_t subHeaderSize, std::size_t payloadLength) {
    if (rest.size() < subHeaderSize || rest.size() - subHeaderSize < payloadLength) {
        throw EPacketError("packet lengths point beyond the packet");
    }
}

}  // namespace

Packet BuildConnect(std::string_view name, std::string_view comment,
                    std::string_view encodedPassPhrase) {
    const std::uint16_t nameLength = FieldLength(name.size());
    const std::uint16_t commentLength = FieldLength(comment.size());
    const std::uint16_t passLength = FieldLength(encodedPassPhrase.size());
    Packet p = NewPacket(pcConnect, kConnectRequestHeaderSize,
                         name.size() + comment.size() + encodedPassPhrase.size());
    Put16(p, kPacketHeaderSize + 2, nameLength);
    Put16(p, kPacketHeaderSize + 4, commentLength);
    Put16(p, kPacketHeaderSize + 6, passLength);
    std::size_t at = kPacketHeaderSize + kConnectRequestHeaderSize;
    Append(p, at, name);
    Append(p, at, comment);
    Append(p, at, encodedPassPhrase);
    return p;
}

Packet BuildVoice(std::uint16_t rawLength, ByteSpan compressedBlock) {
    const std::uint16_t length = FieldLength(compressedBlock.size());
    Packet p = NewPacket(pcVoice, kVoiceHeaderSize, compressedBlock.size());
    Put16(p, kPacketHeaderSize + 2, rawLength);
    Put16(p, kPacketHeaderSize + 4, length);
    std::copy(compressedBlock.begin(), compressedBlock.end(),
              p.begin() + kPacketHeaderSize + kVoiceHeaderSize);
    return p;
}

Packet BuildText(std::string_view line) {
    const std::uint16_t length = FieldLength(line.size());
    Packet p = NewPacket(pcText, kTextHeaderSize, line.size());
    Put16(p, kPacketHeaderSize + 2, length);
    std::size_t at = kPacketHeaderSize + kTextHeaderSize;
    Append(p, at, line);
    return p;
}

Packet BuildTransferRequest(std::string_view fileName, std::uint32_t fileSize, std::uint16_t port) {
    const std::uint16_t length = FieldLength(fileName.size());
    Packet p = NewPacket(pcTransferRequest, kTransferRequestHeaderSize, fileName.size());
    Put16(p, kPacketHeaderSize + 2, length);
    Put32(p, kPacketHeaderSize + 4, fileSize);
    Put16(p, kPacketHeaderSize + 8, port);
    std::size_t at = kPacketHeaderSize + kTransferRequestHeaderSize;
    Append(p, at, fileName);
    return p;
}

Packet BuildConnectReply(std::uint8_t result, std::string_view text) {
    return BuildReply(pcConnectReply, result, text);
}

Packet BuildTransferReply(std::uint8_t result, std::string_view text) {
    return BuildReply(pcTransferReply, result, text);
}

bool CheckMagic(ByteSpan header) {
    if (header.size() < kPacketMagic.size()) {
        return false;
    }
    std::size_t length = 0;
    while (length < kPacketMagic.size() && header[length] != 0) {
        ++length;
    }
    if (length != kPacketMagic.size()) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const auto upper = static_cast<char>(std::toupper(header[i]));
        if (upper != kPacketMagic[i]) {
            return false;
        }
    }
    return true;
}

PacketHeader ReadPacketHeader(ByteSpan header) {
    return PacketHeader{Get32(header, 9), header[13]};
}

bool CommandHasHandler(std::uint8_t command) {
    return command == pcVoice || command == pcText || command == pcTransferRequest ||
           command == pcTransferReply;
}

std::size_t SubHeaderSize(std::uint8_t command) {
    switch (command) {
        case pcConnect:
            return kConnectRequestHeaderSize;
        case pcVoice:
            return kVoiceHeaderSize;
        case pcText:
            return kTextHeaderSize;
        case pcTransferRequest:
            return kTransferRequestHeaderSize;
        case pcConnectReply:
        case pcTransferReply:
            return kReplyHeaderSize;
        default:
            return 0;
    }
}

bool TotalLengthFits(const PacketHeader& header) {
    return header.TotalLength >= kPacketHeaderSize + SubHeaderSize(header.Command) &&
           header.TotalLength <= kMaxPacketLength;
}

ConnectRequestHeader ReadConnectRequestHeader(ByteSpan bytes) {
    return ConnectRequestHeader{Get16(bytes, 2), Get16(bytes, 4), Get16(bytes, 6)};
}

ReplyHeader ReadReplyHeader(ByteSpan bytes) {
    return ReplyHeader{bytes[2], Get16(bytes, 3)};
}

VoiceHeader ReadVoiceHeader(ByteSpan bytes) {
    return VoiceHeader{Get16(bytes, 2), Get16(bytes, 4)};
}

std::string TextUpToZero(ByteSpan bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return std::string(bytes.begin(), end);
}

TextPacket ParseTextPacket(ByteSpan rest) {
    RequireInside(rest, kTextHeaderSize, 0);
    const std::uint16_t length = Get16(rest, 2);
    RequireInside(rest, kTextHeaderSize, length);
    return TextPacket{TextUpToZero(rest.subspan(kTextHeaderSize, length))};
}

VoicePacket ParseVoicePacket(ByteSpan rest) {
    RequireInside(rest, kVoiceHeaderSize, 0);
    const VoiceHeader header = ReadVoiceHeader(rest);
    RequireInside(rest, kVoiceHeaderSize, header.CompressedLength);
    return VoicePacket{header, rest.subspan(kVoiceHeaderSize, header.CompressedLength)};
}

TransferRequestPacket ParseTransferRequestPacket(ByteSpan rest) {
    RequireInside(rest, kTransferRequestHeaderSize, 0);
    const TransferRequestHeader header{Get16(rest, 2), Get32(rest, 4), Get16(rest, 8)};
    RequireInside(rest, kTransferRequestHeaderSize, header.NameLength);
    return TransferRequestPacket{
        header, TextUpToZero(rest.subspan(kTransferRequestHeaderSize, header.NameLength))};
}

ReplyPacket ParseReplyPacket(ByteSpan rest) {
    RequireInside(rest, kReplyHeaderSize, 0);
    const ReplyHeader header = ReadReplyHeader(rest);
    RequireInside(rest, kReplyHeaderSize, header.TextLength);
    return ReplyPacket{header, TextUpToZero(rest.subspan(kReplyHeaderSize, header.TextLength))};
}

}  // namespace vox
