// Conversations over IPv6, and the one-connection-per-address check across both families.
#include <gtest/gtest.h>

#include "support/ConversationTestSupport.h"

namespace vox::testing {
namespace {

class Ipv6CallTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi ui;
    TFakeUi otherUi;
    std::unique_ptr<TConnectionCore> core =
        std::make_unique<TConnectionCore>(sync, ui, FastTimeouts());
    std::unique_ptr<TConnectionCore> other =
        std::make_unique<TConnectionCore>(sync, otherUi, FastTimeouts());

    void TearDown() override {
        other.reset();
        core.reset();
    }
    static TCallRequest Request(const std::string& address, int port, const std::string& me) {
        TCallRequest request;
        request.Address = address;
        request.Port = port;
        request.MyName = me;
        request.PartnerName = me == "a" ? "b" : "a";
        return request;
    }
    bool Logged(TFakeUi& who, std::string_view line) {
        return PumpUntil(sync, [&] { return who.HasLog(line); });
    }
};

TEST_F(Ipv6CallTest, CallsEitherWayOverIpv6CarryChat) {
    for (const bool coreCalls : {true, false}) {
        SCOPED_TRACE(coreCalls ? "core calls" : "other calls");
        TConnectionCore& caller = coreCalls ? *core : *other;
        TConnectionCore& callee = coreCalls ? *other : *core;
        TFakeUi& callerUi = coreCalls ? ui : otherUi;
        TFakeUi& calleeUi = coreCalls ? otherUi : ui;
        callee.StartListening(0);
        caller.Call(Request("::1", callee.ListeningPort(), coreCalls ? "a" : "b"));
        ASSERT_TRUE(PumpUntil(
            sync, [&] { return callerUi.Members.size() == 1 && calleeUi.Members.size() == 1; }))
            << callerUi.AllLogs() << calleeUi.AllLogs();
        EXPECT_TRUE(calleeUi.HasLog("::1 から接続要求を受け付けました。")) << calleeUi.AllLogs();
        ASSERT_EQ(calleeUi.Calls.size(), 1u);
        EXPECT_EQ(calleeUi.Calls[0].Address, "::1");

        caller.SendText(Sj("こんにちは"));
        callee.SendText(Sj("やあ"));
        ASSERT_TRUE(PumpUntil(
            sync, [&] { return calleeUi.Chat.size() == 1 && callerUi.Chat.size() == 1; }));
        EXPECT_NE(calleeUi.Chat[0].find("こんにちは"), std::string::npos);
        EXPECT_NE(callerUi.Chat[0].find("やあ"), std::string::npos);

        caller.DisconnectAll();
        callee.StopListening();
        ASSERT_TRUE(
            PumpUntil(sync, [&] { return callerUi.Members.empty() && calleeUi.Members.empty(); }));
        callerUi.Chat.clear();
        calleeUi.Chat.clear();
        calleeUi.Calls.clear();
    }
}

TEST_F(Ipv6CallTest, APartnerOverIpv4AndIpv4MappedIsOneAddress) {
    other->StartListening(0);
    core->StartListening(0);
    // Called at its IPv4-mapped address: the connection counts as 127.0.0.1.
    core->Call(Request("::ffff:127.0.0.1", other->ListeningPort(), "a"));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; })) << ui.AllLogs();
    EXPECT_TRUE(otherUi.HasLog("127.0.0.1 から接続要求を受け付けました。")) << otherUi.AllLogs();

    // The partner calls back over plain IPv4: the same address, refused as a duplicate.
    other->Call(Request("127.0.0.1", core->ListeningPort(), "b"));
    ASSERT_TRUE(Logged(ui, "127.0.0.1 とは既に接続しているので切断します。")) << ui.AllLogs();
    EXPECT_EQ(ui.Beeps, 1);
    EXPECT_EQ(ui.Members.size(), 1u);
}

}  // namespace
}  // namespace vox::testing
