// Opens the program's listening ports on the home router while it listens: UPnP IGD
// (libminiupnpc) first, NAT-PMP (libnatpmp) when no UPnP router answers.
//
// Everything that talks to the router runs on the mapper's own thread, which sleeps until it
// is told the ports to map or a lease is half over; the window thread only hands over the
// wanted ports and reads the outcome. Every outcome is one log line (UTF-8) handed to the log
// function on the mapper's thread (which must not wait for the window thread): mapped with the
// external address and port, no router, a router that is not connected or whose external address is
// private (double NAT), a refusal with the router's code, a router whose answers are of no use.
// Waits on the router are bounded (discovery, each exchange, each attempt as a whole), and so
// is what is read from it: the HTTP with a UPnP router is this folder's own (RouterHttp.h),
// libminiupnpc only discovers routers and parses what was read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vox {

class TAddressWatcher;

// The durations of the mapper; tests shorten them.
struct TPortMapOptions {
    std::uint32_t DiscoverMs = 2000;    // how long UPnP discovery waits for routers
    std::uint32_t NatPmpWaitMs = 2000;  // how long one NAT-PMP question waits for its answer
    std::uint32_t LeaseSeconds = 3600;  // asked for each mapping; renewed at half
    // One exchange with a UPnP router (description, control call) ends by then, whatever the
    // router sends; and so does one attempt at the whole (discovery, reading the router,
    // mapping every port; removing every port).
    std::uint32_t HttpMs = 5000;
    std::uint32_t AttemptMs = 20000;
    bool UseUpnp = true;
    bool UseNatPmp = true;
    // The mappings are made anew when this machine's addresses change, once they have been
    // quiet this long.
    bool WatchAddresses = true;
    std::uint32_t AddressQuietMs = 2000;
};

// The log lines (UTF-8); the blanks are filled in as the comments say.
namespace portmap_texts {
// "<address>:<external port> → このＰＣの <port> 番（UPnP|NAT-PMP）"
inline constexpr const char* kMapped = "ルーターのポートを開きました：";
inline constexpr const char* kNoRouter =
    "ポートを開けるルーターが見つかりません（UPnP・NAT-PMP ともに応答なし）。外から接続して"
    "もらうには、ルーターで両方のポートを手で開くか、IPv6 を使ってください。";
// The router says it is not connected, or gives no external address: miniupnpd, for one, says
// so when its own external address is private (it sits behind another NAT).
inline constexpr const char* kNotConnected =
    "ルーターがインターネットにつながっていないか、ルーターの外側にさらに NAT があります（二重 "
    "NAT・キャリアグレード NAT）。ポートを開けないため、外からは接続できません。";
// "<address>" + kDoubleNat
inline constexpr const char* kDoubleNatPrefix = "ルーターの外部アドレス ";
inline constexpr const char* kDoubleNat =
    " はプライベートアドレスです（二重 NAT またはキャリアグレード NAT）。ルーターのポートを"
    "開いても外からは接続できません。";
// "<port>" + kRefused + "<code>: <text>）"
inline constexpr const char* kRefusedPrefix = "ルーターがポート ";
inline constexpr const char* kRefused = " を開くのを拒否しました（エラー ";
// "<reason>" + kUnusable: a UPnP router answered, but nothing it said could be used (and no
// NAT-PMP router answered either).
inline constexpr const char* kUnusablePrefix =
    "ルーターは見つかりましたが、ポートを開けませんでした（";
inline constexpr const char* kUnusable =
    "）。外から接続してもらうには、ルーターで両方のポートを"
    "手で開くか、IPv6 を使ってください。";
inline constexpr const char* kNoForwarding = "ルーターの説明にポート転送の機能がありません";
// "<port>" + kFailed + "<reason>）": the router gave no usable answer.
inline constexpr const char* kFailedPrefix = "ルーターのポート ";
inline constexpr const char* kFailed = " を開けませんでした（";
inline constexpr const char* kAddressChanged =
    "このＰＣのアドレスが変わりました。ルーターのポートを開き直します。";
// "<port>" + kRemoved
inline constexpr const char* kRemovedPrefix = "ルーターのポート ";
inline constexpr const char* kRemoved = " を閉じました。";
}  // namespace portmap_texts

// One port as the router forwards it.
struct TMappedPort {
    int Internal = 0;
    int External = 0;
};

// What partners outside can dial, as far as the router told.
struct TMappingState {
    bool Mapped = false;          // every wanted port is forwarded
    std::string Method;           // "UPnP" or "NAT-PMP"
    std::string ExternalAddress;  // the router's external IPv4 address
    std::vector<TMappedPort> Ports;
};

// Why an external address gives no reach from outside, or "" when it is public.
// "" for a public address; "private" for 10/8, 172.16/12, 192.168/16, 169.254/16 and
// 100.64.0.0/10 (carrier-grade NAT); "none" for 0.0.0.0 or a text that is no IPv4 address.
std::string ClassifyExternalAddress(const std::string& dotted);

class TPortMapper {
  public:
    using TLog = std::function<void(const std::string& utf8)>;

    explicit TPortMapper(TLog log, TPortMapOptions options = {});
    // Removes the mappings it made and joins its thread.
    ~TPortMapper();
    TPortMapper(const TPortMapper&) = delete;
    TPortMapper& operator=(const TPortMapper&) = delete;

    // The ports to keep open (TCP), replacing the ones before: mappings of ports no longer
    // wanted are removed, new ones made. An empty list removes every mapping. Returns at once.
    void SetPorts(std::vector<int> ports);
    // A snapshot of the outcome so far (thread-safe).
    TMappingState State() const;
    // Waits until the mapper's thread has dealt with every request so far, at most timeoutMs;
    // false when it has not. For tests and for the end of the program.
    bool WaitIdle(std::uint32_t timeoutMs) const;
    // For a router that does not answer at the program's end: no log line is handed over
    // from now on (one under way is waited for), and the thread ends as soon as the router
    // lets it. The owner then lets the object go without destroying it.
    void Abandon();

  private:
    struct TRouter;
    enum class TUpnpFound { None, Connected, NotConnected };
    void Run();
    // Discovers the UPnP routers and reads them, until one is found that is connected;
    // unusable gets why the last one that answered could not be used.
    TUpnpFound FindUpnpRouter(TRouter& router, std::chrono::steady_clock::time_point deadline,
                              std::string& unusable);
    // Makes the mappings wanted (removing the old ones, finding the router anew), or renews
    // the leases of the ones there are.
    void Apply(TRouter& router, const std::vector<int>& wanted, bool renewing);
    // Maps every wanted port; the UPnP calls end by deadline (the attempt's).
    void AddAll(TRouter& router, const std::vector<int>& wanted, bool logMapped,
                std::chrono::steady_clock::time_point deadline);
    void RemoveAll(TRouter& router);
    void Log(const std::string& line);
    // Makes the router's mappings the outcome State() reads (wanted: how many ports are wanted).
    void Publish(const TRouter& router, std::size_t wanted);
    // The machine's addresses changed: the mappings there are are made anew.
    void AddressesChanged();

    const TLog log_;
    std::mutex logMutex_;  // held while a line is handed over
    bool silenced_ = false;
    const TPortMapOptions options_;
    mutable std::mutex mutex_;
    mutable std::condition_variable wake_;
    mutable std::condition_variable idle_;
    std::vector<int> wanted_;
    std::uint64_t requested_ = 0;  // requests made
    std::uint64_t handled_ = 0;    // requests dealt with
    bool stop_ = false;
    bool recheck_ = false;  // the addresses changed since the mappings were made
    TMappingState state_;
    std::thread thread_;
    std::unique_ptr<TAddressWatcher> watcher_;
};

}  // namespace vox
