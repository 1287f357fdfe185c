// Slowing pass-phrase guesses: the counting itself with a clock of the test's own, then 256
// guesses over real loopback connections.
#include "protocol/GuessLimiter.h"

#include <gtest/gtest.h>

#include <string>

#include "support/ConversationTestSupport.h"

namespace vox::testing {
namespace {

constexpr std::uint64_t kMinute = 60 * 1000;

TEST(GuessLimiterTest, FiveWrongWithinTheWindowBlockForAGrowingTime) {
    TGuessLimiter limiter;
    const std::string a = "192.0.2.7";
    std::uint64_t now = 1000;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(limiter.Failed(a, now += 1000), 0u);
        EXPECT_FALSE(limiter.Blocked(a, now));
    }
    EXPECT_EQ(limiter.Failed(a, now += 1000), kMinute);
    EXPECT_TRUE(limiter.Blocked(a, now));
    EXPECT_FALSE(limiter.Blocked("192.0.2.8", now)) << "another address is not touched";
    // Wrong ones while blocked were never looked at: they count for nothing.
    EXPECT_EQ(limiter.Failed(a, now + 1000), 0u);
    EXPECT_TRUE(limiter.Blocked(a, now + kMinute - 1));
    EXPECT_FALSE(limiter.Blocked(a, now + kMinute));

    // Each later block lasts twice as long, up to an hour.
    now += kMinute;
    std::uint64_t expected = 2 * kMinute;
    for (int block = 0; block < 8; ++block) {
        std::uint64_t got = 0;
        for (int i = 0; i < 5; ++i) {
            got = limiter.Failed(a, ++now);
        }
        EXPECT_EQ(got, std::min(expected, 60 * kMinute)) << "block " << block + 2;
        now += got;
        expected *= 2;
    }

    // A right pass phrase starts everything again.
    limiter.Succeeded(a);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(limiter.Failed(a, ++now), 0u);
    }
    EXPECT_EQ(limiter.Failed(a, ++now), kMinute);
}

TEST(GuessLimiterTest, WrongOnesSpreadBeyondTheWindowNeverBlock) {
    TGuessLimiter limiter;
    std::uint64_t now = 0;
    for (int i = 0; i < 50; ++i) {
        // Never five within any ten minutes.
        EXPECT_EQ(limiter.Failed("198.51.100.1", now += kGuessWindowMs / 4 + 1), 0u) << i;
    }
}

TEST(GuessLimiterTest, IPv6CountsPerSlash64AndIPv4PerAddress) {
    EXPECT_EQ(GuessKey("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(GuessKey("2001:db8:1:2::ffff"), "2001:db8:1:2::/64");
    EXPECT_EQ(GuessKey("192.0.2.1"), "192.0.2.1");
    EXPECT_EQ(GuessKey("::1"), "::/64");
    EXPECT_EQ(GuessKey("not:an address"), "not:an address");

    TGuessLimiter limiter;
    for (int i = 1; i <= 5; ++i) {  // a new address of the same network for every guess
        limiter.Failed("2001:db8:1:2::" + std::to_string(i), 10);
    }
    EXPECT_TRUE(limiter.Blocked("2001:db8:1:2::99", 11));
    EXPECT_FALSE(limiter.Blocked("2001:db8:1:3::1", 11));
}

TEST(GuessLimiterTest, RemembersABoundedNumberOfAddresses) {
    TGuessLimits limits;
    limits.AddressesKept = 16;
    TGuessLimiter limiter(limits);
    for (int i = 0; i < 5; ++i) {
        limiter.Failed("10.9.9.9", 1);
    }
    for (int i = 0; i < 1000; ++i) {
        limiter.Failed("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256),
                       2 + static_cast<std::uint64_t>(i));
        EXPECT_LE(limiter.AddressCount(), 16u);
    }
}

class GuessingOverTcpTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi ui;
    std::unique_ptr<TConnectionCore> core =
        std::make_unique<TConnectionCore>(sync, ui, FastTimeouts());

    void TearDown() override { core.reset(); }

    // One call with the pass phrase from the address; the reply the caller got.
    Packet Guess(const char* from, std::string_view passPhrase) {
        TRawPeer peer = TRawPeer::Connect(core->ListeningPort(), from);
        peer.Send(ConnectPacket("guess", "", passPhrase));
        return peer.ReceivePacket();  // the UI calls run meanwhile
    }
};

TEST_F(GuessingOverTcpTest, TwoHundredFiftySixGuessesAreCutOffAfterFiveAndOthersStillCallIn) {
    ui.UsePassPhrase = true;
    ui.OwnPassPhrase = "right";
    core->StartListening(0);
    const Packet wrong = BuildConnectReply(rcRefused, Sj("パスフレーズが一致しません。"));

    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(Guess("127.0.0.1", "guess" + std::to_string(i)), wrong) << i;
    }
    // The right one from the same address meanwhile gets the same answer: never checked.
    EXPECT_EQ(Guess("127.0.0.1", "right"), wrong);
    EXPECT_TRUE(ui.Calls.empty());
    EXPECT_EQ(ui.CountLogs("127.0.0.1 のパスフレーズが一致しませんでした。"), 5);
    EXPECT_EQ(ui.CountLogs("127.0.0.1 からのパスフレーズの誤りが続いたので、60 "
                           "秒間その接続を確かめずに断ります。"),
              1)
        << ui.AllLogs();

    // Another address is let in with the right pass phrase.
    TRawPeer other = TRawPeer::Connect(core->ListeningPort(), "127.0.0.2");
    other.Send(ConnectPacket("friend", "", "right"));
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Calls.size() == 1u; })) << ui.AllLogs();
    EXPECT_EQ(ui.Calls[0].Address, "127.0.0.2");
}

}  // namespace
}  // namespace vox::testing
