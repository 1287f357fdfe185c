// Two copies of the program, each in a network namespace of its own, joined by a veth pair that
// carries IPv6 only: calls both ways over a global IPv6 address, with chat, voice and a file.
// The namespaces are named with this process's id and removed at the end, also on failure;
// without root the test is skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "session/Session.h"
#include "support/ConversationTestSupport.h"
#include "support/FileAudioDevice.h"
#include "support/TransferTestSupport.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"

namespace vox::testing {
namespace {

constexpr const char* kAddressA = "2001:db8:6::1";
constexpr const char* kAddressB = "2001:db8:6::2";

bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Moves the calling thread into a network namespace while it lives; threads started meanwhile
// (listeners, dialers, connection threads) and the sockets made stay in it.
class TInNamespace {
  public:
    explicit TInNamespace(int fd) : home_(::open("/proc/thread-self/ns/net", O_RDONLY)) {
        ok_ = home_ >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    }
    ~TInNamespace() {
        if (home_ >= 0) {
            ::setns(home_, CLONE_NEWNET);
            ::close(home_);
        }
    }
    TInNamespace(const TInNamespace&) = delete;
    TInNamespace& operator=(const TInNamespace&) = delete;
    bool Ok() const { return ok_; }

  private:
    int home_;
    bool ok_ = false;
};

std::vector<std::uint8_t> Pcm(std::size_t size) {
    std::vector<std::uint8_t> pcm(size);
    for (std::size_t i = 0; i < size; ++i) {
        pcm[i] = static_cast<std::uint8_t>(128 + (i % 40) - 20);
    }
    return pcm;
}

struct TCopy {
    TFakeUi Ui;
    TFileAudioInput* Input = nullptr;
    TFileAudioOutput* Output = nullptr;
    std::unique_ptr<TSession> Session;

    explicit TCopy(std::vector<std::uint8_t> said) {
        TSessionOptions options;
        options.Timeouts = FastTimeouts();
        options.PortMap.UseUpnp = false;
        options.PortMap.UseNatPmp = false;
        options.PortMap.WatchAddresses = false;
        auto audio = std::make_unique<TFileAudioBackend>();
        audio->MakeInputDevice = [this, said = std::move(said)] {
            auto device = std::make_unique<TFileAudioInput>(said, 0.0);
            Input = device.get();
            return device;
        };
        audio->MakeOutputDevice = [this] {
            auto device = std::make_unique<TFileAudioOutput>(0.0);
            Output = device.get();
            return device;
        };
        options.Audio = std::move(audio);
        Session = std::make_unique<TSession>(Ui, std::move(options));
        Session->Start();
    }
};

class Ipv6NamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "network namespaces need root";
        }
        const std::string pid = std::to_string(::getpid());
        nsA = "vx6a" + pid;
        nsB = "vx6b" + pid;
        made = Shell("ip netns add " + nsA) && Shell("ip netns add " + nsB);
        ASSERT_TRUE(made);
        const std::string inA = "ip netns exec " + nsA + " ";
        const std::string inB = "ip netns exec " + nsB + " ";
        ASSERT_TRUE(Shell(inA + "ip link add va type veth peer name vb netns " + nsB));
        ASSERT_TRUE(Shell(inA + "ip link set lo up") && Shell(inB + "ip link set lo up"));
        ASSERT_TRUE(Shell(inA + "ip -6 addr add " + kAddressA + "/64 dev va nodad") &&
                    Shell(inB + "ip -6 addr add " + kAddressB + "/64 dev vb nodad"));
        ASSERT_TRUE(Shell(inA + "ip link set va up") && Shell(inB + "ip link set vb up"));
        fdA = ::open(("/run/netns/" + nsA).c_str(), O_RDONLY);
        fdB = ::open(("/run/netns/" + nsB).c_str(), O_RDONLY);
        ASSERT_GE(fdA, 0);
        ASSERT_GE(fdB, 0);
    }
    void TearDown() override {
        // The copies end before their namespaces go.
        a.reset();
        b.reset();
        for (const int fd : {fdA, fdB}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        if (!nsA.empty()) {
            Shell("ip netns del " + nsA);
            Shell("ip netns del " + nsB);
        }
    }
    // Runs the window-thread calls of both copies until pred holds.
    bool PumpBoth(const std::function<bool()>& pred, int timeoutMs = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            a->Session->Sync().CheckSynchronize(2);
            b->Session->Sync().CheckSynchronize(2);
        }
        return true;
    }

    std::string nsA;
    std::string nsB;
    bool made = false;
    int fdA = -1;
    int fdB = -1;
    std::unique_ptr<TCopy> a;
    std::unique_ptr<TCopy> b;
};

TEST_F(Ipv6NamespaceTest, CallsBothWaysCarryChatVoiceAndAFile) {
    const std::vector<std::uint8_t> said = Pcm(kVoiceBlockSize);
    {
        TInNamespace in(fdA);
        ASSERT_TRUE(in.Ok());
        a = std::make_unique<TCopy>(said);
        a->Session->Core().StartListening(0);
    }
    {
        TInNamespace in(fdB);
        ASSERT_TRUE(in.Ok());
        b = std::make_unique<TCopy>(said);
        b->Session->Core().StartListening(0);
    }
    struct TWay {
        TCopy* Caller;
        int CallerFd;
        TCopy* Callee;
        int CalleeFd;
        std::string CalleeAddress;
        std::string CallerAddress;
    };
    for (const TWay& way : {TWay{a.get(), fdA, b.get(), fdB, kAddressB, kAddressA},
                            TWay{b.get(), fdB, a.get(), fdA, kAddressA, kAddressB}}) {
        SCOPED_TRACE("calling " + way.CalleeAddress);
        TCopy& caller = *way.Caller;
        TCopy& callee = *way.Callee;
        {
            TInNamespace in(way.CallerFd);
            TCallRequest request;
            request.Address = way.CalleeAddress;
            request.Port = callee.Session->Core().ListeningPort();
            request.MyName = "caller";
            request.PartnerName = "callee";
            caller.Session->Core().Call(request);
        }
        ASSERT_TRUE(PumpBoth([&] {
            return caller.Ui.Members.size() == 1 && callee.Ui.Members.size() == 1;
        })) << caller.Ui.AllLogs()
            << callee.Ui.AllLogs();
        ASSERT_EQ(callee.Ui.Calls.size(), 1u);
        EXPECT_EQ(callee.Ui.Calls[0].Address, way.CallerAddress);
        EXPECT_TRUE(callee.Ui.HasLog(way.CallerAddress + " から接続要求を受け付けました。"))
            << callee.Ui.AllLogs();

        // Chat both ways.
        caller.Session->Core().SendText(Sj("こんにちは"));
        callee.Session->Core().SendText(Sj("やあ"));
        ASSERT_TRUE(
            PumpBoth([&] { return callee.Ui.Chat.size() == 1 && caller.Ui.Chat.size() == 1; }));
        EXPECT_NE(callee.Ui.Chat[0].find("こんにちは"), std::string::npos);
        EXPECT_NE(caller.Ui.Chat[0].find("やあ"), std::string::npos);

        // Voice: what the caller's microphone hears is played at the callee.
        const std::size_t before = callee.Output != nullptr ? callee.Output->Heard().size() : 0;
        caller.Session->StartTalking();
        ASSERT_TRUE(caller.Input->WaitExhausted(10000));
        caller.Session->StopTalking();
        ASSERT_TRUE(PumpBoth([&] {
            return callee.Output != nullptr &&
                   callee.Output->Heard().size() >= before + said.size();
        }));

        // A file over the data connection, from caller to callee: the receiving end listens
        // in its namespace and knows its partner by the IPv6 address.
        test::TScratchDir dir;
        const std::string data = test::RandomBytes(300000, 7);
        const std::string source = dir.File("source.bin");
        const std::string target = dir.File("received.bin");
        test::WriteFileBytes(source, data);
        const auto size = static_cast<std::int64_t>(data.size());
        test::TFakeView recvView;
        test::TFakeView sendView;
        TSynchronizer sync;
        std::unique_ptr<TTransferDataServer> server;
        {
            TInNamespace in(way.CalleeFd);
            server = std::make_unique<TTransferDataServer>(
                recvView, &sync,
                TTransferJob{way.CallerAddress, 0, target, size, test::FastOptions()});
            server->Open();
        }
        std::unique_ptr<TTransferDataClient> client;
        {
            TInNamespace in(way.CallerFd);
            client = std::make_unique<TTransferDataClient>(
                sendView, &sync,
                TTransferJob{way.CalleeAddress, server->LocalPort(), source, size,
                             test::FastOptions()});
            client->Open();
        }
        ASSERT_TRUE(PumpUntil(
            sync, [&] { return recvView.Ended > 0 && sendView.Ended > 0; }, 60000));
        client->Stop();
        server->Close();
        EXPECT_EQ(test::ReadFileBytes(target), data);

        caller.Session->Core().DisconnectAll();
        ASSERT_TRUE(
            PumpBoth([&] { return caller.Ui.Members.empty() && callee.Ui.Members.empty(); }));
        caller.Ui.Chat.clear();
        callee.Ui.Chat.clear();
        callee.Ui.Calls.clear();
    }
}

}  // namespace
}  // namespace vox::testing
