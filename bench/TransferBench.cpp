// File-transfer throughput through a delaying relay on loopback.
//
// The relay behaves like a real link: each direction delays its bytes by kOneWayDelay and
// carries at most kRate, and it reads no more than one bandwidth-delay product ahead, so a
// sender's unacknowledged data really sits "on the wire" instead of in an endless buffer.
// Measured side by side, in rounds, in one run: (a) raw TCP, (b) a stop-and-wait sender (one
// 256-byte piece, then wait for its acknowledgement) into the receiving end, (c) the windowed
// sending end into the receiving end, and (c) at a few other window sizes. Medians are
// reported with their ratios.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Synchronizer.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"
#include "transfer/TransferView.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kOneWayDelay = 10ms;
constexpr double kRateBytesPerSecond = 100e6 / 8;  // 100 Mbit/s
// One bandwidth-delay product: the rate times the round trip.
constexpr std::size_t kAheadLimit =
    static_cast<std::size_t>(kRateBytesPerSecond * 0.020);  // 250 000 bytes
// The most one read takes in, so that the relay passes bytes on in small steps.
constexpr std::size_t kRelayReadBytes = 16 * 1024;
constexpr int kRounds = 3;

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
    TRelayDirection(int from, int to) : from_(from), to_(to) {
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
        std::vector<char> buffer(kRelayReadBytes);
        Clock::time_point lineFree = Clock::now();
        for (;;) {
            std::size_t room = 0;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return stopped_ || held_ < kAheadLimit; });
                if (stopped_) {
                    break;
                }
                room = kAheadLimit - held_;
            }
            const ssize_t n = ::recv(from_, buffer.data(), std::min(room, buffer.size()), 0);
            if (n <= 0) {
                break;
            }
            const auto now = Clock::now();
            const auto wire = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(n) / kRateBytesPerSecond));
            lineFree = std::max(lineFree, now) + wire;
            {
                std::lock_guard lock(mutex_);
                queue_.push_back({std::string(buffer.data(), static_cast<std::size_t>(n)),
                                  lineFree + kOneWayDelay});
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
    explicit TDelayRelay(int targetPort) : target_(targetPort) {
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
            links_.push_back({client, server, std::make_unique<TRelayDirection>(client, server),
                              std::make_unique<TRelayDirection>(server, client)});
        }
    }

    int target_;
    int port_ = 0;
    int listenFd_ = -1;
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::vector<TLink> links_;
    std::thread acceptor_;
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// (a) Raw TCP: big writes through the relay into a reader that discards.
double RawTcpRate(std::size_t size) {
    int port = 0;
    const int listenFd = ListenLoopback(port);
    std::atomic<std::size_t> got{0};
    Clock::time_point end;
    std::thread sink([&] {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<char> buffer(64 * 1024);
        std::size_t total = 0;
        while (total < size) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                break;
            }
            total += static_cast<std::size_t>(n);
        }
        end = Clock::now();
        got.store(total);
        ::close(fd);
    });
    double rate = 0;
    {
        TDelayRelay relay(port);
        const std::string block(64 * 1024, 'r');
        const auto start = Clock::now();
        const int fd = ConnectLoopback(relay.Port());
        for (std::size_t sent = 0; sent < size; sent += block.size()) {
            SendAll(fd, block.data(), std::min(block.size(), size - sent));
        }
        sink.join();
        rate = static_cast<double>(got.load()) / Seconds(end - start);
        ::close(fd);
    }
    ::close(listenFd);
    return rate;
}

// A transfer window that only notes the end of its thread.
class TQuietView : public vox::ITransferView {
  public:
    void SetCaption(const std::string&) override {}
    void SetProgressRange(std::int64_t) override {}
    void SetProgress(std::int64_t) override {}
    void AddLog(const std::string& text) override { lastLog = text; }
    void TransferThreadEnded() override { ended = true; }
    bool ended = false;
    std::string lastLog;
};

void Pump(vox::TSynchronizer& sync, const std::function<bool()>& done) {
    while (!done()) {
        sync.CheckSynchronize(5);
    }
}

// (b) One 256-byte piece at a time, each waiting for its acknowledgement, into the receiving
// end.
double StopAndWaitRate(const std::string& folder, std::size_t size) {
    vox::TSynchronizer sync;
    TQuietView view;
    vox::TTransferDataServer server(
        view, &sync,
        vox::TTransferJob{
            "127.0.0.1", 0, folder + "/saw.bin", static_cast<std::int64_t>(size), {}});
    server.Open();
    TDelayRelay relay(server.LocalPort());
    std::atomic<bool> done{false};
    double rate = 0;
    std::thread sender([&] {
        const std::string piece(256, 's');
        const auto start = Clock::now();
        const int fd = ConnectLoopback(relay.Port());
        std::int64_t acked = 0;
        while (acked < static_cast<std::int64_t>(size)) {
            const auto n = std::min<std::size_t>(256, size - static_cast<std::size_t>(acked));
            SendAll(fd, piece.data(), n);
            const std::int64_t want = acked + static_cast<std::int64_t>(n);
            while (acked < want) {
                char ack[8];
                std::size_t have = 0;
                while (have < 8) {
                    const ssize_t r = ::recv(fd, ack + have, 8 - have, 0);
                    if (r <= 0) {
                        ::close(fd);
                        done.store(true);
                        return;
                    }
                    have += static_cast<std::size_t>(r);
                }
                std::uint64_t value = 0;
                for (int i = 7; i >= 0; --i) {
                    value = (value << 8) | static_cast<unsigned char>(ack[i]);
                }
                acked = static_cast<std::int64_t>(value);
            }
        }
        rate = static_cast<double>(size) / Seconds(Clock::now() - start);
        ::close(fd);
        done.store(true);
    });
    Pump(sync, [&] { return done.load() && view.ended; });
    sender.join();
    server.Close();
    return rate;
}

// (c) The sending end into the receiving end, with the given window.
double WindowedRate(const std::string& folder, const std::string& source, std::size_t size,
                    std::int64_t window) {
    vox::TSynchronizer sync;
    TQuietView recvView;
    TQuietView sendView;
    vox::TTransferOptions options;
    options.SendWindowBytes = window;
    vox::TTransferDataServer server(recvView, &sync,
                                    vox::TTransferJob{"127.0.0.1", 0, folder + "/win.bin",
                                                      static_cast<std::int64_t>(size), options});
    server.Open();
    TDelayRelay relay(server.LocalPort());
    vox::TTransferDataClient client(sendView, &sync,
                                    vox::TTransferJob{"127.0.0.1", relay.Port(), source,
                                                      static_cast<std::int64_t>(size), options});
    const auto start = Clock::now();
    client.Open();
    Pump(sync, [&] { return sendView.ended; });
    const double rate = static_cast<double>(size) / Seconds(Clock::now() - start);
    Pump(sync, [&] { return recvView.ended; });
    client.Stop();
    server.Close();
    if (sendView.lastLog.find("完了") == std::string::npos) {
        std::fprintf(stderr, "windowed transfer did not complete: %s\n", sendView.lastLog.c_str());
        std::exit(1);
    }
    return rate;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    constexpr std::size_t kRawBytes = 20u << 20;
    constexpr std::size_t kStopAndWaitBytes = 24u << 10;
    constexpr std::size_t kWindowedBytes = 20u << 20;
    const std::vector<std::int64_t> otherWindows = {64 << 10, 256 << 10, 1 << 20};

    char pattern[] = "/tmp/vox-transfer-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = pattern;
    const std::string source = folder + "/source.bin";
    {
        std::mt19937 random(1);
        std::string data(kWindowedBytes, '\0');
        for (auto& c : data) {
            c = static_cast<char>(random());
        }
        std::ofstream(source, std::ios::binary).write(data.data(), static_cast<long>(data.size()));
    }

    std::printf("Delaying relay: %lld ms each way, %.0f Mbit/s per direction, %zu bytes ahead\n",
                static_cast<long long>(kOneWayDelay.count()), kRateBytesPerSecond * 8 / 1e6,
                kAheadLimit);
    std::vector<double> raw, saw, windowed;
    std::map<std::int64_t, std::vector<double>> others;
    for (int round = 1; round <= kRounds; ++round) {
        raw.push_back(RawTcpRate(kRawBytes));
        saw.push_back(StopAndWaitRate(folder, kStopAndWaitBytes));
        windowed.push_back(WindowedRate(folder, source, kWindowedBytes, vox::kSendWindowBytes));
        std::printf("round %d: raw %.2f MB/s, stop-and-wait %.2f KB/s, windowed %.2f MB/s\n", round,
                    raw.back() / 1e6, saw.back() / 1e3, windowed.back() / 1e6);
        for (const std::int64_t window : otherWindows) {
            others[window].push_back(WindowedRate(folder, source, kWindowedBytes, window));
        }
        std::fflush(stdout);
    }
    const double mRaw = Median(raw), mSaw = Median(saw), mWin = Median(windowed);
    std::printf("\nmedians of %d rounds:\n", kRounds);
    std::printf("  (a) raw TCP             %9.2f MB/s\n", mRaw / 1e6);
    std::printf("  (b) stop-and-wait       %9.2f KB/s\n", mSaw / 1e3);
    std::printf("  (c) windowed (%lld KiB) %9.2f MB/s\n",
                static_cast<long long>(vox::kSendWindowBytes >> 10), mWin / 1e6);
    for (const auto& [window, rates] : others) {
        std::printf("      window %5lld KiB     %9.2f MB/s\n", static_cast<long long>(window >> 10),
                    Median(rates) / 1e6);
    }
    std::printf("ratios: windowed/raw %.3f, windowed/stop-and-wait %.0f, raw/stop-and-wait %.0f\n",
                mWin / mRaw, mWin / mSaw, mRaw / mSaw);
    std::filesystem::remove_all(folder);
    return 0;
}
