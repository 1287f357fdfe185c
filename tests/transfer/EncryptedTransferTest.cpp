// File data between two copies whose conversation is encrypted: TLS on the data connection with
// the conversation's keys, and a partner that presents another key (or no TLS) is refused.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "net/Tls.h"
#include "support/TransferTestSupport.h"
#include "support/TrustTestSupport.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"

namespace vox {
namespace {

using namespace test;
namespace texts = transfer_texts;

// Long enough for a TLS handshake on a loaded machine under a sanitizer.
TTransferOptions TlsOptions() {
    TTransferOptions options = FastOptions();
    options.SocketTimeoutMs = 500;
    options.IdleLimitMs = 10000;
    options.TlsHandshakeMs = 10000;
    return options;
}

// Whether any of the data's 32-byte slices, taken every 4 KiB, shows up in the recording.
bool AnySliceSeen(const testing::TRecordingRelay& relay, const std::string& data) {
    const std::string recording = relay.Recording();
    for (std::size_t at = 0; at + 32 <= data.size(); at += 4096) {
        if (recording.find(data.substr(at, 32)) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class EncryptedTransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        source = dir.File("source.bin");
        target = dir.File("received.bin");
    }
    void TearDown() override {
        if (client) {
            client->Stop();
        }
        if (server) {
            server->Close();
        }
    }
    // The receiving end expects the sender's key and the sending end the receiver's, as the
    // conversation between them has shown them; each may be told otherwise.
    void Start(std::int64_t size, const TTransferOptions& options, TDataSecurity recvSecurity,
               TDataSecurity sendSecurity, bool relayed = false) {
        server = std::make_unique<TTransferDataServer>(
            recvView, &sync,
            TTransferJob{"127.0.0.1", 0, target, size, options, std::move(recvSecurity)});
        server->Open();
        int port = server->LocalPort();
        if (relayed) {
            relay = std::make_unique<testing::TRecordingRelay>(port);
            port = relay->Port();
        }
        client = std::make_unique<TTransferDataClient>(
            sendView, &sync,
            TTransferJob{"127.0.0.1", port, source, size, options, std::move(sendSecurity)});
        client->Open();
    }
    TDataSecurity ReceiverExpects() const { return {receiverKey, senderKey->Fingerprint()}; }
    TDataSecurity SenderExpects() const { return {senderKey, receiverKey->Fingerprint()}; }
    bool BothEnded() {
        return PumpUntil(
            sync, [&] { return recvView.Ended > 0 && sendView.Ended > 0; }, 60000);
    }
    void ExpectNothingReceived() {
        EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"source.bin"});
    }

    TSynchronizer sync;
    TScratchDir dir;
    TFakeView recvView;
    TFakeView sendView;
    std::string source;
    std::string target;
    std::shared_ptr<TTlsIdentity> receiverKey = TTlsIdentity::Generate();
    std::shared_ptr<TTlsIdentity> senderKey = TTlsIdentity::Generate();
    std::unique_ptr<testing::TRecordingRelay> relay;
    std::unique_ptr<TTransferDataServer> server;
    std::unique_ptr<TTransferDataClient> client;
};

TEST_F(EncryptedTransferTest, FilesArriveByteForByteAndNothingOfThemCrossesInTheClear) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{3'000'017}}) {
        SCOPED_TRACE(size);
        recvView = {};
        sendView = {};
        const std::string data = RandomBytes(size, static_cast<unsigned>(size) + 5);
        WriteFileBytes(source, data);
        Start(static_cast<std::int64_t>(size), TlsOptions(), ReceiverExpects(), SenderExpects(),
              true);
        ASSERT_TRUE(BothEnded()) << sendView.Caption() << recvView.Caption();
        EXPECT_EQ(ReadFileBytes(target), data);
        EXPECT_EQ(recvView.Logs, std::vector<std::string>{target + std::string(texts::kSaved)});
        EXPECT_EQ(sendView.Logs, std::vector<std::string>{source + std::string(texts::kSendDone)});
        // Every byte of the file has passed the relay by now.
        EXPECT_FALSE(AnySliceSeen(*relay, data));
        client->Stop();
        server->Close();
        relay.reset();
    }
}

TEST_F(EncryptedTransferTest, TheRecordingHoldsTlsRecordsOnly) {
    const std::string data = RandomBytes(1'000'000, 77);
    WriteFileBytes(source, data);
    Start(static_cast<std::int64_t>(data.size()), TlsOptions(), ReceiverExpects(), SenderExpects(),
          true);
    ASSERT_TRUE(BothEnded());
    EXPECT_EQ(ReadFileBytes(target), data);
    const std::string recording = relay->Recording();
    // The file and its acknowledgements, with the records' overhead: more bytes than the file,
    // none of them the file's own.
    EXPECT_GT(recording.size(), data.size());
    EXPECT_EQ(static_cast<unsigned char>(recording[0]), kTlsHandshakeRecord);
    EXPECT_FALSE(AnySliceSeen(*relay, data));
    // The acknowledgement of the whole file, as it would travel in the clear.
    EXPECT_EQ(recording.find(AckBytes(static_cast<std::int64_t>(data.size()))), std::string::npos);
}

TEST_F(EncryptedTransferTest, AReceiverWithAnotherKeyIsRefusedBySender) {
    WriteFileBytes(source, RandomBytes(100'000, 3));
    const auto stranger = TTlsIdentity::Generate();
    // Someone in between answers with its own key: the sender knows the receiver's.
    Start(100'000, TlsOptions(), {stranger, senderKey->Fingerprint()}, SenderExpects());
    ASSERT_TRUE(BothEnded());
    const std::string line = "source.bin" + std::string(texts::kSendKeyMismatch);
    EXPECT_EQ(sendView.Logs, std::vector<std::string>{line});
    EXPECT_EQ(sendView.Caption(), line);
    EXPECT_EQ(client->AckedCount(), 0);
    ExpectNothingReceived();
}

TEST_F(EncryptedTransferTest, ASenderWithAnotherKeyIsRefusedByTheReceiver) {
    WriteFileBytes(source, RandomBytes(100'000, 4));
    const auto stranger = TTlsIdentity::Generate();
    Start(100'000, TlsOptions(), ReceiverExpects(), {stranger, receiverKey->Fingerprint()});
    ASSERT_TRUE(BothEnded());
    const std::string line = "received.bin" + std::string(texts::kReceiveKeyMismatch);
    EXPECT_EQ(recvView.Logs, std::vector<std::string>{line});
    EXPECT_EQ(recvView.Caption(), line);
    // The sender hears only that the partner stopped; none of the file was taken.
    EXPECT_EQ(sendView.Logs.size(), 1u);
    EXPECT_EQ(sendView.Logs.at(0).find(texts::kSendDone), std::string::npos);
    EXPECT_EQ(client->AckedCount(), 0);
    ExpectNothingReceived();
}

TEST_F(EncryptedTransferTest, APlainSenderIsRefusedWhereEncryptionIsExpected) {
    WriteFileBytes(source, RandomBytes(1000, 5));
    Start(1000, TlsOptions(), ReceiverExpects(), {});
    ASSERT_TRUE(BothEnded());
    EXPECT_EQ(recvView.Logs,
              std::vector<std::string>{"received.bin" + std::string(texts::kReceiveFailed)});
    EXPECT_EQ(client->AckedCount(), 0);
    ExpectNothingReceived();
}

TEST_F(EncryptedTransferTest, AConversationInTheClearKeepsTheDataInTheClear) {
    // The own identity without a partner's key (an older partner): the plain protocol, which
    // a raw peer reads as the file's bytes and acknowledges.
    const std::string data = RandomBytes(5000, 6);
    WriteFileBytes(source, data);
    TRawListener listener;
    TTransferDataClient plain(
        sendView, &sync,
        TTransferJob{"127.0.0.1", listener.Port(), source, 5000, TlsOptions(), {senderKey, ""}});
    plain.Open();
    const int fd = listener.Accept();
    ASSERT_GE(fd, 0);
    // The older partner reads and acknowledges while this thread serves the window's calls.
    std::string got;
    std::thread older([&] {
        while (got.size() < data.size()) {
            const std::string piece = RawReadSome(fd, data.size() - got.size());
            if (piece.empty()) {
                return;
            }
            got += piece;
            if (!RawSend(fd, AckBytes(static_cast<std::int64_t>(got.size())).data(), 8)) {
                return;
            }
        }
    });
    const bool ended = PumpUntil(sync, [&] { return sendView.Ended > 0; });
    older.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(got, data);
    EXPECT_EQ(sendView.Logs, std::vector<std::string>{source + std::string(texts::kSendDone)});
    plain.Stop();
    ::close(fd);
}

// A sender that keeps one piece in flight: the transfer is surely under way when it is stopped.
TTransferOptions SlowTlsOptions() {
    TTransferOptions options = TlsOptions();
    options.SendWindowBytes = kTransferPieceBytes;
    options.MaxSendWindowBytes = kTransferPieceBytes;
    return options;
}

TEST_F(EncryptedTransferTest, TheSenderStoppingIsSeenByTheReceiver) {
    WriteFileBytes(source, RandomBytes(20'000'000, 8));
    Start(20'000'000, SlowTlsOptions(), ReceiverExpects(), SenderExpects());
    ASSERT_TRUE(PumpUntil(sync, [&] { return client->AckedCount() > 0; }));
    client->Stop();
    EXPECT_EQ(sendView.Logs,
              std::vector<std::string>{"source.bin" + std::string(texts::kSendInterrupted)});
    ASSERT_TRUE(PumpUntil(sync, [&] { return recvView.Ended > 0; }));
    const std::string line = "received.bin" + std::string(texts::kReceiveStoppedByPartner);
    EXPECT_EQ(recvView.Logs, std::vector<std::string>{line});
    ExpectNothingReceived();
}

TEST_F(EncryptedTransferTest, TheReceiverStoppingIsSeenByTheSender) {
    WriteFileBytes(source, RandomBytes(20'000'000, 9));
    Start(20'000'000, SlowTlsOptions(), ReceiverExpects(), SenderExpects());
    ASSERT_TRUE(PumpUntil(sync, [&] { return client->AckedCount() > 0; }));
    server->Close();
    EXPECT_EQ(recvView.Logs,
              std::vector<std::string>{"received.bin" + std::string(texts::kReceiveInterrupted)});
    ASSERT_TRUE(PumpUntil(sync, [&] { return sendView.Ended > 0; }));
    const std::string line = "source.bin" + std::string(texts::kSendStoppedByPartner);
    EXPECT_EQ(sendView.Logs, std::vector<std::string>{line});
    ExpectNothingReceived();
}

}  // namespace
}  // namespace vox
