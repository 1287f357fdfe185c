#include "portmap/PortMapper.h"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <miniupnpc/upnpreplyparse.h>
#include <natpmp.h>
#include <netinet/in.h>
#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "portmap/AddressWatcher.h"
#include "portmap/RouterHttp.h"

namespace vox {

namespace {

using TSteady = std::chrono::steady_clock;

constexpr const char* kDescription = "Voxilen";
// The router asks for permanent leases only (UPnP IGD error 725).
constexpr int kOnlyPermanentLeases = 725;
constexpr int kConflict = 718;
// A control call that got no usable answer (its failure says why).
constexpr int kNoAnswer = -1;
// The routers of one discovery whose descriptions are read, at most.
constexpr int kMaxRouters = 4;

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
    bool Tried = false;       // a discovery ran (and found Kind)
    std::string ControlUrl;   // UPnP: where the control calls go
    std::string ServiceType;  // UPnP: WANIPConnection or WANPPPConnection
    std::string LanAddress;   // this machine's address towards the router
    natpmp_t Pmp{};
    std::string External;
    std::vector<TMappedPort> Ports;
    TSteady::time_point RenewAt = TSteady::time_point::max();

    TRouter() = default;
    TRouter(const TRouter&) = delete;
    TRouter& operator=(const TRouter&) = delete;
    ~TRouter() { Forget(); }
    void Forget() {
        if (Kind == TKind::NatPmp) {
            closenatpmp(&Pmp);
        }
        ControlUrl.clear();
        ServiceType.clear();
        LanAddress.clear();
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

TSteady::time_point Sooner(TSteady::time_point a, std::uint32_t ms) {
    return std::min(a, TSteady::now() + std::chrono::milliseconds(ms));
}

// One control call's outcome: Code 0 done, > 0 the router's refusal (UPnP error code),
// kNoAnswer when nothing usable came back (Failure says why).
struct TSoapAnswer {
    int Code = kNoAnswer;
    std::string Failure;
    std::vector<std::pair<std::string, std::string>> Values;
    std::string Value(const std::string& name) const {
        for (const auto& [key, value] : Values) {
            if (key == name) {
                return value;
            }
        }
        return {};
    }
};

// The largest answers read from a router: a device description, a control call's answer.
constexpr std::size_t kMaxDescriptionBytes = std::size_t{256} * 1024;
constexpr std::size_t kMaxControlBytes = std::size_t{32} * 1024;

TSoapAnswer Soap(const std::string& controlUrl, const std::string& serviceType,
                 const std::string& action,
                 const std::vector<std::pair<std::string, std::string>>& arguments,
                 const std::vector<std::string>& wanted, TSteady::time_point deadline) {
    std::string body =
        "<?xml version=\"1.0\"?>\r\n<s:Envelope "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
        action + " xmlns:u=\"" + serviceType + "\">";
    for (const auto& [name, value] : arguments) {
        body.append("<").append(name).append(">").append(value);
        body.append("</").append(name).append(">");
    }
    body += "</u:" + action + "></s:Body></s:Envelope>\r\n";
    const std::string headers = "Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" +
                                serviceType + "#" + action + "\"\r\n";
    const THttpReply reply =
        RouterHttp(controlUrl, "POST", headers, body, deadline, kMaxControlBytes);
    TSoapAnswer answer;
    if (!reply.Ok) {
        answer.Failure = reply.Failure;
        return answer;
    }
    NameValueParserData data{};
    ParseNameValue(reply.Body.data(), static_cast<int>(reply.Body.size()), &data);
    const char* error = GetValueFromNameValueList(&data, "errorCode");
    if (error != nullptr) {
        answer.Code = static_cast<int>(std::clamp(std::strtol(error, nullptr, 10), 1L, 99999L));
    } else if (reply.Status != 200) {
        answer.Failure = router_http_texts::kMalformed;
    } else {
        answer.Code = 0;
        for (const std::string& name : wanted) {
            const char* value = GetValueFromNameValueList(&data, name.c_str());
            answer.Values.emplace_back(name, value != nullptr ? value : "");
        }
    }
    ClearNameValueList(&data);
    return answer;
}

}  // namespace

TPortMapper::TPortMapper(TLog log, TPortMapOptions options)
    : log_(std::move(log)), options_(options), thread_([this] { Run(); }) {
    if (options_.WatchAddresses) {
        watcher_ = std::make_unique<TAddressWatcher>([this] { AddressesChanged(); },
                                                     options_.AddressQuietMs);
    }
}

TPortMapper::~TPortMapper() {
    watcher_.reset();
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

void TPortMapper::AddressesChanged() {
    {
        std::lock_guard lock(mutex_);
        if (wanted_.empty()) {
            return;
        }
        recheck_ = true;
        ++requested_;
    }
    wake_.notify_all();
}

void TPortMapper::Abandon() {
    watcher_.reset();
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
        const bool recheck = recheck_ && !wanted.empty();
        recheck_ = false;
        lock.unlock();
        if (recheck) {
            Log(portmap_texts::kAddressChanged);
        }
        if (renew || recheck || wanted != current) {
            Apply(router, wanted, renew && !recheck && wanted == current);
            current = wanted;
        }
        Publish(router, wanted.size());
        lock.lock();
        seen = request;
        handled_ = request;
        idle_.notify_all();
    }
    lock.unlock();
    RemoveAll(router);
}

void TPortMapper::Publish(const TRouter& router, std::size_t wanted) {
    std::lock_guard lock(mutex_);
    state_.Mapped = wanted != 0 && router.Ports.size() == wanted;
    state_.Method = router.Kind == TRouter::TKind::Upnp     ? "UPnP"
                    : router.Kind == TRouter::TKind::NatPmp ? "NAT-PMP"
                                                            : "";
    state_.ExternalAddress = router.External;
    state_.Ports = router.Ports;
}

void TPortMapper::RemoveAll(TRouter& router) {
    const auto deadline = TSteady::now() + std::chrono::milliseconds(options_.AttemptMs);
    const std::vector<TMappedPort> ports = std::move(router.Ports);
    router.Ports.clear();
    // Partners are no longer told these ports from the first line about them.
    Publish(router, 0);
    for (const TMappedPort& port : ports) {
        const std::string external = std::to_string(port.External);
        if (router.Kind == TRouter::TKind::Upnp) {
            Soap(router.ControlUrl, router.ServiceType, "DeletePortMapping",
                 {{"NewRemoteHost", ""}, {"NewExternalPort", external}, {"NewProtocol", "TCP"}}, {},
                 Sooner(deadline, options_.HttpMs));
        } else if (router.Kind == TRouter::TKind::NatPmp) {
            natpmpresp_t response{};
            if (sendnewportmappingrequest(&router.Pmp, NATPMP_PROTOCOL_TCP,
                                          static_cast<std::uint16_t>(port.Internal), 0, 0) >= 0) {
                NatPmpAnswer(router.Pmp, response, options_.NatPmpWaitMs);
            }
        }
        Log(std::string(portmap_texts::kRemovedPrefix) + external + portmap_texts::kRemoved);
    }
}

TPortMapper::TUpnpFound TPortMapper::FindUpnpRouter(TRouter& router,
                                                    std::chrono::steady_clock::time_point deadline,
                                                    std::string& unusable) {
    int error = 0;
    UPNPDev* devices = upnpDiscover(static_cast<int>(options_.DiscoverMs), nullptr, nullptr,
                                    UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    TUpnpFound found = TUpnpFound::None;
    int tried = 0;
    for (const UPNPDev* device = devices;
         device != nullptr && tried < kMaxRouters && found != TUpnpFound::Connected &&
         TSteady::now() < deadline;
         device = device->pNext, ++tried) {
        const THttpReply description =
            RouterHttp(device->descURL, "GET", "", "", Sooner(deadline, options_.HttpMs),
                       kMaxDescriptionBytes);
        if (!description.Ok || description.Status != 200) {
            // A router that was read says more than an address that could not be dialled.
            if (unusable.empty() || description.Failure != router_http_texts::kBadUrl) {
                unusable = description.Ok ? router_http_texts::kMalformed : description.Failure;
            }
            continue;
        }
        IGDdatas data{};
        parserootdesc(description.Body.data(), static_cast<int>(description.Body.size()), &data);
        UPNPUrls urls{};
        GetUPNPUrls(&urls, &data, device->descURL, device->scope_id);
        const std::string control = urls.controlURL != nullptr ? urls.controlURL : "";
        FreeUPNPUrls(&urls);
        if (data.first.servicetype[0] == '\0' || control.empty()) {
            unusable = portmap_texts::kNoForwarding;
            continue;
        }
        const TSoapAnswer status = Soap(control, data.first.servicetype, "GetStatusInfo", {},
                                        {"NewConnectionStatus"}, Sooner(deadline, options_.HttpMs));
        if (status.Code == kNoAnswer) {
            unusable = status.Failure;
            continue;
        }
        const bool connected =
            status.Code == 0 && status.Value("NewConnectionStatus") == "Connected";
        if (!connected && found == TUpnpFound::NotConnected) {
            continue;  // the first one not connected is kept
        }
        router.Kind = TRouter::TKind::Upnp;
        router.ControlUrl = control;
        router.ServiceType = data.first.servicetype;
        router.LanAddress = description.LocalAddress;
        found = connected ? TUpnpFound::Connected : TUpnpFound::NotConnected;
    }
    freeUPNPDevlist(devices);
    if (found != TUpnpFound::Connected) {
        return found;
    }
    const TSoapAnswer external =
        Soap(router.ControlUrl, router.ServiceType, "GetExternalIPAddress", {},
             {"NewExternalIPAddress"}, Sooner(deadline, options_.HttpMs));
    router.External = external.Value("NewExternalIPAddress");
    return found;
}

void TPortMapper::Apply(TRouter& router, const std::vector<int>& wanted, bool renewing) {
    namespace t = portmap_texts;
    router.RenewAt = TSteady::time_point::max();
    if (renewing) {
        // The same mappings asked for again with a fresh lease, on the router found before.
        router.Ports.clear();
        AddAll(router, wanted, false,
               TSteady::now() + std::chrono::milliseconds(options_.AttemptMs));
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
    const auto deadline = TSteady::now() + std::chrono::milliseconds(options_.AttemptMs);
    std::string unusable;  // why an answering UPnP router could not be used
    if (options_.UseUpnp &&
        FindUpnpRouter(router, deadline, unusable) == TUpnpFound::NotConnected) {
        Log(t::kNotConnected);
        return;
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
        Log(unusable.empty() ? std::string(t::kNoRouter)
                             : std::string(t::kUnusablePrefix) + unusable + t::kUnusable);
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
    AddAll(router, wanted, true, deadline);
}

void TPortMapper::AddAll(TRouter& router, const std::vector<int>& wanted, bool logMapped,
                         std::chrono::steady_clock::time_point deadline) {
    namespace t = portmap_texts;
    std::uint32_t lease = options_.LeaseSeconds;
    for (const int port : wanted) {
        const std::string text = std::to_string(port);
        int external = 0;
        int code = 0;
        std::string failure = "応答がありません";
        if (router.Kind == TRouter::TKind::Upnp) {
            const auto add = [&](std::uint32_t seconds) {
                const TSoapAnswer answer =
                    Soap(router.ControlUrl, router.ServiceType, "AddPortMapping",
                         {{"NewRemoteHost", ""},
                          {"NewExternalPort", text},
                          {"NewProtocol", "TCP"},
                          {"NewInternalPort", text},
                          {"NewInternalClient", router.LanAddress},
                          {"NewEnabled", "1"},
                          {"NewPortMappingDescription", kDescription},
                          {"NewLeaseDuration", std::to_string(seconds)}},
                         {}, Sooner(deadline, options_.HttpMs));
                if (!answer.Failure.empty()) {
                    failure = answer.Failure;
                }
                return answer.Code;
            };
            code = add(lease);
            if (code == kOnlyPermanentLeases) {
                lease = 0;
                code = add(0);
            }
            external = code == 0 ? port : 0;
        } else {
            natpmpresp_t response{};
            const auto p = static_cast<std::uint16_t>(port);
            if (sendnewportmappingrequest(&router.Pmp, NATPMP_PROTOCOL_TCP, p, p, lease) < 0 ||
                !NatPmpAnswer(router.Pmp, response, options_.NatPmpWaitMs)) {
                code = kNoAnswer;
            } else if (response.type != NATPMP_RESPTYPE_TCPPORTMAPPING) {
                code = kNoAnswer;
                failure = router_http_texts::kMalformed;
            } else {
                // The router may grant another external port, and a shorter lease.
                external = response.pnu.newportmapping.mappedpublicport;
                lease = std::min(lease, response.pnu.newportmapping.lifetime);
            }
        }
        if (external == 0 && code == kNoAnswer) {
            Log(std::string(t::kFailedPrefix)
                    .append(text)
                    .append(t::kFailed)
                    .append(failure)
                    .append("）"));
            continue;
        }
        if (external == 0) {
            Log(std::string(t::kRefusedPrefix) + text + t::kRefused + std::to_string(code) + ": " +
                RefusalText(code) + "）");
            continue;
        }
        router.Ports.push_back({port, external});
        // The window reads the state when it shows the line: it must be there by then.
        Publish(router, wanted.size());
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
