// One TCP connection (IPv4, blocking).
//
// The object owns its socket. It is used from several threads at once: the thread that serves
// the connection reads, other threads write, and any thread may close it. Close() wakes every
// thread that waits, reads or writes on the connection; the descriptor itself is released only
// when no operation uses it any more, so it can never be reused under a running operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Durations.h"

struct sockaddr_in;

namespace vox {

class THostResolver;

class TCustomWinSocket {
  public:
    TCustomWinSocket();
    ~TCustomWinSocket();  // closes

    TCustomWinSocket(const TCustomWinSocket&) = delete;
    TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

    // Set by a successful connect or accept; cleared only by Close() on this side. A close by
    // the peer leaves it set (reads then deliver 0 bytes).
    bool Connected() const { return connected_.load(); }

    // True while the object holds a socket: connecting, connected, or closed by the peer.
    bool Open() const;

    // Shuts the connection down, wakes every waiting operation and clears the connected flag.
    // Thread-safe; on a connection already closed it does nothing.
    void Close();
    // Closes for good: a Connect() in progress ends as Close() ends it, and every later
    // Connect() fails with ECONNABORTED before it begins. Thread-safe.
    void Abort();
    bool Aborted() const;

    // The peer's IPv4 address in dotted form and its port; "" / 0 when not connected.
    std::string RemoteAddress() const;
    int RemotePort() const;
    // The peer's host name by a reverse look-up on resolver, waiting at most timeoutMs; "" when
    // not connected or when the look-up finds nothing in time.
    std::string RemoteHost(THostResolver& resolver,
                           std::uint32_t timeoutMs = kReverseLookupMs) const;
    // The local end's address and port; "" / 0 when not connected.
    std::string LocalAddress() const;
    int LocalPort() const;

    // Connects to a dotted IPv4 address, blocking the calling thread until the connection
    // stands, fails, or timeoutMs have passed (0: only the system's own limit). TCP_NODELAY is
    // set. Raises ESocketError: "ソケットはすでに開いています" when the object already holds a
    // socket, "ソケットが作成できません", or the socket error with API 'connect' (a Close()
    // from another thread while connecting, or an Abort() at any time before, ends it with
    // ECONNABORTED).
    void Connect(const std::string& address, int port, std::uint32_t timeoutMs = kHandshakeLimitMs);

  private:
    friend class TWinSocketStream;
    friend class TServerSocket;

    // The descriptor and a closed mark, shared by every operation that uses them; the last
    // holder closes the descriptor.
    struct THandle {
        explicit THandle(int descriptor) : fd(descriptor) {}
        ~THandle();
        THandle(const THandle&) = delete;
        THandle& operator=(const THandle&) = delete;
        const int fd;
        std::atomic<bool> closed{false};
    };

    // The handle for one operation; null once closed on this side.
    std::shared_ptr<THandle> Acquire() const;
    // Takes over an accepted, connected descriptor.
    void Adopt(int fd, const sockaddr_in& peer);
    void SetEndpoints(int fd, const sockaddr_in& peer);

    mutable std::mutex stateMutex_;
    std::shared_ptr<THandle> handle_;
    std::atomic<bool> connected_{false};
    bool aborted_ = false;
    std::string remoteAddress_;
    int remotePort_ = 0;
    std::string localAddress_;
    int localPort_ = 0;

    // Reads exclude reads and writes exclude writes, each for the whole operation. A read
    // that waits for the rest of a packet does not hold up writers on the same connection.
    std::mutex readLock_;
    std::mutex writeLock_;
};

}  // namespace vox
