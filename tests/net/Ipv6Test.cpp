// Both address families: the dual-stack listener, calls over IPv6, and a host whose IPv6
// address goes nowhere while its IPv4 one answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "net/ClientSocket.h"
#include "net/NamespaceTestUtil.h"
#include "net/NetTestUtil.h"
#include "net/ServerSocket.h"
#include "net/SocketError.h"

namespace vox {
namespace {

using Clock = std::chrono::steady_clock;

// A listener on every address that notes each caller's address.
class DualStackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.OnAccept = [this](TServerSocket&, TCustomWinSocket& socket) {
            std::lock_guard lock(mutex_);
            callers_.push_back(socket.RemoteAddress());
        };
        server_.Open();
    }
    std::vector<std::string> Callers() {
        std::lock_guard lock(mutex_);
        return callers_;
    }
    std::string Dial(const std::string& address) {
        TClientSocket client(5000);
        client.SetAddress(address);
        client.SetPort(server_.LocalPort());
        client.Open();
        return client.Socket().RemoteAddress();
    }

    std::mutex mutex_;
    std::vector<std::string> callers_;
    TServerSocket server_;
};

TEST_F(DualStackTest, OneListenerTakesBothFamiliesAndShowsIpv4CallersDotted) {
    EXPECT_EQ(Dial("::1"), "::1");
    ASSERT_TRUE(test::Eventually([&] { return Callers().size() == 1; }));
    EXPECT_EQ(Dial("127.0.0.1"), "127.0.0.1");
    ASSERT_TRUE(test::Eventually([&] { return Callers().size() == 2; }));
    // An IPv4 caller arrives IPv4-mapped on the dual-stack socket and reads as plain IPv4.
    EXPECT_EQ(Callers(), (std::vector<std::string>{"::1", "127.0.0.1"}));
}

TEST_F(DualStackTest, AnAddressThatRefusesHandsOverToTheNextAtOnce) {
    // Nothing listens on the IPv6 side of this port: the refusal starts the IPv4 attempt
    // without waiting for the attempt delay (an hour here).
    test::TRawListener ipv4Only;
    TCustomWinSocket socket;
    socket.ConnectFirst({"::1", "127.0.0.1"}, ipv4Only.Port(), 5000, 3600000);
    EXPECT_EQ(socket.RemoteAddress(), "127.0.0.1");
    EXPECT_EQ(socket.RemotePort(), ipv4Only.Port());
}

TEST(Ipv6Test, WhenEveryAddressFailsTheLastErrorIsRaised) {
    test::TRawListener ipv4Only;  // its port on ::1 has nobody listening
    TClientSocket client(5000);
    client.SetHost("nowhere");
    client.SetResolver([](const std::string&) { return std::vector<std::string>{"::1"}; });
    client.SetPort(ipv4Only.Port());
    try {
        client.Open();
        ADD_FAILURE() << "connected to a port nobody listens on";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode(), ECONNREFUSED);
        EXPECT_EQ(e.Api(), "connect");
    }
}

// A host name with an IPv6 address that swallows every packet and an IPv4 address that
// answers: the call stands over IPv4 after one attempt delay, long before the IPv6 attempt
// could give up.
TEST(Ipv6Test, HappyEyeballsFallsBackToIpv4WhenIpv6GoesNowhere) {
    const test::TNamespaceRun run = test::RunInNamespace([](int report) {
        // The IPv6 address lies beyond a veth pair whose far end has no address and drops
        // what it gets: a fixed neighbour entry sends the SYNs out and nothing ever answers.
        // Both families have a non-loopback address, so the look-up (AI_ADDRCONFIG) gives
        // both.
        if (std::system("ip link add vox0 type veth peer name vox1 && ip link set vox0 up && "
                        "ip link set vox1 up && ip addr add 10.77.0.1/24 dev vox0 && "
                        "ip -6 addr add 2001:db8:77::1/64 dev vox0 nodad && "
                        "ip -6 route add 2001:db8:78::/64 dev vox0 && "
                        "ip -6 neigh add 2001:db8:78::1 lladdr 02:00:00:00:00:99 dev vox0") != 0 ||
            !test::MountHosts("127.0.0.1 localhost\n2001:db8:78::1 dual.test\n"
                              "10.77.0.1 dual.test\n")) {
            test::Report(report, "set-up failed");
            return 2;
        }
        try {
            TServerSocket server;
            server.Open();
            TClientSocket client(60000);  // the IPv6 attempt alone would wait this long
            client.SetHost("dual.test");
            client.SetPort(server.LocalPort());
            const auto start = Clock::now();
            client.Open();
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            test::Report(report, client.Socket().RemoteAddress() + " " + std::to_string(ms));
        } catch (const std::exception& e) {
            test::Report(report, e.what());
            return 1;
        }
        return 0;
    });
    if (run.Unavailable) {
        GTEST_SKIP() << "network namespaces need root";
    }
    ASSERT_TRUE(run.Finished) << run.Output;
    ASSERT_EQ(run.Status, 0) << run.Output;
    const std::size_t blank = run.Output.find(' ');
    ASSERT_NE(blank, std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.substr(0, blank), "10.77.0.1");
    const long ms = std::stol(run.Output.substr(blank + 1));
    // The figure itself (about the 250 ms attempt delay) is printed; the bound only tells a
    // fallback from a wait for the IPv6 attempt to give up.
    std::printf("Happy Eyeballs: connected over IPv4 after %ld ms\n", ms);
    EXPECT_GE(ms, static_cast<long>(kConnectAttemptDelayMs) - 5);
    EXPECT_LT(ms, 10000);
}

}  // namespace
}  // namespace vox
