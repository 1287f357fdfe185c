// Both handshakes over real loopback TCP: two cores of the program talking to each other, and
// scripted peers that speak raw bytes.
#include <gtest/gtest.h>

#include "support/ConversationTestSupport.h"

namespace vox::testing {
namespace {

class HandshakeTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi calleeUi;
    TFakeUi callerUi;
    std::unique_ptr<TConnectionCore> callee =
        std::make_unique<TConnectionCore>(sync, calleeUi, FastTimeouts());
    std::unique_ptr<TConnectionCore> caller =
        std::make_unique<TConnectionCore>(sync, callerUi, FastTimeouts());

    void TearDown() override {
        caller.reset();
        callee.reset();
    }

    int Listen() {
        callee->StartListening(0);
        return callee->ListeningPort();
    }

    void Call(int port, std::string_view passPhrase = "") {
        TCallRequest request;
        request.Address = "127.0.0.1";
        request.Port = port;
        request.MyName = Sj("たろう");
        request.Comment = Sj("こんにちは");
        request.PartnerName = Sj("はなこ");
        request.PassPhrase = std::string(passPhrase);
        caller->Call(request);
    }

    bool CallerLogged(std::string_view line, int ms = 3000) {
        return PumpUntil(
            sync, [&] { return callerUi.HasLog(line); }, ms);
    }
    bool CalleeLogged(std::string_view line, int ms = 3000) {
        return PumpUntil(
            sync, [&] { return calleeUi.HasLog(line); }, ms);
    }
};

TEST_F(HandshakeTest, AcceptedCallListsBothPartnersAndCarriesText) {
    const int port = Listen();
    EXPECT_TRUE(calleeUi.HasLog("接続待機開始。"));
    Call(port);

    ASSERT_TRUE(CallerLogged("127.0.0.1 たろうさん、いらしゃい")) << callerUi.AllLogs();
    ASSERT_TRUE(CalleeLogged("127.0.0.1 と接続しました。")) << calleeUi.AllLogs();
    EXPECT_TRUE(calleeUi.HasLog("127.0.0.1 から接続要求を受け付けました。"));
    ASSERT_TRUE(PumpUntil(
        sync, [&] { return callerUi.Members.size() == 1 && calleeUi.Members.size() == 1; }));
    // Each side lists the partner under its own name for it.
    EXPECT_EQ(callerUi.Members[0].first, "はなこ");
    EXPECT_EQ(calleeUi.Members[0].first, "たろう");
    ASSERT_EQ(calleeUi.Calls.size(), 1u);
    EXPECT_EQ(calleeUi.Calls[0].Address, "127.0.0.1");
    EXPECT_EQ(Cp932ToUtf8(calleeUi.Calls[0].Comment), "こんにちは");
    EXPECT_EQ(callee->IncomingCount(), 1u);
    EXPECT_EQ(caller->OutgoingCount(), 1u);

    caller->SendText(Sj("やあ"));
    callee->SendText("hi");
    ASSERT_TRUE(PumpUntil(sync, [&] { return !calleeUi.Chat.empty() && !callerUi.Chat.empty(); }));
    EXPECT_EQ(calleeUi.Chat[0], "たろう: やあ");
    EXPECT_EQ(callerUi.Chat[0], "はなこ: hi");

    // Dropping the call ends it normally here and through the error ending there.
    caller->DisconnectAll();
    EXPECT_TRUE(callerUi.HasLog("すべての接続を切断しました。"));
    ASSERT_TRUE(CallerLogged("127.0.0.1 との接続を終了します。"));
    ASSERT_TRUE(CalleeLogged("127.0.0.1 サーバーソケットを閉じました。"));
    EXPECT_TRUE(calleeUi.HasLog("127.0.0.1 との間でエラーが発生しました。"));
    ASSERT_TRUE(PumpUntil(sync,
                          [&] {
                              return callerUi.Members.empty() && calleeUi.Members.empty() &&
                                     caller->OutgoingSocketCount() == 0 &&
                                     callee->IncomingCount() == 0;
                          }))
        << callerUi.Members.size() << calleeUi.Members.size() << caller->OutgoingSocketCount()
        << callee->IncomingCount();
}

TEST_F(HandshakeTest, RefusedByTheUser) {
    calleeUi.Decision = cdRefused;
    Call(Listen());
    ASSERT_TRUE(CallerLogged("127.0.0.1 接続を拒否します。")) << callerUi.AllLogs();
    ASSERT_TRUE(CallerLogged("127.0.0.1 との接続を終了します。"));
    ASSERT_TRUE(CalleeLogged("127.0.0.1 の接続を拒否しました。")) << calleeUi.AllLogs();
    ASSERT_TRUE(CalleeLogged("127.0.0.1 とのサーバー接続を終了します。"));
    EXPECT_TRUE(callerUi.Members.empty());
    EXPECT_TRUE(calleeUi.Members.empty());
    // The caller's window hears why, beside the log lines.
    ASSERT_TRUE(PumpUntil(sync, [&] { return callerUi.CallFailures.size() == 1u; }));
    EXPECT_EQ(callerUi.CallFailures[0],
              std::make_pair(std::string("127.0.0.1"), TCallFailure::Refused));
    EXPECT_TRUE(calleeUi.CallFailures.empty());
}

TEST_F(HandshakeTest, DecisionTimedOutInTheDialog) {
    calleeUi.Decision = cdTimedOut;
    Call(Listen());
    ASSERT_TRUE(CallerLogged("127.0.0.1 接続可否の判断がタイムアウトしました。"))
        << callerUi.AllLogs();
    // The callee's line carries no address.
    ASSERT_TRUE(CalleeLogged("接続可否の判断がタイムアウトしました。")) << calleeUi.AllLogs();
    ASSERT_TRUE(PumpUntil(sync, [&] { return callerUi.CallFailures.size() == 1u; }));
    EXPECT_EQ(callerUi.CallFailures[0].second, TCallFailure::NoDecision);
}

TEST_F(HandshakeTest, PassPhraseIsComparedExactly) {
    calleeUi.UsePassPhrase = true;
    calleeUi.OwnPassPhrase = "Secret";
    const int port = Listen();

    Call(port, "secret");  // differs only in letter case
    ASSERT_TRUE(CallerLogged("127.0.0.1 パスフレーズが一致しません。")) << callerUi.AllLogs();
    ASSERT_TRUE(CalleeLogged("127.0.0.1 のパスフレーズが一致しませんでした。"));
    EXPECT_TRUE(calleeUi.Calls.empty()) << "no dialog for a wrong pass phrase";
    ASSERT_TRUE(CallerLogged("127.0.0.1 との接続を終了します。"));
    ASSERT_TRUE(PumpUntil(sync, [&] { return caller->OutgoingSocketCount() == 0; }));
    ASSERT_TRUE(PumpUntil(sync, [&] { return callerUi.CallFailures.size() == 1u; }));
    EXPECT_EQ(callerUi.CallFailures[0].second, TCallFailure::WrongPassPhrase);

    Call(port, "Secret");
    ASSERT_TRUE(CallerLogged("127.0.0.1 たろうさん、いらしゃい")) << callerUi.AllLogs();
    EXPECT_EQ(calleeUi.Calls.size(), 1u);
    EXPECT_EQ(callerUi.CallFailures.size(), 1u) << "an accepted call is no failure";
}

TEST_F(HandshakeTest, NoPassPhraseCountsAsEmpty) {
    calleeUi.UsePassPhrase = true;
    Call(Listen());
    ASSERT_TRUE(CallerLogged("127.0.0.1 たろうさん、いらしゃい")) << callerUi.AllLogs();
    EXPECT_EQ(calleeUi.Calls.size(), 1u);
}

TEST_F(HandshakeTest, PassPhraseIgnoredWhenNotAsked) {
    calleeUi.OwnPassPhrase = "other";
    Call(Listen(), "anything");
    ASSERT_TRUE(CallerLogged("127.0.0.1 たろうさん、いらしゃい")) << callerUi.AllLogs();
}

TEST_F(HandshakeTest, CallerGivesUpWhenThePartnerNeverAnswers) {
    TRawListener silent;
    Call(silent.Port());
    TRawPeer peer = silent.Accept();
    ASSERT_TRUE(peer.Valid());
    // The caller's request arrives whole: name, comment and the encoded pass phrase.
    const Packet request = peer.ReceivePacket();
    const std::string name = Sj("たろう");
    const std::string comment = Sj("こんにちは");
    EXPECT_EQ(request, ConnectPacket(name, comment));
    ASSERT_TRUE(CallerLogged("127.0.0.1 接続相手から返答されずタイムアウトしました。"))
        << callerUi.AllLogs();
    ASSERT_TRUE(CallerLogged("127.0.0.1 との接続を終了します。"));
    EXPECT_TRUE(peer.ClosedByOtherEnd());
    ASSERT_TRUE(PumpUntil(sync, [&] { return callerUi.CallFailures.size() == 1u; }));
    EXPECT_EQ(callerUi.CallFailures[0].second, TCallFailure::NoAnswer);
}

TEST_F(HandshakeTest, CalleeGivesUpWhenTheCallerSaysNothing) {
    TRawPeer peer = TRawPeer::Connect(Listen());
    ASSERT_TRUE(CalleeLogged("127.0.0.1 接続相手を確認できずにタイムアウトしました。"))
        << calleeUi.AllLogs();
    ASSERT_TRUE(CalleeLogged("127.0.0.1 とのサーバー接続を終了します。"));
    EXPECT_TRUE(peer.ClosedByOtherEnd());
}

TEST_F(HandshakeTest, CalleeDropsWrongMagicAndWrongCommandWithoutReply) {
    const int port = Listen();
    {
        TRawPeer peer = TRawPeer::Connect(port);
        Packet wrong = ConnectPacket("x");
        wrong[2] = 'Z';
        peer.Send(wrong);
        ASSERT_TRUE(CalleeLogged("127.0.0.1 はVoxilen.exeではありません。")) << calleeUi.AllLogs();
        EXPECT_TRUE(peer.Receive(1, 500).empty()) << "no reply";
        EXPECT_TRUE(peer.ClosedByOtherEnd());
        ASSERT_TRUE(CalleeLogged("127.0.0.1 とのサーバー接続を終了します。"));
    }
    {
        TRawPeer peer = TRawPeer::Connect(port);
        peer.Send(BuildText("hello"));
        ASSERT_TRUE(CalleeLogged("127.0.0.1 データが間違っています。")) << calleeUi.AllLogs();
        EXPECT_TRUE(peer.ClosedByOtherEnd());
    }
    EXPECT_TRUE(calleeUi.Calls.empty());
}

TEST_F(HandshakeTest, CallerDropsAnAnswerFromAnotherProgramOrOfTheWrongKind) {
    {
        TRawListener other;
        Call(other.Port());
        TRawPeer peer = other.Accept();
        peer.ReceivePacket();
        peer.Send(std::string_view("HTTP/1.1 400 Bad Request\r\n\r\n"));
        ASSERT_TRUE(CallerLogged("127.0.0.1 はVoxilen.exeではありません。")) << callerUi.AllLogs();
        ASSERT_TRUE(CallerLogged("127.0.0.1 との接続を終了します。"));
    }
    callerUi.Logs.clear();
    {
        TRawListener other;
        Call(other.Port());
        TRawPeer peer = other.Accept();
        peer.ReceivePacket();
        peer.Send(BuildTransferReply(rcAccepted, ""));
        ASSERT_TRUE(CallerLogged("127.0.0.1 データが間違っています。")) << callerUi.AllLogs();
    }
    EXPECT_TRUE(callerUi.Members.empty());
    ASSERT_TRUE(PumpUntil(sync, [&] { return callerUi.CallFailures.size() == 2u; }));
    EXPECT_EQ(callerUi.CallFailures[0].second, TCallFailure::NotOurProgram);
    EXPECT_EQ(callerUi.CallFailures[1].second, TCallFailure::NotOurProgram);
}

TEST_F(HandshakeTest, CallerSeesAHangUpWithoutAnswerAsAFailure) {
    TRawListener other;
    Call(other.Port());
    {
        TRawPeer peer = other.Accept();
        peer.ReceivePacket();
    }
    ASSERT_TRUE(CallerLogged("127.0.0.1 接続中にエラーが発生しました。")) << callerUi.AllLogs();
    ASSERT_TRUE(PumpUntil(sync, [&] { return callerUi.CallFailures.size() == 1u; }));
    EXPECT_EQ(callerUi.CallFailures[0].second, TCallFailure::Broken);
}

TEST_F(HandshakeTest, AcceptedReplyTextIsLoggedEvenWhenSplitAcrossSegments) {
    TRawListener other;
    Call(other.Port());
    TRawPeer peer = other.Accept();
    peer.ReceivePacket();
    const Packet reply = BuildConnectReply(rcAccepted, "welcome");
    peer.Send(reply.data(), 9);
    PumpFor(sync, 30);
    peer.Send(reply.data() + 9, reply.size() - 9);
    ASSERT_TRUE(CallerLogged("127.0.0.1 welcome")) << callerUi.AllLogs();
    ASSERT_TRUE(PumpUntil(sync, [&] { return callerUi.Members.size() == 1; }));
}

TEST_F(HandshakeTest, TricklingCallerIsBoundedByTheLimits) {
    const int port = Listen();
    // A header that trickles in is dropped at the handshake limit.
    TRawPeer slow = TRawPeer::Connect(port);
    const Packet request = ConnectPacket("x");
    std::size_t sent = 0;
    const bool timedOut = PumpUntil(sync, [&] {
        if (sent < request.size()) {
            slow.Send(&request[sent++], 1);
        }
        PumpFor(sync, 60);
        return calleeUi.HasLog("127.0.0.1 接続相手を確認できずにタイムアウトしました。");
    });
    EXPECT_TRUE(timedOut) << calleeUi.AllLogs();

    // A whole header followed by fields that trickle: the field read gives up.
    calleeUi.Logs.clear();
    TRawPeer fields = TRawPeer::Connect(port);
    fields.Send(request.data(), kPacketHeaderSize);
    PumpFor(sync, 20);
    fields.Send(&request[kPacketHeaderSize], 1);
    ASSERT_TRUE(CalleeLogged("127.0.0.1 エラーが発生して接続できませんでした。"))
        << calleeUi.AllLogs();
    EXPECT_TRUE(calleeUi.Calls.empty());
}

}  // namespace
}  // namespace vox::testing
