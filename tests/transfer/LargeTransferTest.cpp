// Large files at full speed over loopback, stopping a transfer at full speed from either end,
// and the sending end's window.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "support/RandomFile.h"
#include "support/TransferTestSupport.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"
#include "transfer/TransferCommon.h"

namespace vox {
namespace {

using namespace test;
namespace fs = std::filesystem;
namespace texts = transfer_texts;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitized builds move bytes some ten times slower: a smaller file still crosses many windows.
constexpr std::size_t kLargeFileBytes = std::size_t{64} << 20;
#else
constexpr std::size_t kLargeFileBytes = std::size_t{1} << 30;
#endif

// Compares two files block by block; the offset of the first difference, or -1.
std::int64_t FirstDifference(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary);
    std::ifstream y(b, std::ios::binary);
    std::vector<char> bx(1 << 20);
    std::vector<char> by(1 << 20);
    for (std::int64_t offset = 0;; offset += static_cast<std::int64_t>(bx.size())) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        if (x.gcount() != y.gcount()) {
            return offset + std::min(x.gcount(), y.gcount());
        }
        const auto got = static_cast<std::size_t>(x.gcount());
        if (got == 0) {
            return -1;
        }
        const auto mismatch =
            std::mismatch(bx.begin(), bx.begin() + static_cast<long>(got), by.begin());
        if (mismatch.first != bx.begin() + static_cast<long>(got)) {
            return offset + (mismatch.first - bx.begin());
        }
    }
}

class LargeTransferTest : public ::testing::Test {
  protected:
    // Both ends with the program's own window and progress interval.
    static TTransferOptions Options() {
        TTransferOptions options = FastOptions();
        options.ProgressIntervalMs = kTransferProgressIntervalMs;
        options.IdleLimitMs = 20000;
        options.SocketTimeoutMs = 2000;
        return options;
    }
    void Start(const std::string& source, std::int64_t size) {
        target = dir.File("received.bin");
        server = std::make_unique<TTransferDataServer>(
            recvView, &sync, TTransferJob{"127.0.0.1", 0, target, size, Options()});
        server->Open();
        client = std::make_unique<TTransferDataClient>(
            sendView, &sync,
            TTransferJob{"127.0.0.1", server->LocalPort(), source, size, Options()});
        client->Open();
    }
    void TearDown() override {
        if (client) {
            client->Stop();
        }
        if (server) {
            server->Close();
        }
    }
    // Starts a 1 GiB (sparse) transfer and waits until both ends have moved well past the
    // first window.
    void StartAtFullSpeed() {
        const std::string source = dir.File("big.bin");
        WriteFileBytes(source, "");
        fs::resize_file(source, std::size_t{1} << 30);
        Start(source, std::int64_t{1} << 30);
        ASSERT_TRUE(PumpUntil(sync, [&] {
            return !recvView.Progress.empty() && recvView.Progress.back() > (8 << 20) &&
                   !sendView.Progress.empty() && sendView.Progress.back() > (8 << 20);
        }));
    }
    // Only the source is left: neither the final name nor a temporary file.
    void ExpectNothingReceived() {
        EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"big.bin"});
    }

    TSynchronizer sync;
    TScratchDir dir;
    TFakeView recvView;
    TFakeView sendView;
    std::string target;
    std::unique_ptr<TTransferDataServer> server;
    std::unique_ptr<TTransferDataClient> client;
};

TEST_F(LargeTransferTest, LargeRandomFileArrivesByteForByte) {
    const std::string source = dir.File("source.bin");
    WriteRandomFile(source, kLargeFileBytes, 1401);
    Start(source, static_cast<std::int64_t>(kLargeFileBytes));
    ASSERT_TRUE(PumpUntil(
        sync, [&] { return recvView.Ended > 0 && sendView.Ended > 0; }, 600000));
    EXPECT_EQ(recvView.Caption(), "received.bin" + std::string(texts::kReceiveDone));
    EXPECT_NE(sendView.Caption().find(texts::kSendDone), std::string::npos) << sendView.Caption();
    ASSERT_EQ(fs::file_size(target), kLargeFileBytes);
    EXPECT_EQ(FirstDifference(source, target), -1);
    // Progress moved in order and was throttled: no more than one step per interval and a few
    // more (the last one, the end).
    EXPECT_TRUE(std::is_sorted(recvView.Progress.begin(), recvView.Progress.end()));
    EXPECT_TRUE(std::is_sorted(sendView.Progress.begin(), sendView.Progress.end()));
    EXPECT_EQ(FolderEntries(dir.Path()), (std::vector<std::string>{"received.bin", "source.bin"}));
}

TEST_F(LargeTransferTest, SenderStoppingAtFullSpeedTellsTheReceiverInPlainWords) {
    StartAtFullSpeed();
    client->Stop();
    EXPECT_EQ(sendView.Logs,
              std::vector<std::string>{"big.bin" + std::string(texts::kSendInterrupted)});
    ASSERT_TRUE(PumpUntil(sync, [&] { return recvView.Ended > 0; }));
    const std::string line = "received.bin" + std::string(texts::kReceiveStoppedByPartner);
    EXPECT_EQ(recvView.Caption(), line);
    EXPECT_EQ(recvView.Logs, std::vector<std::string>{line});
    ExpectNothingReceived();
}

TEST_F(LargeTransferTest, ReceiverStoppingAtFullSpeedTellsTheSenderInPlainWords) {
    StartAtFullSpeed();
    server->Close();
    EXPECT_EQ(recvView.Logs,
              std::vector<std::string>{"received.bin" + std::string(texts::kReceiveInterrupted)});
    ExpectNothingReceived();
    ASSERT_TRUE(PumpUntil(sync, [&] { return sendView.Ended > 0; }));
    const std::string line = "big.bin" + std::string(texts::kSendStoppedByPartner);
    EXPECT_EQ(sendView.Caption(), line);
    EXPECT_EQ(sendView.Logs, std::vector<std::string>{line});
    ExpectNothingReceived();
}

// The window, fed with times as a link of known rate and round trip would give them.
TEST(SendWindowTest, FollowsTwiceTheMeasuredBandwidthDelayProductWithinItsBounds) {
    using transfer_detail::TSendWindow;
    // 10 bytes/us (10 MB/s) over a 100 ms round trip: 1 MB in flight.
    TSendWindow window(512 * 1024, 64 << 20);
    EXPECT_EQ(window.Bytes(), 512 * 1024);
    window.Sent(1'000'000, 0);
    window.Sent(1'200'000, 1000);  // one measurement at a time: this one is not timed
    window.Acked(600'000, 60'000);
    EXPECT_EQ(window.Bytes(), 512 * 1024) << "nothing measured before the sample is acknowledged";
    window.Acked(1'000'000, 100'000);
    EXPECT_EQ(window.MinRoundTripUs(), 100'000);
    EXPECT_EQ(window.Bytes(), 2'000'000);

    // A round trip lengthened by queueing does not raise the estimate: the shortest counts.
    window.Sent(3'000'000, 100'000);
    window.Acked(3'000'000, 300'000);  // 2 MB in 200 ms: still 10 bytes/us
    EXPECT_EQ(window.MinRoundTripUs(), 100'000);
    EXPECT_EQ(window.Bytes(), 2'000'000);

    // A slower stretch does not shrink it.
    window.Sent(3'100'000, 300'000);
    window.Acked(3'100'000, 400'000);
    EXPECT_EQ(window.Bytes(), 2'000'000);

    // A very fast path stops at the maximum.
    window.Sent(1'000'000'000, 400'000);
    window.Acked(1'000'000'000, 500'000);
    EXPECT_EQ(window.Bytes(), 64 << 20);

    // A maximum at or below the start keeps the window as it is.
    TSendWindow fixed(1024, 1024);
    fixed.Sent(1'000'000, 0);
    fixed.Acked(1'000'000, 10);
    EXPECT_EQ(fixed.Bytes(), 1024);
}

}  // namespace
}  // namespace vox
