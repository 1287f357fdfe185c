// The connection core: the accept check, dropping connections, switching listening off.
#include <gtest/gtest.h>

#include "support/ConversationTestSupport.h"
#include "voice/BlockCompression.h"

namespace vox::testing {
namespace {

class ConnectionCoreTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi ui;
    TFakeUi otherUi;
    TFusionBuffer mixer;  // outlives the cores that decode into it
    std::unique_ptr<TConnectionCore> core =
        std::make_unique<TConnectionCore>(sync, ui, FastTimeouts());
    std::unique_ptr<TConnectionCore> other =
        std::make_unique<TConnectionCore>(sync, otherUi, FastTimeouts());

    void TearDown() override {
        other.reset();
        core.reset();
    }

    // The core calls the other core and is called by a raw partner from 127.0.0.2; both
    // calls accepted. Returns the raw partner.
    TRawPeer OneCallEachWay() {
        other->StartListening(0);
        core->StartListening(0);
        TCallRequest request;
        request.Address = "127.0.0.1";
        request.Port = other->ListeningPort();
        request.PartnerName = "other";
        core->Call(request);
        TRawPeer caller = TRawPeer::Connect(core->ListeningPort(), "127.0.0.2");
        caller.Send(ConnectPacket("raw"));
        caller.ReceivePacket();
        EXPECT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 2; })) << ui.AllLogs();
        return caller;
    }

    bool Logged(TFakeUi& who, std::string_view line, int ms = 3000) {
        return PumpUntil(
            sync, [&] { return who.HasLog(line); }, ms);
    }
};

TEST_F(ConnectionCoreTest, SecondConnectionFromAnAddressInItsHandshakeIsRefused) {
    core->StartListening(0);
    TRawPeer first = TRawPeer::Connect(core->ListeningPort());
    TRawPeer second = TRawPeer::Connect(core->ListeningPort());
    ASSERT_TRUE(Logged(ui, "127.0.0.1 とは既に接続しているので切断します。")) << ui.AllLogs();
    EXPECT_EQ(ui.Beeps, 1);
    EXPECT_TRUE(second.ClosedByOtherEnd());
    // A caller from another address is welcome meanwhile, and the first can still finish.
    TRawPeer third = TRawPeer::Connect(core->ListeningPort(), "127.0.0.2");
    third.Send(ConnectPacket("third"));
    EXPECT_EQ(third.ReceivePacket()[13], pcConnectReply);
    first.Send(ConnectPacket("first"));
    EXPECT_EQ(first.ReceivePacket()[13], pcConnectReply);
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 2; }));
    EXPECT_EQ(ui.Beeps, 1);
}

TEST_F(ConnectionCoreTest, IncomingCallFromAnAddressCalledAlreadyIsRefused) {
    other->StartListening(0);
    core->StartListening(0);
    TCallRequest request;
    request.Address = "127.0.0.1";
    request.Port = other->ListeningPort();
    request.MyName = "me";
    request.PartnerName = "other";
    core->Call(request);
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; })) << ui.AllLogs();

    // The partner calls back: this side already holds a connection to that address.
    request.Port = core->ListeningPort();
    other->Call(request);
    ASSERT_TRUE(Logged(ui, "127.0.0.1 とは既に接続しているので切断します。")) << ui.AllLogs();
    EXPECT_EQ(ui.Beeps, 1);
    ASSERT_TRUE(Logged(otherUi, "127.0.0.1 接続中にエラーが発生しました。")) << otherUi.AllLogs();
    EXPECT_EQ(ui.Members.size(), 1u);
}

TEST_F(ConnectionCoreTest, DisconnectAllEndsEveryConnection) {
    core->DisconnectAll();
    EXPECT_EQ(ui.Logs, std::vector<std::string>{"すべての接続を切断しました。"});

    TRawPeer caller = OneCallEachWay();

    core->DisconnectAll();
    EXPECT_TRUE(caller.ClosedByOtherEnd());
    ASSERT_TRUE(PumpUntil(sync, [&] {
        return ui.Members.empty() && core->IncomingCount() == 0 && core->OutgoingCount() == 0 &&
               core->OutgoingSocketCount() == 0;
    }));
    EXPECT_TRUE(ui.HasLog("127.0.0.1 との接続を終了します。"));
    EXPECT_TRUE(ui.HasLog("127.0.0.2 とのサーバー接続を終了します。"));
    EXPECT_TRUE(core->Listening()) << "dropping connections does not stop listening";
}

TEST_F(ConnectionCoreTest, ListeningOffEndsOnlyIncomingConnections) {
    TRawPeer caller = OneCallEachWay();

    core->StopListening();
    EXPECT_FALSE(core->Listening());
    EXPECT_TRUE(ui.HasLog("接続待機中止"));
    EXPECT_TRUE(caller.ClosedByOtherEnd());
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; }));
    EXPECT_EQ(ui.Members[0].first, "other");
    EXPECT_EQ(core->OutgoingCount(), 1u);
}

TEST_F(ConnectionCoreTest, AFailedCallLeavesItsConnectorUntilEverythingIsDropped) {
    TCallRequest request;
    request.Address = "127.0.0.1";
    request.PartnerName = "nobody";
    {
        TRawListener gone;  // bound and then closed: nobody listens there
        request.Port = gone.Port();
    }
    std::vector<TCallOutcome> outcomes;
    core->Call(request, [&](const TCallOutcome& outcome) { outcomes.push_back(outcome); });
    ASSERT_TRUE(PumpUntil(sync, [&] { return !outcomes.empty(); }));
    EXPECT_FALSE(outcomes[0].Connected);
    EXPECT_EQ(outcomes[0].Error, ESocketError::ForCall(ECONNREFUSED, "connect").what());
    ASSERT_TRUE(PumpUntil(sync, [&] { return core->CallThreadCount() == 0; }));
    EXPECT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(ui.Logs.empty()) << ui.AllLogs();
    EXPECT_EQ(core->OutgoingSocketCount(), 1u);
    core->DisconnectAll();
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
}

TEST_F(ConnectionCoreTest, TextAndVoiceGoOnlyToAcceptedConnections) {
    core->StartListening(0);
    TRawPeer accepted = TRawPeer::Connect(core->ListeningPort(), "127.0.0.2");
    accepted.Send(ConnectPacket("a"));
    accepted.ReceivePacket();
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; }));
    TRawPeer pending = TRawPeer::Connect(core->ListeningPort(), "127.0.0.3");
    ASSERT_TRUE(PumpUntil(sync, [&] { return core->IncomingCount() == 2; }));

    core->SendText("line");
    const Packet voice = BuildVoice(3, std::vector<std::uint8_t>{1, 2, 3});
    core->SendVoicePacket(voice);
    EXPECT_EQ(accepted.ReceivePacket(), BuildText("line"));
    EXPECT_EQ(accepted.ReceivePacket(), voice);
    EXPECT_TRUE(pending.Receive(1, 300).empty()) << "a call still in its handshake gets nothing";
}

TEST_F(ConnectionCoreTest, APartnerThatStopsReadingIsDroppedAndOthersKeepReceiving) {
    TConversationTimeouts t = FastTimeouts();
    core = std::make_unique<TConnectionCore>(sync, ui, t);
    core->StartListening(0);
    TRawPeer stuck = TRawPeer::Connect(core->ListeningPort(), "127.0.0.2");
    stuck.Send(ConnectPacket("stuck"));
    stuck.ReceivePacket();
    TRawPeer reader = TRawPeer::Connect(core->ListeningPort(), "127.0.0.3");
    reader.Send(ConnectPacket("reader"));
    reader.ReceivePacket();
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 2; }));

    // Voice until the stuck partner's socket buffers are full and a write times out.
    const Packet voice = BuildVoice(4410, std::vector<std::uint8_t>(60000, 7));
    std::size_t received = 0;
    for (int i = 0; i < 400 && ui.Members.size() == 2; ++i) {
        core->SendVoicePacket(voice);
        received += reader.Receive(voice.size(), 1000).size();
        sync.CheckSynchronize(0);
    }
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; })) << ui.AllLogs();
    EXPECT_EQ(ui.Members[0].first, "reader");
    EXPECT_EQ(received % voice.size(), 0u) << "the reader got whole packets only";
    core->SendVoicePacket(voice);
    EXPECT_EQ(reader.ReceivePacket(), voice);
}

TEST_F(ConnectionCoreTest, ReceivedVoiceIsDecodedIntoTheMixerAndLeavesWithItsPartner) {
    core.reset();
    core = std::make_unique<TConnectionCore>(sync, ui, FastTimeouts(), &mixer);
    core->StartListening(0);
    TRawPeer peer = TRawPeer::Connect(core->ListeningPort());
    peer.Send(ConnectPacket("talker"));
    peer.ReceivePacket();
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; }));

    std::vector<std::uint8_t> samples(4410);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::uint8_t>(128 + 60 * ((i / 25) % 2 ? 1 : -1));
    }
    const std::vector<std::uint8_t> block = CompressBlock(samples.data(), 4410);
    peer.Send(BuildVoice(4410, block));
    ASSERT_TRUE(PumpUntil(sync, [&] { return mixer.Size() == 4410; }));
    std::vector<std::uint8_t> heard(4410);
    ASSERT_EQ(mixer.Read(heard.data(), 4410), 4410);
    EXPECT_EQ(heard, samples);

    // Voice still waiting when the partner leaves goes with him.
    peer.Send(BuildVoice(4410, block));
    ASSERT_TRUE(PumpUntil(sync, [&] { return mixer.Size() == 4410; }));
    peer.Close();
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.empty(); }));
    ASSERT_TRUE(PumpUntil(sync, [&] { return mixer.ChildCount() == 0; }));
    EXPECT_EQ(mixer.Size(), 0);
}

// A silent partner's connection thread sleeps without a time limit: told to stop, it must be
// woken, not found at its next timeout (the program's own 5000 ms here).
TEST(ConnectionThreadTest, TerminatingAnIdleConnectionEndsItAtOnce) {
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi ui;
    TConnectionCore core(sync, ui);
    core.StartListening(0);
    TRawPeer peer = TRawPeer::Connect(core.ListeningPort());
    peer.Send(ConnectPacket("silent"));
    ASSERT_EQ(peer.ReceivePacket()[13], pcConnectReply);
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; })) << ui.AllLogs();
    PumpFor(sync, 200);  // the thread is asleep in its wait for the partner by now

    const auto start = std::chrono::steady_clock::now();
    core.ForEachIncoming([](TServerThread& thread) { thread.Terminate(); });
    EXPECT_TRUE(PumpUntil(
        sync, [&] { return ui.Members.empty(); }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_TRUE(peer.ClosedByOtherEnd());
}

}  // namespace
}  // namespace vox::testing
