// What the conversation fuzz targets share: one running connection core (listener, lists,
// connection threads) with a scripted main window, played by the fuzzer's own thread, and a
// raw loopback peer that hands the core a whole byte stream and then waits for the core to
// end the connection.
//
// Each input is one connection: the peer sends the bytes, closes its sending half and reads
// whatever comes back until the core closes. Whatever comes back must be whole, well-formed
// packets; a connection the core never ends is a hang and aborts.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/Synchronizer.h"
#include "protocol/ConnectionCore.h"
#include "wire/Packet.h"

// The core's threads keep their CP932 converters in thread-local storage for as long as they
// live (the listener's accept thread for the whole run). This toolchain's leak checker does not
// find what only a live thread's thread-local storage refers to, and would report those
// converters as lost; converters that really were lost would show other frames.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__cxa_thread_atexit_impl\n"
           "leak:vox::Utf8ToCp932\n"
           "leak:vox::Cp932ToUtf8\n";
}

namespace vox::fuzz {

// Fails the run with a message: libFuzzer reports it as a crash with the input that did it.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Short limits: a stream that stops early must not hold a run for long.
inline TConversationTimeouts FuzzTimeouts() {
    TConversationTimeouts t;
    t.SocketTimeoutMs = 200;
    t.HandshakeLimitMs = 2000;
    t.ReverseLookupMs = 50;
    return t;
}

// The main window as a script. The caller's name picks the decision: a name beginning 'R' is
// refused, 'T' times out, any other is accepted. Callers must give the empty pass phrase,
// so a caller with a pass phrase is refused before the dialog. A transfer window opens on
// an offer and closes on a refusal, so that a second offer finds it busy.
class TFuzzUi : public IConversationUi {
  public:
    int Ended = 0;
    bool WindowOpen = false;

    void AddLog(const std::string&) override {}
    void ShowChatLine(const std::string&, const std::string&) override {}
    void AddMember(const std::string&, TConversation*) override {}
    void ConnectionEnded(TConversation*) override { ++Ended; }
    int AskAcceptance(const TIncomingCall& call) override {
        if (!call.PartnerName.empty() && call.PartnerName[0] == 'R') {
            return cdRefused;
        }
        if (!call.PartnerName.empty() && call.PartnerName[0] == 'T') {
            return cdTimedOut;
        }
        return cdAccepted;
    }
    void FetchPassPhraseSetting(bool& use, std::string& passPhrase) override {
        use = true;
        passPhrase.clear();
    }
    bool TransferWindowOpen() override { return WindowOpen; }
    void OpenReceiveWindow(const TTransferOffer&) override { WindowOpen = true; }
    void TransferAccepted(TConversation*) override {}
    void TransferRefused(TConversation*) override { WindowOpen = false; }
    void Beep() override {}
};

// Waits on a socket while running the user-interface calls of the threads: a call queued on
// the synchronizer wakes the wait at once through a pipe, so no thread waits for a poll to
// time out.
class TUiWaiter {
  public:
    explicit TUiWaiter(TSynchronizer& sync) : sync_(sync) {
        if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
            std::abort();
        }
        sync_.SetWakeMainThread([fd = pipe_[1]] {
            const char one = 1;
            (void)!::write(fd, &one, 1);
        });
    }
    TUiWaiter(const TUiWaiter&) = delete;
    TUiWaiter& operator=(const TUiWaiter&) = delete;

    // Runs the queued calls, then waits up to timeoutMs for fd to have events (fd -1: none)
    // or for a call to be queued; runs the calls queued meanwhile.
    void Wait(int fd, short events, int timeoutMs) {
        sync_.CheckSynchronize(0);
        pollfd p[2] = {{pipe_[0], POLLIN, 0}, {fd, events, 0}};
        ::poll(p, fd >= 0 ? 2 : 1, timeoutMs);
        char drain[64];
        while (::read(pipe_[0], drain, sizeof drain) > 0) {
        }
        sync_.CheckSynchronize(0);
    }

  private:
    TSynchronizer& sync_;
    int pipe_[2] = {-1, -1};
};

// The core and its window, made once on the fuzzer's thread (which plays the user-interface
// thread) and kept for the whole run.
struct TConversationWorld {
    TSynchronizer Sync;
    TUiWaiter Waiter{Sync};
    TFuzzUi Ui;
    TConnectionCore Core{Sync, Ui, FuzzTimeouts()};

    static TConversationWorld& Get() {
        static auto* world = new TConversationWorld();  // never freed: threads outlive main
        return *world;
    }

    void Wait(int fd, short events) { Waiter.Wait(fd, events, 5); }

    // Pumps until pred holds; a limit passed is a hang.
    void PumpUntil(const std::function<bool()>& pred, const char* what, int limitMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > deadline) {
                Fail(what);
            }
            Waiter.Wait(-1, 0, 1);
        }
    }
};

// Threads of this process now. A connection thread that has told the window it ended still
// has a few steps to go (its thread-local text converters are freed as it exits): a run ends
// only once its threads are gone, so that the leak check after it sees a settled process.
inline int ThreadCount() {
    std::FILE* f = std::fopen("/proc/self/stat", "r");
    if (f == nullptr) {
        return -1;
    }
    char buf[1024];
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The fields after the command's closing parenthesis; the thread count is field 20.
    const char* p = std::strrchr(buf, ')');
    int field = 2;
    while (p != nullptr && *p != '\0' && field < 20) {
        if (*p == ' ') {
            ++field;
        }
        ++p;
    }
    return p != nullptr ? std::atoi(p) : -1;
}

inline void SetNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Sends all bytes to fd without blocking the user-interface calls the core may be waiting
// on; a peer that the core has closed stops sending.
inline void SendAll(TConversationWorld& world, int fd, const std::uint8_t* data, std::size_t size) {
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sent < size) {
        const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return;  // closed by the core (it refused the call, for instance)
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Fail("the core stopped reading a connection without closing it");
        }
        world.Wait(fd, POLLOUT);
    }
}

// Closes the sending half, then reads everything the core writes until it closes the
// connection. Returns what came.
inline std::vector<std::uint8_t> DrainUntilClosed(TConversationWorld& world, int fd) {
    ::shutdown(fd, SHUT_WR);
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::uint8_t buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            got.insert(got.end(), buf, buf + n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return got;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Fail("the core never ended a connection whose partner had finished");
        }
        world.Wait(fd, POLLIN);
    }
}

// What the core wrote must be whole packets, one after the other, each with a valid header.
inline void CheckWholePackets(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < kPacketHeaderSize) {
            Fail("the core wrote part of a packet header");
        }
        const ByteSpan header(bytes.data() + at, kPacketHeaderSize);
        if (!CheckMagic(header)) {
            Fail("the core wrote a packet without the magic");
        }
        const PacketHeader h = ReadPacketHeader(header);
        if (!TotalLengthFits(h)) {
            Fail("the core wrote a packet whose length cannot describe it");
        }
        if (bytes.size() - at < h.TotalLength) {
            Fail("the core wrote part of a packet");
        }
        at += h.TotalLength;
    }
}

// A loopback TCP connection from 127.0.0.1 (whose name the hosts file gives, so that the
// core's look-up of it never leaves the machine) to port, non-blocking once connected; -1
// when it cannot be made.
inline int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SetNonBlocking(fd);
    return fd;
}

// Closes a connection whose other end has finished; abortively, so that it does not wait
// out its time here.
inline void CloseAbortively(int fd) {
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

// Connections to one port before the listening side moves to a fresh one: re-opening the
// listener is exercised too, and the ends that closed first and wait out their time do not
// pile up towards one port.
inline constexpr int kRunsPerPort = 5000;

// A loopback listener on a free port.
class TLoopbackListener {
  public:
    TLoopbackListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 16);
        SetNonBlocking(fd_);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~TLoopbackListener() { ::close(fd_); }
    TLoopbackListener(const TLoopbackListener&) = delete;
    TLoopbackListener& operator=(const TLoopbackListener&) = delete;

    int Port() const { return port_; }
    // Accepts one connection (non-blocking once accepted), running the user-interface calls
    // meanwhile.
    int Accept(TUiWaiter& waiter) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                return fd;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                Fail("nothing connected");
            }
            waiter.Wait(fd_, POLLIN, 5);
        }
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// One incoming connection: prefix and data as the caller's whole stream. Returns when the
// connection's thread has ended.
inline void RunIncoming(const std::vector<std::uint8_t>& prefix, const std::uint8_t* data,
                        std::size_t size) {
    TConversationWorld& world = TConversationWorld::Get();
    static int runs = 0;
    if (!world.Core.Listening() || ++runs % kRunsPerPort == 0) {
        world.Core.StartListening(0);
    }
    world.Ui.WindowOpen = false;
    const int endedBefore = world.Ui.Ended;
    const int threadsBefore = ThreadCount();
    // A blocking connect can be cut short by the fuzzer's own timer signal, and thousands of
    // connections a second can use up the local ports for a while: try again (and say why,
    // once).
    int fd = ConnectLoopback(world.Core.ListeningPort());
    static bool told = false;
    if (fd < 0 && !told) {
        told = true;
        std::fprintf(stderr, "connect: %s; trying again\n", std::strerror(errno));
    }
    for (int attempt = 0; fd < 0 && attempt < 600; ++attempt) {
        world.Waiter.Wait(-1, 0, 100);
        fd = ConnectLoopback(world.Core.ListeningPort());
    }
    if (fd < 0) {
        std::fprintf(stderr, "connect: %s\n", std::strerror(errno));
        Fail("cannot connect to the core");
    }
    SendAll(world, fd, prefix.data(), prefix.size());
    SendAll(world, fd, data, size);
    const std::vector<std::uint8_t> back = DrainUntilClosed(world, fd);
    CloseAbortively(fd);
    CheckWholePackets(back);
    // The connection's thread has left the lists and told the window.
    world.PumpUntil([&] { return world.Ui.Ended > endedBefore && world.Core.IncomingCount() == 0; },
                    "the incoming connection's thread did not end");
    world.PumpUntil([&] { return ThreadCount() <= threadsBefore; },
                    "the incoming connection's threads did not exit");
}

}  // namespace vox::fuzz
