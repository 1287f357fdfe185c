#include "net/ServerSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/ClientSocket.h"
#include "net/NetTestUtil.h"
#include "net/SocketError.h"
#include "net/WinSocketStream.h"
#include "platform/Synchronizer.h"

namespace vox {
namespace {

using test::ElapsedMs;
using test::Eventually;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What the tests' connection threads and hooks saw, shared between threads.
struct TRecord {
    std::mutex mutex;
    std::vector<std::string> events;
    std::set<std::thread::id> executeThreads;
    std::atomic<int> getThreadCalls{0};
    std::atomic<int> executions{0};
    std::atomic<int> destroyed{0};

    void Add(const std::string& event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(mutex);
        return events;
    }
};

class TTestThread : public TServerClientThread {
  public:
    using TBody = std::function<void(TTestThread&)>;
    TTestThread(TRecord& record, TBody body, TSynchronizer* sync = nullptr)
        : TServerClientThread(sync), record_(record), body_(std::move(body)) {}
    ~TTestThread() override {
        Terminate();
        CloseConnection();
        WaitFor();
        ++record_.destroyed;
    }
    using TThread::Synchronize;

  protected:
    void ClientExecute() override {
        {
            std::lock_guard lock(record_.mutex);
            record_.executeThreads.insert(std::this_thread::get_id());
        }
        ++record_.executions;
        if (body_) {
            body_(*this);
        }
    }

  private:
    TRecord& record_;
    TBody body_;
};

// Echoes one byte, then returns.
void EchoOnce(TTestThread& self) {
    TWinSocketStream stream(*self.ClientSocket(), 5000);
    char byte = 0;
    if (stream.WaitForData(5000) && stream.Read(&byte, 1) == 1) {
        stream.Write(&byte, 1);
    }
}

// Waits for data until told to stop or closed on this side.
void WaitUntilClosed(TTestThread& self) {
    TWinSocketStream stream(*self.ClientSocket(), 10000);
    while (!self.Terminated() && self.ClientSocket()->Connected()) {
        stream.WaitForData(10000);
    }
}

class ServerSocketTest : public ::testing::Test {
  protected:
    void Listen(TServerSocket& server, TTestThread::TBody body,
                TSynchronizer* threadSync = nullptr) {
        server.SetBindAddress("127.0.0.1");
        server.SetPort(0);
        server.OnGetThread = [this, body, threadSync](TServerSocket&, TCustomWinSocket&) {
            ++record_.getThreadCalls;
            return std::make_unique<TTestThread>(record_, body, threadSync);
        };
        server.Open();
        ASSERT_TRUE(server.Active());
        ASSERT_NE(server.LocalPort(), 0);
    }
    // Connects, sends one byte and returns what came back (one byte or nothing).
    static std::string EchoThrough(TServerSocket& server) {
        const int fd = test::RawConnect(server.LocalPort());
        EXPECT_GE(fd, 0);
        ::send(fd, "e", 1, MSG_NOSIGNAL);
        std::string reply = test::RawReadAll(fd, 1);
        ::close(fd);
        return reply;
    }

    TRecord record_;
};

TEST_F(ServerSocketTest, EachConnectionGoesToOnAcceptThenToANewThread) {
    TServerSocket server;
    server.SetThreadCacheSize(0);
    const auto mainThread = std::this_thread::get_id();
    std::thread::id acceptThread;
    TCustomWinSocket* accepted = nullptr;
    server.OnAccept = [&](TServerSocket& sender, TCustomWinSocket& socket) {
        EXPECT_EQ(&sender, &server);
        EXPECT_NE(std::this_thread::get_id(), mainThread);
        EXPECT_TRUE(socket.Connected());
        EXPECT_EQ(socket.RemoteAddress(), "127.0.0.1");
        acceptThread = std::this_thread::get_id();
        accepted = &socket;
        record_.Add("accept");
    };
    Listen(server, [&](TTestThread& self) {
        EXPECT_EQ(self.ClientSocket(), accepted);
        EXPECT_EQ(self.ServerSocket(), &server);
        EXPECT_FALSE(self.KeepInCache());
        record_.Add("execute");
        EchoOnce(self);
    });
    auto getThread = server.OnGetThread;
    server.OnGetThread = [&](TServerSocket& sender, TCustomWinSocket& socket) {
        EXPECT_EQ(std::this_thread::get_id(), acceptThread);
        EXPECT_EQ(&socket, accepted);
        record_.Add("get");
        return getThread(sender, socket);
    };

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(EchoThrough(server), "e");
    }
    // Without a cache every connection has its own thread, freed when it has ended.
    EXPECT_TRUE(Eventually([&] { return record_.destroyed == 3; }));
    EXPECT_EQ(server.ActiveThreadCount(), 0u);
    EXPECT_EQ(record_.getThreadCalls, 3);
    EXPECT_EQ(record_.Events(),
              (std::vector<std::string>{"accept", "get", "execute", "accept", "get", "execute",
                                        "accept", "get", "execute"}));
    EXPECT_EQ(record_.executeThreads.count(acceptThread), 0u);
}

// A connect that gives up after timeoutMs: -1 when the connection did not stand by then.
int ConnectWithin(int port, int timeoutMs) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        pollfd entry{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (errno != EINPROGRESS || ::poll(&entry, 1, timeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

TEST_F(ServerSocketTest, ABurstOfCallersWaitsInTheBacklogNotInConnect) {
    // The accept thread is held up (its hook waits on the user-interface thread, say) while
    // forty callers connect at once: each connect still completes at once, and every caller
    // is served once the accept thread goes on. A short backlog makes every caller beyond it
    // wait for the system to retry its connect, a second or more each.
    TServerSocket server;
    server.SetThreadCacheSize(0);
    std::atomic<bool> release{false};
    server.OnAccept = [&](TServerSocket&, TCustomWinSocket&) {
        while (!release.load()) {
            std::this_thread::sleep_for(1ms);
        }
    };
    Listen(server, [](TTestThread& self) { EchoOnce(self); });
    std::vector<int> callers;
    const auto began = Clock::now();
    for (int i = 0; i < 40; ++i) {
        callers.push_back(ConnectWithin(server.LocalPort(), 300));
    }
    EXPECT_LT(ElapsedMs(began), 500);
    release = true;
    for (const int fd : callers) {
        EXPECT_GE(fd, 0) << "a caller could not connect while the accept thread was busy";
        if (fd < 0) {
            continue;
        }
        ::send(fd, "e", 1, MSG_NOSIGNAL);
        EXPECT_EQ(test::RawReadAll(fd, 1), "e");
        ::close(fd);
    }
}

TEST_F(ServerSocketTest, ACachedThreadServesTheNextConnection) {
    TServerSocket server;  // default cache of 10
    TTestThread* first = nullptr;
    Listen(server, [&](TTestThread& self) {
        first = first ? first : &self;
        EXPECT_TRUE(self.KeepInCache());
        EchoOnce(self);
    });
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(EchoThrough(server), "e");
        // Idle again before the next connection arrives.
        ASSERT_TRUE(Eventually([&] { return first && first->ClientSocket() == nullptr; }));
    }
    EXPECT_EQ(record_.getThreadCalls, 1);
    EXPECT_EQ(record_.executions, 3);
    EXPECT_EQ(record_.executeThreads.size(), 1u);
    EXPECT_EQ(server.ActiveThreadCount(), 1u);
    server.Close();  // also ends the idle cached thread
    EXPECT_EQ(record_.destroyed, 1);
}

TEST_F(ServerSocketTest, AThreadThatTerminatesItselfServesOneConnection) {
    TServerSocket server;
    Listen(server, [](TTestThread& self) {
        EchoOnce(self);
        self.Terminate();
    });
    EXPECT_EQ(EchoThrough(server), "e");
    EXPECT_TRUE(Eventually([&] { return record_.destroyed == 1; }));
    EXPECT_EQ(EchoThrough(server), "e");
    EXPECT_EQ(record_.getThreadCalls, 2);
}

TEST_F(ServerSocketTest, AConnectionClosedByOnAcceptIsStillHandedToAThread) {
    TServerSocket server;
    server.OnAccept = [](TServerSocket&, TCustomWinSocket& socket) { socket.Close(); };
    std::atomic<int> sawClosed{0};
    Listen(server,
           [&](TTestThread& self) { sawClosed += self.ClientSocket()->Connected() ? 0 : 1; });
    EXPECT_EQ(EchoThrough(server), "");  // closed at once
    EXPECT_TRUE(Eventually([&] { return record_.executions == 1; }));
    EXPECT_EQ(sawClosed, 1);
}

TEST_F(ServerSocketTest, WithoutAThreadTheConnectionIsDropped) {
    TServerSocket server;
    server.SetBindAddress("127.0.0.1");
    server.OnGetThread = [](TServerSocket&, TCustomWinSocket&) { return nullptr; };
    server.Open();
    EXPECT_EQ(EchoThrough(server), "");
    EXPECT_EQ(server.ActiveThreadCount(), 0u);
}

TEST_F(ServerSocketTest, CloseEndsThreadsWaitingForDataPromptly) {
    TServerSocket server;
    server.SetThreadCacheSize(1);
    Listen(server, WaitUntilClosed);
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(test::RawConnect(server.LocalPort()));
    }
    ASSERT_TRUE(Eventually([&] { return record_.executions == 3; }));
    EXPECT_EQ(server.ActiveThreadCount(), 3u);
    const auto start = Clock::now();
    server.Close();
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_EQ(record_.destroyed, 3);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.LocalPort(), 0);
    for (int fd : clients) {
        EXPECT_EQ(test::RawReadAll(fd, 1, 2000), "");  // each client sees the end
        ::close(fd);
    }
    server.Close();  // closed already: nothing happens
}

TEST_F(ServerSocketTest, CloseOnTheMainThreadRunsTheCallsItsThreadsSynchronise) {
    TSynchronizer sync;
    const auto mainThread = std::this_thread::get_id();
    std::vector<std::string> log;  // touched on the main thread only
    int endNotifications = 0;
    TServerSocket server(&sync);
    server.SetThreadCacheSize(0);
    server.OnAccept = [&](TServerSocket&, TCustomWinSocket& socket) {
        const std::string address = socket.RemoteAddress();
        sync.Synchronize([&] { log.push_back("accept " + address); });
    };
    server.SetBindAddress("127.0.0.1");
    server.OnGetThread = [&](TServerSocket&, TCustomWinSocket&) {
        auto thread = std::make_unique<TTestThread>(
            record_,
            [&](TTestThread& self) {
                WaitUntilClosed(self);
                // The connection ended: tell the user-interface thread and wait for it.
                self.Synchronize([&] { log.push_back("ended"); });
            },
            &sync);
        thread->OnTerminate = [&] {
            EXPECT_EQ(std::this_thread::get_id(), mainThread);
            ++endNotifications;
        };
        return thread;
    };
    server.Open();
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(test::RawConnect(server.LocalPort()));
    }
    sync.WaitUntil([&] { return record_.executions == 3; });
    const auto start = Clock::now();
    server.Close();
    EXPECT_LT(ElapsedMs(start), 3000);
    EXPECT_EQ(endNotifications, 3);
    EXPECT_EQ(log, (std::vector<std::string>{"accept 127.0.0.1", "accept 127.0.0.1",
                                             "accept 127.0.0.1", "ended", "ended", "ended"}));
    for (int fd : clients) {
        ::close(fd);
    }
}

TEST_F(ServerSocketTest, ExceptionsReachTheHookOnTheMainThreadAndListeningGoesOn) {
    TSynchronizer sync;
    TServerSocket server(&sync);
    std::vector<std::string> errors;  // main thread only
    server.OnException = [&](TServerSocket& sender, std::exception_ptr error) {
        EXPECT_EQ(&sender, &server);
        EXPECT_TRUE(sync.IsMainThread());
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            errors.push_back(e.what());
        }
    };
    std::atomic<int> accepts{0};
    server.OnAccept = [&](TServerSocket&, TCustomWinSocket&) {
        if (++accepts == 2) {
            throw std::runtime_error("accept failed");
        }
    };
    Listen(server, [](TTestThread& self) {
        EchoOnce(self);
        throw std::runtime_error("serving failed");
    });

    std::string reply;
    std::thread client([&] { reply = EchoThrough(server); });
    sync.WaitUntil([&] { return errors.size() == 1; });
    client.join();
    EXPECT_EQ(reply, "e");
    EXPECT_EQ(errors[0], "serving failed");
    // The failing thread ends even though it was admitted to the cache.
    sync.WaitUntil([&] { return record_.destroyed == 1; });
    EXPECT_EQ(server.ActiveThreadCount(), 0u);

    client = std::thread([&] { reply = EchoThrough(server); });  // OnAccept throws
    sync.WaitUntil([&] { return errors.size() == 2; });
    client.join();
    EXPECT_EQ(reply, "");
    EXPECT_EQ(errors[1], "accept failed");

    client = std::thread([&] { reply = EchoThrough(server); });  // served again
    sync.WaitUntil([&] { return errors.size() == 3; });
    client.join();
    EXPECT_EQ(reply, "e");
    EXPECT_EQ(record_.getThreadCalls, 2);
}

TEST_F(ServerSocketTest, OpenSettingsAndBindFailures) {
    TServerSocket server;
    Listen(server, nullptr);
    const int port = server.LocalPort();
    server.Open();  // open already: nothing happens
    EXPECT_EQ(server.LocalPort(), port);
    try {
        server.SetPort(port);
        ADD_FAILURE() << "port changed while listening";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "ソケットを使用中は値を変更できません");
    }

    TServerSocket second;
    second.SetBindAddress("127.0.0.1");
    second.SetPort(port);
    try {
        second.Open();
        ADD_FAILURE() << "bound a port in use";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Api(), "bind");
        EXPECT_EQ(e.ErrorCode(), EADDRINUSE);
    }
    EXPECT_FALSE(second.Active());

    server.Close();
    second.Open();  // the port is free again
    EXPECT_EQ(second.LocalPort(), port);
}

TEST_F(ServerSocketTest, AThreadCannotCloseItsOwnListener) {
    TServerSocket server;
    std::atomic<bool> refused{false};
    Listen(server, [&](TTestThread& self) {
        try {
            self.ServerSocket()->Close();
        } catch (const std::logic_error&) {
            refused = true;
        }
        EchoOnce(self);
    });
    EXPECT_EQ(EchoThrough(server), "e");
    EXPECT_TRUE(refused);
    EXPECT_TRUE(server.Active());
}

TEST_F(ServerSocketTest, StreamsCarryDataBothWaysBetweenConnectorAndListener) {
    TServerSocket server;
    Listen(server, [](TTestThread& self) {
        // Echoes in pieces of at most 512 bytes until the caller hangs up.
        TWinSocketStream stream(*self.ClientSocket(), 5000);
        char buffer[512];
        while (!self.Terminated() && stream.WaitForData(5000)) {
            const int n = stream.Read(buffer, sizeof buffer);
            if (n == 0 || stream.Write(buffer, n) != n) {
                break;
            }
        }
    });
    TClientSocket client;
    client.SetAddress("127.0.0.1");
    client.SetPort(server.LocalPort());
    client.Open();
    std::string data(100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i % 253);
    }
    std::string echoed;
    std::thread reader([&] {
        TWinSocketStream stream(client.Socket(), 5000);
        char buffer[4096];
        while (echoed.size() < data.size() && stream.WaitForData(5000)) {
            const int n = stream.Read(buffer, sizeof buffer);
            if (n == 0) {
                break;
            }
            echoed.append(buffer, static_cast<std::size_t>(n));
        }
    });
    TWinSocketStream stream(client.Socket(), 5000);
    EXPECT_EQ(stream.Write(data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    reader.join();
    EXPECT_TRUE(echoed == data);
    client.Close();
    EXPECT_TRUE(
        Eventually([&] { return server.ActiveThreadCount() == 1u && record_.executions == 1; }));
}

TEST_F(ServerSocketTest, NoDescriptorOutlivesTheListenerAndItsConnections) {
    auto openDescriptors = [] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            (void)entry;
            ++count;
        }
        return count;
    };
    const int before = openDescriptors();
    {
        TServerSocket server;
        server.SetThreadCacheSize(2);
        Listen(server, WaitUntilClosed);
        std::vector<int> clients;
        for (int i = 0; i < 4; ++i) {
            clients.push_back(test::RawConnect(server.LocalPort()));
        }
        ASSERT_TRUE(Eventually([&] { return record_.executions == 4; }));
        ::close(clients[0]);  // one caller hangs up; its thread goes on waiting
        server.Close();
        for (std::size_t i = 1; i < clients.size(); ++i) {
            ::close(clients[i]);
        }
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace vox

namespace vox {
namespace {

// A connection served on the calling thread: the same body the listener's thread would run,
// with the connection freed (closed) once it returns, and no thread started for it.
TEST(ServeHere, RunsTheBodyOnTheCallingThreadAndFreesTheConnectionAfter) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ASSERT_EQ(::send(fds[1], "x", 1, MSG_NOSIGNAL), 1);
    TRecord record;
    TTestThread thread(record, EchoOnce);
    auto socket = std::make_unique<TCustomWinSocket>();
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(4321);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socket->AdoptConnected(fds[0], reinterpret_cast<const sockaddr&>(peer));
    EXPECT_EQ(socket->RemoteAddress(), "127.0.0.1");
    EXPECT_EQ(socket->RemotePort(), 4321);
    thread.ServeHere(std::move(socket));

    EXPECT_EQ(record.executions.load(), 1);
    EXPECT_EQ(record.executeThreads, std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(thread.ClientSocket(), nullptr);
    EXPECT_FALSE(thread.Started());
    // The echo came back, then the end of the connection.
    char got[2] = {};
    EXPECT_EQ(::recv(fds[1], got, sizeof got, 0), 1);
    EXPECT_EQ(got[0], 'x');
    EXPECT_EQ(::recv(fds[1], got, sizeof got, 0), 0);
    ::close(fds[1]);
}

TEST(ServeHere, AnEscapingExceptionStillFreesTheConnection) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    TRecord record;
    TTestThread thread(record, [](TTestThread&) { throw std::runtime_error("body failed"); });
    auto socket = std::make_unique<TCustomWinSocket>();
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    socket->AdoptConnected(fds[0], reinterpret_cast<const sockaddr&>(peer));
    EXPECT_THROW(thread.ServeHere(std::move(socket)), std::runtime_error);
    EXPECT_EQ(thread.ClientSocket(), nullptr);
    char byte = 0;
    EXPECT_EQ(::recv(fds[1], &byte, 1, 0), 0);
    ::close(fds[1]);
}

}  // namespace
}  // namespace vox
