// The data connection over IPv6, and its partner check with an IPv4 partner that reaches the
// dual-stack data listener IPv4-mapped.
#include <gtest/gtest.h>

#include "support/TransferTestSupport.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"

namespace vox {
namespace {

using namespace test;

class TransferIpv6Test : public ::testing::Test {
  protected:
    // Sends a file from `from` to the receiving end, which expects its partner at `partner`.
    void Transfer(const std::string& partner, const std::string& from) {
        const std::string source = dir.File("source.bin");
        WriteFileBytes(source, data);
        target = dir.File("received.bin");
        const auto size = static_cast<std::int64_t>(data.size());
        TTransferDataServer server(recvView, &sync,
                                   TTransferJob{partner, 0, target, size, FastOptions()});
        server.Open();
        TTransferDataClient client(
            sendView, &sync, TTransferJob{from, server.LocalPort(), source, size, FastOptions()});
        client.Open();
        ASSERT_TRUE(PumpUntil(
            sync, [&] { return recvView.Ended > 0 && sendView.Ended > 0; }, 60000));
        client.Stop();
        server.Close();
    }

    TSynchronizer sync;
    TScratchDir dir;
    TFakeView recvView;
    TFakeView sendView;
    std::string target;
    const std::string data = RandomBytes(300000, 13);
};

TEST_F(TransferIpv6Test, AFileCrossesAnIpv6DataConnection) {
    Transfer("::1", "::1");
    EXPECT_EQ(ReadFileBytes(target), data);
}

TEST_F(TransferIpv6Test, AnIpv4PartnerPassesThePartnerCheckOfTheDualStackListener) {
    // The sender connects over IPv4; the listener sees it IPv4-mapped and must still know it.
    Transfer("127.0.0.1", "127.0.0.1");
    EXPECT_EQ(ReadFileBytes(target), data);
}

}  // namespace
}  // namespace vox
