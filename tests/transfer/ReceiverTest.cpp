// The receiving end against scripted raw senders over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include <thread>

#include "net/SocketError.h"
#include "support/TransferTestSupport.h"
#include "transfer/DataServer.h"
#include "transfer/FileName.h"

namespace vox {
namespace {

using namespace test;
namespace texts = transfer_texts;

class ReceiverTest : public ::testing::Test {
  protected:
    void Listen(std::int64_t size, const std::string& name = "file.bin",
                TTransferOptions options = FastOptions()) {
        path = dir.File(name);
        server = std::make_unique<TTransferDataServer>(
            view, &sync, TTransferJob{"127.0.0.1", 0, path, size, options});
        server->Open();
        port = server->LocalPort();
        ASSERT_GT(port, 0);
    }
    // Runs a raw peer's script beside the test thread, which keeps running the UI calls.
    void Peer(std::function<void()> script) { peer = std::thread(std::move(script)); }
    bool WaitEnded() {
        return PumpUntil(sync, [&] { return view.Ended > 0; });
    }
    void TearDown() override {
        if (server) {
            server->Close();
        }
        if (peer.joinable()) {
            peer.join();
        }
    }

    TSynchronizer sync;
    TScratchDir dir;
    TFakeView view;
    std::unique_ptr<TTransferDataServer> server;
    std::string path;
    int port = 0;
    std::thread peer;
};

// A sender that writes one piece of at most 256 bytes and waits for its acknowledgement.
std::vector<std::int64_t> StopAndWaitSend(int fd, const std::string& data) {
    std::vector<std::int64_t> acks;
    std::int64_t pos = 0;
    const auto size = static_cast<std::int64_t>(data.size());
    while (pos < size) {
        const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(256, size - pos));
        if (!RawSend(fd, data.data() + pos, piece)) {
            break;
        }
        const std::int64_t want = pos + static_cast<std::int64_t>(piece);
        while (acks.empty() || acks.back() < want) {
            const std::string ack = RawReadAll(fd, 8, 3000);
            if (ack.size() != 8) {
                return acks;
            }
            acks.push_back(AckValue(ack));
        }
        pos = acks.back();
    }
    return acks;
}

TEST_F(ReceiverTest, StopAndWaitSenderDeliversTheFileWithRunningCounts) {
    const std::string data = RandomBytes(5000);
    Listen(static_cast<std::int64_t>(data.size()));
    std::vector<std::int64_t> acks;
    bool closedAfter = false;
    Peer([&] {
        const int fd = RawConnect(port);
        acks = StopAndWaitSend(fd, data);
        closedAfter = RawSeesClose(fd);
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();

    EXPECT_EQ(ReadFileBytes(path), data);
    ASSERT_FALSE(acks.empty());
    EXPECT_EQ(acks.back(), 5000);
    EXPECT_TRUE(std::is_sorted(acks.begin(), acks.end()));
    EXPECT_TRUE(closedAfter) << "the receiver closes the connection when done";

    EXPECT_EQ(view.RangeMax, 5000);
    ASSERT_GE(view.Captions.size(), 2u);
    EXPECT_EQ(view.Captions.front(), "file.bin" + std::string(texts::kReceiving));
    EXPECT_EQ(view.Caption(), "file.bin" + std::string(texts::kReceiveDone));
    EXPECT_EQ(view.Logs, std::vector<std::string>{path + std::string(texts::kSaved)});
    EXPECT_EQ(view.Ended, 1);
    // The bar moves once the count passes 511, 1022, ... and ends on the whole size.
    ASSERT_FALSE(view.Progress.empty());
    EXPECT_EQ(view.Progress.front(), 512);
    EXPECT_EQ(view.Progress.back(), 5000);
    EXPECT_TRUE(std::is_sorted(view.Progress.begin(), view.Progress.end()));
    EXPECT_LE(view.Progress.size(), 5000u / 511 + 2);
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"file.bin"});
}

TEST_F(ReceiverTest, EmptyFileIsCreatedAndCompletedAtOnce) {
    Listen(0);
    Peer([&] {
        const int fd = RawConnect(port);
        RawSeesClose(fd);
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(view.Caption(), "file.bin" + std::string(texts::kReceiveDone));
}

TEST_F(ReceiverTest, NeverWritesMoreThanTheAnnouncedSize) {
    // A sender comparing with a file that has grown since the offer sends more than it
    // announced; the extra bytes are not part of the file.
    const std::string data = RandomBytes(1000);
    Listen(700);
    std::string lastAck;
    Peer([&] {
        const int fd = RawConnect(port);
        RawSend(fd, data.data(), data.size());
        std::string acks;
        for (std::string more; !(more = RawReadSome(fd, 4096, 2000)).empty();) {
            acks += more;
        }
        if (acks.size() >= 8) {
            lastAck = acks.substr(acks.size() - 8);
        }
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(ReadFileBytes(path), data.substr(0, 700));
    EXPECT_EQ(AckValue(lastAck), 700);
}

TEST_F(ReceiverTest, ConnectionFromAnotherAddressIsClosedAndThePartnerStillServed) {
    const std::string data = RandomBytes(600, 7);
    Listen(600);
    bool strangerClosed = false;
    Peer([&] {
        const int stranger = RawConnectFrom(port, "127.0.0.2");
        if (stranger >= 0) {
            RawSend(stranger, "intruder", 8);
            strangerClosed = RawSeesClose(stranger, 3000);
            ::close(stranger);
        }
    });
    peer.join();
    EXPECT_TRUE(strangerClosed);
    PumpFor(sync, 50);
    EXPECT_TRUE(view.Captions.empty()) << "nothing is shown for a stranger";
    EXPECT_FALSE(server->TransferStarted());
    EXPECT_TRUE(FolderEntries(dir.Path()).empty()) << "the file is not touched";

    Peer([&] {
        const int fd = RawConnect(port);
        StopAndWaitSend(fd, data);
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(ReadFileBytes(path), data);
}

TEST_F(ReceiverTest, OneTransferPerListener) {
    const std::string data = RandomBytes(300, 3);
    Listen(300);
    Peer([&] {
        const int first = RawConnect(port);
        RawSend(first, data.data(), 100);
        RawReadAll(first, 8);  // the first transfer is under way
        const int second = RawConnect(port);
        const bool secondClosed = RawSeesClose(second, 3000);
        ::close(second);
        if (secondClosed) {
            RawSend(first, data.data() + 100, 200);
            RawSeesClose(first);
        }
        ::close(first);
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(ReadFileBytes(path), data);
    EXPECT_EQ(view.Ended, 1);
}

TEST_F(ReceiverTest, SenderThatVanishesGivesThePartnerStoppedTextsAndLeavesNoFile) {
    WriteFileBytes(dir.File("file.bin"), "the earlier file");
    Listen(5000);
    Peer([&] {
        const int fd = RawConnect(port);
        const std::string data = RandomBytes(1000);
        RawSend(fd, data.data(), data.size());
        RawReadAll(fd, 8);
        ::close(fd);
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitEnded());
    const std::string line = "file.bin" + std::string(texts::kReceiveStoppedByPartner);
    EXPECT_EQ(view.Caption(), line);
    EXPECT_EQ(view.Logs, std::vector<std::string>{line});
    EXPECT_LT(ElapsedMs(start), 3000);
    // The earlier file is left as it was, and no partial file remains.
    EXPECT_EQ(ReadFileBytes(path), "the earlier file");
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"file.bin"});
}

TEST_F(ReceiverTest, SenderThatResetsGivesThePartnerStoppedTexts) {
    Listen(5000);
    Peer([&] {
        const int fd = RawConnect(port);
        RawSend(fd, RandomBytes(512).data(), 512);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RawReset(fd);
    });
    ASSERT_TRUE(WaitEnded());
    EXPECT_EQ(view.Caption(), "file.bin" + std::string(texts::kReceiveStoppedByPartner));
    EXPECT_TRUE(FolderEntries(dir.Path()).empty());
}

TEST_F(ReceiverTest, SilentSenderEndsAfterTheIdleLimit) {
    Listen(5000);
    bool closed = false;
    long closedAfterMs = 0;
    Peer([&] {
        const int fd = RawConnect(port);
        RawSend(fd, "abc", 3);
        const auto start = std::chrono::steady_clock::now();
        closed = RawSeesClose(fd, 5000);
        closedAfterMs = ElapsedMs(start);
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_TRUE(closed);
    EXPECT_GE(closedAfterMs, 300);  // the idle limit is 400 ms
    EXPECT_EQ(view.Caption(), "file.bin" + std::string(texts::kReceiveTimedOut));
    EXPECT_TRUE(FolderEntries(dir.Path()).empty());
}

TEST_F(ReceiverTest, FileThatCannotBeCreatedGivesTheFailureTexts) {
    Listen(100, "missing-folder/file.bin");
    Peer([&] {
        const int fd = RawConnect(port);
        RawSend(fd, RandomBytes(100).data(), 100);
        RawSeesClose(fd);
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    const std::string line = "file.bin" + std::string(texts::kReceiveFailed);
    EXPECT_EQ(view.Caption(), line);
    EXPECT_EQ(view.Logs, std::vector<std::string>{line});
}

TEST_F(ReceiverTest, FinalNameThatCannotBeTakenGivesTheFailureTextsAndNoFinalAck) {
    std::filesystem::create_directory(dir.File("file.bin"));  // a folder in the way
    Listen(300);
    std::int64_t lastAck = -1;
    Peer([&] {
        const int fd = RawConnect(port);
        const std::string data = RandomBytes(300);
        RawSend(fd, data.data(), data.size());
        std::string acks;
        for (std::string more; !(more = RawReadSome(fd, 4096, 2000)).empty();) {
            acks += more;
        }
        if (acks.size() >= 8) {
            lastAck = AckValue(acks.substr(acks.size() - 8));
        }
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(view.Caption(), "file.bin" + std::string(texts::kReceiveFailed));
    EXPECT_LT(lastAck, 300) << "the whole count is acknowledged only for a saved file";
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"file.bin"});
}

TEST_F(ReceiverTest, APausingSenderDoesNotLeaveTheBarBehind) {
    // Steps that come too soon are held back; when the data stops, the last one still shows.
    TTransferOptions options = FastOptions();
    options.ProgressIntervalMs = 100;
    Listen(100000, "file.bin", options);
    std::atomic<bool> done{false};
    Peer([&] {
        const int fd = RawConnect(port);
        for (int i = 0; i < 8; ++i) {
            RawSend(fd, RandomBytes(256).data(), 256);  // 2048 bytes within a few ms
        }
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(fd);
    });
    EXPECT_TRUE(PumpUntil(
        sync, [&] { return !view.Progress.empty() && view.Progress.back() == 2048; }, 2000))
        << (view.Progress.empty() ? -1 : view.Progress.back());
    done = true;
    peer.join();
}

TEST_F(ReceiverTest, CloseMidTransferLogsTheInterruptionAndStopsReporting) {
    WriteFileBytes(dir.File("file.bin"), "keep me");
    Listen(100000);
    bool closed = false;
    Peer([&] {
        const int fd = RawConnect(port);
        RawSend(fd, RandomBytes(1000).data(), 1000);
        closed = RawSeesClose(fd, 5000);
        ::close(fd);
    });
    ASSERT_TRUE(PumpUntil(sync, [&] { return !view.Progress.empty(); }));
    server->Close();
    peer.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(view.Logs,
              std::vector<std::string>{"file.bin" + std::string(texts::kReceiveInterrupted)});
    const auto captions = view.Captions.size();
    PumpFor(sync, 50);
    EXPECT_EQ(view.Captions.size(), captions);
    EXPECT_EQ(view.Ended, 0) << "nothing reaches the window once it let go";
    EXPECT_EQ(ReadFileBytes(path), "keep me");
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"file.bin"});
}

TEST_F(ReceiverTest, CloseBeforeThePartnerConnectsOrAfterCompletionLogsNothingMore) {
    Listen(10);
    server->Close();
    EXPECT_TRUE(view.Logs.empty());
    EXPECT_FALSE(server->Active());

    Listen(10);
    Peer([&] {
        const int fd = RawConnect(port);
        RawSend(fd, "0123456789", 10);
        RawSeesClose(fd);
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    server->Close();
    EXPECT_EQ(view.Logs, std::vector<std::string>{path + std::string(texts::kSaved)});
}

TEST_F(ReceiverTest, ClosingFromInsideAReportIsRefused) {
    Listen(10);
    bool refused = false;
    view.OnLog = [&] {
        try {
            server->Close();
        } catch (const std::logic_error&) {
            refused = true;
        }
    };
    Peer([&] {
        const int fd = RawConnect(port);
        RawSend(fd, "0123456789", 10);
        RawSeesClose(fd);
        ::close(fd);
    });
    ASSERT_TRUE(WaitEnded());
    EXPECT_TRUE(refused);
}

TEST_F(ReceiverTest, OfferedNamesNeverLeaveTheChosenFolder) {
    const std::string folder = dir.File("Recieved");
    std::filesystem::create_directory(folder);
    for (const char* offered : {"..\\..\\x", "/etc/passwd", "a/../../b"}) {
        SCOPED_TRACE(offered);
        const auto name = ReceivedFileName(offered);
        ASSERT_TRUE(name.has_value());
        const std::string target = folder + "/" + *name;
        TFakeView local;
        TTransferDataServer receiver(local, &sync,
                                     TTransferJob{"127.0.0.1", 0, target, 4, FastOptions()});
        receiver.Open();
        const int fd = RawConnect(receiver.LocalPort());
        RawSend(fd, "data", 4);
        ASSERT_TRUE(PumpUntil(sync, [&] { return local.Ended > 0; }));
        ::close(fd);
        receiver.Close();
        EXPECT_EQ(ReadFileBytes(target), "data");
    }
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"Recieved"});
    EXPECT_EQ(FolderEntries(folder), (std::vector<std::string>{"b", "passwd", "x"}));
}

TEST_F(ReceiverTest, PortInUseRaises) {
    Listen(10);
    TFakeView local;
    TTransferDataServer second(local, &sync, TTransferJob{"127.0.0.1", port, path, 10, {}});
    EXPECT_THROW(second.Open(), ESocketError);
}

}  // namespace
}  // namespace vox
