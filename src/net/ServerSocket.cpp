#include "net/ServerSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "net/Address.h"
#include "net/SocketError.h"
#include "platform/Durations.h"
#include "platform/Synchronizer.h"

namespace vox {

namespace {

// How long the accept thread pauses after accept() fails for lack of resources.
constexpr int kAcceptRetryMs = 100;

}  // namespace

// ---------------------------------------------------------------------------------------------
// TServerClientThread

TServerClientThread::TServerClientThread(TSynchronizer* sync) : TThread(sync) {}

TServerClientThread::~TServerClientThread() {
    Terminate();
    CloseConnection();
    WaitFor();
}

TCustomWinSocket* TServerClientThread::ClientSocket() const {
    std::lock_guard lock(connMutex_);
    return socket_.get();
}

TServerSocket* TServerClientThread::ServerSocket() const {
    std::lock_guard lock(connMutex_);
    return server_;
}

bool TServerClientThread::KeepInCache() const {
    std::lock_guard lock(connMutex_);
    return keepInCache_;
}

void TServerClientThread::TerminateRequested() {
    { std::lock_guard lock(connMutex_); }
    connCv_.notify_all();
}

void TServerClientThread::Attach(TServerSocket* server, std::unique_ptr<TCustomWinSocket> socket,
                                 bool keep) {
    {
        std::lock_guard lock(connMutex_);
        server_ = server;
        socket_ = std::move(socket);
        keepInCache_ = keep;
        idle_ = false;
    }
    connCv_.notify_all();
}

bool TServerClientThread::TryAssign(std::unique_ptr<TCustomWinSocket>& socket) {
    {
        std::lock_guard lock(connMutex_);
        if (!idle_ || socket_ || Terminated()) {
            return false;
        }
        socket_ = std::move(socket);
        idle_ = false;
    }
    connCv_.notify_all();
    return true;
}

void TServerClientThread::CloseConnection() {
    std::lock_guard lock(connMutex_);
    if (socket_ && socket_->Connected()) {
        socket_->Close();
    }
}

void TServerClientThread::ServeHere(std::unique_ptr<TCustomWinSocket> socket) {
    Attach(nullptr, std::move(socket), false);
    // Frees the connection (closing it) however the body ends.
    auto release = [this] {
        std::unique_ptr<TCustomWinSocket> done;
        std::lock_guard lock(connMutex_);
        done.swap(socket_);
    };
    try {
        ClientExecute();
    } catch (...) {
        release();
        throw;
    }
    release();
}

void TServerClientThread::Execute() {
    TServerSocket* server = nullptr;
    for (;;) {
        bool keep = false;
        {
            std::unique_lock lock(connMutex_);
            idle_ = socket_ == nullptr;
            connCv_.wait(lock, [this] { return socket_ != nullptr || Terminated(); });
            idle_ = false;
            server = server_;
            keep = keepInCache_;
        }
        std::exception_ptr error;
        if (!Terminated()) {
            try {
                ClientExecute();
            } catch (...) {
                error = std::current_exception();
            }
        }
        std::unique_ptr<TCustomWinSocket> done;
        {
            std::lock_guard lock(connMutex_);
            done = std::move(socket_);
        }
        done.reset();  // frees the connection, which closes it
        if (error) {
            if (server != nullptr) {
                server->ReportException(error);
            }
            break;
        }
        if (Terminated() || !keep) {
            break;
        }
    }
    if (server != nullptr) {
        server->ThreadEnded(*this);
    }
}

void TServerClientThread::AfterFinish() {
    TServerSocket* server = ServerSocket();
    if (server != nullptr) {
        server->WakeAcceptThread();  // so that it frees this thread
    }
}

// ---------------------------------------------------------------------------------------------
// TServerSocket

class TServerSocket::TAcceptThread : public TThread {
  public:
    TAcceptThread(TServerSocket& server, TSynchronizer* sync) : TThread(sync), server_(server) {}
    TAcceptThread(const TAcceptThread&) = delete;
    TAcceptThread& operator=(const TAcceptThread&) = delete;
    ~TAcceptThread() override {
        Terminate();
        server_.WakeAcceptThread();
        WaitFor();
    }

  protected:
    void Execute() override { server_.AcceptLoop(*this); }

  private:
    TServerSocket& server_;
};

TServerSocket::TServerSocket(TSynchronizer* sync) : sync_(sync) {}

TServerSocket::~TServerSocket() {
    if (!Active()) {
        return;
    }
    if (const char* misuse = OwnThreadMisuse()) {
        // Freeing the listener would free the thread this runs on: no caller does that, and
        // nothing sound can follow it.
        (void)std::fprintf(stderr, "%s\n", misuse);
        std::abort();
    }
    CloseThreads();
}

void TServerSocket::SetPort(int port) {
    if (port != port_) {
        if (Active()) {
            throw ESocketError(kCantChangeWhileActiveText);
        }
        port_ = port;
    }
}

void TServerSocket::SetBindAddress(std::string address) {
    if (address != bindAddress_) {
        if (Active()) {
            throw ESocketError(kCantChangeWhileActiveText);
        }
        bindAddress_ = std::move(address);
    }
}

std::size_t TServerSocket::ActiveThreadCount() const {
    std::lock_guard lock(listMutex_);
    return static_cast<std::size_t>(
        std::count_if(threads_.begin(), threads_.end(), [](const auto& t) { return !t->ended_; }));
}

void TServerSocket::Open() {
    if (Active()) {
        return;
    }
    // Every local address, IPv4 and IPv6 on one socket (IPv4 callers arrive IPv4-mapped);
    // IPv4 alone where the system has no IPv6.
    sockaddr_storage local{};
    unsigned localLength = 0;
    bool dualStack = false;
    if (bindAddress_.empty()) {
        if (!MakeSocketAddress("::", port_, local, localLength)) {
            throw ESocketError::ForCall(EINVAL, "bind");
        }
        dualStack = true;
    } else if (!MakeSocketAddress(bindAddress_, port_, local, localLength)) {
        throw ESocketError::ForCall(EINVAL, "bind");
    }
    listenFd_ = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 && dualStack && errno == EAFNOSUPPORT) {
        MakeSocketAddress("0.0.0.0", port_, local, localLength);
        dualStack = false;
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    if (listenFd_ < 0) {
        const int error = errno;
        throw ESocketError(kCannotCreateSocketText, error);
    }
    auto fail = [this](int code, const char* api) {
        CloseDescriptors();
        throw ESocketError::ForCall(code, api);
    };
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (dualStack) {
        const int off = 0;
        if (::setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
            fail(errno, "setsockopt");
        }
    }
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&local), localLength) != 0) {
        fail(errno, "bind");
    }
    // The system's largest backlog: callers that arrive while the accept thread is busy (its
    // hook waits on the user-interface thread, a burst of calls) wait there, not in connect.
    if (::listen(listenFd_, SOMAXCONN) != 0) {
        fail(errno, "listen");
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        fail(errno, "getsockname");
    }
    const int boundPort = bound.ss_family == AF_INET6
                              ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                              : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        fail(errno, "pipe");
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    localPort_.store(boundPort);
    try {
        acceptThread_ = std::make_unique<TAcceptThread>(*this, sync_);
        acceptThread_->Start();
    } catch (...) {
        acceptThread_.reset();
        CloseDescriptors();
        throw;
    }
    active_.store(true);
}

void TServerSocket::WaitForThread(TThread& thread) {
    if (sync_ != nullptr && sync_->IsMainThread()) {
        sync_->WaitUntil([&] { return thread.Finished(); });
    }
    thread.WaitFor();
}

const char* TServerSocket::OwnThreadMisuse() const {
    if (acceptThread_ && acceptThread_->IsCurrentThread()) {
        return "a listener cannot be closed from its accept thread";
    }
    std::lock_guard lock(listMutex_);
    for (const auto& t : threads_) {
        if (t->IsCurrentThread()) {
            return "a listener cannot be closed from its own thread";
        }
    }
    return nullptr;
}

void TServerSocket::Close() {
    if (!Active()) {
        return;
    }
    if (const char* misuse = OwnThreadMisuse()) {
        throw std::logic_error(misuse);
    }
    CloseThreads();
}

void TServerSocket::CloseThreads() {
    active_.store(false);

    // No new connections from here on.
    acceptThread_->Terminate();
    WakeAcceptThread();
    WaitForThread(*acceptThread_);
    acceptThread_.reset();

    // Each thread in turn: terminate, close its connection, wait, free.
    for (;;) {
        TServerClientThread* thread = nullptr;
        {
            std::lock_guard lock(listMutex_);
            if (threads_.empty()) {
                break;
            }
            thread = threads_.front().get();
        }
        thread->Terminate();
        thread->CloseConnection();
        WaitForThread(*thread);
        std::unique_ptr<TServerClientThread> owned;
        {
            std::lock_guard lock(listMutex_);
            auto it = std::find_if(threads_.begin(), threads_.end(),
                                   [&](const auto& t) { return t.get() == thread; });
            owned = std::move(*it);
            threads_.erase(it);
        }
        owned.reset();
    }
    CloseDescriptors();
    localPort_.store(0);
}

void TServerSocket::CloseDescriptors() {
    for (int* fd : {&listenFd_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void TServerSocket::WakeAcceptThread() {
    if (wakeWrite_ >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing else can go wrong here.
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
    }
}

void TServerSocket::AcceptLoop(TThread& self) {
    while (!self.Terminated()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            continue;  // EINTR; poll() fails otherwise only for bad arguments
        }
        if (fds[1].revents != 0) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (self.Terminated()) {
            break;
        }
        ReapFinished();
        if ((fds[0].revents & POLLIN) != 0) {
            AcceptOne();
        }
    }
}

void TServerSocket::AcceptOne() {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        switch (error) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                return;  // the caller went away before we took the connection
            default: {
                // Out of descriptors or memory, say: report it and pause briefly, woken early
                // by Close().
                if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) {
                    ReportException(
                        std::make_exception_ptr(ESocketError::ForCall(error, "accept")));
                }
                pollfd wake{wakeRead_, POLLIN, 0};
                ::poll(&wake, 1, kAcceptRetryMs);
                return;
            }
        }
    }
    auto socket = std::make_unique<TCustomWinSocket>();
    socket->Adopt(fd, reinterpret_cast<const sockaddr&>(peer));
    try {
        if (OnAccept) {
            OnAccept(*this, *socket);
        }
        HandOut(std::move(socket));
    } catch (...) {
        ReportException(std::current_exception());
    }
}

void TServerSocket::HandOut(std::unique_ptr<TCustomWinSocket> socket) {
    {
        std::lock_guard lock(listMutex_);
        for (const auto& t : threads_) {
            if (!t->ended_ && t->TryAssign(socket)) {
                return;
            }
        }
    }
    if (!OnGetThread) {
        return;  // nobody serves it: the connection is freed
    }
    std::unique_ptr<TServerClientThread> created = OnGetThread(*this, *socket);
    if (!created) {
        return;
    }
    TServerClientThread* thread = created.get();
    {
        std::lock_guard lock(listMutex_);
        const auto active = std::count_if(threads_.begin(), threads_.end(),
                                          [](const auto& t) { return !t->ended_; });
        const bool keep = active + 1 <= ThreadCacheSize();
        thread->Attach(this, std::move(socket), keep);
        threads_.push_back(std::move(created));
    }
    try {
        thread->Start();
    } catch (...) {
        std::unique_ptr<TServerClientThread> failed;
        {
            std::lock_guard lock(listMutex_);
            auto it = std::find_if(threads_.begin(), threads_.end(),
                                   [&](const auto& t) { return t.get() == thread; });
            failed = std::move(*it);
            threads_.erase(it);
        }
        throw;
    }
}

void TServerSocket::ReapFinished() {
    std::vector<std::unique_ptr<TServerClientThread>> finished;
    {
        std::lock_guard lock(listMutex_);
        for (auto it = threads_.begin(); it != threads_.end();) {
            if ((*it)->Finished()) {
                finished.push_back(std::move(*it));
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& thread : finished) {
        thread->WaitFor();
        thread.reset();
    }
}

void TServerSocket::ReportException(std::exception_ptr error) {
    if (!OnException) {
        return;
    }
    try {
        auto show = [&] { OnException(*this, error); };
        if (sync_ != nullptr) {
            sync_->Synchronize(show);
        } else {
            show();
        }
    } catch (...) {
        // The hook's own failure has nowhere to go.
    }
}

void TServerSocket::ThreadEnded(TServerClientThread& thread) {
    std::lock_guard lock(listMutex_);
    thread.ended_ = true;
}

}  // namespace vox
