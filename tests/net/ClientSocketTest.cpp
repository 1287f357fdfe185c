#include "net/ClientSocket.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/HostLookup.h"
#include "net/NetTestUtil.h"
#include "net/SocketError.h"

namespace vox {
namespace {

using test::ElapsedMs;
using Clock = std::chrono::steady_clock;

// Opens the connection on a thread of its own; code becomes 0 when it stood, or the error code
// of the socket error it raised.
std::thread OpenOnItsOwnThread(TClientSocket& client, std::atomic<int>& code) {
    return std::thread([&client, &code] {
        try {
            client.Open();
            code = 0;
        } catch (const ESocketError& e) {
            code = e.ErrorCode();
        }
    });
}

TEST(ClientSocketTest, OpenConnectsAndRunsOnConnectBeforeReturning) {
    test::TRawListener listener;
    TClientSocket client;
    client.SetAddress("127.0.0.1");
    client.SetPort(listener.Port());
    int connects = 0;
    std::thread::id calledOn;
    client.OnConnect = [&](TClientSocket& sender, TCustomWinSocket& socket) {
        ++connects;
        calledOn = std::this_thread::get_id();
        EXPECT_EQ(&sender, &client);
        EXPECT_EQ(&socket, &client.Socket());
        EXPECT_TRUE(socket.Connected());
    };
    EXPECT_FALSE(client.Active());
    client.Open();
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(calledOn, std::this_thread::get_id());
    EXPECT_TRUE(client.Active());
    EXPECT_EQ(client.Socket().RemoteAddress(), "127.0.0.1");
    EXPECT_EQ(client.Socket().RemotePort(), listener.Port());
    EXPECT_EQ(client.Socket().LocalAddress(), "127.0.0.1");
    EXPECT_NE(client.Socket().LocalPort(), 0);

    client.Open();  // already open: nothing happens
    EXPECT_EQ(connects, 1);

    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    client.Close();
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(test::RawReadAll(peer, 1, 2000), "");  // the peer sees the end
    ::close(peer);

    client.Open();  // a closed connector can connect again
    EXPECT_EQ(connects, 2);
    EXPECT_TRUE(client.Active());
}

TEST(ClientSocketTest, HostIsResolvedAndPreferredToAddress) {
    test::TRawListener listener;
    TClientSocket client;
    client.SetHost("localhost");
    client.SetAddress("192.0.2.1");  // unreachable documentation address: must not be used
    client.SetPort(listener.Port());
    client.Open();
    EXPECT_TRUE(client.Active());
    EXPECT_EQ(client.Socket().RemoteAddress(), "127.0.0.1");
    const std::vector<std::string> local = LookupHostAddresses("localhost");
    EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end());
    EXPECT_EQ(LookupHostAddresses("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
}

TEST(ClientSocketTest, FailuresRaiseSocketErrorsWithTheirTexts) {
    TClientSocket client;
    try {
        client.Open();
        ADD_FAILURE() << "no error without an address";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "アドレスが指定されていません");
    }

    const int port = test::UnusedPort();
    client.SetAddress("127.0.0.1");
    client.SetPort(port);
    try {
        client.Open();
        ADD_FAILURE() << "connected to a closed port";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode(), ECONNREFUSED);
        EXPECT_EQ(e.Api(), "connect");
        EXPECT_EQ(std::string(e.what()), "Windows ソケットエラー： " +
                                             SystemErrorText(ECONNREFUSED) + " (" +
                                             std::to_string(ECONNREFUSED) + ") [API 'connect']");
    }
    EXPECT_FALSE(client.Active());
    EXPECT_FALSE(client.Socket().Open());

    client.SetAddress("not-an-address");
    EXPECT_THROW(client.Open(), ESocketError);

    client.SetHost("no-such-host.invalid");
    try {
        client.Open();
        ADD_FAILURE() << "resolved an invalid name";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Api(), "getaddrinfo");
    }
}

TEST(ClientSocketTest, SettingsCannotChangeWhileConnected) {
    test::TRawListener listener;
    TClientSocket client;
    client.SetAddress("127.0.0.1");
    client.SetPort(listener.Port());
    client.Open();
    try {
        client.SetPort(listener.Port() + 1);
        ADD_FAILURE() << "port changed while connected";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "ソケットを使用中は値を変更できません");
    }
    EXPECT_THROW(client.SetHost("localhost"), ESocketError);
    EXPECT_NO_THROW(client.SetPort(listener.Port()));  // the same value is no change
    client.Close();
    EXPECT_NO_THROW(client.SetPort(1));
    EXPECT_EQ(client.Port(), 1);
}

TEST(ClientSocketTest, ConnectingTwiceOnOneConnectionRaises) {
    test::TRawListener listener;
    TCustomWinSocket socket;
    socket.Connect("127.0.0.1", listener.Port());
    try {
        socket.Connect("127.0.0.1", listener.Port());
        ADD_FAILURE() << "connected an open connection";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "ソケットはすでに開いています");
    }
    EXPECT_TRUE(socket.Connected());
}

TEST(ClientSocketTest, DestructionClosesTheConnection) {
    test::TRawListener listener;
    int peer = -1;
    {
        TClientSocket client;
        client.SetAddress("127.0.0.1");
        client.SetPort(listener.Port());
        client.Open();
        peer = listener.Accept();
        ASSERT_GE(peer, 0);
    }
    EXPECT_EQ(test::RawReadAll(peer, 1, 2000), "");
    ::close(peer);
}

TEST(ClientSocketTest, RemoteHostIsFoundByReverseLookup) {
    test::TRawListener listener;
    THostResolver resolver;
    TClientSocket client;
    EXPECT_EQ(client.Socket().RemoteHost(resolver), "");  // not connected
    client.SetAddress("127.0.0.1");
    client.SetPort(listener.Port());
    client.Open();
    EXPECT_EQ(client.Socket().RemoteHost(resolver, 2000), "localhost");
    EXPECT_EQ(resolver.Reverse("not an address", 100), "");
    client.Close();
    EXPECT_EQ(client.Socket().RemoteHost(resolver), "");
}

TEST(HostResolverTest, ManyCallersAtOnceEachGetTheirAnswerOrNoneInTime) {
    THostResolver resolver;
    constexpr int kCallers = 40;  // more than may wait at once
    std::vector<std::string> names(kCallers);
    std::vector<long> waited(kCallers);
    {
        std::vector<std::thread> callers;
        for (int i = 0; i < kCallers; ++i) {
            callers.emplace_back([&, i] {
                const auto start = Clock::now();
                names[i] = resolver.Reverse("127.0.0.1", 3000);
                waited[i] = ElapsedMs(start);
            });
        }
        for (auto& caller : callers) {
            caller.join();
        }
    }
    int found = 0;
    for (int i = 0; i < kCallers; ++i) {
        EXPECT_TRUE(names[i] == "localhost" || names[i].empty()) << names[i];
        EXPECT_LT(waited[i], 3000 + 2000) << "a caller waits no longer than it said";
        found += names[i] == "localhost" ? 1 : 0;
    }
    EXPECT_GE(found, 1);
    // The resolver is still there for the next caller.
    EXPECT_EQ(resolver.Reverse("127.0.0.1", 3000), "localhost");
}

TEST(ClientSocketTest, CancelBeforeOpenConnectsNowhere) {
    test::TRawListener listener;
    TClientSocket client;
    client.SetAddress("127.0.0.1");
    client.SetPort(listener.Port());
    client.Cancel();
    try {
        client.Open();
        ADD_FAILURE() << "a cancelled connector connected";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode(), ECONNABORTED);
        EXPECT_EQ(e.Api(), "connect");
    }
    EXPECT_FALSE(client.Active());
    EXPECT_LT(listener.Accept(200), 0);
}

TEST(ClientSocketTest, CancelDuringTheLookupDropsItsAnswer) {
    test::TRawListener listener;
    TClientSocket client;
    client.SetHost("somewhere");
    client.SetPort(listener.Port());
    std::mutex mutex;
    std::condition_variable cv;
    bool looking = false;
    bool answer = false;
    client.SetResolver([&](const std::string& host) {
        EXPECT_EQ(host, "somewhere");
        std::unique_lock lock(mutex);
        looking = true;
        cv.notify_all();
        cv.wait(lock, [&] { return answer; });
        return std::vector<std::string>{"127.0.0.1"};
    });
    std::atomic<int> code{-1};
    std::thread opener = OpenOnItsOwnThread(client, code);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return looking; }));
    }
    client.Cancel();
    {
        std::lock_guard lock(mutex);
        answer = true;
    }
    cv.notify_all();
    opener.join();
    EXPECT_EQ(code, ECONNABORTED);
    EXPECT_FALSE(client.Active());
    EXPECT_LT(listener.Accept(200), 0) << "the answer came after the cancel: nobody is called";
}

TEST(ClientSocketTest, AResolverFailureIsTheOpensFailure) {
    TClientSocket client;
    client.SetHost("unknown");
    client.SetPort(1);
    client.SetResolver([](const std::string&) -> std::vector<std::string> {
        throw ESocketError::ForCall(EAI_NONAME, "not known", "getaddrinfo");
    });
    try {
        client.Open();
        ADD_FAILURE() << "connected without an address";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Api(), "getaddrinfo");
    }
}

// A listener with a full queue leaves further connects pending.
class PendingConnectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        first_ = test::RawConnect(listener_.Port());
        ASSERT_GE(first_, 0);
    }
    void TearDown() override { ::close(first_); }

    test::TRawListener listener_{0};
    int first_ = -1;
};

TEST_F(PendingConnectTest, ConnectGivesUpAfterItsTimeLimit) {
    TClientSocket client(200);
    client.SetAddress("127.0.0.1");
    client.SetPort(listener_.Port());
    const auto start = Clock::now();
    try {
        client.Open();
        ADD_FAILURE() << "connected to a full queue";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode(), ETIMEDOUT);
        EXPECT_EQ(e.Api(), "connect");
    }
    EXPECT_GE(ElapsedMs(start), 150);
    EXPECT_LT(ElapsedMs(start), 3000);
    EXPECT_FALSE(client.Active());
}

TEST_F(PendingConnectTest, CancelFromAnotherThreadAbortsAConnectForGood) {
    TClientSocket client(20000);
    client.SetAddress("127.0.0.1");
    client.SetPort(listener_.Port());
    std::atomic<int> code{-1};
    std::thread opener = OpenOnItsOwnThread(client, code);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    client.Cancel();
    opener.join();
    EXPECT_LT(ElapsedMs(start), 3000);
    EXPECT_EQ(code, ECONNABORTED);
    // And for good: a later attempt fails at once.
    EXPECT_THROW(client.Open(), ESocketError);
    EXPECT_FALSE(client.Active());
}

TEST_F(PendingConnectTest, CloseFromAnotherThreadAbortsAConnect) {
    TClientSocket client(20000);
    client.SetAddress("127.0.0.1");
    client.SetPort(listener_.Port());
    std::atomic<int> code{-1};
    std::atomic<long> elapsed{-1};
    std::thread opener([&] {
        const auto start = Clock::now();
        try {
            client.Open();
            code = 0;
        } catch (const ESocketError& e) {
            code = e.ErrorCode();
        }
        elapsed = ElapsedMs(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client.Close();
    opener.join();
    EXPECT_EQ(code, ECONNABORTED);
    EXPECT_LT(elapsed, 3000);
    EXPECT_FALSE(client.Active());
}

}  // namespace
}  // namespace vox
