// Both sides' connection code run on the test's own thread over a socket pair, as the
// one-process fuzzing runs it: the partner's whole stream is there before the connection
// reads, and what the connection wrote is read after it has ended.
#include <gtest/gtest.h>

#include "support/ConversationTestSupport.h"

namespace vox::testing {
namespace {

class InProcessConnectionTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TFakeUi ui;
    TConnectionCore core{sync, ui, FastTimeouts()};
    int fds[2] = {-1, -1};

    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    }
    void TearDown() override {
        for (const int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    void PartnerSends(const Packet& packet) {
        ASSERT_EQ(::send(fds[1], packet.data(), packet.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(packet.size()));
    }
    // The connection's end, for its socket to own.
    int TakeEnd() {
        const int fd = fds[0];
        fds[0] = -1;
        return fd;
    }
    static sockaddr_in Loopback() {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(40000);
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return peer;
    }
    // The packets' commands the connection wrote, once it has closed its end.
    std::vector<std::uint8_t> CommandsWritten() {
        std::vector<std::uint8_t> bytes;
        std::uint8_t buf[4096];
        ssize_t n = 0;
        while ((n = ::recv(fds[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            bytes.insert(bytes.end(), buf, buf + n);
        }
        EXPECT_EQ(n, 0) << "the connection's end is still open";
        std::vector<std::uint8_t> commands;
        for (std::size_t at = 0; at + kPacketHeaderSize <= bytes.size();) {
            const PacketHeader h = ReadPacketHeader(ByteSpan(bytes.data() + at, kPacketHeaderSize));
            commands.push_back(h.Command);
            at += h.TotalLength;
        }
        return commands;
    }
};

TEST_F(InProcessConnectionTest, AnIncomingCallIsAcceptedCarriesTextAndEndsOnThisThread) {
    PartnerSends(BuildConnect(Sj("はなこ"), Sj("やあ"), ""));
    PartnerSends(BuildText(Sj("こんにちは")));
    ::shutdown(fds[1], SHUT_WR);
    {
        auto socket = std::make_unique<TCustomWinSocket>();
        const sockaddr_in peer = Loopback();
        socket->AdoptConnected(TakeEnd(), reinterpret_cast<const sockaddr&>(peer));
        TServerThread thread(core, &sync);
        thread.PrepareFor(*socket);
        core.AddIncoming(&thread);
        thread.ServeHere(std::move(socket));
        EXPECT_FALSE(thread.Started());
        EXPECT_EQ(thread.PartnerComment(), Sj("やあ"));
    }
    ASSERT_EQ(ui.Calls.size(), 1U);
    EXPECT_EQ(ui.Calls[0].Address, "127.0.0.1");
    EXPECT_EQ(ui.Chat, std::vector<std::string>{"はなこ: こんにちは"});
    EXPECT_TRUE(ui.Members.empty());  // listed, then gone when the partner hung up
    EXPECT_EQ(core.IncomingCount(), 0U);
    EXPECT_EQ(CommandsWritten(), std::vector<std::uint8_t>{pcConnectReply});
}

TEST_F(InProcessConnectionTest, AnOutgoingCallSendsItsRequestTakesTheAnswerAndEndsOnThisThread) {
    PartnerSends(BuildConnectReply(rcAccepted, Sj("たろうさん、いらしゃい")));
    PartnerSends(BuildText(Sj("ようこそ")));
    ::shutdown(fds[1], SHUT_WR);
    {
        auto component = std::make_shared<TMyClientSocket>();
        component->MyName = Sj("たろう");
        component->PartnerName = Sj("はなこ");
        const sockaddr_in peer = Loopback();
        component->Socket().AdoptConnected(TakeEnd(), reinterpret_cast<const sockaddr&>(peer));
        TClientThread thread(core, &sync, component, 7);
        thread.ConverseHere();
        EXPECT_FALSE(thread.Started());
        EXPECT_FALSE(component->Socket().Connected());
    }
    EXPECT_TRUE(ui.HasLog("127.0.0.1 たろうさん、いらしゃい")) << ui.AllLogs();
    EXPECT_EQ(ui.Chat, std::vector<std::string>{"はなこ: ようこそ"});
    EXPECT_EQ(core.OutgoingCount(), 0U);
    EXPECT_EQ(CommandsWritten(), std::vector<std::uint8_t>{pcConnect});
}

// Without a writer thread the busy answer to a second offer is written by the connection's own
// thread as it queues it, whole and after the reply to the call.
TEST_F(InProcessConnectionTest, WithoutAWriterThreadQueuedPacketsAreWrittenByTheQueuingThread) {
    ui.WindowOpen = true;  // a transfer is under way: an offer gets the busy answer
    PartnerSends(BuildConnect(Sj("はなこ"), "", ""));
    PartnerSends(BuildTransferRequest("a.txt", 10, 5000));
    PartnerSends(BuildTransferRequest("b.txt", 10, 5000));
    ::shutdown(fds[1], SHUT_WR);
    {
        auto socket = std::make_unique<TCustomWinSocket>();
        const sockaddr_in peer = Loopback();
        socket->AdoptConnected(TakeEnd(), reinterpret_cast<const sockaddr&>(peer));
        TServerThread thread(core, &sync);
        thread.WriteOnQueuingThread();
        thread.PrepareFor(*socket);
        core.AddIncoming(&thread);
        thread.ServeHere(std::move(socket));
    }
    EXPECT_TRUE(ui.Offers.empty());
    EXPECT_EQ(CommandsWritten(),
              (std::vector<std::uint8_t>{pcConnectReply, pcTransferReply, pcTransferReply}));
}

}  // namespace
}  // namespace vox::testing
