#include "net/CustomWinSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/HostLookup.h"
#include "net/SocketError.h"
#include "net/SocketPoll.h"

namespace vox {

namespace {

std::string DottedText(const in_addr& addr) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

}  // namespace

TCustomWinSocket::THandle::~THandle() {
    ::close(fd);
}

TCustomWinSocket::TCustomWinSocket() = default;

TCustomWinSocket::~TCustomWinSocket() {
    Close();
}

bool TCustomWinSocket::Open() const {
    std::lock_guard lock(stateMutex_);
    return handle_ != nullptr;
}

std::shared_ptr<TCustomWinSocket::THandle> TCustomWinSocket::Acquire() const {
    std::lock_guard lock(stateMutex_);
    return handle_;
}

void TCustomWinSocket::Close() {
    std::shared_ptr<THandle> handle;
    {
        std::lock_guard lock(stateMutex_);
        handle = std::move(handle_);
        connected_.store(false);
    }
    if (handle) {
        handle->closed.store(true);
        // Wakes poll(), recv() and send() in other threads; the descriptor is closed when the
        // last of them lets go of the handle.
        ::shutdown(handle->fd, SHUT_RDWR);
    }
}

void TCustomWinSocket::Abort() {
    {
        std::lock_guard lock(stateMutex_);
        aborted_ = true;
    }
    Close();
}

bool TCustomWinSocket::Aborted() const {
    std::lock_guard lock(stateMutex_);
    return aborted_;
}

void TCustomWinSocket::SetEndpoints(int fd, const sockaddr_in& peer) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool haveLocal = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    remoteAddress_ = DottedText(peer.sin_addr);
    remotePort_ = ntohs(peer.sin_port);
    localAddress_ = haveLocal ? DottedText(local.sin_addr) : std::string();
    localPort_ = haveLocal ? ntohs(local.sin_port) : 0;
}

void TCustomWinSocket::Adopt(int fd, const sockaddr_in& peer) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto handle = std::make_shared<THandle>(fd);
    std::shared_ptr<THandle> old;
    std::lock_guard lock(stateMutex_);
    old = std::move(handle_);
    handle_ = std::move(handle);
    SetEndpoints(fd, peer);
    connected_.store(true);
}

void TCustomWinSocket::Connect(const std::string& address, int port, std::uint32_t timeoutMs) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    if (port < 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        throw ESocketError::ForCall(EINVAL, "connect");
    }
    peer.sin_port = htons(static_cast<std::uint16_t>(port));

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        throw ESocketError(kCannotCreateSocketText, errno);
    }
    auto handle = std::make_shared<THandle>(fd);
    {
        std::lock_guard lock(stateMutex_);
        if (aborted_) {
            throw ESocketError::ForCall(ECONNABORTED, "connect");
        }
        if (handle_) {
            throw ESocketError(kSocketAlreadyOpenText);
        }
        // Published at once, so that a Close() from another thread aborts the connect.
        handle_ = handle;
    }
    auto fail = [&](int code) {
        {
            std::lock_guard lock(stateMutex_);
            if (handle_ == handle) {
                handle_.reset();
            }
        }
        throw ESocketError::ForCall(code, "connect");
    };

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            fail(errno);
        }
        const TDeadline deadline(timeoutMs == 0 ? kNoDeadline : timeoutMs);
        const int ready = PollOne(fd, POLLOUT, deadline);
        if (ready < 0) {
            fail(errno);
        }
        if (ready == 0) {
            fail(ETIMEDOUT);
        }
        if (handle->closed.load()) {
            fail(ECONNABORTED);
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            fail(errno);
        }
        if (error != 0) {
            fail(error);
        }
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        fail(errno);
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    std::lock_guard lock(stateMutex_);
    if (handle_ != handle || handle->closed.load()) {
        throw ESocketError::ForCall(ECONNABORTED, "connect");
    }
    SetEndpoints(fd, peer);
    connected_.store(true);
}

std::string TCustomWinSocket::RemoteAddress() const {
    std::lock_guard lock(stateMutex_);
    return connected_.load() ? remoteAddress_ : std::string();
}

int TCustomWinSocket::RemotePort() const {
    std::lock_guard lock(stateMutex_);
    return connected_.load() ? remotePort_ : 0;
}

std::string TCustomWinSocket::LocalAddress() const {
    std::lock_guard lock(stateMutex_);
    return connected_.load() ? localAddress_ : std::string();
}

int TCustomWinSocket::LocalPort() const {
    std::lock_guard lock(stateMutex_);
    return connected_.load() ? localPort_ : 0;
}

std::string TCustomWinSocket::RemoteHost(THostResolver& resolver, std::uint32_t timeoutMs) const {
    const std::string address = RemoteAddress();
    if (address.empty()) {
        return {};
    }
    return resolver.Reverse(address, timeoutMs);
}

}  // namespace vox
