#include "net/Tls.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "net/ClientSocket.h"
#include "net/NetTestUtil.h"
#include "net/ServerSocket.h"
#include "net/WinSocketStream.h"

namespace vox {
namespace {

// Serves each accepted connection with body.
class TBodyThread : public TServerClientThread {
  public:
    using TBody = std::function<void(TCustomWinSocket&)>;
    explicit TBodyThread(TBody body) : body_(std::move(body)) {}
    ~TBodyThread() override {
        Terminate();
        CloseConnection();
        WaitFor();
    }

  protected:
    void ClientExecute() override { body_(*ClientSocket()); }

  private:
    TBody body_;
};

std::string RandomBytes(std::size_t size) {
    std::mt19937 random(7);
    std::string text(size, '\0');
    for (char& c : text) {
        c = static_cast<char>(random());
    }
    return text;
}

// A scratch folder removed with everything in it.
struct TScratch {
    std::string path;
    TScratch() {
        char name[] = "/tmp/vox-tls-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TScratch() { std::system(("rm -rf '" + path + "'").c_str()); }
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;
};

class TlsTest : public ::testing::Test {
  protected:
    // Listens on loopback and serves each connection with body.
    void Listen(TBodyThread::TBody body) {
        server_.SetBindAddress("127.0.0.1");
        server_.SetPort(0);
        server_.SetThreadCacheSize(0);
        server_.OnGetThread = [body](TServerSocket&, TCustomWinSocket&) {
            return std::make_unique<TBodyThread>(body);
        };
        server_.Open();
    }
    void Connect() {
        client_.SetAddress("127.0.0.1");
        client_.SetPort(server_.LocalPort());
        client_.Open();
    }
    void TearDown() override {
        client_.Socket().Close();
        server_.Close();
    }

    std::shared_ptr<TTlsIdentity> clientId_ = TTlsIdentity::Generate();
    std::shared_ptr<TTlsIdentity> serverId_ = TTlsIdentity::Generate();
    TServerSocket server_;
    TClientSocket client_;
};

TEST(TlsDetect, FirstBytesTellATlsRecordFromTheMagic) {
    const std::uint8_t hello[] = {0x16, 0x03, 0x01, 0x02};
    const std::uint8_t magic[] = {'V', 'O', 'X'};
    const std::uint8_t alert[] = {0x15, 0x03};
    const std::uint8_t ssl2[] = {0x16, 0x02};
    EXPECT_TRUE(LooksLikeTls(hello, 2));
    EXPECT_TRUE(LooksLikeTls(hello, sizeof hello));
    EXPECT_FALSE(LooksLikeTls(hello, 1));  // too few to tell
    EXPECT_FALSE(LooksLikeTls(hello, 0));
    EXPECT_FALSE(LooksLikeTls(magic, sizeof magic));
    EXPECT_FALSE(LooksLikeTls(alert, sizeof alert));
    EXPECT_FALSE(LooksLikeTls(ssl2, sizeof ssl2));
    EXPECT_EQ(GroupedFingerprint("ABCDEF0123"), "ABCD EF01 23");
}

TEST_F(TlsTest, BothEndsSeeEachOthersCertificateAndTheSameCheckString) {
    std::promise<std::string> serverSaw;
    std::promise<std::string> serverCheck;
    const std::string data = RandomBytes(3 << 20);
    Listen([&](TCustomWinSocket& socket) {
        TWinSocketStream stream(socket, 5000);
        std::uint8_t first[kTlsDetectBytes] = {};
        ASSERT_EQ(stream.Peek(first, sizeof first), kTlsDetectBytes);
        ASSERT_TRUE(LooksLikeTls(first, sizeof first));
        ASSERT_EQ(socket.StartTls(*serverId_, true, 5000), TTlsOutcome::Established);
        serverSaw.set_value(socket.PeerFingerprint());
        serverCheck.set_value(socket.CheckString());
        // Echoes everything back, as reads come.
        std::string buffer(100000, '\0');
        while (stream.WaitForData(5000)) {
            const int n = stream.Read(buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0 || stream.Write(buffer.data(), n) != n) {
                break;
            }
        }
    });
    Connect();
    TCustomWinSocket& socket = client_.Socket();
    EXPECT_FALSE(socket.Encrypted());
    ASSERT_EQ(socket.StartTls(*clientId_, false, 5000), TTlsOutcome::Established);
    EXPECT_TRUE(socket.Encrypted());
    EXPECT_EQ(socket.PeerFingerprint(), serverId_->Fingerprint());
    EXPECT_EQ(serverSaw.get_future().get(), clientId_->Fingerprint());
    const std::string check = socket.CheckString();
    EXPECT_EQ(check.size(), 4u);
    EXPECT_EQ(serverCheck.get_future().get(), check);
    EXPECT_EQ(clientId_->Fingerprint().size(), 64u);
    EXPECT_NE(clientId_->Fingerprint(), serverId_->Fingerprint());

    // A large write, written while the echo comes back on another thread.
    TWinSocketStream stream(socket, 5000);
    std::string echoed;
    std::thread reader([&] {
        std::string buffer(65536, '\0');
        while (echoed.size() < data.size() && stream.WaitForData(5000)) {
            const int n = stream.Read(buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) {
                break;
            }
            echoed.append(buffer.data(), static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(stream.Write(data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    reader.join();
    EXPECT_TRUE(echoed == data);
    // Nothing more comes: a wait times out, and a close on this side wakes it at once.
    EXPECT_FALSE(stream.WaitForData(50));
}

TEST_F(TlsTest, APeerThatClosesOnTheHelloOrNeverAnswersEndsTheHandshake) {
    // A copy that knows no TLS reads a packet header's worth, finds no magic and closes.
    Listen([](TCustomWinSocket& socket) {
        TWinSocketStream stream(socket, 5000);
        char header[16];
        stream.Read(header, sizeof header);
        socket.Close();
    });
    Connect();
    EXPECT_EQ(client_.Socket().StartTls(*clientId_, false, 5000), TTlsOutcome::PeerClosed);
    EXPECT_FALSE(client_.Socket().Encrypted());

    // Silence until the time passes.
    test::TRawListener silent;
    TClientSocket quiet;
    quiet.SetAddress("127.0.0.1");
    quiet.SetPort(silent.Port());
    quiet.Open();
    const int peer = silent.Accept();
    EXPECT_EQ(quiet.Socket().StartTls(*clientId_, false, 100), TTlsOutcome::TimedOut);
    // A peer that answers with anything but TLS.
    TClientSocket other;
    other.SetAddress("127.0.0.1");
    other.SetPort(silent.Port());
    other.Open();
    const int peer2 = silent.Accept();
    ASSERT_EQ(::send(peer2, "VOXILEN\0garbage-garbage-garbage", 31, MSG_NOSIGNAL), 31);
    EXPECT_EQ(other.Socket().StartTls(*clientId_, false, 5000), TTlsOutcome::Failed);
    ::close(peer);
    ::close(peer2);
}

TEST_F(TlsTest, FileBytesGoThroughTheSessionBothWays) {
    const std::string content = RandomBytes(700000);
    TScratch scratch;
    const std::string source = scratch.path + "/source";
    std::ofstream(source, std::ios::binary) << content;
    std::promise<std::string> received;
    Listen([&](TCustomWinSocket& socket) {
        ASSERT_EQ(socket.StartTls(*serverId_, true, 5000), TTlsOutcome::Established);
        TWinSocketStream stream(socket, 5000);
        const std::string target = scratch.path + "/target";
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::size_t total = 0;
        while (total < 500000) {
            const int n = stream.ReadToFile(fd, 500000 - static_cast<int>(total));
            if (n <= 0) {
                break;
            }
            total += static_cast<std::size_t>(n);
        }
        ::close(fd);
        std::ifstream in(target, std::ios::binary);
        received.set_value(std::string(std::istreambuf_iterator<char>(in), {}));
    });
    Connect();
    ASSERT_EQ(client_.Socket().StartTls(*clientId_, false, 5000), TTlsOutcome::Established);
    TWinSocketStream stream(client_.Socket(), 5000);
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(stream.WriteFromFile(fd, 1000, 500000), 500000);
    EXPECT_TRUE(received.get_future().get() == content.substr(1000, 500000));
    EXPECT_THROW(stream.WriteFromFile(fd, 699990, 100), std::system_error);
    ::close(fd);
}

// Records are gathered and sent in large pieces; whatever a write reports as written reaches
// the partner, also when the connection was full and the rest went out while waiting to read.
TEST_F(TlsTest, WrittenBytesReachThePartnerAlsoAfterTheConnectionWasFull) {
    const std::string data = RandomBytes(std::size_t{48} << 20);
    std::promise<std::size_t> writtenTotal;
    std::promise<std::string> received;
    Listen([&](TCustomWinSocket& socket) {
        ASSERT_EQ(socket.StartTls(*serverId_, true, 5000), TTlsOutcome::Established);
        const std::size_t total = writtenTotal.get_future().get();
        TWinSocketStream stream(socket, 5000);
        std::string got;
        std::vector<char> buffer(1 << 20);
        while (got.size() < total) {
            const int n = stream.Read(buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) {
                break;
            }
            got.append(buffer.data(), static_cast<std::size_t>(n));
        }
        stream.Write("k", 1);
        received.set_value(std::move(got));
    });
    Connect();
    ASSERT_EQ(client_.Socket().StartTls(*clientId_, false, 5000), TTlsOutcome::Established);
    // Nobody reads yet: writes are cut short once the connection and the gathered records
    // are full.
    TWinSocketStream stream(client_.Socket(), 300);
    std::size_t written = 0;
    for (;;) {
        const int want = static_cast<int>(std::min<std::size_t>(1 << 20, data.size() - written));
        ASSERT_GT(want, 0) << "the connection never filled";
        const int n = stream.Write(data.data() + written, want);
        written += static_cast<std::size_t>(n);
        if (n < want) {
            break;
        }
    }
    writtenTotal.set_value(written);
    // Waiting for the answer sends what was still gathered.
    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) {
        answered = stream.WaitForData(200);
    }
    ASSERT_TRUE(answered);
    const std::string got = received.get_future().get();
    EXPECT_EQ(got.size(), written);
    EXPECT_TRUE(got == data.substr(0, written));
}

// The session takes in whatever has arrived at once; a wait must find every record taken in
// that way without asking the socket, which has nothing more to say.
TEST_F(TlsTest, RecordsThatArrivedTogetherAreReadWithoutWaitingForTheSocket) {
    const std::string large = RandomBytes(std::size_t{64} << 10);
    std::string expected = large;
    for (int i = 0; i < 200; ++i) {
        expected += "line " + std::to_string(i) + "\n";
    }
    std::promise<void> allSent;
    std::promise<std::string> received;
    Listen([&](TCustomWinSocket& socket) {
        ASSERT_EQ(socket.StartTls(*serverId_, true, 5000), TTlsOutcome::Established);
        allSent.get_future().get();
        TWinSocketStream stream(socket, 5000);
        std::string got;
        char buffer[4096];
        while (got.size() < expected.size() && stream.WaitForData(0)) {
            const int n = stream.Read(buffer, static_cast<int>(sizeof buffer));
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        const bool more = stream.WaitForData(0);
        received.set_value(more ? "more than was sent" : got);
    });
    Connect();
    ASSERT_EQ(client_.Socket().StartTls(*clientId_, false, 5000), TTlsOutcome::Established);
    TWinSocketStream stream(client_.Socket(), 5000);
    // One large write, then many small ones, each its own record and flushed on its own.
    ASSERT_EQ(stream.Write(large.data(), static_cast<int>(large.size())),
              static_cast<int>(large.size()));
    for (std::size_t at = large.size(); at < expected.size();) {
        const std::size_t end = expected.find('\n', at) + 1;
        ASSERT_EQ(stream.Write(expected.data() + at, static_cast<int>(end - at)),
                  static_cast<int>(end - at));
        at = end;
    }
    // Everything is in the partner's socket before it starts to read.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    allSent.set_value();
    const std::string got = received.get_future().get();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST(TlsIdentity, MadeOnceWithPrivateFilesAndReadBackTheSame) {
    TScratch scratch;
    const std::string key = scratch.path + "/own.key";
    const std::string cert = scratch.path + "/own.crt";
    const auto made = TTlsIdentity::LoadOrCreate(key, cert);
    struct stat info {};
    ASSERT_EQ(::stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(cert.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(TTlsIdentity::LoadOrCreate(key, cert)->Fingerprint(), made->Fingerprint());

    // Another pair's certificate beside this key is refused, as is a broken key file.
    const std::string otherKey = scratch.path + "/other.key";
    const std::string otherCert = scratch.path + "/other.crt";
    TTlsIdentity::LoadOrCreate(otherKey, otherCert);
    EXPECT_THROW(TTlsIdentity::LoadOrCreate(key, otherCert), std::runtime_error);
    std::ofstream(otherKey) << "not a key";
    EXPECT_THROW(TTlsIdentity::LoadOrCreate(otherKey, otherCert), std::runtime_error);
}

}  // namespace
}  // namespace vox
