// The send queues: callers never wait on a partner's socket, every partner gets whole packets
// in order, and a partner that stops reading is dropped without holding up the others.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "support/ConversationTestSupport.h"

namespace vox::testing {
namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A caller from `from` with a small receive buffer, so that its socket fills soon once it
// stops reading.
TRawPeer SmallBufferCaller(int port, const char* from) {
    return TRawPeer::Connect(port, from, 4096);
}

// The packets in a byte stream, and how many bytes trail the last whole one.
struct TParsed {
    std::vector<Packet> Packets;
    std::size_t Trailing = 0;
    bool InStep = true;  // every packet starts with the magic
};

TParsed Parse(const std::vector<std::uint8_t>& bytes) {
    TParsed parsed;
    std::size_t at = 0;
    while (bytes.size() - at >= kPacketHeaderSize) {
        const ByteSpan header(bytes.data() + at, kPacketHeaderSize);
        if (!CheckMagic(header)) {
            parsed.InStep = false;
            return parsed;
        }
        const std::uint32_t total = ReadPacketHeader(header).TotalLength;
        if (bytes.size() - at < total) {
            break;
        }
        parsed.Packets.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(at + total));
        at += total;
    }
    parsed.Trailing = bytes.size() - at;
    return parsed;
}

// A line of the longest kind, numbered.
std::string Line(int number) {
    std::string line = "line " + std::to_string(number) + " ";
    line.resize(kMaxFieldLength - 1, 'x');
    return line;
}

// Reads on a thread of its own, everything, until the connection ends or it is told to stop.
class TBackgroundReader {
  public:
    explicit TBackgroundReader(TRawPeer peer) : FPeer(std::move(peer)) {
        FThread = std::thread([this] { Run(); });
    }
    ~TBackgroundReader() {
        FStop.store(true);
        FThread.join();
    }
    std::vector<std::uint8_t> Bytes() {
        std::lock_guard lock(FMutex);
        return FBytes;
    }
    std::size_t Size() {
        std::lock_guard lock(FMutex);
        return FBytes.size();
    }
    bool Ended() const { return FEnded.load(); }

  private:
    void Run() {
        while (!FStop.load()) {
            const std::vector<std::uint8_t> got = FPeer.Receive(65536, 50);
            if (!got.empty()) {
                std::lock_guard lock(FMutex);
                FBytes.insert(FBytes.end(), got.begin(), got.end());
                continue;
            }
            if (FPeer.ClosedByOtherEnd(1)) {
                FEnded.store(true);
                return;
            }
        }
    }

    TRawPeer FPeer;
    std::mutex FMutex;
    std::vector<std::uint8_t> FBytes;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FEnded{false};
    std::thread FThread;
};

class SendQueueTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi ui;
    std::unique_ptr<TConnectionCore> core;

    void TearDown() override { core.reset(); }

    // A core whose writes would wait far longer than any test: whatever returns at once did
    // not wait for one.
    void MakeCore(std::size_t queueBytes) {
        TConversationTimeouts t = FastTimeouts();
        t.SocketTimeoutMs = 20000;
        t.SendQueueBytes = queueBytes;
        core = std::make_unique<TConnectionCore>(sync, ui, t);
        core->StartListening(0);
    }

    // A caller accepted by the core, its reply read.
    TRawPeer Accepted(TRawPeer peer, const char* name) {
        EXPECT_TRUE(peer.Valid());
        const std::size_t before = ui.Members.size();
        peer.Send(ConnectPacket(name));
        EXPECT_EQ(peer.ReceivePacket()[13], pcConnectReply);
        EXPECT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == before + 1; }));
        return peer;
    }

    bool Listed(const std::string& name) const {
        for (const auto& member : ui.Members) {
            if (member.first == name) {
                return true;
            }
        }
        return false;
    }
};

// The text lines in a stream, in the order they came.
std::vector<std::string> TextLines(const TParsed& parsed) {
    std::vector<std::string> lines;
    for (const Packet& packet : parsed.Packets) {
        if (packet[13] == pcText) {
            lines.push_back(ParseTextPacket(ByteSpan(packet).subspan(kPacketHeaderSize)).Text);
        }
    }
    return lines;
}

TEST_F(SendQueueTest, APartnerThatStoppedReadingHoldsUpNeitherTheCallerNorTheOthers) {
    MakeCore(64u << 20);  // room for everything: nobody is dropped here
    TRawPeer stalled = Accepted(SmallBufferCaller(core->ListeningPort(), "127.0.0.2"), "stalled");
    TBackgroundReader reader(
        Accepted(TRawPeer::Connect(core->ListeningPort(), "127.0.0.3"), "reader"));

    // Far more than the stalled partner's socket buffers take.
    constexpr int kLines = 80;
    const auto start = Clock::now();
    for (int i = 0; i < kLines; ++i) {
        core->SendText(Line(i));
    }
    EXPECT_LT(MsSince(start), 5000) << "the caller waited on the stalled partner";

    const std::size_t lineBytes = BuildText(Line(0)).size();
    ASSERT_TRUE(PumpUntil(
        sync, [&] { return reader.Size() == kLines * lineBytes; }, 15000))
        << reader.Size();
    std::vector<std::string> expected;
    for (int i = 0; i < kLines; ++i) {
        expected.push_back(Line(i));
    }
    const TParsed got = Parse(reader.Bytes());
    EXPECT_TRUE(got.InStep);
    EXPECT_EQ(got.Trailing, 0u);
    EXPECT_EQ(TextLines(got), expected);
    EXPECT_TRUE(Listed("stalled")) << "still waited for, within its socket timeout";

    // The stalled partner reads again and finds every line, whole and in order.
    const TParsed late = Parse(stalled.Receive(kLines * lineBytes, 15000));
    EXPECT_TRUE(late.InStep);
    EXPECT_EQ(late.Trailing, 0u);
    EXPECT_EQ(TextLines(late), expected);
}

TEST_F(SendQueueTest, APartnerWhoseQueueOverflowsIsDroppedAndLogged) {
    MakeCore(200000);
    TRawPeer stalled = Accepted(SmallBufferCaller(core->ListeningPort(), "127.0.0.2"), "stalled");
    TBackgroundReader reader(
        Accepted(TRawPeer::Connect(core->ListeningPort(), "127.0.0.3"), "reader"));

    // At the healthy partner's pace: each line once it has the one before.
    const std::size_t lineBytes = BuildText(Line(0)).size();
    const auto start = Clock::now();
    int sent = 0;
    while (Listed("stalled") && sent < 400) {
        core->SendText(Line(sent++));
        ASSERT_TRUE(PumpUntil(
            sync, [&] { return reader.Size() == static_cast<std::size_t>(sent) * lineBytes; },
            10000))
            << reader.Size() << " of " << sent * lineBytes;
    }
    ASSERT_TRUE(PumpUntil(sync, [&] { return !Listed("stalled"); })) << ui.AllLogs();
    // Long before its socket timeout: the queue's bound dropped it.
    EXPECT_LT(MsSince(start), 15000);
    ASSERT_TRUE(PumpUntil(sync, [&] {
        return ui.HasLog("127.0.0.2 とのサーバー接続を終了します。");
    })) << ui.AllLogs();
    const auto stalledLine =
        std::find(ui.Logs.begin(), ui.Logs.end(), "127.0.0.2 への送信が滞ったので切断します。");
    const auto endLine =
        std::find(ui.Logs.begin(), ui.Logs.end(), "127.0.0.2 とのサーバー接続を終了します。");
    ASSERT_NE(stalledLine, ui.Logs.end()) << ui.AllLogs();
    EXPECT_LT(stalledLine, endLine) << ui.AllLogs();
    EXPECT_TRUE(Listed("reader"));

    // What the dropped partner got is in step: whole lines in order, at most the one on the
    // wire cut short by the drop.
    const TParsed dropped = Parse(stalled.Receive(static_cast<std::size_t>(sent) << 16, 5000));
    EXPECT_TRUE(dropped.InStep);
    const std::vector<std::string> droppedLines = TextLines(dropped);
    ASSERT_LT(droppedLines.size(), static_cast<std::size_t>(sent));
    for (std::size_t i = 0; i < droppedLines.size(); ++i) {
        EXPECT_EQ(droppedLines[i], Line(static_cast<int>(i)));
    }
    EXPECT_LT(dropped.Trailing, BuildText(Line(0)).size());

    // The healthy partner got every line, and still gets them.
    core->SendText("after");
    const std::size_t all = static_cast<std::size_t>(sent) * lineBytes + BuildText("after").size();
    ASSERT_TRUE(PumpUntil(
        sync, [&] { return reader.Size() == all; }, 15000))
        << reader.Size() << " of " << all;
    const std::vector<std::string> lines = TextLines(Parse(reader.Bytes()));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(sent) + 1);
    EXPECT_EQ(lines.front(), Line(0));
    EXPECT_EQ(lines[static_cast<std::size_t>(sent) - 1], Line(sent - 1));
    EXPECT_EQ(lines.back(), "after");
}

TEST_F(SendQueueTest, TextAndVoiceFromTwoThreadsArriveWholeAndEachInOrder) {
    MakeCore(64u << 20);
    TBackgroundReader reader(
        Accepted(TRawPeer::Connect(core->ListeningPort(), "127.0.0.2"), "reader"));

    constexpr int kEach = 300;
    std::size_t expectedBytes = 0;
    for (int i = 0; i < kEach; ++i) {
        expectedBytes += BuildText("t" + std::to_string(i)).size();
        expectedBytes +=
            BuildVoice(static_cast<std::uint16_t>(i),
                       std::vector<std::uint8_t>(100 + i, static_cast<std::uint8_t>(i)))
                .size();
    }
    std::thread voice([&] {
        for (int i = 0; i < kEach; ++i) {
            const Packet packet =
                BuildVoice(static_cast<std::uint16_t>(i),
                           std::vector<std::uint8_t>(100 + i, static_cast<std::uint8_t>(i)));
            core->SendVoicePacket(packet);
        }
    });
    for (int i = 0; i < kEach; ++i) {
        core->SendText("t" + std::to_string(i));
    }
    voice.join();
    ASSERT_TRUE(PumpUntil(
        sync, [&] { return reader.Size() >= expectedBytes; }, 15000))
        << reader.Size() << " of " << expectedBytes;

    const TParsed got = Parse(reader.Bytes());
    EXPECT_TRUE(got.InStep);
    EXPECT_EQ(got.Trailing, 0u);
    int nextText = 0;
    int nextVoice = 0;
    for (const Packet& packet : got.Packets) {
        const ByteSpan rest = ByteSpan(packet).subspan(kPacketHeaderSize);
        if (packet[13] == pcText) {
            EXPECT_EQ(ParseTextPacket(rest).Text, "t" + std::to_string(nextText++));
        } else {
            ASSERT_EQ(packet[13], pcVoice);
            const VoicePacket v = ParseVoicePacket(rest);
            EXPECT_EQ(v.Header.RawLength, nextVoice);
            EXPECT_EQ(v.Block.size(), static_cast<std::size_t>(100 + nextVoice));
            ++nextVoice;
        }
    }
    EXPECT_EQ(nextText, kEach);
    EXPECT_EQ(nextVoice, kEach);
}

TEST_F(SendQueueTest, DroppingEveryoneNeverWaitsAndFinishesThePacketOnTheWire) {
    MakeCore(64u << 20);
    TRawPeer stalled = Accepted(SmallBufferCaller(core->ListeningPort(), "127.0.0.2"), "stalled");
    constexpr int kLines = 80;
    for (int i = 0; i < kLines; ++i) {
        core->SendText(Line(i));
    }
    // Give the writer time to fill the partner's buffers and block.
    PumpFor(sync, 300);

    const auto start = Clock::now();
    core->DisconnectAll();
    EXPECT_LT(MsSince(start), 2000) << "dropping waited on the stalled partner";
    EXPECT_TRUE(ui.HasLog("すべての接続を切断しました。"));

    // Reading again, the partner gets whole lines up to the one that was on the wire, and
    // then the end: what was still queued is dropped, and nothing is cut.
    std::vector<std::uint8_t> bytes;
    while (true) {
        const std::vector<std::uint8_t> got = stalled.Receive(1 << 20, 3000);
        if (got.empty()) {
            break;
        }
        bytes.insert(bytes.end(), got.begin(), got.end());
    }
    const TParsed parsed = Parse(bytes);
    EXPECT_TRUE(parsed.InStep);
    EXPECT_EQ(parsed.Trailing, 0u);
    const std::vector<std::string> lines = TextLines(parsed);
    EXPECT_GT(lines.size(), 0u);
    EXPECT_LT(lines.size(), static_cast<std::size_t>(kLines));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], Line(static_cast<int>(i)));
    }
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.empty() && core->IncomingCount() == 0; }));
    EXPECT_TRUE(ui.HasLog("127.0.0.2 とのサーバー接続を終了します。")) << ui.AllLogs();
}

}  // namespace
}  // namespace vox::testing
