// File-transfer throughput, side by side in one run: raw TCP against the sending end into the
// receiving end, in the clear and encrypted (TLS, as between two copies whose conversation is
// encrypted), on loopback and through a delaying relay that behaves like a real link.
//
// The relay delays each direction by the one-way delay and carries at most the link's rate,
// and it reads no more than one bandwidth-delay product ahead, so a sender's unacknowledged
// data really sits "on the wire" instead of in an endless buffer.
//
// Every end runs in its own process (this program started again with --role), so that the CPU
// time and the peak memory of each end are its own. Raw TCP writes 1 MiB blocks from memory and
// reads into a buffer it throws away; the transfer reads the source file and writes, flushes and
// renames the received one in the work folder. Each round runs each path both ways: the file
// goes from the first work folder to the second and back. Medians of the rounds are reported.
// On loopback, "TLS alone" runs beside them: OpenSSL from memory to memory, what encryption
// itself leaves of raw TCP on this machine, with no file and none of the program's code.
//
//   bench_transfer [--rounds N] [--dir FOLDER] [--quick] [--only PATH-NAME-PART] [--window BYTES]
//                  [--no-tls]
//
// --quick moves an eighth of the bytes; --window starts the sending end at another window;
// --no-tls leaves the encrypted transfer out.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/Tls.h"
#include "platform/Synchronizer.h"
#include "support/RandomFile.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"
#include "transfer/TransferView.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One path: a relayed link (rate per direction, delay each way) or plain loopback.
struct TLinkShape {
    const char* Name;
    bool Relayed;
    double RateBytesPerSecond;
    Clock::duration OneWayDelay;
    std::size_t FileBytes;
    double GoalRatio;
    double TlsGoalRatio;  // 0: none set
    // One bandwidth-delay product: the rate times the round trip.
    std::size_t AheadBytes() const {
        return static_cast<std::size_t>(RateBytesPerSecond * 2 *
                                        std::chrono::duration<double>(OneWayDelay).count());
    }
    // The most one relay read takes in: small steps against the delay, 16 to 64 KiB.
    std::size_t ReadBytes() const {
        return std::clamp<std::size_t>(AheadBytes() / 8, 16 * 1024, 64 * 1024);
    }
};

std::int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

int ListenLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 8);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    return fd;
}

int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// One direction of the relay: a reader that takes bytes from `from` while less than one
// bandwidth-delay product is held, and a writer that hands each chunk to `to` once the link
// would have carried it (serialised at the rate, then delayed).
class TRelayDirection {
  public:
    TRelayDirection(int from, int to, const TLinkShape& link)
        : from_(from), to_(to), link_(link), aheadLimit_(link.AheadBytes()) {
        reader_ = std::thread([this] { ReadLoop(); });
        writer_ = std::thread([this] { WriteLoop(); });
    }
    ~TRelayDirection() {
        Stop();
        reader_.join();
        writer_.join();
    }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        cv_.notify_all();
        ::shutdown(from_, SHUT_RDWR);
    }

  private:
    struct TChunk {
        std::string bytes;
        Clock::time_point due;
    };

    void ReadLoop() {
        std::vector<char> buffer(link_.ReadBytes());
        Clock::time_point lineFree = Clock::now();
        for (;;) {
            std::size_t room = 0;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return stopped_ || held_ < aheadLimit_; });
                if (stopped_) {
                    break;
                }
                room = aheadLimit_ - held_;
            }
            const ssize_t n = ::recv(from_, buffer.data(), std::min(room, buffer.size()), 0);
            if (n <= 0) {
                break;
            }
            const auto now = Clock::now();
            const auto wire = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(n) / link_.RateBytesPerSecond));
            lineFree = std::max(lineFree, now) + wire;
            {
                std::lock_guard lock(mutex_);
                queue_.push_back({std::string(buffer.data(), static_cast<std::size_t>(n)),
                                  lineFree + link_.OneWayDelay});
                held_ += static_cast<std::size_t>(n);
            }
            cv_.notify_all();
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        cv_.notify_all();
    }

    void WriteLoop() {
        for (;;) {
            TChunk chunk;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return stopped_ || !queue_.empty() || ended_; });
                if (stopped_) {
                    return;
                }
                if (queue_.empty()) {
                    break;  // the source has ended and everything was passed on
                }
                chunk = std::move(queue_.front());
                queue_.pop_front();
            }
            std::this_thread::sleep_until(chunk.due);
            const bool ok = SendAll(to_, chunk.bytes.data(), chunk.bytes.size());
            {
                std::lock_guard lock(mutex_);
                held_ -= chunk.bytes.size();
            }
            cv_.notify_all();
            if (!ok) {
                return;
            }
        }
        ::shutdown(to_, SHUT_WR);
    }

    const int from_;
    const int to_;
    const TLinkShape link_;
    const std::size_t aheadLimit_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<TChunk> queue_;
    std::size_t held_ = 0;
    bool stopped_ = false;
    bool ended_ = false;
    std::thread reader_;
    std::thread writer_;
};

// Accepts connections on its own port and relays each to the target port.
class TDelayRelay {
  public:
    TDelayRelay(int targetPort, const TLinkShape& link) : target_(targetPort), link_(link) {
        listenFd_ = ListenLoopback(port_);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~TDelayRelay() {
        stopped_.store(true);
        ::shutdown(listenFd_, SHUT_RDWR);
        acceptor_.join();
        std::lock_guard lock(mutex_);
        for (auto& link : links_) {
            link.up->Stop();
            link.down->Stop();
            link.up.reset();
            link.down.reset();
            ::close(link.client);
            ::close(link.server);
        }
        ::close(listenFd_);
    }
    int Port() const { return port_; }

  private:
    struct TLink {
        int client;
        int server;
        std::unique_ptr<TRelayDirection> up;
        std::unique_ptr<TRelayDirection> down;
    };

    void AcceptLoop() {
        while (!stopped_.load()) {
            const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                if (stopped_.load()) {
                    return;
                }
                continue;
            }
            const int on = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            const int server = ConnectLoopback(target_);
            if (server < 0) {
                ::close(client);
                continue;
            }
            std::lock_guard lock(mutex_);
            links_.push_back({client, server,
                              std::make_unique<TRelayDirection>(client, server, link_),
                              std::make_unique<TRelayDirection>(server, client, link_)});
        }
    }

    int target_;
    const TLinkShape link_;
    int port_ = 0;
    int listenFd_ = -1;
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::vector<TLink> links_;
    std::thread acceptor_;
};

// ---- The ends, each in its own process; each reports on its standard output ----------------

// The highest resident size of this process so far, in KiB (what the system counted for it
// since it was started, not for the program that started it).
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// Raw receiving end: listens, says its port, reads size bytes and throws them away.
int RawReceive(std::size_t size) {
    int port = 0;
    const int listenFd = ListenLoopback(port);
    std::printf("port %d\n", port);
    std::fflush(stdout);
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    std::vector<char> buffer(std::size_t{1} << 20);
    std::size_t total = 0;
    while (total < size) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    std::printf("end %lld\n", static_cast<long long>(MonotonicNs()));
    std::printf("peak %ld\n", PeakKiB());
    ::close(fd);
    ::close(listenFd);
    return total == size ? 0 : 1;
}

// What the ends from memory send, again and again: 1 MiB of random bytes.
std::vector<char> MemoryBlock() {
    std::vector<char> block(std::size_t{1} << 20);
    std::mt19937 random(7);
    for (auto& c : block) {
        c = static_cast<char>(random());
    }
    return block;
}

// Raw sending end: connects and writes size bytes from memory in 1 MiB blocks.
int RawSend(int port, std::size_t size) {
    const std::vector<char> block = MemoryBlock();
    std::printf("start %lld\n", static_cast<long long>(MonotonicNs()));
    const int fd = ConnectLoopback(port);
    bool ok = fd >= 0;
    for (std::size_t sent = 0; ok && sent < size; sent += block.size()) {
        ok = SendAll(fd, block.data(), std::min(block.size(), size - sent));
    }
    if (ok) {  // wait for the receiver to close: everything has arrived
        char c = 0;
        ::shutdown(fd, SHUT_WR);
        while (::recv(fd, &c, 1, 0) > 0) {
        }
    }
    ::close(fd);
    std::printf("peak %ld\n", PeakKiB());
    return ok ? 0 : 1;
}

// ---- TLS alone: what encryption itself costs on this machine, with no file and no program --
//
// Two ends that use OpenSSL as a program would that wants nothing but speed from it: its own
// socket reads and writes, 1 MiB per call, the same cipher suite as the program, read-ahead
// into a 256 KiB buffer, from memory into a buffer that is thrown away. Neither end checks the
// other's certificate: only the cost of the bytes is measured. The transfer's encrypted figure
// cannot be above this one, so it shows how much of the gap to raw TCP the program leaves.

SSL_CTX* AloneContext(bool server) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (key == nullptr || X509_sign(cert, key, nullptr) == 0 || context == nullptr ||
        SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_ciphersuites(context, "TLS_AES_128_GCM_SHA256") != 1 ||
        SSL_CTX_use_certificate(context, cert) != 1 || SSL_CTX_use_PrivateKey(context, key) != 1) {
        std::fprintf(stderr, "TLS context\n");
        std::exit(1);
    }
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, std::size_t{256} * 1024);
    X509_free(cert);
    EVP_PKEY_free(key);
    return context;
}

// TLS-alone receiving end: listens, says its port, reads size bytes and throws them away.
int TlsAloneReceive(std::size_t size) {
    SSL_CTX* context = AloneContext(true);
    int port = 0;
    const int listenFd = ListenLoopback(port);
    std::printf("port %d\n", port);
    std::fflush(stdout);
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    std::vector<char> buffer(std::size_t{1} << 20);
    std::size_t total = 0;
    if (SSL_accept(ssl) == 1) {
        while (total < size) {
            const int n = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) {
                break;
            }
            total += static_cast<std::size_t>(n);
        }
    }
    std::printf("end %lld\n", static_cast<long long>(MonotonicNs()));
    std::printf("peak %ld\n", PeakKiB());
    SSL_free(ssl);
    ::close(fd);
    ::close(listenFd);
    SSL_CTX_free(context);
    return total == size ? 0 : 1;
}

// TLS-alone sending end: connects, shakes hands and writes size bytes from memory in 1 MiB
// blocks; the start is taken before the connect, as the transfer's is.
int TlsAloneSend(int port, std::size_t size) {
    SSL_CTX* context = AloneContext(false);
    const std::vector<char> block = MemoryBlock();
    std::printf("start %lld\n", static_cast<long long>(MonotonicNs()));
    const int fd = ConnectLoopback(port);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    bool ok = fd >= 0 && SSL_connect(ssl) == 1;
    for (std::size_t sent = 0; ok && sent < size;) {
        const int n =
            SSL_write(ssl, block.data(), static_cast<int>(std::min(block.size(), size - sent)));
        ok = n > 0;
        sent += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (ok) {  // wait for the receiver to close: everything has arrived
        char c = 0;
        ::shutdown(fd, SHUT_WR);
        while (::recv(fd, &c, 1, 0) > 0) {
        }
    }
    std::printf("peak %ld\n", PeakKiB());
    SSL_free(ssl);
    ::close(fd);
    SSL_CTX_free(context);
    return ok ? 0 : 1;
}

// A transfer window that notes the end of its thread and the last log line.
class TQuietView : public vox::ITransferView {
  public:
    void SetCaption(const std::string&) override {}
    void SetProgressRange(std::int64_t) override {}
    void SetProgress(std::int64_t) override {}
    void AddLog(const std::string& text) override { lastLog = text; }
    void TransferThreadEnded() override {
        endNs = MonotonicNs();
        ended = true;
    }
    bool ended = false;
    std::int64_t endNs = 0;
    std::string lastLog;
};

void Pump(vox::TSynchronizer& sync, const std::function<bool()>& done) {
    while (!done()) {
        sync.CheckSynchronize(5);
    }
}

// The sending end's window at the start, when not the program's own (--window).
std::int64_t gStartWindow = vox::kSendWindowBytes;

vox::TTransferOptions BenchOptions() {
    vox::TTransferOptions options;
    options.IdleLimitMs = 60000;
    options.SendWindowBytes = gStartWindow;
    return options;
}

// The own keys and the partner's fingerprint of an encrypted end: "" for a plain one.
struct TEndKeys {
    std::string KeyPath;
    std::string CertPath;
    std::string PartnerFingerprint;
};

vox::TDataSecurity SecurityOf(const TEndKeys& keys) {
    if (keys.KeyPath.empty()) {
        return {};
    }
    return {vox::TTlsIdentity::LoadOrCreate(keys.KeyPath, keys.CertPath), keys.PartnerFingerprint};
}

// The receiving end: listens, says its port, receives into target.
int FileReceive(const std::string& target, std::size_t size, const TEndKeys& keys = {}) {
    vox::TSynchronizer sync;
    TQuietView view;
    vox::TTransferDataServer server(
        view, &sync,
        vox::TTransferJob{"127.0.0.1", 0, target, static_cast<std::int64_t>(size), BenchOptions(),
                          SecurityOf(keys)});
    server.Open();
    std::printf("port %d\n", server.LocalPort());
    std::fflush(stdout);
    Pump(sync, [&] { return view.ended; });
    std::printf("end %lld\n", static_cast<long long>(view.endNs));
    server.Close();
    std::printf("peak %ld\n", PeakKiB());
    const bool ok = view.lastLog.find("保存しました") != std::string::npos;
    std::filesystem::remove(target);
    return ok ? 0 : 1;
}

// The sending end: connects and sends source; the transfer is over when the receiver has
// acknowledged the whole file (which it does once the file is saved).
int FileSend(int port, const std::string& source, std::size_t size, const TEndKeys& keys = {}) {
    vox::TSynchronizer sync;
    TQuietView view;
    vox::TTransferDataClient client(
        view, &sync,
        vox::TTransferJob{"127.0.0.1", port, source, static_cast<std::int64_t>(size),
                          BenchOptions(), SecurityOf(keys)});
    std::printf("start %lld\n", static_cast<long long>(MonotonicNs()));
    client.Open();
    Pump(sync, [&] { return view.ended; });
    std::printf("end %lld\n", static_cast<long long>(view.endNs));
    client.Stop();
    std::printf("peak %ld\n", PeakKiB());
    if (view.lastLog.find("完了") == std::string::npos) {
        std::fprintf(stderr, "the transfer did not complete: %s\n", view.lastLog.c_str());
        return 1;
    }
    return 0;
}

// ---- The parent: starts the ends, relays, measures -----------------------------------------

struct TChild {
    pid_t pid = -1;
    FILE* out = nullptr;
};

TChild Spawn(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    TChild child;
    if (posix_spawn(&child.pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    child.out = ::fdopen(pipeFds[0], "r");
    return child;
}

// The next "<key> <number>" line of a child; nullopt when its output ends first.
std::optional<long long> ReadValue(TChild& child, const char* key) {
    char line[256];
    while (std::fgets(line, sizeof line, child.out) != nullptr) {
        char word[32];
        long long value = 0;
        if (std::sscanf(line, "%31s %lld", word, &value) == 2 && std::strcmp(word, key) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

struct TEndCost {
    double cpuSeconds = 0;
    long peakKiB = 0;
};

TEndCost Reap(TChild& child, bool& ok) {
    const auto peak = ReadValue(child, "peak");
    int status = 0;
    rusage usage{};
    ::wait4(child.pid, &status, 0, &usage);
    if (child.out != nullptr) {
        std::fclose(child.out);
    }
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
    };
    // ru_maxrss would count the bench itself too: the child was spawned from its memory.
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), peak ? static_cast<long>(*peak) : 0};
}

struct TRun {
    double rate = 0;  // bytes per second
    TEndCost sender;
    TEndCost receiver;
};

// The keys of the two encrypted ends, made once per run in the work folder.
struct TBenchKeys {
    std::string Folder;
    std::string SenderFingerprint;
    std::string ReceiverFingerprint;
    std::string Key(const char* end) const { return Folder + "/" + end + ".key"; }
    std::string Cert(const char* end) const { return Folder + "/" + end + ".crt"; }
};

// Which ends a run starts: raw TCP, TLS alone (both from memory), or the program's.
enum class TEnds { Raw, TlsAlone, Program };

// One run of the ends through the path; for the program's, keys make it encrypted.
TRun Measure(const TLinkShape& link, TEnds ends, const std::string& source = {},
             const std::string& target = {}, const TBenchKeys* keys = nullptr) {
    const std::string size = std::to_string(link.FileBytes);
    const bool fromMemory = ends != TEnds::Program;
    TChild receiver =
        ends == TEnds::Raw        ? Spawn({"bench_transfer", "--role", "raw-recv", size})
        : ends == TEnds::TlsAlone ? Spawn({"bench_transfer", "--role", "tls-alone-recv", size})
        : keys ? Spawn({"bench_transfer", "--role", "tls-recv", target, size, keys->Key("recv"),
                        keys->Cert("recv"), keys->SenderFingerprint})
               : Spawn({"bench_transfer", "--role", "recv", target, size});
    const auto port = ReadValue(receiver, "port");
    if (!port) {
        std::fprintf(stderr, "the receiving end did not start\n");
        std::exit(1);
    }
    std::unique_ptr<TDelayRelay> relay;
    int sendPort = static_cast<int>(*port);
    if (link.Relayed) {
        relay = std::make_unique<TDelayRelay>(sendPort, link);
        sendPort = relay->Port();
    }
    TChild sender =
        ends == TEnds::Raw
            ? Spawn({"bench_transfer", "--role", "raw-send", std::to_string(sendPort), size})
        : ends == TEnds::TlsAlone
            ? Spawn({"bench_transfer", "--role", "tls-alone-send", std::to_string(sendPort), size})
        : keys ? Spawn({"bench_transfer", "--role", "tls-send", std::to_string(sendPort), source,
                        size, std::to_string(gStartWindow), keys->Key("send"), keys->Cert("send"),
                        keys->ReceiverFingerprint})
               : Spawn({"bench_transfer", "--role", "send", std::to_string(sendPort), source, size,
                        std::to_string(gStartWindow)});
    const auto start = ReadValue(sender, "start");
    // Ends from memory are over when the receiver has everything; the transfer when the sender
    // has the last acknowledgement (one more one-way trip, after the receiver has saved the
    // file).
    const auto end = fromMemory ? ReadValue(receiver, "end") : ReadValue(sender, "end");
    bool ok = start && end;
    TRun run;
    run.receiver = Reap(receiver, ok);
    run.sender = Reap(sender, ok);
    relay.reset();
    if (!ok) {
        std::fprintf(stderr, "%s %s failed\n", link.Name,
                     ends == TEnds::Raw        ? "raw"
                     : ends == TEnds::TlsAlone ? "TLS alone"
                     : keys                    ? "encrypted transfer"
                                               : "transfer");
        std::exit(1);
    }
    run.rate = static_cast<double>(link.FileBytes) / (static_cast<double>(*end - *start) / 1e9);
    return run;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int RunRole(int argc, char** argv) {
    const std::string role = argv[2];
    if (role == "raw-recv" && argc == 4) {
        return RawReceive(std::stoull(argv[3]));
    }
    if (role == "raw-send" && argc == 5) {
        return RawSend(std::stoi(argv[3]), std::stoull(argv[4]));
    }
    if (role == "tls-alone-recv" && argc == 4) {
        return TlsAloneReceive(std::stoull(argv[3]));
    }
    if (role == "tls-alone-send" && argc == 5) {
        return TlsAloneSend(std::stoi(argv[3]), std::stoull(argv[4]));
    }
    if (role == "recv" && argc == 5) {
        return FileReceive(argv[3], std::stoull(argv[4]));
    }
    if (role == "send" && argc == 7) {
        gStartWindow = std::stoll(argv[6]);
        return FileSend(std::stoi(argv[3]), argv[4], std::stoull(argv[5]));
    }
    if (role == "tls-recv" && argc == 8) {
        return FileReceive(argv[3], std::stoull(argv[4]), {argv[5], argv[6], argv[7]});
    }
    if (role == "tls-send" && argc == 10) {
        gStartWindow = std::stoll(argv[6]);
        return FileSend(std::stoi(argv[3]), argv[4], std::stoull(argv[5]),
                        {argv[7], argv[8], argv[9]});
    }
    std::fprintf(stderr, "unknown role\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--role") == 0) {
        return RunRole(argc, argv);
    }
    int rounds = 3;
    std::string base = "/tmp";
    bool quick = false;
    std::string only;
    bool tls = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            base = argv[++i];
        } else if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (std::strcmp(argv[i], "--window") == 0 && i + 1 < argc) {
            gStartWindow = std::atoll(argv[++i]);
        } else if (std::strcmp(argv[i], "--no-tls") == 0) {
            tls = false;
        }
    }
    const std::size_t mib = std::size_t{1} << 20;
    std::vector<TLinkShape> links = {
        {"loopback", false, 0, 0ms, 256 * mib, 0.50, 0.40},
        {"relay 1 Gbit/s, 1 ms each way", true, 1e9 / 8, 1ms, 256 * mib, 0.90, 0},
        {"relay 100 Mbit/s, 10 ms each way", true, 100e6 / 8, 10ms, 32 * mib, 0.95, 0.90},
        {"relay 100 Mbit/s, 100 ms each way", true, 100e6 / 8, 100ms, 64 * mib, 0.80, 0},
    };
    if (quick) {
        for (auto& link : links) {
            link.FileBytes /= 8;
        }
    }
    std::erase_if(links, [&](const TLinkShape& link) {
        return std::string(link.Name).find(only) == std::string::npos;
    });

    std::string pattern = base + "/vox-transfer-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = pattern;
    const std::string folderA = folder + "/a";
    const std::string folderB = folder + "/b";
    std::filesystem::create_directories(folderA);
    std::filesystem::create_directories(folderB);
    const std::size_t largest =
        std::max_element(links.begin(), links.end(), [](const auto& x, const auto& y) {
            return x.FileBytes < y.FileBytes;
        })->FileBytes;
    vox::test::WriteRandomFile(folderA + "/source.bin", largest, 1);
    vox::test::WriteRandomFile(folderB + "/source.bin", largest, 2);
    // The two encrypted ends' keys, as each copy keeps its own beside its settings.
    TBenchKeys keys;
    keys.Folder = folder;
    if (tls) {
        keys.SenderFingerprint =
            vox::TTlsIdentity::LoadOrCreate(keys.Key("send"), keys.Cert("send"))->Fingerprint();
        keys.ReceiverFingerprint =
            vox::TTlsIdentity::LoadOrCreate(keys.Key("recv"), keys.Cert("recv"))->Fingerprint();
    }
    double load[3] = {0, 0, 0};
    if (::getloadavg(load, 3) == 3) {
        std::printf("load average at the start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    }

    std::printf("work folder %s, %d rounds, each path both ways (a->b, b->a)\n", folder.c_str(),
                rounds);
    std::printf("%-36s %5s %10s %10s %7s %6s | %9s %9s %9s %9s\n", "path", "dir", "raw MB/s",
                "xfer MB/s", "ratio", "goal", "s/GB snd", "s/GB rcv", "MiB snd", "MiB rcv");
    if (tls) {
        std::printf("%-36s %5s %10s %10s %7s %6s | %9s %9s %9s %9s\n", "  encrypted", "", "",
                    "TLS MB/s", "ratio", "goal", "s/GB snd", "s/GB rcv", "MiB snd", "MiB rcv");
    }
    for (const auto& link : links) {
        if (link.Relayed) {
            std::printf("# %s: relay holds at most %zu bytes per direction, reads %zu at a time\n",
                        link.Name, link.AheadBytes(), link.ReadBytes());
        }
        for (const bool reverse : {false, true}) {
            const std::string& from = reverse ? folderB : folderA;
            const std::string& to = reverse ? folderA : folderB;
            std::vector<double> raw, xfer, sendCpu, recvCpu, sendMem, recvMem, rawCpuS, rawCpuR;
            std::vector<double> enc, encSendCpu, encRecvCpu, encSendMem, encRecvMem, alone;
            for (int round = 0; round < rounds; ++round) {
                const TRun r = Measure(link, TEnds::Raw);
                const TRun x =
                    Measure(link, TEnds::Program, from + "/source.bin", to + "/received.bin");
                raw.push_back(r.rate);
                xfer.push_back(x.rate);
                const double gb = static_cast<double>(link.FileBytes) / 1e9;
                sendCpu.push_back(x.sender.cpuSeconds / gb);
                recvCpu.push_back(x.receiver.cpuSeconds / gb);
                sendMem.push_back(static_cast<double>(x.sender.peakKiB) / 1024);
                recvMem.push_back(static_cast<double>(x.receiver.peakKiB) / 1024);
                rawCpuS.push_back(r.sender.cpuSeconds / gb);
                rawCpuR.push_back(r.receiver.cpuSeconds / gb);
                if (tls) {
                    const TRun e = Measure(link, TEnds::Program, from + "/source.bin",
                                           to + "/received.bin", &keys);
                    enc.push_back(e.rate);
                    if (!link.Relayed) {
                        alone.push_back(Measure(link, TEnds::TlsAlone).rate);
                    }
                    encSendCpu.push_back(e.sender.cpuSeconds / gb);
                    encRecvCpu.push_back(e.receiver.cpuSeconds / gb);
                    encSendMem.push_back(static_cast<double>(e.sender.peakKiB) / 1024);
                    encRecvMem.push_back(static_cast<double>(e.receiver.peakKiB) / 1024);
                }
                std::printf("#   round %d: raw %.1f MB/s, transfer %.1f MB/s", round + 1,
                            r.rate / 1e6, x.rate / 1e6);
                if (tls) {
                    std::printf(", encrypted %.1f MB/s", enc.back() / 1e6);
                }
                if (!alone.empty()) {
                    std::printf(", TLS alone %.1f MB/s", alone.back() / 1e6);
                }
                std::printf("\n");
                std::fflush(stdout);
            }
            const double ratio = Median(xfer) / Median(raw);
            std::printf("%-36s %5s %10.1f %10.1f %7.3f %6.2f | %9.2f %9.2f %9.1f %9.1f  %s\n",
                        link.Name, reverse ? "b->a" : "a->b", Median(raw) / 1e6, Median(xfer) / 1e6,
                        ratio, link.GoalRatio, Median(sendCpu), Median(recvCpu), Median(sendMem),
                        Median(recvMem), ratio >= link.GoalRatio ? "met" : "NOT MET");
            if (tls) {
                const double encRatio = Median(enc) / Median(raw);
                const char* verdict = link.TlsGoalRatio <= 0          ? ""
                                      : encRatio >= link.TlsGoalRatio ? "met"
                                                                      : "NOT MET";
                std::printf("%-36s %5s %10s %10.1f %7.3f %6.2f | %9.2f %9.2f %9.1f %9.1f  %s\n",
                            "  encrypted", reverse ? "b->a" : "a->b", "", Median(enc) / 1e6,
                            encRatio, link.TlsGoalRatio, Median(encSendCpu), Median(encRecvCpu),
                            Median(encSendMem), Median(encRecvMem), verdict);
            }
            if (!alone.empty()) {
                std::printf("%-36s %5s %10s %10.1f %7.3f\n", "  TLS alone, memory to memory",
                            reverse ? "b->a" : "a->b", "", Median(alone) / 1e6,
                            Median(alone) / Median(raw));
            }
            std::printf("#   raw TCP for comparison: %.2f s/GB sending, %.2f s/GB receiving\n",
                        Median(rawCpuS), Median(rawCpuR));
            std::fflush(stdout);
        }
    }
    if (::getloadavg(load, 3) == 3) {
        std::printf("load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
