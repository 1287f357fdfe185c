#include "net/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "net/Address.h"
#include "net/SocketError.h"

namespace vox {

bool IsDottedAddress(const std::string& address) {
    in_addr addr{};
    return inet_pton(AF_INET, address.c_str(), &addr) == 1;
}

std::vector<std::string> InterleaveFamilies(const std::vector<std::string>& addresses) {
    std::vector<std::string> v6;
    std::vector<std::string> v4;
    for (const std::string& address : addresses) {
        auto& list = address.find(':') != std::string::npos ? v6 : v4;
        if (std::find(list.begin(), list.end(), address) == list.end()) {
            list.push_back(address);
        }
    }
    std::vector<std::string> ordered;
    for (std::size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size()) {
            ordered.push_back(v6[i]);
        }
        if (i < v4.size()) {
            ordered.push_back(v4[i]);
        }
    }
    return ordered;
}

std::vector<std::string> LookupHostAddresses(const std::string& host) {
    const std::string numeric = CanonicalAddress(host);
    if (!numeric.empty()) {
        return {numeric};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        if (found != nullptr) {
            freeaddrinfo(found);
        }
        const int code = rc != 0 ? rc : EAI_NONAME;
        throw ESocketError::ForCall(code, gai_strerror(code), "getaddrinfo");
    }
    std::vector<std::string> addresses;
    for (const addrinfo* it = found; it != nullptr; it = it->ai_next) {
        if (it->ai_addr != nullptr && (it->ai_family == AF_INET || it->ai_family == AF_INET6)) {
            addresses.push_back(AddressText(*it->ai_addr));
        }
    }
    freeaddrinfo(found);
    if (addresses.empty()) {
        throw ESocketError::ForCall(EAI_NONAME, gai_strerror(EAI_NONAME), "getaddrinfo");
    }
    return InterleaveFamilies(addresses);
}

// One look-up: asked by a caller, answered (or skipped) by the resolver's thread. Guarded by
// the resolver's mutex.
struct THostResolver::TRequest {
    sockaddr_storage address{};
    unsigned length = 0;
    bool abandoned = false;  // the caller stopped waiting
    bool done = false;
    std::string name;
};

THostResolver::THostResolver() : thread_([this] { Run(); }) {}

THostResolver::~THostResolver() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::string THostResolver::Reverse(const std::string& address, std::uint32_t timeoutMs) {
    auto request = std::make_shared<TRequest>();
    // No time to wait is no look-up: the resolver would only answer nobody.
    if (timeoutMs == 0 || !MakeSocketAddress(address, 0, request->address, request->length)) {
        return {};
    }
    std::unique_lock lock(mutex_);
    if (stop_ || queue_.size() >= kResolverQueueLimit) {
        return {};
    }
    queue_.push_back(request);
    wake_.notify_all();
    done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return request->done; });
    if (!request->done) {
        request->abandoned = true;
        return {};
    }
    return request->name;
}

void THostResolver::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) {
            break;
        }
        const std::shared_ptr<TRequest> request = std::move(queue_.front());
        queue_.pop_front();
        if (request->abandoned) {
            continue;
        }
        const sockaddr_storage address = request->address;
        const unsigned length = request->length;
        lock.unlock();
        char host[NI_MAXHOST] = {};
        const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host,
                                   sizeof host, nullptr, 0, NI_NAMEREQD);
        lock.lock();
        request->done = true;
        if (rc == 0) {
            request->name = host;
        }
        done_.notify_all();
    }
    // Callers still waiting go on without a name.
    for (const auto& request : queue_) {
        request->done = true;
    }
    queue_.clear();
    done_.notify_all();
}

}  // namespace vox
