// Test doubles for the connection tests: a scripted main window, a raw TCP peer that speaks
// bytes, and waiting on the test thread, which plays the user-interface thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/SocketError.h"
#include "platform/Cp932.h"
#include "platform/Synchronizer.h"
#include "protocol/ConnectionCore.h"
#include "wire/Packet.h"
#include "wire/PassPhrase.h"

namespace vox::testing {

// Short durations so that a test of a limit runs in well under a second.
inline TConversationTimeouts FastTimeouts() {
    TConversationTimeouts t;
    t.SocketTimeoutMs = 100;
    t.HandshakeLimitMs = 600;
    t.ReverseLookupMs = 200;
    return t;
}

// A main window that records what it is told and answers as scripted. Every call arrives on
// the synchronizer's main thread, the test's own.
class TFakeUi : public IConversationUi {
  public:
    int Decision = cdAccepted;
    bool UsePassPhrase = false;
    std::string OwnPassPhrase;
    bool WindowOpen = false;

    std::vector<std::string> Logs;  // UTF-8
    std::vector<std::string> Chat;  // "name: text", UTF-8
    std::vector<std::pair<std::string, TConversation*>> Members;
    std::vector<TIncomingCall> Calls;
    std::vector<TTransferOffer> Offers;
    int Beeps = 0;
    int Accepted = 0;
    int Refused = 0;
    std::vector<std::pair<std::string, TCallFailure>> CallFailures;  // address, why

    void CallFailed(const std::string& address, TCallFailure why) override {
        CallFailures.emplace_back(address, why);
    }
    void AddLog(const std::string& message) override { Logs.push_back(Cp932ToUtf8(message)); }
    void ShowChatLine(const std::string& name, const std::string& text) override {
        Chat.push_back(Cp932ToUtf8(name) + ": " + Cp932ToUtf8(text));
    }
    void AddMember(const std::string& name, TConversation* connection) override {
        Members.emplace_back(Cp932ToUtf8(name), connection);
    }
    void ConnectionEnded(TConversation* connection) override {
        for (auto it = Members.begin(); it != Members.end(); ++it) {
            if (it->second == connection) {
                Members.erase(it);
                break;
            }
        }
    }
    int AskAcceptance(const TIncomingCall& call) override {
        Calls.push_back(call);
        return Decision;
    }
    void FetchPassPhraseSetting(bool& use, std::string& passPhrase) override {
        use = UsePassPhrase;
        passPhrase = OwnPassPhrase;
    }
    bool TransferWindowOpen() override { return WindowOpen; }
    void OpenReceiveWindow(const TTransferOffer& offer) override {
        Offers.push_back(offer);
        WindowOpen = true;
    }
    void TransferAccepted(TConversation*) override { ++Accepted; }
    void TransferRefused(TConversation*) override { ++Refused; }
    void Beep() override { ++Beeps; }

    bool HasLog(std::string_view text) const {
        for (const auto& line : Logs) {
            if (line == text) {
                return true;
            }
        }
        return false;
    }
    int CountLogs(std::string_view text) const {
        return static_cast<int>(std::count(Logs.begin(), Logs.end(), text));
    }
    std::string AllLogs() const {
        std::string all;
        for (const auto& line : Logs) {
            all += line + "\n";
        }
        return all;
    }
};

// Runs the UI calls of the connection threads until pred holds or the time is up.
inline bool PumpUntil(TSynchronizer& sync, const std::function<bool()>& pred,
                      int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        sync.CheckSynchronize(5);
    }
    return true;
}

// Pumps for a while regardless, to show that something does not happen.
inline void PumpFor(TSynchronizer& sync, int ms) {
    PumpUntil(
        sync, [] { return false; }, ms);
}

// The synchronizer whose calls the test thread keeps running while a raw peer waits for
// bytes: the program's threads may need the user-interface thread before they answer.
inline thread_local TSynchronizer* tPumpWhileWaiting = nullptr;

class TPumpWhileWaiting {
  public:
    explicit TPumpWhileWaiting(TSynchronizer& sync) { tPumpWhileWaiting = &sync; }
    ~TPumpWhileWaiting() { tPumpWhileWaiting = nullptr; }
};

// Waits for fd to become readable, running the user-interface calls meanwhile.
inline bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int slice = tPumpWhileWaiting != nullptr ? std::min<long>(left, 5) : left;
        if (::poll(&p, 1, slice) > 0) {
            return true;
        }
        if (tPumpWhileWaiting != nullptr) {
            tPumpWhileWaiting->CheckSynchronize(0);
        }
    }
}

// A raw TCP end on loopback that sends and receives plain bytes.
class TRawPeer {
  public:
    TRawPeer() = default;
    explicit TRawPeer(int fd) : fd_(fd) {}
    ~TRawPeer() { Close(); }
    TRawPeer(const TRawPeer&) = delete;
    TRawPeer& operator=(const TRawPeer&) = delete;
    TRawPeer(TRawPeer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

    // receiveBuffer: the socket's receive buffer in bytes (0: the system's), set before
    // connecting; a small one fills soon once the peer stops reading.
    static TRawPeer Connect(int port, const char* from = nullptr, int receiveBuffer = 0) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        if (from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            return TRawPeer();
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return TRawPeer(fd);
    }

    bool Valid() const { return fd_ >= 0; }
    void Send(const void* data, std::size_t size) {
        const auto* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    void Send(const Packet& packet) { Send(packet.data(), packet.size()); }
    void Send(std::string_view bytes) { Send(bytes.data(), bytes.size()); }

    // Reads exactly count bytes, or fewer when the peer closes or timeoutMs pass.
    std::vector<std::uint8_t> Receive(std::size_t count, int timeoutMs = 3000) {
        std::vector<std::uint8_t> out;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            if (!WaitReadable(fd_, deadline)) {
                break;
            }
            std::uint8_t buf[4096];
            const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - out.size()), 0);
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    // Reads one whole packet (header first); empty when none came.
    Packet ReceivePacket(int timeoutMs = 3000) {
        Packet header = Receive(kPacketHeaderSize, timeoutMs);
        if (header.size() < kPacketHeaderSize) {
            return {};
        }
        const std::uint32_t total = ReadPacketHeader(header).TotalLength;
        const Packet rest = Receive(total - kPacketHeaderSize, timeoutMs);
        header.insert(header.end(), rest.begin(), rest.end());
        return header;
    }
    // True when the other end has closed (reads end of stream) within timeoutMs.
    bool ClosedByOtherEnd(int timeoutMs = 3000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (!WaitReadable(fd_, deadline)) {
                return false;
            }
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                return true;
            }
        }
    }
    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

// A raw listener that accepts one connection, for scripting the called side.
class TRawListener {
  public:
    TRawListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 5);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~TRawListener() { ::close(fd_); }
    int Port() const { return port_; }
    TRawPeer Accept(int timeoutMs = 3000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!WaitReadable(fd_, deadline)) {
            return TRawPeer();
        }
        return TRawPeer(::accept(fd_, nullptr, nullptr));
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

inline std::string Sj(std::string_view utf8) {
    return Utf8ToCp932(utf8);
}

// A pcConnect as a caller builds it.
inline Packet ConnectPacket(std::string_view name, std::string_view comment = "",
                            std::string_view passPhrase = "") {
    return BuildConnect(name, comment, EncodePassPhrase(name, passPhrase));
}

}  // namespace vox::testing
