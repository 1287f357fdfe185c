#include "net/CustomWinSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "net/Address.h"
#include "net/HostLookup.h"
#include "net/SocketError.h"
#include "net/SocketPoll.h"
#include "net/Tls.h"

namespace vox {

namespace {

int PortOf(const sockaddr& address) {
    if (address.sa_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    if (address.sa_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return 0;
}

}  // namespace

TCustomWinSocket::THandle::~THandle() {
    delete tls.load();
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
    return handle_ && !handle_->wake ? handle_ : nullptr;
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
        if (handle->wake) {
            ::eventfd_write(handle->fd, 1);
        } else {
            ::shutdown(handle->fd, SHUT_RDWR);
        }
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

void TCustomWinSocket::SetEndpoints(int fd, const sockaddr& peer) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    const bool haveLocal = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    remoteAddress_ = AddressText(peer);
    remotePort_ = PortOf(peer);
    localAddress_ =
        haveLocal ? AddressText(reinterpret_cast<const sockaddr&>(local)) : std::string();
    localPort_ = haveLocal ? PortOf(reinterpret_cast<const sockaddr&>(local)) : 0;
}

void TCustomWinSocket::Adopt(int fd, const sockaddr& peer) {
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
    ConnectFirst({address}, port, timeoutMs);
}

namespace {

using TSteady = std::chrono::steady_clock;

// One connect under way in a race.
struct TAttempt {
    int fd = -1;
    sockaddr_storage peer{};
};

// Closes the descriptors of a race when it ends, the winner's excepted.
struct TAttempts {
    std::vector<TAttempt> list;
    TAttempts() = default;
    TAttempts(const TAttempts&) = delete;
    TAttempts& operator=(const TAttempts&) = delete;
    ~TAttempts() {
        for (const TAttempt& attempt : list) {
            ::close(attempt.fd);
        }
    }
};

int MsUntil(TSteady::time_point when) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - TSteady::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT32_MAX));
}

}  // namespace

void TCustomWinSocket::ConnectFirst(const std::vector<std::string>& addresses, int port,
                                    std::uint32_t timeoutMs, std::uint32_t attemptDelayMs) {
    std::vector<sockaddr_storage> peers;
    for (const std::string& address : addresses) {
        sockaddr_storage peer{};
        unsigned length = 0;
        if (MakeSocketAddress(address, port, peer, length)) {
            peers.push_back(peer);
        }
    }
    if (peers.empty()) {
        throw ESocketError::ForCall(EINVAL, "connect");
    }

    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        throw ESocketError(kCannotCreateSocketText, errno);
    }
    auto race = std::make_shared<THandle>(wakeFd, true);
    {
        std::lock_guard lock(stateMutex_);
        if (aborted_) {
            throw ESocketError::ForCall(ECONNABORTED, "connect");
        }
        if (handle_) {
            throw ESocketError(kSocketAlreadyOpenText);
        }
        // Published at once, so that a Close() from another thread aborts the race.
        handle_ = race;
    }
    auto fail = [&](int code) {
        {
            std::lock_guard lock(stateMutex_);
            if (handle_ == race) {
                handle_.reset();
            }
        }
        throw ESocketError::ForCall(code, "connect");
    };

    const TDeadline deadline(timeoutMs == 0 ? kNoDeadline : timeoutMs);
    TAttempts attempts;
    std::size_t next = 0;
    int lastError = ECONNREFUSED;
    TSteady::time_point nextStart = TSteady::now();
    TAttempt winner;
    while (winner.fd < 0) {
        if (race->closed.load()) {
            fail(ECONNABORTED);
        }
        // The next attempt: at its time, or at once when none is under way.
        if (next < peers.size() && (attempts.list.empty() || TSteady::now() >= nextStart)) {
            TAttempt attempt;
            attempt.peer = peers[next++];
            const auto* peer = reinterpret_cast<const sockaddr*>(&attempt.peer);
            const socklen_t length =
                peer->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
            attempt.fd = ::socket(peer->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (attempt.fd < 0) {
                lastError = errno;
                continue;
            }
            nextStart = TSteady::now() + std::chrono::milliseconds(attemptDelayMs);
            if (::connect(attempt.fd, peer, length) == 0) {
                winner = attempt;
                break;
            }
            if (errno != EINPROGRESS && errno != EINTR) {
                lastError = errno;
                ::close(attempt.fd);
                continue;
            }
            attempts.list.push_back(attempt);
            continue;
        }
        if (attempts.list.empty()) {
            fail(lastError);
        }
        if (deadline.Passed()) {
            fail(ETIMEDOUT);
        }
        int waitMs = deadline.RemainingMs();
        if (next < peers.size()) {
            const int untilNext = MsUntil(nextStart);
            waitMs = waitMs < 0 ? untilNext : std::min(waitMs, untilNext);
        }
        std::vector<pollfd> fds;
        for (const TAttempt& attempt : attempts.list) {
            fds.push_back({attempt.fd, POLLOUT, 0});
        }
        fds.push_back({wakeFd, POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), waitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno);
        }
        for (std::size_t i = attempts.list.size(); i-- > 0;) {
            if (fds[i].revents == 0) {
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(attempts.list[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
            if (error == 0 && winner.fd < 0) {
                winner = attempts.list[i];
                attempts.list.erase(attempts.list.begin() + static_cast<std::ptrdiff_t>(i));
            } else if (error != 0) {
                lastError = error;
                ::close(attempts.list[i].fd);
                attempts.list.erase(attempts.list.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    // The losers are closed when attempts goes; the winner now owns a handle of its own.
    auto handle = std::make_shared<THandle>(winner.fd);
    const int flags = ::fcntl(winner.fd, F_GETFL);
    if (flags < 0 || ::fcntl(winner.fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        fail(errno);
    }
    const int on = 1;
    ::setsockopt(winner.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    std::lock_guard lock(stateMutex_);
    if (handle_ != race || race->closed.load()) {
        throw ESocketError::ForCall(ECONNABORTED, "connect");
    }
    handle_ = std::move(handle);
    SetEndpoints(winner.fd, reinterpret_cast<const sockaddr&>(winner.peer));
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

namespace vox {

TTlsOutcome TCustomWinSocket::StartTls(const TTlsIdentity& identity, bool asServer,
                                       std::uint32_t timeoutMs) {
    const auto handle = Acquire();
    if (!handle || handle->tls.load() != nullptr) {
        return TTlsOutcome::Failed;
    }
    auto session = std::make_unique<TTlsSession>(
        identity, asServer ? TTlsSession::TRole::Server : TTlsSession::TRole::Client, handle->fd);
    const TDeadline deadline(timeoutMs);
    for (;;) {
        if (handle->closed.load()) {
            return TTlsOutcome::Failed;
        }
        const TTlsSession::TResult step = session->HandshakeStep();
        if (step.bytes > 0) {
            break;
        }
        if (step.peerClosed) {
            return TTlsOutcome::PeerClosed;
        }
        if (!step.wantRead && !step.wantWrite) {
            return TTlsOutcome::Failed;
        }
        const int ready = PollOne(handle->fd, step.wantRead ? POLLIN : POLLOUT, deadline);
        if (ready == 0) {
            return handle->closed.load() ? TTlsOutcome::Failed : TTlsOutcome::TimedOut;
        }
        if (ready < 0) {
            return TTlsOutcome::Failed;
        }
    }
    handle->tls.store(session.release());
    return TTlsOutcome::Established;
}

bool TCustomWinSocket::Encrypted() const {
    const auto handle = Acquire();
    return handle && handle->tls.load() != nullptr;
}

std::string TCustomWinSocket::PeerFingerprint() const {
    const auto handle = Acquire();
    TTlsSession* tls = handle ? handle->tls.load() : nullptr;
    return tls != nullptr ? tls->PeerFingerprint() : std::string();
}

std::string TCustomWinSocket::CheckString() const {
    const auto handle = Acquire();
    TTlsSession* tls = handle ? handle->tls.load() : nullptr;
    return tls != nullptr ? tls->CheckString() : std::string();
}

}  // namespace vox
