// The main window keeps answering whatever the network does: with one partner that stopped
// reading and a call under way to a host that never answers, the event loop never stalls
// while the user types chat lines, the lines reach a healthy partner, and Cancel in the
// connect dialog ends the call at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "MainFormTestSupport.h"
#include "net/NetTestUtil.h"
#include "platform/Cp932.h"
#include "ui/ConnectForm.h"
#include "wire/Packet.h"

namespace vox::testing {
namespace {

[[maybe_unused]] ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

using Clock = std::chrono::steady_clock;

// What the test fails on: a window that waits on the network stalls for whole seconds (a
// socket wait is 5000 ms, the silent host never answers), which these bounds catch. The goals
// themselves (100 ms, 200 ms) are the measured line's to show: on a machine loaded by other
// builds the scheduler alone can keep the window's thread off a core for longer than that.
constexpr long kMaxEventLoopGapMs = 1000;
constexpr long kMaxCancelMs = 1000;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A listening socket on address:port (port 0: any), with the given backlog and, for the
// connections it accepts, the given receive buffer (0: the system's).
int Listen(const char* address, int port, int backlog, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int PortOf(int fd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

// Reads exactly count bytes, or fewer when the peer ends or the stop flag is set.
bool ReadFull(int fd, std::uint8_t* out, std::size_t count, const std::atomic<bool>& stop) {
    std::size_t have = 0;
    while (have < count) {
        pollfd entry{fd, POLLIN, 0};
        if (stop.load()) {
            return false;
        }
        if (::poll(&entry, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, out + have, count - have, 0);
        if (n <= 0) {
            return false;
        }
        have += static_cast<std::size_t>(n);
    }
    return true;
}

// A called partner played on a thread of its own: it accepts one call, reads the caller's
// pcConnect, accepts it and then either reads every packet (keeping the text lines) or stops
// reading altogether.
class TCallee {
  public:
    TCallee(int listenFd, bool reads) : FListen(listenFd), FReads(reads) {
        FThread = std::thread([this] { Run(); });
    }
    ~TCallee() {
        FStop.store(true);
        FThread.join();
        if (FConnection >= 0) {
            ::close(FConnection);
        }
        ::close(FListen);
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(FMutex);
        return FLines;
    }
    std::size_t LineCount() {
        std::lock_guard lock(FMutex);
        return FLines.size();
    }

  private:
    void Run() {
        // As an older copy of the program: a connection that does not start with the magic
        // (a TLS hello) is closed, and the caller calls again in the clear.
        for (;;) {
            pollfd entry{FListen, POLLIN, 0};
            while (!FStop.load() && ::poll(&entry, 1, 50) <= 0) {
            }
            if (FStop.load()) {
                return;
            }
            FConnection = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (FConnection < 0) {
                return;
            }
            if (ReadPacket(nullptr)) {
                break;
            }
            if (FStop.load()) {
                return;
            }
            ::close(FConnection);
            FConnection = -1;
        }
        const Packet reply = BuildConnectReply(rcAccepted, "");
        ::send(FConnection, reply.data(), reply.size(), MSG_NOSIGNAL);
        if (!FReads) {
            return;  // the connection stays open and unread until the test ends
        }
        Packet packet;
        while (ReadPacket(&packet)) {
            if (packet[13] == pcText) {
                const TextPacket text =
                    ParseTextPacket(ByteSpan(packet).subspan(kPacketHeaderSize));
                std::lock_guard lock(FMutex);
                FLines.push_back(Cp932ToUtf8(text.Text));
            }
        }
    }
    bool ReadPacket(Packet* packet) {
        Packet bytes(kPacketHeaderSize);
        if (!ReadFull(FConnection, bytes.data(), bytes.size(), FStop) || !CheckMagic(bytes)) {
            return false;
        }
        bytes.resize(ReadPacketHeader(bytes).TotalLength);
        if (!ReadFull(FConnection, bytes.data() + kPacketHeaderSize,
                      bytes.size() - kPacketHeaderSize, FStop)) {
            return false;
        }
        if (packet != nullptr) {
            *packet = std::move(bytes);
        }
        return true;
    }

    const int FListen;
    const bool FReads;
    int FConnection = -1;
    std::atomic<bool> FStop{false};
    std::mutex FMutex;
    std::vector<std::string> FLines;
    std::thread FThread;
};

// Ticks of the event loop: the longest time between two of them is how long the window did
// not answer.
class TTickWatch {
  public:
    TTickWatch() {
        FTimer.setTimerType(Qt::PreciseTimer);
        FTimer.setInterval(1);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            FMaxGap = std::max(FMaxGap, now - FLast);
            FLast = now;
            ++FTicks;
        });
    }
    void Start() {
        FLast = Clock::now();
        FMaxGap = {};
        FTicks = 0;
        FTimer.start();
    }
    void Stop() {
        FTimer.stop();
        FMaxGap = std::max(FMaxGap, Clock::now() - FLast);
    }
    long MaxGapMs() const {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(FMaxGap).count());
    }
    int Ticks() const { return FTicks; }

  private:
    QTimer FTimer;
    Clock::time_point FLast;
    Clock::duration FMaxGap{};
    int FTicks = 0;
};

// A line as long as a text packet carries, numbered.
std::string LongLine(int number) {
    std::string line = "long " + std::to_string(number) + " ";
    line.resize(kMaxFieldLength - 1, 'x');
    return line;
}

class ResponsivenessTest : public ::testing::Test {
  protected:
    ResponsivenessTest() { TestApp(); }

    void SetUp() override {
        // The three partners share the conversation port, each on an address of its own.
        const int healthyFd = Listen("127.0.0.2", 0, 5);
        ASSERT_GE(healthyFd, 0);
        port = PortOf(healthyFd);
        const int stalledFd = Listen("127.0.0.3", port, 5, 4096);
        silentFd = Listen("127.0.0.4", port, 0);
        ASSERT_GE(stalledFd, 0);
        ASSERT_GE(silentFd, 0);
        healthy = std::make_unique<TCallee>(healthyFd, true);
        stalled = std::make_unique<TCallee>(stalledFd, false);
        // The silent partner's accept queue is full: further calls get no answer at all.
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.4", &addr.sin_addr);
        ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

        TMainFormEnv env;
        env.IniFileName = WriteIni(dir, "Voxilen.Ini",
                                   "[Global]\r\nConversationPort=" + std::to_string(port) +
                                       "\r\nTransferPort=1\r\nServerListen=0\r\n[Personal]\r\n"
                                       "MyName=" +
                                       Utf8ToCp932("わたし") + "\r\n");
        // A write waits long: the partner that stopped reading stays stalled for the whole
        // test, and no queue bound drops it meanwhile.
        env.Timeouts = TestTimeouts();
        env.Timeouts.SocketTimeoutMs = 30000;
        env.Timeouts.SendQueueBytes = 64u << 20;
        env.ErrorBox = [this](const QString& text) { errors.push_back(text); };
        env.MessageBox = [](const QString&) {};
        env.Beep = [] {};
        window = std::make_unique<TMainForm>(std::move(env));
        window->show();
    }

    void TearDown() override {
        window.reset();
        if (filler >= 0) {
            ::close(filler);
        }
        if (silentFd >= 0) {
            ::close(silentFd);
        }
        stalled.reset();
        healthy.reset();
    }

    template <class T>
    T* Find(QObject* parent, const char* name) const {
        T* found = parent->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QListWidget* Members() const { return Find<QListWidget>(window.get(), "ListBox1"); }
    QLineEdit* ChatField() const { return Find<QLineEdit>(window.get(), "Edit1"); }

    // Picks "接続" and, once the connect dialog is up, runs fn on it; returns when the dialog
    // has closed.
    void WithConnectDialog(const std::function<void(TConnectForm*)>& fn) {
        bool ran = false;
        QTimer timer;
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<TConnectForm*>(QApplication::activeModalWidget());
            if (dialog == nullptr || ran) {
                return;
            }
            ran = true;
            timer.stop();
            fn(dialog);
        });
        timer.start();
        Find<QAction>(window.get(), "ClientConnect")->trigger();
        ASSERT_TRUE(WaitFor([&] { return ran && QApplication::activeModalWidget() == nullptr; }));
    }
    void Fill(TConnectForm* dialog, const char* partner, const char* address) {
        Find<QComboBox>(dialog, "PartnerComboBox")->setEditText(QString::fromLatin1(partner));
        Find<QLineEdit>(dialog, "AddressEdit")->setText(QString::fromLatin1(address));
    }
    void Call(const char* partner, const char* address) {
        WithConnectDialog([&](TConnectForm* dialog) {
            Fill(dialog, partner, address);
            Find<QPushButton>(dialog, "OKBitBtn")->click();
        });
    }
    void Type(const QString& line) {
        ChatField()->setFocus();
        CommitText(ChatField(), line);
        QTest::keyClick(ChatField(), Qt::Key_Return);
    }

    test::TScratchDir dir;
    int port = 0;
    int silentFd = -1;
    int filler = -1;
    std::unique_ptr<TCallee> healthy;
    std::unique_ptr<TCallee> stalled;
    std::unique_ptr<TMainForm> window;
    std::vector<QString> errors;
};

TEST_F(ResponsivenessTest, TheWindowAnswersWhileOnePartnerStallsAndACallGetsNoAnswer) {
    Call("healthy", "127.0.0.2");
    ASSERT_TRUE(WaitFor([&] { return Members()->count() == 1; }));
    Call("stalled", "127.0.0.3");
    ASSERT_TRUE(WaitFor([&] { return Members()->count() == 2; }));

    constexpr int kLongLines = 120;
    long maxGapMs = -1;
    int ticks = 0;
    long cancelMs = -1;
    std::size_t callsBefore = 0;
    std::size_t callsAfter = 0;
    int typed = 0;
    WithConnectDialog([&](TConnectForm* dialog) {
        Fill(dialog, "silent", "127.0.0.4");
        TTickWatch watch;
        watch.Start();
        Find<QPushButton>(dialog, "OKBitBtn")->click();
        EXPECT_TRUE(dialog->Calling());
        EXPECT_EQ(Find<QLabel>(dialog, "StatusLabel")->text(), QStringLiteral("接続中…"));

        // The partner that does not read is sent far more than its socket buffers take, the
        // longest lines there are, from the window's thread: from here on each write to it
        // waits. (Sent to the core directly: typing lines this long costs the window time of
        // its own, which is not what is measured.)
        for (int i = 0; i < kLongLines; ++i) {
            window->Core().SendText(LongLine(i));
            QTest::qWait(1);
        }

        // A few seconds of typing while the call waits and the stalled partner holds its
        // writer.
        const auto typing = Clock::now();
        while (MsSince(typing) < 3000) {
            Type(QStringLiteral("行 %1").arg(typed++));
            QTest::qWait(40);
        }
        watch.Stop();
        maxGapMs = watch.MaxGapMs();
        ticks = watch.Ticks();
        EXPECT_TRUE(dialog->Calling()) << "nobody answered, so the call is still under way";
        EXPECT_EQ(test::PendingConnects(port, "127.0.0.4"), 1);
        EXPECT_EQ(Members()->count(), 2) << "the stalled partner is still there";

        callsBefore = window->Core().CallThreadCount();
        const auto cancelled = Clock::now();
        Find<QPushButton>(dialog, "CancelBitBtn")->click();
        ASSERT_TRUE(WaitFor([&] {
            return window->Core().CallThreadCount() < callsBefore &&
                   test::PendingConnects(port, "127.0.0.4") == 0;
        }));
        cancelMs = MsSince(cancelled);
        callsAfter = window->Core().CallThreadCount();
    });

    std::printf("[ measured ] longest event-loop gap %ld ms over %d ticks; cancel took %ld ms\n",
                maxGapMs, ticks, cancelMs);
    EXPECT_LT(maxGapMs, kMaxEventLoopGapMs)
        << "the longest the window did not answer, over " << ticks << " ticks of its event loop";
    EXPECT_GT(ticks, 10);
    EXPECT_LT(cancelMs, kMaxCancelMs);
    EXPECT_EQ(callsAfter + 1, callsBefore);
    EXPECT_TRUE(errors.empty()) << errors.front().toStdString();

    // Every line reached the healthy partner, in order.
    ASSERT_TRUE(WaitFor(
        [&] { return healthy->LineCount() == static_cast<std::size_t>(kLongLines + typed); },
        20000))
        << healthy->LineCount() << " of " << kLongLines + typed;
    const std::vector<std::string> lines = healthy->Lines();
    for (int i = 0; i < kLongLines; ++i) {
        EXPECT_EQ(lines[i], LongLine(i)) << i;
    }
    for (int i = 0; i < typed; ++i) {
        EXPECT_EQ(lines[kLongLines + i], "行 " + std::to_string(i));
    }
}

}  // namespace
}  // namespace vox::testing
