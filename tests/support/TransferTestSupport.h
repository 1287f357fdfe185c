// Test doubles for the transfer tests: a window that records what it is shown, raw TCP ends
// that speak the data protocol byte by byte, and files of known content.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "net/NetTestUtil.h"
#include "platform/Synchronizer.h"
#include "support/ScratchDir.h"
#include "transfer/TransferView.h"

namespace vox::test {

// Short limits so that a test of a limit runs in well under a second. Progress is shown on
// every step so that its rule can be checked.
inline TTransferOptions FastOptions() {
    TTransferOptions options;
    options.SocketTimeoutMs = 100;
    options.IdleLimitMs = 400;
    options.ConnectTimeoutMs = 1000;
    options.ProgressIntervalMs = 0;
    return options;
}

// A transfer window that records its reports. Every call arrives on the test thread, which
// plays the user-interface thread.
class TFakeView : public ITransferView {
  public:
    std::vector<std::string> Captions;
    std::vector<std::string> Logs;
    std::vector<std::int64_t> Progress;
    std::int64_t RangeMax = -1;
    int Ended = 0;
    // Runs inside the next log call (once), to act from within a report.
    std::function<void()> OnLog;

    void SetCaption(const std::string& text) override { Captions.push_back(text); }
    void SetProgressRange(std::int64_t maximum) override { RangeMax = maximum; }
    void SetProgress(std::int64_t position) override { Progress.push_back(position); }
    void AddLog(const std::string& text) override {
        Logs.push_back(text);
        if (OnLog) {
            auto hook = std::move(OnLog);
            OnLog = nullptr;
            hook();
        }
    }
    void TransferThreadEnded() override { ++Ended; }

    std::string Caption() const { return Captions.empty() ? std::string() : Captions.back(); }
};

// Runs the user-interface calls until pred holds or the time is up.
inline bool PumpUntil(TSynchronizer& sync, const std::function<bool()>& pred,
                      int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        sync.CheckSynchronize(2);
    }
    return true;
}

inline void PumpFor(TSynchronizer& sync, int ms) {
    PumpUntil(
        sync, [] { return false; }, ms);
}

// A connected descriptor to 127.0.0.1:port from the local address from, or -1.
inline int RawConnectFrom(int port, const char* from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

inline bool RawSend(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// One read of at most count bytes, waiting up to timeoutMs: the bytes, or empty on timeout or
// end of stream.
inline std::string RawReadSome(int fd, std::size_t count, int timeoutMs = 5000) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) {
        return {};
    }
    std::string data(count, '\0');
    const ssize_t n = ::recv(fd, data.data(), count, 0);
    data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return data;
}

// True when the other end closes (end of stream or reset) within timeoutMs; data is skipped.
inline bool RawSeesClose(int fd, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) {
            return true;
        }
    }
}

// An acknowledgement as it travels.
inline std::string AckBytes(std::int64_t count) {
    std::string bytes(8, '\0');
    for (int i = 0; i < 8; ++i) {
        bytes[static_cast<std::size_t>(i)] =
            static_cast<char>(static_cast<std::uint64_t>(count) >> (8 * i));
    }
    return bytes;
}

inline std::int64_t AckValue(const std::string& bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    }
    return static_cast<std::int64_t>(value);
}

inline std::string RandomBytes(std::size_t size, unsigned seed = 1) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint64_t v = random();
        for (int k = 0; k < 8; ++k) {
            bytes[i + static_cast<std::size_t>(k)] = static_cast<char>(v >> (8 * k));
        }
    }
    for (; i < size; ++i) {
        bytes[i] = static_cast<char>(random());
    }
    return bytes;
}

}  // namespace vox::test
