// Both ends of a transfer together over loopback, the name and size checks, and the link
// between a thread and its window.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/Cp932.h"
#include "support/TransferTestSupport.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"
#include "transfer/FileName.h"
#include "transfer/TransferViewLink.h"

namespace vox {
namespace {

using namespace test;
namespace texts = transfer_texts;

class TransferTest : public ::testing::Test {
  protected:
    // Sends source (announcing size) from one end to the other and waits for both threads.
    void Transfer(const std::string& source, std::int64_t size,
                  TTransferOptions options = FastOptions()) {
        target = dir.File("received.bin");
        TTransferDataServer server(recvView, &sync,
                                   TTransferJob{"127.0.0.1", 0, target, size, options});
        server.Open();
        TTransferDataClient client(
            sendView, &sync, TTransferJob{"127.0.0.1", server.LocalPort(), source, size, options});
        client.Open();
        ASSERT_TRUE(PumpUntil(
            sync, [&] { return recvView.Ended > 0 && sendView.Ended > 0; }, 60000));
        client.Stop();
        server.Close();
    }
    void ExpectCompleted() {
        EXPECT_EQ(recvView.Caption(), "received.bin" + std::string(texts::kReceiveDone));
        EXPECT_EQ(recvView.Logs, std::vector<std::string>{target + std::string(texts::kSaved)});
        EXPECT_EQ(sendView.Logs.size(), 1u);
        EXPECT_EQ(sendView.Caption().find(texts::kSendDone) != std::string::npos, true)
            << sendView.Caption();
        EXPECT_EQ(recvView.Ended, 1);
        EXPECT_EQ(sendView.Ended, 1);
    }

    TSynchronizer sync;
    TScratchDir dir;
    TFakeView recvView;
    TFakeView sendView;
    std::string target;
};

class TransferSizeTest : public TransferTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(TransferSizeTest, ArrivesByteForByte) {
    const std::string data = RandomBytes(GetParam(), static_cast<unsigned>(GetParam()));
    const std::string source = dir.File("source.bin");
    WriteFileBytes(source, data);
    Transfer(source, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(ReadFileBytes(target), data);
    ExpectCompleted();
    EXPECT_EQ(FolderEntries(dir.Path()), (std::vector<std::string>{"received.bin", "source.bin"}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TransferSizeTest,
                         ::testing::Values(0u, 1u, 255u, 256u, 257u, 511u, 512u, 100000u));

TEST_F(TransferTest, FiftyMegabytesArriveByteForByte) {
    const std::string data = RandomBytes(50u * 1000 * 1000, 50);
    const std::string source = dir.File("source.bin");
    WriteFileBytes(source, data);
    TTransferOptions options = FastOptions();
    options.ProgressIntervalMs = kTransferProgressIntervalMs;
    options.IdleLimitMs = 10000;
    Transfer(source, static_cast<std::int64_t>(data.size()), options);
    const std::string received = ReadFileBytes(target);
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
    ExpectCompleted();
    // Progress is shown, but not tens of thousands of times.
    EXPECT_FALSE(recvView.Progress.empty());
    EXPECT_LT(recvView.Progress.size(), 2000u);
}

TEST_F(TransferTest, FileGrowingWhileSentArrivesAsOffered) {
    // The offer announced the size the file had then; what is appended later is not part of
    // the transfer.
    const std::string data = RandomBytes(1 << 20, 51);
    const std::string source = dir.File("source.bin");
    WriteFileBytes(source, data);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::ofstream out(source, std::ios::binary | std::ios::app);
        const std::string more(4096, 'x');
        while (!stop.load()) {
            out.write(more.data(), static_cast<std::streamsize>(more.size()));
            out.flush();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    Transfer(source, static_cast<std::int64_t>(data.size()));
    stop.store(true);
    writer.join();
    EXPECT_GT(std::filesystem::file_size(source), data.size());
    EXPECT_TRUE(ReadFileBytes(target) == data);
    ExpectCompleted();
}

TEST(FileNameTest, ReceivedNamesKeepOnlyTheirLastComponent) {
    EXPECT_EQ(ReceivedFileName("report.txt"), "report.txt");
    EXPECT_EQ(ReceivedFileName("..\\..\\x"), "x");
    EXPECT_EQ(ReceivedFileName("/etc/passwd"), "passwd");
    EXPECT_EQ(ReceivedFileName("a/../../b"), "b");
    EXPECT_EQ(ReceivedFileName("C:\\Users\\taro\\memo.txt"), "memo.txt");
    EXPECT_EQ(ReceivedFileName("..."), "...");
    for (const char* bad : {"", ".", "..", "dir/", "dir\\", "a\\..", "x/."}) {
        EXPECT_EQ(ReceivedFileName(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(ReceivedFileName(std::string_view("a\0b", 3)), std::nullopt);
}

TEST(FileNameTest, Cp932SecondBytesAreNotSeparators) {
    // "ソフト.txt": the second byte of ソ is 0x5C.
    const std::string name = Utf8ToCp932("ソフト.txt");
    ASSERT_NE(name.find('\\'), std::string::npos);
    EXPECT_EQ(ReceivedFileNameFromCp932(name), "ソフト.txt");
    EXPECT_EQ(ReceivedFileNameFromCp932(Utf8ToCp932("フォルダ\\表.txt")), "表.txt");
    EXPECT_EQ(ReceivedFileNameFromCp932(".."), std::nullopt);
}

TEST(FileNameTest, NamesTooLongForTheFileSystemAreShortenedKeepingTheExtension) {
    EXPECT_EQ(ShortenFileName("資料.pdf"), "資料.pdf");
    const std::string exact(255, 'a');
    EXPECT_EQ(ShortenFileName(exact), exact);

    // 100 three-byte characters (300 bytes) and ".pdf": the stem loses whole characters.
    std::string stem;
    for (int i = 0; i < 100; ++i) {
        stem += "資";
    }
    const std::string shortened = ShortenFileName(stem + ".pdf");
    EXPECT_LE(shortened.size(), 255u);
    EXPECT_TRUE(shortened.ends_with("資.pdf")) << shortened;
    EXPECT_EQ(shortened.size(), 3u * 83 + 4) << "as many whole characters as fit";

    // No extension, or one too long to be one: the end is cut.
    EXPECT_EQ(ShortenFileName(std::string(300, 'b')), std::string(255, 'b'));
    const std::string odd = "x." + std::string(298, 'y');
    EXPECT_EQ(ShortenFileName(odd), odd.substr(0, 255));
    // A leading dot is not an extension.
    EXPECT_EQ(ShortenFileName("." + std::string(299, 'h')).size(), 255u);
}

TEST(FileNameTest, SizesThatCanBeAnnounced) {
    EXPECT_TRUE(CanAnnounceFileSize(0));
    EXPECT_TRUE(CanAnnounceFileSize(0x7FFFFFFF));
    EXPECT_FALSE(CanAnnounceFileSize(0x80000000LL));
    EXPECT_FALSE(CanAnnounceFileSize(5LL << 30));
    EXPECT_FALSE(CanAnnounceFileSize(-1));
    EXPECT_EQ(FileTooLargeMessage("/home/taro/big.iso"),
              "/home/taro/big.iso は2GB以上のため送信できません。");
    EXPECT_EQ(FileNamePart("/home/taro/a.txt"), "a.txt");
    EXPECT_EQ(FileNamePart("a.txt"), "a.txt");
}

TEST(TransferViewLinkTest, DetachOwesTheLineThatWasNotShown) {
    TFakeView view;
    {
        TTransferViewLink link(view);
        EXPECT_EQ(link.Detach(), "") << "nothing started";
    }
    {
        TTransferViewLink link(view);
        link.MarkStarted("interrupted");
        EXPECT_EQ(link.Detach(), "interrupted");
        EXPECT_FALSE(link.Seal("done")) << "too late to settle";
        link.Deliver([](ITransferView& v) { v.AddLog("late"); });
        EXPECT_TRUE(view.Logs.empty());
    }
    {
        TTransferViewLink link(view);
        link.MarkStarted("interrupted");
        bool committed = false;
        EXPECT_TRUE(link.Seal("done", [&] { committed = true; }));
        EXPECT_TRUE(committed);
        EXPECT_EQ(link.Detach(), "done") << "settled but not shown";
    }
    {
        TTransferViewLink link(view);
        link.MarkStarted("interrupted");
        EXPECT_THROW(link.Seal("done", [] { throw std::runtime_error("rename"); }),
                     std::runtime_error);
        EXPECT_TRUE(link.Seal("failed"));
        link.DeliverSealed([](ITransferView& v) { v.AddLog("failed"); });
        EXPECT_EQ(link.Detach(), "");
        EXPECT_EQ(view.Logs, std::vector<std::string>{"failed"});
    }
}

}  // namespace
}  // namespace vox
