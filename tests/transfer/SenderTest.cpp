// The sending end against scripted raw receivers over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/SocketError.h"
#include "support/TransferTestSupport.h"
#include "transfer/DataClient.h"

namespace vox {
namespace {

using namespace test;
namespace texts = transfer_texts;

class SenderTest : public ::testing::Test {
  protected:
    // Writes the file to send and prepares the sending end for the raw listener.
    void Prepare(const std::string& data, TTransferOptions options = FastOptions()) {
        content = data;
        path = dir.File("send.bin");
        WriteFileBytes(path, data);
        client = std::make_unique<TTransferDataClient>(
            view, &sync,
            TTransferJob{"127.0.0.1", listener.Port(), path, static_cast<std::int64_t>(data.size()),
                         options});
    }
    // Accepts the sending end's connection and runs the receiver's script on it beside the
    // test thread, which opens the sending end and keeps running the UI calls.
    void Run(std::function<void(int fd)> script) {
        peer = std::thread([this, script = std::move(script)] {
            const int fd = listener.Accept();
            if (fd >= 0) {
                script(fd);
                ::close(fd);
            }
        });
        client->Open();
    }
    bool WaitEnded() {
        return PumpUntil(sync, [&] { return view.Ended > 0; });
    }
    void TearDown() override {
        if (client) {
            client->Stop();
        }
        if (peer.joinable()) {
            peer.join();
        }
    }
    std::string Line(std::string_view text) const { return "send.bin" + std::string(text); }

    TSynchronizer sync;
    TScratchDir dir;
    TFakeView view;
    TRawListener listener;
    std::unique_ptr<TTransferDataClient> client;
    std::string path;
    std::string content;
    std::thread peer;
};

// A receiver as the data protocol describes it: reads of at most 256 bytes, each acknowledged
// with the running count (which starts at already). Returns what arrived.
std::string ReadAndAcknowledge(int fd, std::size_t size, int maxRead = 256,
                               std::size_t already = 0) {
    std::string got;
    while (got.size() < size) {
        const std::string part = RawReadSome(fd, static_cast<std::size_t>(maxRead), 3000);
        if (part.empty()) {
            break;
        }
        got += part;
        const std::string ack = AckBytes(static_cast<std::int64_t>(already + got.size()));
        RawSend(fd, ack.data(), ack.size());
    }
    return got;
}

TEST_F(SenderTest, ReceiverReadingPiecesAndAcknowledgingEveryRead) {
    Prepare(RandomBytes(20000, 5));
    std::string received;
    std::string extra;
    Run([&](int fd) {
        received = ReadAndAcknowledge(fd, content.size());
        extra = RawReadSome(fd, 4096, 200);  // nothing comes after the file
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(received, content);
    EXPECT_TRUE(extra.empty());
    EXPECT_EQ(view.RangeMax, 20000);
    EXPECT_EQ(view.Captions.front(), Line(texts::kSending));
    EXPECT_EQ(view.Caption(), Line(texts::kSendDone));
    EXPECT_EQ(view.Logs, std::vector<std::string>{path + std::string(texts::kSendDone)});
    EXPECT_EQ(view.Progress.back(), 20000);
    EXPECT_TRUE(std::is_sorted(view.Progress.begin(), view.Progress.end()));
    EXPECT_EQ(view.Ended, 1);
}

TEST_F(SenderTest, ReceiverReadingOneByteAtATime) {
    Prepare(RandomBytes(700, 6));
    std::string received;
    Run([&](int fd) { received = ReadAndAcknowledge(fd, content.size(), 1); });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(received, content);
    EXPECT_EQ(view.Caption(), Line(texts::kSendDone));
}

TEST_F(SenderTest, SizesAroundOnePiece) {
    for (const std::size_t size : {0u, 1u, 256u, 257u}) {
        SCOPED_TRACE(size);
        view = TFakeView();
        Prepare(RandomBytes(size, static_cast<unsigned>(size)));
        std::string received;
        Run([&](int fd) {
            received = ReadAndAcknowledge(fd, content.size());
            RawReadSome(fd, 16, 100);
        });
        ASSERT_TRUE(WaitEnded());
        peer.join();
        EXPECT_EQ(received, content);
        EXPECT_EQ(view.Caption(), Line(texts::kSendDone));
        client->Stop();
    }
}

TEST_F(SenderTest, AcknowledgementsSplitAcrossReadsAreReassembled) {
    Prepare(RandomBytes(3000, 8));
    std::string received;
    Run([&](int fd) {
        while (received.size() < content.size()) {
            const std::string part = RawReadSome(fd, 256, 3000);
            if (part.empty()) {
                break;
            }
            received += part;
            const std::string ack = AckBytes(static_cast<std::int64_t>(received.size()));
            // Three bytes now, the other five a little later, in separate segments.
            RawSend(fd, ack.data(), 3);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            RawSend(fd, ack.data() + 3, 5);
        }
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(received, content);
    EXPECT_EQ(view.Caption(), Line(texts::kSendDone));
    EXPECT_EQ(client->AckedCount(), 3000);
}

TEST_F(SenderTest, AcknowledgementsGoingBackwardsMoveNothingBack) {
    Prepare(RandomBytes(4000, 9));
    std::string received;
    Run([&](int fd) {
        while (received.size() < content.size()) {
            const std::string part = RawReadSome(fd, 256, 3000);
            if (part.empty()) {
                break;
            }
            received += part;
            // Every count is followed by stale ones: the first, and zero.
            const std::string acks =
                AckBytes(static_cast<std::int64_t>(received.size())) + AckBytes(256) + AckBytes(0);
            RawSend(fd, acks.data(), acks.size());
        }
        received += RawReadSome(fd, 4096, 200);  // nothing is sent again
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(received, content);
    EXPECT_EQ(view.Caption(), Line(texts::kSendDone));
    EXPECT_TRUE(std::is_sorted(view.Progress.begin(), view.Progress.end()));
}

TEST_F(SenderTest, AcknowledgementBeyondWhatWasSentEndsAsFailed) {
    Prepare(RandomBytes(3000, 10));
    std::string received;
    Run([&](int fd) {
        received = RawReadSome(fd, 256, 3000);
        const std::string ack = AckBytes(1000000);
        RawSend(fd, ack.data(), ack.size());
        for (std::string more; !(more = RawReadSome(fd, 4096, 300)).empty();) {
            received += more;
        }
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(view.Caption(), Line(texts::kSendFailed));
    EXPECT_EQ(view.Logs, std::vector<std::string>{Line(texts::kSendFailed)});
    // Whatever went out is the file's beginning, once.
    EXPECT_LE(received.size(), content.size());
    EXPECT_EQ(received, content.substr(0, received.size()));
}

TEST_F(SenderTest, ReceiverThatVanishesGivesThePartnerStoppedTexts) {
    Prepare(RandomBytes(50000, 11));
    Run([&](int fd) {
        ReadAndAcknowledge(fd, 1000);
    });  // the receiver closes with the file unfinished
    ASSERT_TRUE(WaitEnded());
    EXPECT_EQ(view.Caption(), Line(texts::kSendStoppedByPartner));
    EXPECT_EQ(view.Logs, std::vector<std::string>{Line(texts::kSendStoppedByPartner)});
}

TEST_F(SenderTest, ReceiverThatReadsEverythingButNeverAcknowledgesIsNotCompletion) {
    // Writes succeed while nobody acknowledges; only the acknowledged count counts.
    Prepare(RandomBytes(2000, 12));
    Run([&](int fd) {
        std::string got;
        for (std::string more;
             got.size() < content.size() && !(more = RawReadSome(fd, 4096, 1000)).empty();) {
            got += more;
        }
    });
    ASSERT_TRUE(WaitEnded());
    EXPECT_EQ(view.Caption(), Line(texts::kSendStoppedByPartner));
}

TEST_F(SenderTest, SilentReceiverGivesTheTimeoutTexts) {
    Prepare(RandomBytes(1000, 13));
    bool closed = false;
    Run([&](int fd) {
        closed = RawSeesClose(fd, 5000);  // reads the data, never acknowledges, stays open
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_GE(ElapsedMs(start), 350);
    EXPECT_TRUE(closed) << "the sender closes the connection at its idle limit";
    EXPECT_EQ(view.Caption(), Line(texts::kSendTimedOut));
    EXPECT_EQ(view.Logs, std::vector<std::string>{Line(texts::kSendTimedOut)});
}

TEST_F(SenderTest, KeepsNoMoreThanItsWindowUnacknowledged) {
    TTransferOptions options = FastOptions();
    options.SendWindowBytes = 1024;
    options.IdleLimitMs = 2000;
    Prepare(RandomBytes(10000, 14), options);
    std::string early;
    std::string received;
    Run([&](int fd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        for (std::string more; !(more = RawReadSome(fd, 65536, 100)).empty();) {
            early += more;
        }
        received = early;
        const std::string ack = AckBytes(static_cast<std::int64_t>(received.size()));
        RawSend(fd, ack.data(), ack.size());
        received += ReadAndAcknowledge(fd, content.size() - received.size(), 256, received.size());
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(early.size(), 1024u);
    EXPECT_EQ(received, content);
}

TEST_F(SenderTest, StopMidTransferLogsTheInterruption) {
    Prepare(RandomBytes(100000, 15));
    bool closed = false;
    Run([&](int fd) {
        ReadAndAcknowledge(fd, 2000);
        closed = RawSeesClose(fd, 5000);
    });
    ASSERT_TRUE(PumpUntil(sync, [&] { return client->AckedCount() >= 2000; }));
    client->Stop();
    peer.join();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(client->Running());
    EXPECT_EQ(view.Logs, std::vector<std::string>{Line(texts::kSendInterrupted)});
    EXPECT_EQ(view.Ended, 0);
    EXPECT_NE(view.Caption(), Line(texts::kSendDone));
}

TEST_F(SenderTest, MissingFileGivesTheFailureTexts) {
    Prepare(RandomBytes(100, 16));
    std::filesystem::remove(path);
    Run([&](int fd) { RawSeesClose(fd, 2000); });
    ASSERT_TRUE(WaitEnded());
    EXPECT_EQ(view.Caption(), Line(texts::kSendFailed));
}

TEST_F(SenderTest, FileShorterThanAnnouncedGivesTheFailureTexts) {
    Prepare(RandomBytes(1000, 17));
    ::truncate(path.c_str(), 300);
    std::string received;
    bool closed = false;
    Run([&](int fd) {
        received = ReadAndAcknowledge(fd, 300);
        closed = RawSeesClose(fd, 2000);
    });
    ASSERT_TRUE(WaitEnded());
    peer.join();
    EXPECT_EQ(view.Caption(), Line(texts::kSendFailed));
    EXPECT_EQ(received, content.substr(0, received.size()));
    EXPECT_TRUE(closed) << "a failed sender closes the connection";
}

TEST(SenderConnectTest, NoListenerRaisesAndStartsNothing) {
    TSynchronizer sync;
    TFakeView view;
    TTransferDataClient client(
        view, &sync, TTransferJob{"127.0.0.1", UnusedPort(), "/nonexistent", 10, FastOptions()});
    EXPECT_THROW(client.Open(), ESocketError);
    EXPECT_FALSE(client.Running());
    client.Stop();
    EXPECT_TRUE(view.Logs.empty());
    EXPECT_TRUE(view.Captions.empty());
}

}  // namespace
}  // namespace vox
