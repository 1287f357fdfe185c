// The receive loop after an accepted handshake, driven by a scripted partner: endings,
// IdleCount, handlers, and what a hostile partner can and cannot do.
#include <gtest/gtest.h>

#include <random>

#include "support/ConversationTestSupport.h"

namespace vox::testing {
namespace {

class ReceiveLoopTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi ui;
    std::unique_ptr<TConnectionCore> core =
        std::make_unique<TConnectionCore>(sync, ui, FastTimeouts());
    int port = 0;

    void SetUp() override {
        core->StartListening(0);
        port = core->ListeningPort();
    }
    void TearDown() override { core.reset(); }

    // A scripted caller whose call has been accepted.
    TRawPeer AcceptedPartner(const char* from = "127.0.0.1") {
        const std::size_t members = ui.Members.size();
        TRawPeer peer = TRawPeer::Connect(port, from);
        peer.Send(ConnectPacket("peer"));
        const Packet reply = peer.ReceivePacket();
        EXPECT_EQ(reply, BuildConnectReply(rcAccepted, "peer" + Sj("さん、いらしゃい")));
        EXPECT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() > members; }));
        return peer;
    }

    bool Logged(std::string_view line, int ms = 3000) {
        return PumpUntil(
            sync, [&] { return ui.HasLog(line); }, ms);
    }
    bool Ended(int ms = 3000) {
        return PumpUntil(
            sync, [&] { return ui.Members.empty() && core->IncomingCount() == 0; }, ms);
    }

    // A packet of a command without a handler and no payload.
    static Packet HeaderOnly(std::uint8_t command = 5) {
        Packet p = BuildText("");
        p.resize(kPacketHeaderSize);
        p[9] = kPacketHeaderSize;
        p[13] = command;
        return p;
    }
};

TEST_F(ReceiveLoopTest, HangingUpBetweenPacketsTakesTheErrorEnding) {
    TRawPeer peer = AcceptedPartner();
    peer.Close();
    ASSERT_TRUE(Logged("127.0.0.1 との間でエラーが発生しました。")) << ui.AllLogs();
    ASSERT_TRUE(Logged("127.0.0.1 サーバーソケットを閉じました。"));
    EXPECT_TRUE(Ended());
    EXPECT_FALSE(ui.HasLog("127.0.0.1 がシャットダウンしたと思われます。"));
}

TEST_F(ReceiveLoopTest, HangingUpMidPacketTakesTheShutdownEndingAndDropsThePacket) {
    TRawPeer peer = AcceptedPartner();
    const Packet text = BuildText("never shown");
    peer.Send(text.data(), text.size() - 3);
    PumpFor(sync, 50);
    peer.Close();
    ASSERT_TRUE(Logged("127.0.0.1 がシャットダウンしたと思われます。")) << ui.AllLogs();
    ASSERT_TRUE(Logged("127.0.0.1 とのサーバー接続を終了します。"));
    EXPECT_TRUE(Ended());
    EXPECT_TRUE(ui.Chat.empty());
    EXPECT_FALSE(ui.HasLog("127.0.0.1 との間でエラーが発生しました。"));
}

TEST_F(ReceiveLoopTest, TheHundredAndFirstHeaderOnlyPacketEndsTheConnection) {
    TRawPeer peer = AcceptedPartner();
    for (int i = 0; i < 100; ++i) {
        peer.Send(HeaderOnly());
    }
    PumpFor(sync, 300);
    EXPECT_FALSE(ui.HasLog("127.0.0.1 がシャットダウンしたと思われます。")) << "only 100 so far";
    peer.Send(HeaderOnly());
    ASSERT_TRUE(Logged("127.0.0.1 がシャットダウンしたと思われます。")) << ui.AllLogs();
    EXPECT_TRUE(peer.ClosedByOtherEnd());
}

TEST_F(ReceiveLoopTest, AfterAPacketWithPayloadTheNinetyNinthSuffices) {
    TRawPeer peer = AcceptedPartner();
    peer.Send(BuildText("x"));
    for (int i = 0; i < 98; ++i) {
        peer.Send(HeaderOnly(8));
    }
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Chat.size() == 1; }));
    PumpFor(sync, 300);
    EXPECT_FALSE(ui.HasLog("127.0.0.1 がシャットダウンしたと思われます。"));
    peer.Send(HeaderOnly(8));
    ASSERT_TRUE(Logged("127.0.0.1 がシャットダウンしたと思われます。")) << ui.AllLogs();
}

TEST_F(ReceiveLoopTest, TextEndsAtAZeroByteAndTheStreamStaysInStep) {
    TRawPeer peer = AcceptedPartner();
    peer.Send(BuildText(std::string("ab\0cd", 5)));
    peer.Send(BuildText(""));
    peer.Send(BuildText(Sj("日本語")));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Chat.size() == 3; }));
    EXPECT_EQ(ui.Chat[0], "peer: ab");
    EXPECT_EQ(ui.Chat[1], "peer: ");
    EXPECT_EQ(ui.Chat[2], "peer: 日本語");
}

TEST_F(ReceiveLoopTest, AHeaderSplitAcrossSegmentsIsNoFailure) {
    TRawPeer peer = AcceptedPartner();
    const Packet text = BuildText("split");
    peer.Send(text.data(), 5);
    PumpFor(sync, 30);
    peer.Send(text.data() + 5, text.size() - 5);
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Chat.size() == 1; })) << ui.AllLogs();
    EXPECT_EQ(ui.Chat[0], "peer: split");
}

TEST_F(ReceiveLoopTest, AConnectRequestAfterTheHandshakePutsTheStreamOutOfStep) {
    TRawPeer peer = AcceptedPartner();
    peer.Send(ConnectPacket("again", "comment"));
    peer.Send(BuildText("lost"));
    ASSERT_TRUE(Logged("127.0.0.1 との間でエラーが発生しました。")) << ui.AllLogs();
    EXPECT_TRUE(Ended());
    EXPECT_TRUE(ui.Chat.empty());
}

TEST_F(ReceiveLoopTest, VoiceGoesToTheConnectionsVoiceInputWhole) {
    TRawPeer peer = AcceptedPartner();
    TConversation* connection = ui.Members[0].second;
    const std::vector<std::uint8_t> block(1500, 0x42);
    peer.Send(BuildVoice(4410, block));
    ASSERT_TRUE(PumpUntil(sync, [&] {
        return connection->VoiceInput().Size() == static_cast<int>(kVoiceHeaderSize + 1500);
    }));
    std::vector<std::uint8_t> got(kVoiceHeaderSize + 1500);
    connection->VoiceInput().Read(got.data(), static_cast<int>(got.size()));
    const Packet sent = BuildVoice(4410, block);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin() + kPacketHeaderSize));
}

TEST_F(ReceiveLoopTest, TransferRequestOpensTheWindowOrIsAnsweredBusy) {
    TRawPeer peer = AcceptedPartner();
    peer.Send(BuildTransferRequest("report.pdf", 12345, 9912));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Offers.size() == 1; }));
    EXPECT_EQ(ui.Offers[0].FileName, "report.pdf");
    EXPECT_EQ(ui.Offers[0].FileSize, 12345u);
    EXPECT_EQ(ui.Offers[0].Port, 9912);
    EXPECT_EQ(ui.Offers[0].PartnerAddress, "127.0.0.1");
    EXPECT_EQ(ui.Offers[0].PartnerName, "peer");

    // The window is open now: the next request is answered busy and not shown.
    peer.Send(BuildTransferRequest("second.bin", 1, 9912));
    EXPECT_EQ(peer.ReceivePacket(),
              BuildTransferReply(rcBusy, Sj("ファイルの転送中のため、少々お待ちください。")));
    PumpFor(sync, 50);
    EXPECT_EQ(ui.Offers.size(), 1u);
}

TEST_F(ReceiveLoopTest, TransferRepliesAreLoggedAndActedOn) {
    TRawPeer peer = AcceptedPartner();
    peer.Send(BuildTransferReply(rcAccepted, ""));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Accepted == 1; }));
    peer.Send(BuildTransferReply(rcRefused, Sj("ファイルの受信を拒否します。")));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Refused == 1; }));
    EXPECT_TRUE(ui.HasLog("ファイルの受信を拒否します。"));
    EXPECT_TRUE(ui.HasLog("ファイルの転送を断られました。"));
    const std::size_t lines = ui.Logs.size();
    peer.Send(BuildTransferReply(rcBusy, "busy text"));
    ASSERT_TRUE(Logged("busy text"));
    PumpFor(sync, 50);
    EXPECT_EQ(ui.Logs.size(), lines + 1) << "a busy answer only logs its text";
    EXPECT_EQ(ui.Accepted, 1);
    EXPECT_EQ(ui.Refused, 1);
}

// --- Hostile partners --------------------------------------------------------------------

TEST_F(ReceiveLoopTest, LengthsThatCannotDescribeThePacketEndOnlyThatConnection) {
    TRawPeer bystander = AcceptedPartner("127.0.0.2");
    auto expectError = [&](const Packet& bad) {
        ui.Logs.clear();
        TRawPeer peer = AcceptedPartner();
        peer.Send(bad);
        EXPECT_TRUE(Logged("127.0.0.1 との間でエラーが発生しました。")) << ui.AllLogs();
        EXPECT_TRUE(peer.ClosedByOtherEnd(1000));
        EXPECT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; }));
    };
    Packet huge = BuildVoice(1, std::vector<std::uint8_t>{1});
    huge[9] = huge[10] = huge[11] = huge[12] = 0xFF;  // 4 GiB
    expectError(huge);

    Packet tooShort = BuildTransferReply(rcAccepted, "");
    tooShort[9] = 18;  // below header + reply header
    expectError(tooShort);

    Packet beyond = BuildText("abc");
    beyond[16] = 200;  // TextLength beyond the packet
    expectError(beyond);

    Packet voiceBeyond = BuildVoice(10, std::vector<std::uint8_t>{1, 2, 3});
    voiceBeyond[18] = 0xFF;
    expectError(voiceBeyond);

    // The partner that behaved is still served.
    bystander.Send(BuildText("still here"));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Chat.size() == 1; }));
    EXPECT_EQ(ui.Chat[0], "peer: still here");
}

TEST_F(ReceiveLoopTest, RandomBytesEndTheConnectionWithoutHarm) {
    std::mt19937 random(1234);
    for (int round = 0; round < 5; ++round) {
        TRawPeer peer = AcceptedPartner();
        std::string noise(20000, '\0');
        for (char& c : noise) {
            c = static_cast<char>(random());
        }
        peer.Send(noise);
        EXPECT_TRUE(peer.ClosedByOtherEnd()) << "round " << round;
        EXPECT_TRUE(Ended()) << "round " << round;
    }
}

TEST_F(ReceiveLoopTest, AStalledHandshakeDoesNotHoldUpOtherCallers) {
    TRawPeer stalled = TRawPeer::Connect(port, "127.0.0.3");
    stalled.Send(ConnectPacket("slow").data(), 10);
    TRawPeer peer = AcceptedPartner();
    peer.Send(BuildText("hello"));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Chat.size() == 1; }));
}

}  // namespace
}  // namespace vox::testing
