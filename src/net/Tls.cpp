#include "net/Tls.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace vox {

namespace {

// How long the own certificate is valid: nobody checks its dates, but it must have some.
constexpr long kCertificateDays = 100L * 365;
// The label both ends feed the exporter for the check string.
constexpr char kCheckLabel[] = "EXPORTER-Voxilen-check";
// The letters of the check string: no 0/O or 1/I to mix up when read aloud.
constexpr char kCheckAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr int kCheckLetters = 4;
// What one read of the connection takes in at first, and at most once it keeps coming full:
// a whole record at first, several records once data streams in.
constexpr std::size_t kFirstReadBytes = std::size_t{32} * 1024;
constexpr std::size_t kMostReadBytes = std::size_t{256} * 1024;
// Encrypted records gathered before they go to the connection in one system call.
constexpr std::size_t kWriteGatherBytes = std::size_t{256} * 1024;
constexpr char kCipherSuites[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

struct TKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct TCertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
using TKey = std::unique_ptr<EVP_PKEY, TKeyFree>;
using TCert = std::unique_ptr<X509, TCertFree>;

std::runtime_error Failure(const std::string& what) {
    const unsigned long code = ERR_get_error();
    char text[256] = "";
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    return std::runtime_error(what + (code != 0 ? std::string(": ") + text : std::string()));
}

std::string Hex(const unsigned char* bytes, unsigned length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

std::string FingerprintOf(X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &length) != 1) {
        throw Failure("certificate digest");
    }
    return Hex(digest, length);
}

TCert SelfSigned(EVP_PKEY* key) {
    TCert cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) {
        throw Failure("certificate");
    }
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        throw Failure("certificate serial");
    }
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
    X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(kCertificateDays), 0,
                     nullptr);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Voxilen"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_set_pubkey(cert.get(), key) != 1 || X509_sign(cert.get(), key, nullptr) <= 0) {
        throw Failure("certificate signature");
    }
    return cert;
}

TKey NewKey() {
    TKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) {
        throw Failure("key pair");
    }
    return key;
}

// Writes a file only the owner may read, whole or not at all.
template <class WritePem>
void WritePrivateFile(const std::string& path, WritePem write) {
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("cannot write " + temporary);
    }
    FILE* file = ::fdopen(fd, "w");
    if (file == nullptr) {
        ::close(fd);
        throw std::runtime_error("cannot write " + temporary);
    }
    const bool written = write(file) == 1;
    const bool flushed = std::fflush(file) == 0 && ::fsync(fd) == 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !flushed || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw Failure("cannot write " + path);
    }
}

template <class T, class Read>
T ReadPem(const std::string& path, Read read) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        throw std::runtime_error("cannot read " + path);
    }
    T object(read(file));
    (void)std::fclose(file);
    if (!object) {
        throw Failure("cannot read " + path);
    }
    return object;
}

int AcceptAnyCertificate(int /*preverified*/, X509_STORE_CTX* /*context*/) {
    // Whether the partner is who it was before is decided by its pinned fingerprint.
    return 1;
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

// The socket descriptor under OpenSSL, read and written without blocking and without SIGPIPE.
// Records are gathered in out until they fill it or are flushed, so that a large write goes to
// the system in large pieces instead of one call per 16 KiB record. Reads take whatever has
// arrived into in, and OpenSSL's reads of a record header and body are served from there: one
// system call for many records. (OpenSSL's own read-ahead does the same, but moves everything
// still unread to the front of its buffer for every record it takes, which costs more than
// decrypting it.) Every wait of the stream asks the session before the socket, so nothing taken
// in here is missed.
struct TTlsSession::TSocketState {
    int fd = -1;
    std::vector<char> out;
    std::size_t sent = 0;  // of out, already on the connection
    std::vector<char> in;
    std::size_t inPos = 0;  // of in, the first byte not yet taken
    std::size_t inEnd = 0;  // of in, after the last byte received

    // Up to length bytes from what has arrived; as recv() when nothing is left to take.
    ssize_t Read(char* data, std::size_t length) {
        if (inPos == inEnd) {
            if (in.empty()) {
                in.resize(kFirstReadBytes);
            }
            const ssize_t n = ::recv(fd, in.data(), in.size(), MSG_DONTWAIT);
            if (n <= 0) {
                return n;
            }
            inPos = 0;
            inEnd = static_cast<std::size_t>(n);
            if (inEnd == in.size() && in.size() < kMostReadBytes) {
                in.resize(in.size() * 2);  // it keeps coming: take more at once from now on
            }
        }
        const std::size_t taken = std::min(length, inEnd - inPos);
        std::memcpy(data, in.data() + inPos, taken);
        inPos += taken;
        return static_cast<ssize_t>(taken);
    }

    std::size_t Unsent() const { return out.size() - sent; }
    // Sends what is gathered, as far as the connection takes it. 1: all sent; 0: some is
    // left (the connection is full); -1: failed (errno set).
    int Drain() {
        while (sent < out.size()) {
            const ssize_t n =
                ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && WouldBlock(errno)) {
                return 0;
            }
            if (n == 0) {
                errno = EPIPE;
            }
            return -1;
        }
        out.clear();
        sent = 0;
        return 1;
    }
};

namespace {

TTlsSession::TSocketState& StateOf(BIO* bio) {
    return *static_cast<TTlsSession::TSocketState*>(BIO_get_data(bio));
}

int SocketWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    TTlsSession::TSocketState& state = StateOf(bio);
    if (state.out.size() + static_cast<std::size_t>(length) > kWriteGatherBytes &&
        state.Drain() < 0) {
        return -1;
    }
    const std::size_t room =
        state.out.size() < kWriteGatherBytes ? kWriteGatherBytes - state.out.size() : 0;
    if (room == 0) {
        errno = EAGAIN;
        BIO_set_retry_write(bio);
        return -1;
    }
    const std::size_t taken = std::min(room, static_cast<std::size_t>(length));
    state.out.insert(state.out.end(), data, data + taken);
    return static_cast<int>(taken);
}

int SocketRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t n = StateOf(bio).Read(data, static_cast<std::size_t>(length));
    if (n < 0 && WouldBlock(errno)) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(n);
}

long SocketControl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    switch (command) {
        case BIO_C_GET_FD:
            return StateOf(bio).fd;
        case BIO_CTRL_FLUSH: {
            BIO_clear_retry_flags(bio);
            const int drained = StateOf(bio).Drain();
            if (drained == 0) {
                BIO_set_retry_write(bio);
            }
            return drained;
        }
        default:
            return 0;
    }
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vox socket");
        BIO_meth_set_write(m, SocketWrite);
        BIO_meth_set_read(m, SocketRead);
        BIO_meth_set_ctrl(m, SocketControl);
        return m;
    }();
    return method;
}

}  // namespace

bool LooksLikeTls(const std::uint8_t* bytes, std::size_t count) {
    return count >= static_cast<std::size_t>(kTlsDetectBytes) && bytes[0] == kTlsHandshakeRecord &&
           bytes[1] == kTlsMajorVersion;
}

std::string GroupedFingerprint(const std::string& fingerprint) {
    std::string grouped;
    for (std::size_t i = 0; i < fingerprint.size(); ++i) {
        if (i > 0 && i % 4 == 0) {
            grouped += ' ';
        }
        grouped += fingerprint[i];
    }
    return grouped;
}

TTlsIdentity::~TTlsIdentity() {
    SSL_CTX_free(client_);
    SSL_CTX_free(server_);
}

void TTlsIdentity::MakeContexts(void* keyPointer, void* certPointer) {
    auto* key = static_cast<EVP_PKEY*>(keyPointer);
    auto* cert = static_cast<X509*>(certPointer);
    if (X509_check_private_key(cert, key) != 1) {
        throw Failure("the key and the certificate do not belong together");
    }
    fingerprint_ = FingerprintOf(cert);
    for (const bool server : {false, true}) {
        SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
        if (context == nullptr) {
            throw Failure("TLS context");
        }
        (server ? server_ : client_) = context;
        SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
        SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
        SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE |
                                      SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                      SSL_MODE_RELEASE_BUFFERS);
        // No tickets: nothing but the partner's own data ever arrives after the handshake.
        SSL_CTX_set_num_tickets(context, 0);
        // AES-128 first: as safe for this purpose and a quarter cheaper than AES-256 for
        // files; a partner that prefers another suite still gets it.
        if (SSL_CTX_set_ciphersuites(context, kCipherSuites) != 1) {
            throw Failure("TLS cipher suites");
        }
        SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                           AcceptAnyCertificate);
        if (SSL_CTX_use_certificate(context, cert) != 1 ||
            SSL_CTX_use_PrivateKey(context, key) != 1) {
            throw Failure("TLS identity");
        }
    }
}

std::shared_ptr<TTlsIdentity> TTlsIdentity::Generate() {
    const TKey key = NewKey();
    const TCert cert = SelfSigned(key.get());
    std::shared_ptr<TTlsIdentity> identity(new TTlsIdentity);
    identity->MakeContexts(key.get(), cert.get());
    return identity;
}

std::shared_ptr<TTlsIdentity> TTlsIdentity::LoadOrCreate(const std::string& keyPath,
                                                         const std::string& certPath) {
    TKey key;
    TCert cert;
    if (::access(keyPath.c_str(), F_OK) != 0) {
        key = NewKey();
        cert = SelfSigned(key.get());
        WritePrivateFile(certPath, [&](FILE* file) { return PEM_write_X509(file, cert.get()); });
        WritePrivateFile(keyPath, [&](FILE* file) {
            return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        });
    } else {
        key = ReadPem<TKey>(keyPath, [](FILE* file) {
            return PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
        });
        cert = ReadPem<TCert>(
            certPath, [](FILE* file) { return PEM_read_X509(file, nullptr, nullptr, nullptr); });
    }
    std::shared_ptr<TTlsIdentity> identity(new TTlsIdentity);
    identity->MakeContexts(key.get(), cert.get());
    return identity;
}

TTlsSession::TTlsSession(const TTlsIdentity& identity, TRole role, int fd)
    : socket_(std::make_unique<TSocketState>()) {
    socket_->fd = fd;
    ssl_ = SSL_new(role == TRole::Server ? identity.ServerContext() : identity.ClientContext());
    BIO* bio = ssl_ != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl_);
        throw Failure("TLS session");
    }
    BIO_set_data(bio, socket_.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);
    if (role == TRole::Server) {
        SSL_set_accept_state(ssl_);
    } else {
        SSL_set_connect_state(ssl_);
    }
}

TTlsSession::~TTlsSession() {
    SSL_free(ssl_);
}

TTlsSession::TResult TTlsSession::Result(int n) {
    TResult result;
    if (n > 0) {
        result.bytes = n;
        return result;
    }
    const int saved = errno;
    switch (SSL_get_error(ssl_, n)) {
        case SSL_ERROR_WANT_READ:
            result.wantRead = true;
            break;
        case SSL_ERROR_WANT_WRITE:
            result.wantWrite = true;
            break;
        case SSL_ERROR_ZERO_RETURN:
            result.peerClosed = true;
            break;
        case SSL_ERROR_SYSCALL:
            result.error = saved != 0 ? saved : EPIPE;
            result.peerClosed = saved == 0 || saved == ECONNRESET || saved == EPIPE;
            break;
        default:
            result.error = EPROTO;
            break;
    }
    ERR_clear_error();
    return result;
}

TTlsSession::TResult TTlsSession::HandshakeStep() {
    std::lock_guard lock(lock_);
    ERR_clear_error();
    errno = 0;
    return Result(SSL_do_handshake(ssl_));
}

TTlsSession::TResult TTlsSession::ReadSome(void* buffer, int count) {
    std::lock_guard lock(lock_);
    ERR_clear_error();
    errno = 0;
    return Result(SSL_read(ssl_, buffer, count));
}

TTlsSession::TResult TTlsSession::PeekOne() {
    std::lock_guard lock(lock_);
    char byte = 0;
    ERR_clear_error();
    errno = 0;
    return Result(SSL_peek(ssl_, &byte, 1));
}

TTlsSession::TResult TTlsSession::WriteSome(const void* buffer, int count) {
    std::lock_guard lock(lock_);
    ERR_clear_error();
    errno = 0;
    return Result(SSL_write(ssl_, buffer, count));
}

TTlsSession::TResult TTlsSession::Flush() {
    std::lock_guard lock(lock_);
    TResult result;
    errno = 0;
    const int drained = socket_->Drain();
    if (drained > 0) {
        result.bytes = 1;
    } else if (drained == 0) {
        result.wantWrite = true;
    } else {
        result.error = errno != 0 ? errno : EPIPE;
        result.peerClosed = result.error == ECONNRESET || result.error == EPIPE;
    }
    return result;
}

bool TTlsSession::Unflushed() {
    std::lock_guard lock(lock_);
    return socket_->Unsent() > 0;
}

std::string TTlsSession::PeerFingerprint() {
    std::lock_guard lock(lock_);
    X509* peer = SSL_get0_peer_certificate(ssl_);
    return peer != nullptr ? FingerprintOf(peer) : std::string();
}

std::string TTlsSession::CheckString() {
    std::lock_guard lock(lock_);
    unsigned char bytes[kCheckLetters];
    if (SSL_export_keying_material(ssl_, bytes, sizeof bytes, kCheckLabel, sizeof kCheckLabel - 1,
                                   nullptr, 0, 0) != 1) {
        ERR_clear_error();
        return {};
    }
    std::string text;
    for (const unsigned char byte : bytes) {
        text += kCheckAlphabet[byte % (sizeof kCheckAlphabet - 1)];
    }
    return text;
}

}  // namespace vox
