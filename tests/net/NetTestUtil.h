// Loopback helpers for the socket-layer tests: a plain listener and peer built directly on the
// system calls, so each class is tested against an independent other end.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace vox::test {

// Polls cond every millisecond for up to timeoutMs; returns its last value.
inline bool Eventually(const std::function<bool()>& cond, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return cond();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// A listening socket on 127.0.0.1 with an ephemeral port.
class TRawListener {
  public:
    explicit TRawListener(int backlog = 5) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, backlog);
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
    }
    ~TRawListener() { ::close(fd_); }
    TRawListener(const TRawListener&) = delete;
    TRawListener& operator=(const TRawListener&) = delete;

    int Port() const { return port_; }
    // The next connection's descriptor, or -1 when none comes within timeoutMs.
    int Accept(int timeoutMs = 5000) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) <= 0) {
            return -1;
        }
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A plain connected descriptor to 127.0.0.1:port, or -1.
inline int RawConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until count bytes came, the peer closed, or timeoutMs passed; returns what came.
inline std::string RawReadAll(int fd, std::size_t count, int timeoutMs = 5000) {
    std::string data;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (data.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

// Closes fd so that the peer sees a reset instead of an orderly end.
inline void RawReset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

// A port on 127.0.0.1 that nobody listens on (bound once, then released).
inline int UnusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// An address whose connects never complete, as a host that silently drops packets: a listener
// with backlog 0 whose accept queue one connection fills, so that the system drops further
// connection requests and a connect waits for its own limit.
class TSilentPort {
  public:
    TSilentPort() : listener_(0), filler_(RawConnect(listener_.Port())) {}
    ~TSilentPort() {
        if (filler_ >= 0) {
            ::close(filler_);
        }
    }
    TSilentPort(const TSilentPort&) = delete;
    TSilentPort& operator=(const TSilentPort&) = delete;

    bool Ready() const { return filler_ >= 0; }
    int Port() const { return listener_.Port(); }

  private:
    TRawListener listener_;
    int filler_;
};

// Connection attempts from this machine to address:port (dotted IPv4) still waiting for an
// answer (TCP state SYN_SENT), as the system lists them.
inline int PendingConnects(int port, const char* address = "127.0.0.1") {
    in_addr peer{};
    if (::inet_pton(AF_INET, address, &peer) != 1) {
        return -1;
    }
    std::FILE* table = std::fopen("/proc/net/tcp", "r");
    if (table == nullptr) {
        return -1;
    }
    char line[512];
    int count = 0;
    char wanted[32];
    // The table shows the address as the 32-bit number in host order, in hex.
    std::snprintf(wanted, sizeof wanted, "%08X:%04X", static_cast<unsigned>(peer.s_addr), port);
    while (std::fgets(line, sizeof line, table) != nullptr) {
        char local[64] = {};
        char remote[64] = {};
        unsigned state = 0;
        if (std::sscanf(line, " %*d: %63s %63s %x", local, remote, &state) == 3 &&
            std::string(remote) == wanted && state == 0x02) {
            ++count;
        }
    }
    std::fclose(table);
    return count;
}

}  // namespace vox::test
