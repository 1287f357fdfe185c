// TLS 1.3 between two copies of the program: the own key and certificate, and the encrypted
// session that a connection carries once both ends have shaken hands.
//
// There is no authority to vouch for a certificate: each copy makes its own key pair and a
// self-signed certificate at its first start, both ends present theirs, and whoever uses the
// connection compares the partner's fingerprint with the one it remembers (trust on first use).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace vox {

// The first bytes of a TLS connection: a handshake record of some TLS version.
inline constexpr std::uint8_t kTlsHandshakeRecord = 0x16;
inline constexpr std::uint8_t kTlsMajorVersion = 0x03;
// How many first bytes tell a TLS connection from the plain protocol.
inline constexpr int kTlsDetectBytes = 2;
// True when the connection's first bytes (count of them) start a TLS record.
bool LooksLikeTls(const std::uint8_t* bytes, std::size_t count);

// The own key pair (Ed25519) and self-signed certificate, with the TLS settings both roles use.
class TTlsIdentity {
  public:
    ~TTlsIdentity();
    TTlsIdentity(const TTlsIdentity&) = delete;
    TTlsIdentity& operator=(const TTlsIdentity&) = delete;

    // A new key pair and certificate kept in memory only.
    static std::shared_ptr<TTlsIdentity> Generate();
    // The key and certificate in these files (PEM); when the key file does not exist yet, a new
    // pair is made and both files are written, readable by the owner only (0600). Raises
    // std::runtime_error when the files cannot be read or written, or do not belong together.
    static std::shared_ptr<TTlsIdentity> LoadOrCreate(const std::string& keyPath,
                                                      const std::string& certPath);

    // The certificate's SHA-256 fingerprint: 64 upper-case hexadecimal digits.
    const std::string& Fingerprint() const { return fingerprint_; }

    ssl_ctx_st* ClientContext() const { return client_; }
    ssl_ctx_st* ServerContext() const { return server_; }

  private:
    TTlsIdentity() = default;
    void MakeContexts(void* keyPointer, void* certPointer);

    ssl_ctx_st* client_ = nullptr;
    ssl_ctx_st* server_ = nullptr;
    std::string fingerprint_;
};

// Groups a fingerprint for reading aloud or comparing by eye: "AB12 CD34 ...".
std::string GroupedFingerprint(const std::string& fingerprint);

// One connection's encrypted session over a socket descriptor. Every call on the session is
// serialised by its own lock, held only while OpenSSL runs (never while waiting), so a thread
// that reads and another that writes do not hold each other up.
class TTlsSession {
  public:
    enum class TRole { Client, Server };

    TTlsSession(const TTlsIdentity& identity, TRole role, int fd);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // One attempt each; never waits. Results as SSL_read / SSL_write give them, with
    // wantRead / wantWrite set when the attempt must wait for the descriptor, and peerClosed
    // when the peer ended the session (or the connection).
    struct TResult {
        int bytes = 0;
        bool wantRead = false;
        bool wantWrite = false;
        bool peerClosed = false;
        int error = 0;  // errno-style code of a failure
    };
    TResult HandshakeStep();
    TResult ReadSome(void* buffer, int count);
    TResult PeekOne();
    // Written records are gathered and go to the connection when 256 KiB have gathered or
    // at Flush(): a writer flushes when it has written what it meant to.
    TResult WriteSome(const void* buffer, int count);
    // Sends what has gathered, as far as the connection takes it without waiting: bytes 1 when
    // all has gone, wantWrite when some is left.
    TResult Flush();
    // Whether written records wait to be sent.
    bool Unflushed();

    struct TSocketState;

    // The peer's certificate fingerprint (as TTlsIdentity::Fingerprint), after the handshake.
    std::string PeerFingerprint();
    // A short string both ends derive from the session's secrets, for comparing aloud.
    std::string CheckString();

  private:
    TResult Result(int n);
    std::unique_ptr<TSocketState> socket_;
    ssl_st* ssl_ = nullptr;
    std::mutex lock_;
};

}  // namespace vox
