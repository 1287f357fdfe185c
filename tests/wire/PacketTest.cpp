#include "wire/Packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vox {
namespace {

Packet Of(std::initializer_list<int> values) {
    Packet p;
    for (int v : values) {
        p.push_back(static_cast<std::uint8_t>(v));
    }
    return p;
}

ByteSpan Rest(const Packet& p) {
    return ByteSpan(p).subspan(kPacketHeaderSize);
}

TEST(PacketBuild, TextLineKnownBytes) {
    EXPECT_EQ(BuildText("ab"), Of({0x56, 0x4F, 0x58, 0x49, 0x4C, 0x45, 0x4E, 0, 0,    0x14,
                                   0,    0,    0,    0x03, 0,    0,    0x02, 0, 0x61, 0x62}));
}

TEST(PacketBuild, LengthsOfEveryCommand) {
    const Packet connect = BuildConnect("taro", "", "");
    EXPECT_EQ(connect.size(), 26u);
    EXPECT_EQ(ReadPacketHeader(connect).TotalLength, 26u);
    EXPECT_EQ(ReadPacketHeader(connect).Command, pcConnect);
    EXPECT_EQ(std::string(connect.begin() + 22, connect.end()), "taro");

    const Packet full = BuildConnect("ab", "hey", "xyz");
    EXPECT_EQ(full, Of({'V', 'O', 'X', 'I', 'L', 'E', 'N', 0,  0, 30, 0, 0, 0, 1,  //
                        0,   0,   2,   0,   3,   0,   3,   0,                      //
                        'a', 'b', 'h', 'e', 'y', 'x', 'y', 'z'}));

    const Packet empty = BuildText("");
    EXPECT_EQ(ReadPacketHeader(empty).TotalLength, 18u);

    const Packet accepted = BuildTransferReply(rcAccepted, "");
    EXPECT_EQ(accepted, Of({'V', 'O', 'X', 'I', 'L', 'E', 'N', 0, 0, 19, 0, 0, 0, 7,  //
                            0, 0, 1, 0, 0}));

    const Packet refused = BuildConnectReply(rcRefused, "no");
    EXPECT_EQ(refused.size(), 21u);
    EXPECT_EQ(refused[13], pcConnectReply);
    EXPECT_EQ(refused[16], rcRefused);
    EXPECT_EQ(refused[17], 2);

    const Packet request = BuildTransferRequest("a.txt", 0x01020304, 9912);
    EXPECT_EQ(request, Of({'V', 'O', 'X', 'I', 'L', 'E', 'N', 0, 0,    29,   0, 0, 0, 4,  //
                           0,   0,   5,   0,   4,   3,   2,   1, 0xB8, 0x26,              //
                           'a', '.', 't', 'x', 't'}));

    const std::vector<std::uint8_t> block = {9, 8, 7};
    const Packet voice = BuildVoice(4410, block);
    EXPECT_EQ(voice, Of({'V', 'O', 'X',  'I',  'L', 'E', 'N', 0, 0, 25, 0, 0, 0, 2,  //
                         0,   0,   0x3A, 0x11, 3,   0,   0,   0, 9, 8,  7}));
}

TEST(PacketBuild, RefusesPartsTooLongForTheirLengthField) {
    const std::string longest(65535, 'x');
    EXPECT_EQ(BuildText(longest).size(), 18u + 65535u);
    EXPECT_THROW(BuildText(longest + "x"), EPacketError);
    EXPECT_THROW(BuildConnect("n", longest + "x", ""), EPacketError);
    EXPECT_THROW(BuildTransferRequest(longest + "x", 1, 1), EPacketError);
}

TEST(PacketRead, MagicIsCaseInsensitiveAndEndsAtAZeroByte) {
    EXPECT_TRUE(CheckMagic(BuildText("")));
    EXPECT_TRUE(CheckMagic(Of({'v', 'o', 'x', 'i', 'l', 'e', 'n'})));
    EXPECT_TRUE(CheckMagic(Of({'V', 'o', 'X', 'i', 'L', 'e', 'N'})));
    EXPECT_FALSE(CheckMagic(Of({'V', 'O', 0, 'I', 'L', 'E', 'N'})));
    EXPECT_FALSE(CheckMagic(Of({'V', 'O', 'X', 'I', 'L', 'E', 0})));
    EXPECT_FALSE(CheckMagic(Of({'V', 'O', 'X', 'I', 'L', 'E', 'M'})));
    EXPECT_FALSE(CheckMagic(Of({'V', 'O', 'X'})));
    // Letters outside ASCII never fold onto the magic.
    EXPECT_FALSE(CheckMagic(Of({'V', 'O', 'X', 0xC9, 'L', 'E', 'N'})));
}

TEST(PacketRead, TotalLengthMustDescribeItsPacket) {
    auto header = [](std::uint32_t total, std::uint8_t command) {
        return PacketHeader{total, command};
    };
    EXPECT_TRUE(TotalLengthFits(header(18, pcText)));
    EXPECT_FALSE(TotalLengthFits(header(17, pcText)));
    EXPECT_FALSE(TotalLengthFits(header(14, pcVoice)));
    EXPECT_FALSE(TotalLengthFits(header(0, pcVoice)));
    EXPECT_TRUE(TotalLengthFits(header(24, pcTransferRequest)));
    EXPECT_FALSE(TotalLengthFits(header(23, pcTransferRequest)));
    EXPECT_TRUE(TotalLengthFits(header(19, pcTransferReply)));
    EXPECT_FALSE(TotalLengthFits(header(18, pcTransferReply)));
    EXPECT_TRUE(TotalLengthFits(header(kMaxPacketLength, pcVoice)));
    EXPECT_FALSE(TotalLengthFits(header(kMaxPacketLength + 1, pcVoice)));
    EXPECT_FALSE(TotalLengthFits(header(0xFFFFFFFF, pcText)));
    // The largest packet any builder makes is still readable.
    const Packet largest = BuildTransferRequest(std::string(65535, 'n'), 1, 1);
    EXPECT_TRUE(TotalLengthFits(ReadPacketHeader(largest)));
}

TEST(PacketRead, ParsesWhatTheBuildersMake) {
    EXPECT_EQ(ParseTextPacket(Rest(BuildText("hello"))).Text, "hello");
    EXPECT_EQ(ParseTextPacket(Rest(BuildText(""))).Text, "");

    const TransferRequestPacket request =
        ParseTransferRequestPacket(Rest(BuildTransferRequest("f.bin", 123456, 9912)));
    EXPECT_EQ(request.FileName, "f.bin");
    EXPECT_EQ(request.Header.FileSize, 123456u);
    EXPECT_EQ(request.Header.Port, 9912);

    const ReplyPacket reply = ParseReplyPacket(Rest(BuildTransferReply(rcBusy, "wait")));
    EXPECT_EQ(reply.Header.Result, rcBusy);
    EXPECT_EQ(reply.Text, "wait");

    const std::vector<std::uint8_t> block = {1, 2, 3, 4};
    const Packet voicePacket = BuildVoice(4410, block);
    const VoicePacket voice = ParseVoicePacket(Rest(voicePacket));
    EXPECT_EQ(voice.Header.RawLength, 4410);
    EXPECT_EQ(std::vector<std::uint8_t>(voice.Block.begin(), voice.Block.end()), block);

    const Packet connect = BuildConnect("ab", "c", "de");
    const ConnectRequestHeader ch = ReadConnectRequestHeader(Rest(connect));
    EXPECT_EQ(ch.NameLength, 2);
    EXPECT_EQ(ch.CommentLength, 1);
    EXPECT_EQ(ch.PassPhraseLength, 2);
}

TEST(PacketRead, TextEndsAtAnEarlierZeroByte) {
    EXPECT_EQ(ParseTextPacket(Rest(BuildText(std::string("ab\0cd", 5)))).Text, "ab");
    EXPECT_EQ(ParseReplyPacket(Rest(BuildConnectReply(rcAccepted, std::string("\0x", 2)))).Text,
              "");
}

TEST(PacketRead, SubHeaderLengthsBeyondThePacketAreRejected) {
    Packet text = BuildText("abc");
    text[16] = 4;  // TextLength one more than the payload
    EXPECT_THROW(ParseTextPacket(Rest(text)), EPacketError);

    Packet voice = BuildVoice(10, std::vector<std::uint8_t>{1, 2});
    voice[18] = 0xFF;
    voice[19] = 0xFF;
    EXPECT_THROW(ParseVoicePacket(Rest(voice)), EPacketError);

    Packet request = BuildTransferRequest("x", 1, 1);
    request[16] = 2;
    EXPECT_THROW(ParseTransferRequestPacket(Rest(request)), EPacketError);

    Packet reply = BuildTransferReply(rcRefused, "");
    reply[17] = 1;
    EXPECT_THROW(ParseReplyPacket(Rest(reply)), EPacketError);

    // A rest shorter than the sub-header itself.
    const std::vector<std::uint8_t> shortRest = {0, 0, 1};
    EXPECT_THROW(ParseTextPacket(shortRest), EPacketError);
    EXPECT_THROW(ParseVoicePacket(shortRest), EPacketError);
    EXPECT_THROW(ParseReplyPacket(shortRest), EPacketError);
    EXPECT_THROW(ParseTransferRequestPacket(shortRest), EPacketError);
}

}  // namespace
}  // namespace vox
