#include "portmap/PortMapper.h"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <natpmp.h>
#include <netinet/in.h>
#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

namespace vox {

namespace {

using TSteady = std::chrono::steady_clock;

constexpr const char* kDescription = "Voxilen";
// The router asks for permanent leases only (UPnP IGD error 725).
constexpr int kOnlyPermanentLeases = 725;
constexpr int kConflict = 718;

std::string RefusalText(int code) {
    if (code == kConflict) {
        return "そのポートはすでに別の機器に割り当てられています";
    }
    if (code == 606) {
        return "操作が許可されていません";
    }
    const char* text = strupnperror(code);
    return text != nullptr ? text : "不明なエラー";
}

}  // namespace

std::string ClassifyExternalAddress(const std::string& dotted) {
    in_addr address{};
    if (inet_pton(AF_INET, dotted.c_str(), &address) != 1 || address.s_addr == 0) {
        return "none";
    }
    const std::uint32_t a = ntohl(address.s_addr);
    const auto in = [a](std::uint32_t net, int bits) {
        return (a >> (32 - bits)) == (net >> (32 - bits));
    };
    if (in(0x0A000000u, 8) || in(0xAC100000u, 12) || in(0xC0A80000u, 16) || in(0xA9FE0000u, 16) ||
        in(0x64400000u, 10)) {
        return "private";
    }
    return {};
}

// The router found, and what was mapped on it.
struct TPortMapper::TRouter {
    enum class TKind { None, Upnp, NatPmp } Kind = TKind::None;
    bool Tried = false;  // a discovery ran (and found Kind)
    UPNPUrls Urls{};
    IGDdatas Data{};
    char LanAddress[64] = {};
    natpmp_t Pmp{};
    std::string External;
    std::vector<TMappedPort> Ports;
    TSteady::time_point RenewAt = TSteady::time_point::max();

    TRouter() = default;
    TRouter(const TRouter&) = delete;
    TRouter& operator=(const TRouter&) = delete;
    ~TRouter() { Forget(); }
    void Forget() {
        if (Kind == TKind::Upnp) {
            FreeUPNPUrls(&Urls);
        } else if (Kind == TKind::NatPmp) {
            closenatpmp(&Pmp);
        }
        Kind = TKind::None;
        Tried = false;
        External.clear();
    }
};

namespace {

// One NAT-PMP answer, waiting at most waitMs; false when none came.
bool NatPmpAnswer(natpmp_t& pmp, natpmpresp_t& response, std::uint32_t waitMs) {
    const auto deadline = TSteady::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        timeval timeout{};
        if (getnatpmprequesttimeout(&pmp, &timeout) < 0) {
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - TSteady::now())
                .count();
        if (left <= 0) {
            return false;
        }
        const long long wait = std::min<long long>(
            left, static_cast<long long>(timeout.tv_sec) * 1000000 + timeout.tv_usec);
        timeout.tv_sec = static_cast<time_t>(wait / 1000000);
        timeout.tv_usec = static_cast<suseconds_t>(wait % 1000000);
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(pmp.s, &fds);
        select(pmp.s + 1, &fds, nullptr, nullptr, &timeout);
        const int rc = readnatpmpresponseorretry(&pmp, &response);
        if (rc >= 0) {
            return true;
        }
        if (rc != NATPMP_TRYAGAIN) {
            return false;
        }
    }
}

}  // namespace

TPortMapper::TPortMapper(TLog log, TPortMapOptions options)
    : log_(std::move(log)), options_(options), thread_([this] { Run(); }) {}

TPortMapper::~TPortMapper() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void TPortMapper::SetPorts(std::vector<int> ports) {
    {
        std::lock_guard lock(mutex_);
        wanted_ = std::move(ports);
        ++requested_;
    }
    wake_.notify_all();
}

TMappingState TPortMapper::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool TPortMapper::WaitIdle(std::uint32_t timeoutMs) const {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return handled_ == requested_; });
}

void TPortMapper::Log(const std::string& line) {
    std::lock_guard lock(logMutex_);
    if (log_ && !silenced_) {
        log_(line);
    }
}

void TPortMapper::Abandon() {
    {
        std::lock_guard lock(logMutex_);
        silenced_ = true;
    }
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void TPortMapper::Run() {
    TRouter router;
    std::unique_lock lock(mutex_);
    std::uint64_t seen = 0;
    std::vector<int> current;
    for (;;) {
        const auto woken = [&] { return stop_ || requested_ != seen; };
        bool renew = false;
        if (router.RenewAt == TSteady::time_point::max()) {
            wake_.wait(lock, woken);
        } else {
            renew = !wake_.wait_until(lock, router.RenewAt, woken);
        }
        if (stop_) {
            break;
        }
        const std::uint64_t request = requested_;
        std::vector<int> wanted = wanted_;
        lock.unlock();
        if (renew || wanted != current) {
            Apply(router, wanted, renew && wanted == current);
            current = wanted;
        }
        lock.lock();
        seen = request;
        handled_ = request;
        state_.Mapped = !wanted.empty() && router.Ports.size() == wanted.size();
        state_.Method = router.Kind == TRouter::TKind::Upnp     ? "UPnP"
                        : router.Kind == TRouter::TKind::NatPmp ? "NAT-PMP"
                                                                : "";
        state_.ExternalAddress = router.External;
        state_.Ports = router.Ports;
        idle_.notify_all();
    }
    lock.unlock();
    RemoveAll(router);
}

void TPortMapper::RemoveAll(TRouter& router) {
    for (const TMappedPort& port : router.Ports) {
        const std::string external = std::to_string(port.External);
        if (router.Kind == TRouter::TKind::Upnp) {
            UPNP_DeletePortMapping(router.Urls.controlURL, router.Data.first.servicetype,
                                   external.c_str(), "TCP", nullptr);
        } else if (router.Kind == TRouter::TKind::NatPmp) {
            natpmpresp_t response{};
            if (sendnewportmappingrequest(&router.Pmp, NATPMP_PROTOCOL_TCP,
                                          static_cast<std::uint16_t>(port.Internal), 0, 0) >= 0) {
                NatPmpAnswer(router.Pmp, response, options_.NatPmpWaitMs);
            }
        }
        Log(std::string(portmap_texts::kRemovedPrefix) + external + portmap_texts::kRemoved);
    }
    router.Ports.clear();
}

void TPortMapper::Apply(TRouter& router, const std::vector<int>& wanted, bool renewing) {
    namespace t = portmap_texts;
    router.RenewAt = TSteady::time_point::max();
    if (renewing) {
        // The same mappings asked for again with a fresh lease, on the router found before.
        router.Ports.clear();
        AddAll(router, wanted, false);
        return;
    }
    RemoveAll(router);
    if (wanted.empty()) {
        router.Forget();
        return;
    }
    // Looked for anew each time listening starts: the machine or its network may have changed.
    router.Forget();
    router.Tried = true;
    if (options_.UseUpnp) {
        int error = 0;
        UPNPDev* devices = upnpDiscover(static_cast<int>(options_.DiscoverMs), nullptr, nullptr,
                                        UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        if (devices != nullptr) {
            const int found = UPNP_GetValidIGD(devices, &router.Urls, &router.Data,
                                               router.LanAddress, sizeof router.LanAddress);
            freeUPNPDevlist(devices);
            if (found == 1 || found == 2) {
                router.Kind = TRouter::TKind::Upnp;
                if (found == 2) {
                    Log(t::kNotConnected);
                    return;
                }
                char external[40] = {};
                if (UPNP_GetExternalIPAddress(router.Urls.controlURL, router.Data.first.servicetype,
                                              external) != 0) {
                    external[0] = '\0';
                }
                router.External = external;
            } else if (found != 0) {
                FreeUPNPUrls(&router.Urls);
            }
        }
    }
    if (router.Kind == TRouter::TKind::None && options_.UseNatPmp) {
        if (initnatpmp(&router.Pmp, 0, 0) >= 0) {
            natpmpresp_t response{};
            if (sendpublicaddressrequest(&router.Pmp) >= 0 &&
                NatPmpAnswer(router.Pmp, response, options_.NatPmpWaitMs) &&
                response.type == NATPMP_RESPTYPE_PUBLICADDRESS) {
                router.Kind = TRouter::TKind::NatPmp;
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &response.pnu.publicaddress.addr, text, sizeof text);
                router.External = text;
            } else {
                closenatpmp(&router.Pmp);
            }
        }
    }
    if (router.Kind == TRouter::TKind::None) {
        Log(t::kNoRouter);
        return;
    }
    const std::string reach = ClassifyExternalAddress(router.External);
    if (reach == "none") {
        Log(t::kNotConnected);
        return;
    }
    if (reach == "private") {
        Log(std::string(t::kDoubleNatPrefix) + router.External + t::kDoubleNat);
        return;
    }
    AddAll(router, wanted, true);
}

void TPortMapper::AddAll(TRouter& router, const std::vector<int>& wanted, bool logMapped) {
    namespace t = portmap_texts;
    std::uint32_t lease = options_.LeaseSeconds;
    for (const int port : wanted) {
        const std::string text = std::to_string(port);
        int external = 0;
        int code = 0;
        if (router.Kind == TRouter::TKind::Upnp) {
            std::string duration = std::to_string(lease);
            code = UPNP_AddPortMapping(router.Urls.controlURL, router.Data.first.servicetype,
                                       text.c_str(), text.c_str(), router.LanAddress, kDescription,
                                       "TCP", nullptr, duration.c_str());
            if (code == kOnlyPermanentLeases) {
                lease = 0;
                code = UPNP_AddPortMapping(router.Urls.controlURL, router.Data.first.servicetype,
                                           text.c_str(), text.c_str(), router.LanAddress,
                                           kDescription, "TCP", nullptr, "0");
            }
            external = code == 0 ? port : 0;
        } else {
            natpmpresp_t response{};
            const auto p = static_cast<std::uint16_t>(port);
            if (sendnewportmappingrequest(&router.Pmp, NATPMP_PROTOCOL_TCP, p, p, lease) < 0 ||
                !NatPmpAnswer(router.Pmp, response, options_.NatPmpWaitMs)) {
                code = -1;
            } else {
                // The router may grant another external port, and a shorter lease.
                external = response.pnu.newportmapping.mappedpublicport;
                lease = std::min(lease, response.pnu.newportmapping.lifetime);
            }
        }
        if (external == 0) {
            Log(std::string(t::kRefusedPrefix) + text + t::kRefused + std::to_string(code) + ": " +
                (code == -1 ? std::string("応答なし") : RefusalText(code)) + "）");
            continue;
        }
        router.Ports.push_back({port, external});
        if (!logMapped) {
            continue;
        }
        Log(std::string(t::kMapped) + router.External + ":" + std::to_string(external) +
            " → このＰＣの " + text + " 番（" +
            (router.Kind == TRouter::TKind::Upnp ? "UPnP" : "NAT-PMP") + "）");
    }
    if (lease != 0 && !router.Ports.empty()) {
        router.RenewAt = TSteady::now() + std::chrono::seconds(lease / 2);
    }
}

}  // namespace vox
