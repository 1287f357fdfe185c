#include "net/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "net/SocketError.h"

namespace vox {

bool IsDottedAddress(const std::string& address) {
    in_addr addr{};
    return inet_pton(AF_INET, address.c_str(), &addr) == 1;
}

std::string LookupHostAddress(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        if (found != nullptr) {
            freeaddrinfo(found);
        }
        const int code = rc != 0 ? rc : EAI_NONAME;
        throw ESocketError::ForCall(code, gai_strerror(code), "getaddrinfo");
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    inet_ntop(AF_INET, &addr->sin_addr, text, sizeof text);
    freeaddrinfo(found);
    return text;
}

// One look-up: asked by a caller, answered (or skipped) by the resolver's thread. Guarded by
// the resolver's mutex.
struct THostResolver::TRequest {
    sockaddr_in address{};
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
    request->address.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &request->address.sin_addr) != 1) {
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
        const sockaddr_in address = request->address;
        lock.unlock();
        char host[NI_MAXHOST] = {};
        const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                   host, sizeof host, nullptr, 0, NI_NAMEREQD);
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
