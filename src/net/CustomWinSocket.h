// One TCP connection (IPv4 or IPv6, blocking).
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
#include <vector>

#include "platform/Durations.h"

struct sockaddr;

namespace vox {

class THostResolver;
class TTlsIdentity;
class TTlsSession;

// How a TLS handshake on a connection ended.
enum class TTlsOutcome {
    Established,  // the session stands: every read and write of the connection is encrypted
    PeerClosed,   // the peer closed or reset the connection (a copy that speaks no TLS does)
    TimedOut,     // no answer in time
    Failed,       // the peer spoke something that is no acceptable TLS, or closed here
};

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

    // The peer's address as net/Address.h writes it (dotted IPv4, also for an IPv4 caller on a
    // dual-stack listener; RFC 5952 IPv6) and its port; "" / 0 when not connected.
    std::string RemoteAddress() const;
    int RemotePort() const;
    // The peer's host name by a reverse look-up on resolver, waiting at most timeoutMs; "" when
    // not connected or when the look-up finds nothing in time.
    std::string RemoteHost(THostResolver& resolver,
                           std::uint32_t timeoutMs = kReverseLookupMs) const;
    // The local end's address and port; "" / 0 when not connected.
    std::string LocalAddress() const;
    int LocalPort() const;

    // Connects to a numeric address (dotted IPv4 or IPv6), blocking the calling thread until
    // the connection stands, fails, or timeoutMs have passed (0: only the system's own limit).
    // TCP_NODELAY is set. Raises ESocketError: "ソケットはすでに開いています" when the object
    // already holds a socket, or the socket error with API 'connect' (EINVAL for a text that
    // is no address; a Close() from another thread while connecting, or an Abort() at any
    // time before, ends it with ECONNABORTED).
    void Connect(const std::string& address, int port, std::uint32_t timeoutMs = kHandshakeLimitMs);
    // Connects to the first of several addresses that answers, racing them as RFC 8305 does:
    // the first address at once, each next one attemptDelayMs after the one before or as soon
    // as every attempt under way has failed; the first connection to stand wins and the
    // others are closed. timeoutMs bounds the whole race. Fails as Connect() does, with the
    // error of the last attempt that failed when all of them do.
    void ConnectFirst(const std::vector<std::string>& addresses, int port,
                      std::uint32_t timeoutMs = kHandshakeLimitMs,
                      std::uint32_t attemptDelayMs = kConnectAttemptDelayMs);

    // Runs a TLS 1.3 handshake on the connected socket with the own identity, as the one who
    // called (client) or was called (server), both ends presenting certificates, within
    // timeoutMs. Once established, TWinSocketStream reads and writes through the session.
    TTlsOutcome StartTls(const TTlsIdentity& identity, bool asServer, std::uint32_t timeoutMs);
    // Whether the connection's data runs through an established TLS session.
    bool Encrypted() const;
    // The peer's certificate fingerprint and the session's check string; "" without TLS.
    std::string PeerFingerprint() const;
    std::string CheckString() const;

    // Takes over a descriptor that is already connected (one end of a socket pair, for
    // instance), as the listener takes over an accepted one; peer is the address the
    // connection is to report. Lets a whole connection run in one process without a listener.
    void AdoptConnected(int fd, const sockaddr& peer) { Adopt(fd, peer); }

  private:
    friend class TWinSocketStream;
    friend class TServerSocket;

    // The descriptor and a closed mark, shared by every operation that uses them; the last
    // holder closes the descriptor.
    // While a connect races, the handle holds an event descriptor instead of a socket, which
    // Close() signals (wake).
    struct THandle {
        explicit THandle(int descriptor, bool wakeOnly = false) : fd(descriptor), wake(wakeOnly) {}
        ~THandle();
        THandle(const THandle&) = delete;
        THandle& operator=(const THandle&) = delete;
        const int fd;
        const bool wake;
        std::atomic<bool> closed{false};
        // The encrypted session, once its handshake has completed; owned by the handle.
        std::atomic<TTlsSession*> tls{nullptr};
    };

    // The handle of the connection for one operation; null once closed on this side and while
    // connecting.
    std::shared_ptr<THandle> Acquire() const;
    // Takes over an accepted, connected descriptor.
    void Adopt(int fd, const sockaddr& peer);
    void SetEndpoints(int fd, const sockaddr& peer);

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
