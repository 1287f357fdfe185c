#include "net/WinSocketStream.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "net/ClientSocket.h"
#include "net/NetTestUtil.h"
#include "net/SocketError.h"

namespace vox {
namespace {

using test::ElapsedMs;
using Clock = std::chrono::steady_clock;

// A connection made by TClientSocket to a plain peer descriptor.
class StreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        client_.SetAddress("127.0.0.1");
        client_.SetPort(listener_.Port());
        client_.Open();
        peer_ = listener_.Accept();
        ASSERT_GE(peer_, 0);
    }
    void TearDown() override {
        if (peer_ >= 0) {
            ::close(peer_);
        }
    }
    void PeerSend(const std::string& data) {
        ASSERT_EQ(::send(peer_, data.data(), data.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(data.size()));
    }
    TCustomWinSocket& Socket() { return client_.Socket(); }

    test::TRawListener listener_;
    TClientSocket client_;
    int peer_ = -1;
};

TEST_F(StreamTest, ReadDeliversWhatCameAndZeroOnTimeoutWithoutClosing) {
    TWinSocketStream stream(Socket(), 30);
    EXPECT_FALSE(stream.WaitForData(20));
    PeerSend("abc");
    ASSERT_TRUE(stream.WaitForData(5000));
    char buffer[10] = {};
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");

    const auto start = Clock::now();
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0);
    EXPECT_GE(ElapsedMs(start), 25);
    EXPECT_TRUE(Socket().Connected());

    // A read never returns more than asked; the rest stays for the next read.
    PeerSend("12345");
    ASSERT_TRUE(stream.WaitForData(5000));
    EXPECT_EQ(stream.Read(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "12");
    EXPECT_TRUE(test::Eventually([&] { return stream.WaitForData(0); }));
    EXPECT_EQ(stream.Read(buffer, 10), 3);
    EXPECT_EQ(stream.Read(buffer, 0), 0);
}

TEST_F(StreamTest, PeerCloseMakesReadableAndReadsZeroWhileStillConnected) {
    TWinSocketStream stream(Socket(), 5000);
    PeerSend("x");
    ::close(peer_);
    peer_ = -1;
    char buffer[4];
    ASSERT_TRUE(stream.WaitForData(5000));
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 1);
    ASSERT_TRUE(stream.WaitForData(5000));
    const auto start = Clock::now();
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0);
    EXPECT_LT(ElapsedMs(start), 1000);  // at once, not after the timeout
    EXPECT_TRUE(Socket().Connected());
    EXPECT_EQ(Socket().RemoteAddress(), "127.0.0.1");
}

TEST_F(StreamTest, PeerResetRaisesReadAndWriteErrors) {
    TWinSocketStream stream(Socket(), 5000);
    test::RawReset(peer_);
    peer_ = -1;
    ASSERT_TRUE(stream.WaitForData(5000));
    char buffer[4];
    try {
        stream.Read(buffer, sizeof buffer);
        ADD_FAILURE() << "no error";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode(), ECONNRESET);
        EXPECT_EQ(std::string(e.what()),
                  "Read エラー " + std::to_string(ECONNRESET) + ", " + SystemErrorText(ECONNRESET));
    }
    // Writing to the dead connection fails the same way (and raises no SIGPIPE).
    bool raised = false;
    for (int i = 0; i < 10 && !raised; ++i) {
        try {
            stream.Write("data", 4);
        } catch (const ESocketError& e) {
            raised = true;
            EXPECT_EQ(std::string(e.what()).rfind("Write エラー ", 0), 0u) << e.what();
        }
    }
    EXPECT_TRUE(raised);
    EXPECT_TRUE(Socket().Connected());
}

TEST_F(StreamTest, CloseOnThisSideWakesWaitAndRead) {
    std::atomic<bool> waitResult{true};
    std::atomic<long> waitedMs{-1};
    std::atomic<int> readResult{-1};
    std::atomic<long> readMs{-1};
    std::thread waiter([&] {
        TWinSocketStream stream(Socket(), 10000);
        const auto start = Clock::now();
        waitResult = stream.WaitForData(10000);
        waitedMs = ElapsedMs(start);
    });
    std::thread reader([&] {
        TWinSocketStream stream(Socket(), 10000);
        char buffer[8];
        const auto start = Clock::now();
        readResult = stream.Read(buffer, sizeof buffer);
        readMs = ElapsedMs(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Socket().Close();
    waiter.join();
    reader.join();
    EXPECT_FALSE(waitResult);
    EXPECT_LT(waitedMs, 2000);
    EXPECT_EQ(readResult, 0);
    EXPECT_LT(readMs, 2000);
    EXPECT_FALSE(Socket().Connected());
    EXPECT_EQ(Socket().RemoteAddress(), "");
    EXPECT_EQ(Socket().RemotePort(), 0);
    // The peer sees the end of the stream.
    EXPECT_EQ(test::RawReadAll(peer_, 1, 2000), "");
}

TEST_F(StreamTest, OperationsOnAClosedConnectionDoNothing) {
    Socket().Close();
    Socket().Close();  // twice is fine
    TWinSocketStream stream(Socket(), 1000);
    char buffer[4] = {};
    EXPECT_FALSE(stream.WaitForData(1000));
    EXPECT_EQ(stream.Read(buffer, 4), 0);
    EXPECT_EQ(stream.Write(buffer, 4), 0);
    EXPECT_FALSE(Socket().Open());
}

// The first bytes are looked at without being taken; a caller that sends fewer than asked for
// and hangs up is answered with what came at once, not after the stream's timeout.
TEST_F(StreamTest, PeekLeavesTheBytesAndDoesNotWaitOutAPeerThatHasHungUp) {
    TWinSocketStream stream(Socket(), 60000);
    PeerSend("ab");
    char first[2] = {};
    ASSERT_EQ(stream.Peek(first, 2), 2);
    char all[3] = {};
    ASSERT_EQ(stream.Read(all, 2), 2);
    EXPECT_EQ(std::string(all, 2), "ab");

    PeerSend("c");
    ::shutdown(peer_, SHUT_WR);
    const auto start = Clock::now();
    EXPECT_EQ(stream.Peek(first, 2), 1);
    EXPECT_EQ(first[0], 'c');
    // Far below the timeout, however busy the machine.
    EXPECT_LT(ElapsedMs(start), 30000);
    EXPECT_EQ(stream.Read(all, 2), 1);
}

TEST_F(StreamTest, LargeWriteCompletesWhenThePeerReads) {
    std::string data(3 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + i / 251);
    }
    std::string received;
    std::thread reader([&] { received = test::RawReadAll(peer_, data.size(), 10000); });
    TWinSocketStream stream(Socket(), 5000);
    EXPECT_EQ(stream.Write(data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    reader.join();
    EXPECT_TRUE(received == data);
}

TEST_F(StreamTest, WriteToAPeerThatDoesNotReadReturnsAShortCountAfterTheTimeout) {
    const std::vector<char> data(64 * 1024 * 1024, 'v');
    TWinSocketStream stream(Socket(), 200);
    const auto start = Clock::now();
    const int written = stream.Write(data.data(), static_cast<int>(data.size()));
    const long elapsed = ElapsedMs(start);
    EXPECT_LT(written, static_cast<int>(data.size()));
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 5000);
    EXPECT_TRUE(Socket().Connected());
}

TEST_F(StreamTest, CloseWakesABlockedWrite) {
    const std::vector<char> data(64 * 1024 * 1024, 'w');
    std::atomic<int> written{-1};
    std::atomic<long> elapsed{-1};
    std::thread writer([&] {
        TWinSocketStream stream(Socket(), 20000);
        const auto start = Clock::now();
        written = stream.Write(data.data(), static_cast<int>(data.size()));
        elapsed = ElapsedMs(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client_.Close();
    writer.join();
    EXPECT_LT(written, static_cast<int>(data.size()));
    EXPECT_LT(elapsed, 5000);
}

TEST_F(StreamTest, AWaitingReadDoesNotHoldUpWriters) {
    std::thread reader([&] {
        TWinSocketStream stream(Socket(), 600);
        char buffer[4];
        stream.Read(buffer, sizeof buffer);  // nothing comes: waits for its timeout
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TWinSocketStream stream(Socket(), 5000);
    const auto start = Clock::now();
    EXPECT_EQ(stream.Write("ping", 4), 4);
    EXPECT_LT(ElapsedMs(start), 450);
    reader.join();
    EXPECT_EQ(test::RawReadAll(peer_, 4), "ping");
}

TEST_F(StreamTest, ConcurrentWritersEachWriteWholeBuffers) {
    // Every write is whole: bytes of two writes never interleave.
    constexpr int kWriters = 4;
    constexpr int kWrites = 50;
    constexpr int kSize = 20000;
    std::string received;
    std::thread reader(
        [&] { received = test::RawReadAll(peer_, std::size_t{kWriters} * kWrites * kSize); });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            const std::string block(kSize, static_cast<char>('a' + w));
            TWinSocketStream stream(Socket(), 5000);
            for (int i = 0; i < kWrites; ++i) {
                EXPECT_EQ(stream.Write(block.data(), kSize), kSize);
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    reader.join();
    ASSERT_EQ(received.size(), std::size_t{kWriters} * kWrites * kSize);
    int torn = 0;
    for (std::size_t at = 0; at < received.size(); at += kSize) {
        const std::string_view block = std::string_view(received).substr(at, kSize);
        torn += block.find_first_not_of(block[0]) == std::string_view::npos ? 0 : 1;
    }
    EXPECT_EQ(torn, 0);
}

// A nameless temporary file, removed when closed.
struct TTempFile {
    TTempFile() : file(std::tmpfile(), &std::fclose) {}
    int Fd() const { return ::fileno(file.get()); }
    std::string Contents() const {
        std::string all;
        char buffer[65536];
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(Fd(), buffer, sizeof buffer, at);
            if (n <= 0) {
                return all;
            }
            all.append(buffer, static_cast<std::size_t>(n));
            at += n;
        }
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file;
};

std::string RandomText(std::size_t size) {
    std::mt19937 random(3);
    std::string text(size, '\0');
    for (auto& c : text) {
        c = static_cast<char>(random());
    }
    return text;
}

TEST_F(StreamTest, FileBytesGoStraightBetweenFilesAndTheConnection) {
    const std::string content = RandomText(1 << 20);
    TTempFile source;
    ASSERT_EQ(::pwrite(source.Fd(), content.data(), content.size(), 0),
              static_cast<ssize_t>(content.size()));
    TWinSocketStream stream(Socket(), 5000);
    // A part of the file from an offset, whole.
    std::string got;
    std::thread reader([&] {
        char buffer[65536];
        while (got.size() < 300000) {
            const ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(stream.WriteFromFile(source.Fd(), 1000, 300000), 300000);
    reader.join();
    EXPECT_TRUE(got == content.substr(1000, 300000));
    // A file that ends before is not a connection failure.
    EXPECT_THROW(stream.WriteFromFile(source.Fd(), (1 << 20) - 10, 100), std::system_error);

    // The other way: what the peer sends lands in a file, read by read, then 0 at its close.
    TTempFile target;
    PeerSend(content.substr(0, 200000));
    ::shutdown(peer_, SHUT_WR);
    std::size_t total = 0;
    for (int n; (n = stream.ReadToFile(target.Fd(), 1 << 20)) > 0;) {
        total += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(total, 200000u);
    EXPECT_TRUE(target.Contents() == content.substr(0, 200000));
}

TEST_F(StreamTest, WriteFromFileToAResetPeerRaisesAndNoSigPipe) {
    TTempFile source;
    ASSERT_EQ(::ftruncate(source.Fd(), 4 << 20), 0);
    TWinSocketStream stream(Socket(), 5000);
    test::RawReset(peer_);
    peer_ = -1;
    bool raised = false;
    for (int i = 0; i < 10 && !raised; ++i) {
        try {
            stream.WriteFromFile(source.Fd(), 0, 4 << 20);
        } catch (const ESocketError& e) {
            raised = true;
            EXPECT_EQ(std::string(e.what()).rfind("Write エラー ", 0), 0u) << e.what();
        }
    }
    EXPECT_TRUE(raised);
}

TEST_F(StreamTest, WriteFromFileToAPeerThatDoesNotReadReturnsAShortCountAfterTheTimeout) {
    TTempFile source;
    ASSERT_EQ(::ftruncate(source.Fd(), 64 << 20), 0);
    TWinSocketStream stream(Socket(), 200);
    const auto start = Clock::now();
    EXPECT_LT(stream.WriteFromFile(source.Fd(), 0, 64 << 20), 64 << 20);
    EXPECT_GE(ElapsedMs(start), 150);
    EXPECT_TRUE(Socket().Connected());
}

}  // namespace
}  // namespace vox
