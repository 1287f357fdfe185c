// For fuzz targets that drive a part of the program over a real loopback connection from the
// fuzzer's own thread, which plays the user-interface thread: a waiter that runs the
// user-interface calls while it waits on a socket, and a listener on a free port.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "fuzz/ConversationFuzz.h"
#include "platform/Synchronizer.h"

namespace vox::fuzz {

inline void SetNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

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

// Closes a connection whose other end has finished; abortively, so that it does not wait
// out its time here.
inline void CloseAbortively(int fd) {
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

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

}  // namespace vox::fuzz
