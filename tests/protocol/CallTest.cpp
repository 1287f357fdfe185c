// Outgoing calls on their own threads: the caller never waits for a look-up, a connect or a
// handshake, hears how the call went on its own thread, and can end the call at any stage.
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/NetTestUtil.h"
#include "support/ConversationTestSupport.h"

namespace vox::testing {
namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A host look-up that hangs until it is released, as a resolver that gets no answer does.
class THangingLookup {
  public:
    // The function to hand to the core; it answers `address` once released.
    TClientSocket::TResolve Function(std::string address) {
        return [this, address](const std::string& host) {
            std::unique_lock lock(FMutex);
            FAsked.push_back(host);
            FCv.notify_all();
            FCv.wait(lock, [this] { return FReleased; });
            return std::vector<std::string>{address};
        };
    }
    bool WaitAsked(int ms = 5000) {
        std::unique_lock lock(FMutex);
        return FCv.wait_for(lock, std::chrono::milliseconds(ms),
                            [this] { return !FAsked.empty(); });
    }
    std::vector<std::string> Asked() {
        std::lock_guard lock(FMutex);
        return FAsked;
    }
    void Release() {
        {
            std::lock_guard lock(FMutex);
            FReleased = true;
        }
        FCv.notify_all();
    }

  private:
    std::mutex FMutex;
    std::condition_variable FCv;
    std::vector<std::string> FAsked;
    bool FReleased = false;
};

class CallTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi ui;
    THangingLookup lookup;
    std::unique_ptr<TConnectionCore> core =
        std::make_unique<TConnectionCore>(sync, ui, FastTimeouts());
    std::vector<TCallOutcome> outcomes;

    ~CallTest() override {
        lookup.Release();  // a test that failed half-way must not leave the core waiting
        core.reset();
    }

    TCallId CallAddress(int port) {
        TCallRequest request;
        request.Address = "127.0.0.1";
        request.Port = port;
        request.MyName = "me";
        request.PartnerName = "partner";
        return core->Call(request,
                          [this](const TCallOutcome& outcome) { outcomes.push_back(outcome); });
    }
    TCallId CallHost(const std::string& host, int port) {
        TCallRequest request;
        request.HostName = host;
        request.Address = "192.0.2.1";  // never used while a host name is given
        request.Port = port;
        request.MyName = "me";
        request.PartnerName = "partner";
        return core->Call(request,
                          [this](const TCallOutcome& outcome) { outcomes.push_back(outcome); });
    }
};

TEST_F(CallTest, ACallNobodyAnswersLeavesTheCallerFreeAndCancelEndsItAtOnce) {
    test::TSilentPort silent;
    ASSERT_TRUE(silent.Ready());
    const auto placed = Clock::now();
    const TCallId call = CallAddress(silent.Port());
    EXPECT_LT(MsSince(placed), 1000) << "the caller waited for the connect";
    EXPECT_EQ(core->OutgoingSocketCount(), 1u);
    ASSERT_TRUE(PumpUntil(sync, [&] { return test::PendingConnects(silent.Port()) == 1; }));
    PumpFor(sync, 300);
    EXPECT_TRUE(outcomes.empty()) << "nobody answered, nothing failed";
    EXPECT_EQ(core->CallThreadCount(), 1u);

    const auto cancelled = Clock::now();
    core->CancelCall(call);
    ASSERT_TRUE(PumpUntil(sync, [&] {
        return core->CallThreadCount() == 0 && test::PendingConnects(silent.Port()) == 0;
    }));
    EXPECT_LT(MsSince(cancelled), 200);
    PumpFor(sync, 50);
    EXPECT_TRUE(outcomes.empty()) << "a cancelled call is not reported";
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
    EXPECT_TRUE(ui.Logs.empty()) << ui.AllLogs();
}

TEST_F(CallTest, ACallCancelledInItsLookUpIsAbandonedAndConnectsNowhere) {
    TRawListener listener;
    core->SetHostLookup(lookup.Function("127.0.0.1"));
    const TCallId call = CallHost("far-away", listener.Port());
    ASSERT_TRUE(lookup.WaitAsked());
    EXPECT_EQ(lookup.Asked(), std::vector<std::string>{"far-away"});

    core->CancelCall(call);
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
    // The look-up cannot be interrupted: its thread is still there, owned by the core.
    EXPECT_EQ(core->CallThreadCount(), 1u);

    lookup.Release();
    ASSERT_TRUE(PumpUntil(sync, [&] { return core->CallThreadCount() == 0; }));
    EXPECT_FALSE(listener.Accept(300).Valid()) << "the abandoned call connected after all";
    EXPECT_TRUE(outcomes.empty());
    EXPECT_TRUE(ui.Logs.empty()) << ui.AllLogs();
}

TEST_F(CallTest, TheCoresEndWaitsForALookUpUnderWay) {
    TRawListener listener;
    core->SetHostLookup(lookup.Function("127.0.0.1"));
    CallHost("far-away", listener.Port());
    ASSERT_TRUE(lookup.WaitAsked());
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        lookup.Release();
    });
    core.reset();  // joins the call's thread once the look-up returns
    releaser.join();
    EXPECT_TRUE(outcomes.empty());
    EXPECT_FALSE(listener.Accept(300).Valid());
}

TEST_F(CallTest, TheOutcomeComesOnceTheConnectionStandsAndTheHandshakeGoesOn) {
    TRawListener listener;
    core->SetHostLookup(lookup.Function("127.0.0.1"));
    lookup.Release();
    CallHost("partner-pc", listener.Port());
    TRawPeer callee = listener.Accept();
    ASSERT_TRUE(callee.Valid());
    ASSERT_TRUE(PumpUntil(sync, [&] { return !outcomes.empty(); }));
    EXPECT_TRUE(outcomes[0].Connected);
    EXPECT_TRUE(outcomes[0].Error.empty());
    EXPECT_EQ(callee.ReceivePacket()[13], pcConnect);
    callee.Send(BuildConnectReply(rcAccepted, "welcome"));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; })) << ui.AllLogs();
    EXPECT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(core->OutgoingCount(), 1u);
    EXPECT_EQ(core->CallThreadCount(), 1u) << "the call's thread runs the conversation";
}

TEST_F(CallTest, ACallCancelledInItsHandshakeEnds) {
    TRawListener listener;
    const TCallId call = CallAddress(listener.Port());
    TRawPeer callee = listener.Accept();
    ASSERT_TRUE(callee.Valid());
    EXPECT_EQ(callee.ReceivePacket()[13], pcConnect);
    ASSERT_TRUE(PumpUntil(sync, [&] { return !outcomes.empty(); }));

    core->CancelCall(call);
    EXPECT_TRUE(callee.ClosedByOtherEnd());
    ASSERT_TRUE(PumpUntil(
        sync, [&] { return core->CallThreadCount() == 0 && core->OutgoingCount() == 0; }));
    EXPECT_TRUE(ui.Members.empty());
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
}

TEST_F(CallTest, DroppingEveryConnectionFailsTheCallsUnderWay) {
    test::TSilentPort silent;
    ASSERT_TRUE(silent.Ready());
    CallAddress(silent.Port());
    ASSERT_TRUE(PumpUntil(sync, [&] { return test::PendingConnects(silent.Port()) == 1; }));

    core->DisconnectAll();
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
    ASSERT_TRUE(PumpUntil(sync, [&] { return !outcomes.empty(); }));
    EXPECT_FALSE(outcomes[0].Connected);
    EXPECT_EQ(outcomes[0].Error, ESocketError::ForCall(ECONNABORTED, "connect").what());
    ASSERT_TRUE(PumpUntil(sync, [&] { return core->CallThreadCount() == 0; }));
    EXPECT_EQ(test::PendingConnects(silent.Port()), 0);
}

TEST_F(CallTest, TheCoresEndEndsACallNobodyAnswers) {
    test::TSilentPort silent;
    ASSERT_TRUE(silent.Ready());
    CallAddress(silent.Port());
    ASSERT_TRUE(PumpUntil(sync, [&] { return test::PendingConnects(silent.Port()) == 1; }));
    const auto start = Clock::now();
    core.reset();
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_TRUE(outcomes.empty()) << "nobody hears of a call after the core's end";
    EXPECT_EQ(test::PendingConnects(silent.Port()), 0);
}

TEST_F(CallTest, AnUnknownHostFailsWithTheResolversText) {
    core->SetHostLookup([](const std::string&) -> std::vector<std::string> {
        throw ESocketError::ForCall(EAI_NONAME, "Name or service not known", "getaddrinfo");
    });
    CallHost("nowhere.invalid", 1);
    ASSERT_TRUE(PumpUntil(sync, [&] { return !outcomes.empty(); }));
    EXPECT_FALSE(outcomes[0].Connected);
    EXPECT_EQ(outcomes[0].Error,
              ESocketError::ForCall(EAI_NONAME, "Name or service not known", "getaddrinfo").what());
}

}  // namespace
}  // namespace vox::testing
