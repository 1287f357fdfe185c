#include "net/WinSocketStream.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include "net/SocketError.h"
#include "net/SocketPoll.h"
#include "net/Tls.h"

namespace vox {

namespace {

// The pipe that carries ReadToFile()'s bytes from the connection to the file.
constexpr int kPipeBytes = 1 << 20;

// sendfile() and splice() have no per-call "don't wait": the descriptor itself must not
// block. Every other operation of the stream asks for that per call already.
void MakeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

// sendfile() has no MSG_NOSIGNAL: while one runs, SIGPIPE is held back for this thread, and
// one that a closed or reset connection raised meanwhile is taken away before the thread may
// see it again. It may come with a partly successful call as well as with EPIPE.
class TNoSigPipe {
  public:
    TNoSigPipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        alreadyPending_ = Pending();
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~TNoSigPipe() {
        if (!alreadyPending_ && Pending()) {
            const timespec none{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    TNoSigPipe(const TNoSigPipe&) = delete;
    TNoSigPipe& operator=(const TNoSigPipe&) = delete;

  private:
    static bool Pending() {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        return sigismember(&pending, SIGPIPE) == 1;
    }

    sigset_t pipe_{};
    sigset_t old_{};
    bool alreadyPending_ = false;
};

// Reads once with attempt (a non-blocking read of the connection, or the peer's close as 0)
// until it gives bytes, the peer closes, or the deadline passes (0): the waits and failures of
// every read of the stream.
template <class Handle, class Attempt>
int ReadWhenReady(const Handle& handle, const TDeadline& deadline, Attempt attempt) {
    for (;;) {
        if (handle->closed.load()) {
            return 0;
        }
        const ssize_t n = attempt();
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n == 0) {
            return 0;  // the peer has closed (or we shut the connection down)
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) {
            if (handle->closed.load()) {
                return 0;
            }
            throw ESocketError::ForStream("Read", error);
        }
        const int ready = PollOne(handle->fd, POLLIN, deadline);
        if (ready == 0) {
            return 0;
        }
        if (ready < 0) {
            throw ESocketError::ForStream("Read", errno);
        }
    }
}

// Writes count bytes with attempt(written) (a non-blocking write of what is left) as the
// connection takes them, until all are written or the deadline passes; returns what was
// written. fail(error) throws for a failed attempt: the waits and failures of every write.
template <class Handle, class Attempt, class Fail>
int WriteWhenReady(const Handle& handle, const TDeadline& deadline, int count, Attempt attempt,
                   Fail fail) {
    int written = 0;
    while (written < count) {
        if (handle->closed.load()) {
            return written;
        }
        const ssize_t n = attempt(written);
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        const int error = n < 0 ? errno : EAGAIN;
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) {
            if (handle->closed.load()) {
                return written;
            }
            fail(error);
        }
        const int ready = PollOne(handle->fd, POLLOUT, deadline);
        if (ready == 0) {
            return written;
        }
        if (ready < 0) {
            throw ESocketError::ForStream("Write", errno);
        }
    }
    return written;
}

// Sends the session's gathered records as far as the connection takes them, and says what to
// wait for besides: POLLOUT while some are left. A failure shows at the next read or write.
short FlushEvents(TTlsSession& tls) {
    if (!tls.Unflushed()) {
        return 0;
    }
    const TTlsSession::TResult r = tls.Flush();
    return r.wantWrite ? POLLOUT : 0;
}

// One read through the TLS session: waits as ReadWhenReady does, sending what this end has
// written meanwhile (the partner may wait for it before it answers).
template <class Handle>
int TlsRead(const Handle& handle, TTlsSession& tls, const TDeadline& deadline, void* buffer,
            int count) {
    for (;;) {
        if (handle->closed.load()) {
            return 0;
        }
        const TTlsSession::TResult r = tls.ReadSome(buffer, count);
        if (r.bytes > 0) {
            return r.bytes;
        }
        if (r.peerClosed || handle->closed.load()) {
            return 0;
        }
        if (!r.wantRead && !r.wantWrite) {
            throw ESocketError::ForStream("Read", r.error);
        }
        const short events = static_cast<short>((r.wantRead ? POLLIN : POLLOUT) | FlushEvents(tls));
        const int ready = PollOne(handle->fd, events, deadline);
        if (ready == 0) {
            return 0;
        }
        if (ready < 0) {
            throw ESocketError::ForStream("Read", errno);
        }
    }
}

// Writes count bytes through the TLS session as WriteWhenReady does.
template <class Handle>
int TlsWrite(const Handle& handle, TTlsSession& tls, const TDeadline& deadline, const char* bytes,
             int count) {
    int written = 0;
    while (written < count) {
        if (handle->closed.load()) {
            return written;
        }
        const TTlsSession::TResult r = tls.WriteSome(bytes + written, count - written);
        if (r.bytes > 0) {
            written += r.bytes;
            continue;
        }
        if (handle->closed.load()) {
            return written;
        }
        if (!r.wantRead && !r.wantWrite) {
            throw ESocketError::ForStream("Write", r.error != 0 ? r.error : EPIPE);
        }
        const int ready = PollOne(handle->fd, r.wantRead ? POLLIN : POLLOUT, deadline);
        if (ready == 0) {
            return written;
        }
        if (ready < 0) {
            throw ESocketError::ForStream("Write", errno);
        }
    }
    // What was written goes out now. Should the connection not take it all in time, it stays
    // gathered (it counts as written: the session has it) and goes with the next read, write
    // or wait on the connection, as bytes in the system's own buffer would.
    for (;;) {
        if (handle->closed.load()) {
            return written;
        }
        const TTlsSession::TResult r = tls.Flush();
        if (r.bytes > 0) {
            return written;
        }
        if (!r.wantWrite) {
            throw ESocketError::ForStream("Write", r.error != 0 ? r.error : EPIPE);
        }
        const int ready = PollOne(handle->fd, POLLOUT, deadline);
        if (ready == 0) {
            return written;
        }
        if (ready < 0) {
            throw ESocketError::ForStream("Write", errno);
        }
    }
}

// Whether the peer has closed its sending half (or the connection has failed), without
// waiting: bytes already received may still be waiting to be read.
bool PeerHungUp(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The bytes of a file go through this process when the connection is encrypted.
constexpr int kFileChunkBytes = 256 * 1024;
// What one read of an encrypted connection into a file takes in at most: every system call
// and acknowledgement per read costs as much as decrypting some ten kilobytes.
constexpr int kFileReadChunkBytes = 1024 * 1024;
// Peek's pause while the first bytes arrive one by one.
constexpr useconds_t kPeekPauseUs = 2000;

}  // namespace

TWinSocketStream::TWinSocketStream(TCustomWinSocket& socket, std::uint32_t timeoutMs)
    : socket_(socket), timeoutMs_(timeoutMs) {}

TWinSocketStream::~TWinSocketStream() {
    for (const int fd : pipe_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

int TWinSocketStream::ReadToFile(int fileFd, int count) {
    if (count <= 0) {
        return 0;
    }
    const auto handle = socket_.Acquire();
    if (!handle) {
        return 0;
    }
    std::lock_guard lock(socket_.readLock_);
    if (TTlsSession* tls = handle->tls.load()) {
        // One TLS record (16 KiB at most) per read from the session: what has arrived already
        // is taken in the same call, so that the file is written, and acknowledged, in large
        // blocks rather than record by record.
        const int size = std::min(count, kFileReadChunkBytes);
        if (tlsReadBuffer_.size() < static_cast<std::size_t>(size)) {
            tlsReadBuffer_.resize(static_cast<std::size_t>(size));
        }
        char* const buffer = tlsReadBuffer_.data();
        int n = TlsRead(handle, *tls, TDeadline(timeoutMs_), buffer, size);
        while (n > 0 && n < size && !handle->closed.load()) {
            const TTlsSession::TResult more = tls->ReadSome(buffer + n, size - n);
            if (more.bytes <= 0) {
                break;  // nothing more without waiting; a close or failure shows next time
            }
            n += more.bytes;
        }
        for (int done = 0; done < n;) {
            const ssize_t put = ::write(fileFd, buffer + done, static_cast<std::size_t>(n - done));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                throw std::system_error(put < 0 ? errno : EIO, std::generic_category(), "write");
            }
            done += static_cast<int>(put);
        }
        return n;
    }
    if (pipe_[0] < 0) {
        if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        ::fcntl(pipe_[1], F_SETPIPE_SZ, kPipeBytes);  // a smaller pipe only moves less at once
    }
    MakeNonBlocking(handle->fd);
    return ReadWhenReady(handle, TDeadline(timeoutMs_), [&]() -> ssize_t {
        const ssize_t n = ::splice(handle->fd, nullptr, pipe_[1], nullptr,
                                   static_cast<std::size_t>(std::min(count, kPipeBytes)),
                                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
            MoveToFile(fileFd, static_cast<std::size_t>(n));
        }
        return n;
    });
}

void TWinSocketStream::MoveToFile(int fileFd, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::splice(pipe_[0], nullptr, fileFd, nullptr, size, SPLICE_F_MOVE);
        if (n > 0) {
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EINVAL) {
            // A file system that takes no splice: the bytes go through here after all.
            char buffer[64 * 1024];
            while (size > 0) {
                const ssize_t got = ::read(pipe_[0], buffer, std::min(size, sizeof buffer));
                if (got <= 0) {
                    throw std::system_error(got < 0 ? errno : EIO, std::generic_category(), "read");
                }
                for (ssize_t done = 0; done < got;) {
                    const ssize_t put =
                        ::write(fileFd, buffer + done, static_cast<std::size_t>(got - done));
                    if (put < 0 && errno == EINTR) {
                        continue;
                    }
                    if (put <= 0) {
                        throw std::system_error(put < 0 ? errno : EIO, std::generic_category(),
                                                "write");
                    }
                    done += put;
                }
                size -= static_cast<std::size_t>(got);
            }
            return;
        }
        throw std::system_error(n < 0 ? errno : EIO, std::generic_category(), "write");
    }
}

bool TWinSocketStream::WaitForData(std::uint32_t timeoutMs) {
    const auto handle = socket_.Acquire();
    if (!handle) {
        return false;
    }
    const TDeadline deadline(timeoutMs);
    if (TTlsSession* tls = handle->tls.load()) {
        // Readable means a byte of the partner's data (or its close), not just some record.
        for (;;) {
            if (handle->closed.load()) {
                return false;
            }
            const TTlsSession::TResult r = tls->PeekOne();
            if (r.bytes > 0 || (!r.wantRead && !r.wantWrite)) {
                return !handle->closed.load();
            }
            // While waiting, what this end has written goes out as the connection takes it.
            const short events =
                static_cast<short>((r.wantRead ? POLLIN : POLLOUT) | FlushEvents(*tls));
            const int ready = PollOne(handle->fd, events, deadline);
            if (ready == 0 || handle->closed.load()) {
                return false;
            }
            if (ready < 0) {
                throw ESocketError::ForStream("Read", errno);
            }
        }
    }
    const int ready = PollOne(handle->fd, POLLIN, deadline);
    if (handle->closed.load()) {
        return false;
    }
    if (ready < 0) {
        throw ESocketError::ForStream("Read", errno);
    }
    return ready > 0;
}

int TWinSocketStream::Read(void* buffer, int count) {
    if (count <= 0) {
        return 0;
    }
    const auto handle = socket_.Acquire();
    if (!handle) {
        return 0;
    }
    std::lock_guard lock(socket_.readLock_);
    if (TTlsSession* tls = handle->tls.load()) {
        return TlsRead(handle, *tls, TDeadline(timeoutMs_), buffer, count);
    }
    return ReadWhenReady(handle, TDeadline(timeoutMs_), [&] {
        return ::recv(handle->fd, buffer, static_cast<std::size_t>(count), MSG_DONTWAIT);
    });
}

int TWinSocketStream::Write(const void* buffer, int count) {
    if (count <= 0) {
        return 0;
    }
    const auto handle = socket_.Acquire();
    if (!handle) {
        return 0;
    }
    std::lock_guard lock(socket_.writeLock_);
    const auto* bytes = static_cast<const char*>(buffer);
    if (TTlsSession* tls = handle->tls.load()) {
        return TlsWrite(handle, *tls, TDeadline(timeoutMs_), bytes, count);
    }
    return WriteWhenReady(
        handle, TDeadline(timeoutMs_), count,
        [&](int written) {
            return ::send(handle->fd, bytes + written, static_cast<std::size_t>(count - written),
                          MSG_NOSIGNAL | MSG_DONTWAIT);
        },
        [](int error) { throw ESocketError::ForStream("Write", error); });
}

int TWinSocketStream::WriteFromFile(int fileFd, std::int64_t offset, int count) {
    if (count <= 0) {
        return 0;
    }
    const auto handle = socket_.Acquire();
    if (!handle) {
        return 0;
    }
    std::lock_guard lock(socket_.writeLock_);
    if (TTlsSession* tls = handle->tls.load()) {
        const TDeadline deadline(timeoutMs_);
        const auto size = static_cast<std::size_t>(std::min(count, kFileChunkBytes));
        if (tlsWriteBuffer_.size() < size) {
            tlsWriteBuffer_.resize(size);
        }
        char* const buffer = tlsWriteBuffer_.data();
        int written = 0;
        while (written < count) {
            const auto want = static_cast<std::size_t>(std::min(count - written, kFileChunkBytes));
            const ssize_t got = ::pread(fileFd, buffer, want, offset + written);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                throw std::system_error(errno, std::generic_category(), "read");
            }
            if (got == 0) {
                throw std::system_error(EIO, std::generic_category(), "the file became shorter");
            }
            const int put = TlsWrite(handle, *tls, deadline, buffer, static_cast<int>(got));
            written += put;
            if (put < got) {
                break;
            }
        }
        return written;
    }
    MakeNonBlocking(handle->fd);
    const TNoSigPipe noSigPipe;
    return WriteWhenReady(
        handle, TDeadline(timeoutMs_), count,
        [&](int written) {
            auto position = static_cast<off_t>(offset + written);
            const ssize_t n = ::sendfile(handle->fd, fileFd, &position,
                                         static_cast<std::size_t>(count - written));
            if (n == 0) {
                throw std::system_error(EIO, std::generic_category(), "the file became shorter");
            }
            return n;
        },
        [](int error) {
            if (error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ENOTSOCK ||
                error == EBADF) {
                throw ESocketError::ForStream("Write", error);
            }
            // The file's side failed (EIO, EINVAL for a file that cannot be mapped, ...).
            throw std::system_error(error, std::generic_category(), "read");
        });
}

}  // namespace vox

namespace vox {

int TWinSocketStream::Peek(void* buffer, int count) {
    if (count <= 0) {
        return 0;
    }
    const auto handle = socket_.Acquire();
    if (!handle) {
        return 0;
    }
    std::lock_guard lock(socket_.readLock_);
    const TDeadline deadline(timeoutMs_);
    int seen = 0;
    for (;;) {
        if (handle->closed.load()) {
            return 0;
        }
        const ssize_t n =
            ::recv(handle->fd, buffer, static_cast<std::size_t>(count), MSG_PEEK | MSG_DONTWAIT);
        if (n >= count || n == 0) {
            return static_cast<int>(n);
        }
        if (n > 0) {
            seen = static_cast<int>(n);
            // The rest is on its way: a short pause rather than a poll that returns at once.
            // A peer that has already hung up sends no more: what came is all there is.
            if (deadline.Passed() || PeerHungUp(handle->fd)) {
                return seen;
            }
            ::usleep(kPeekPauseUs);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            throw ESocketError::ForStream("Read", errno);
        }
        const int ready = PollOne(handle->fd, POLLIN, deadline);
        if (ready == 0) {
            return seen;
        }
        if (ready < 0) {
            throw ESocketError::ForStream("Read", errno);
        }
    }
}

}  // namespace vox
