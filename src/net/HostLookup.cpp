#include "net/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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

std::string ReverseLookup(const std::string& address, std::uint32_t timeoutMs) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        return {};
    }
    // The resolver has no time limit of its own: it runs on a helper thread that keeps the
    // shared state alive, and the caller stops waiting when the time is up.
    struct TState {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        std::string name;
    };
    auto state = std::make_shared<TState>();
    try {
        std::thread([state, sa] {
            char host[NI_MAXHOST] = {};
            const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host,
                                       sizeof host, nullptr, 0, NI_NAMEREQD);
            {
                std::lock_guard lock(state->mutex);
                state->done = true;
                if (rc == 0) {
                    state->name = host;
                }
            }
            state->cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return {};
    }
    std::unique_lock lock(state->mutex);
    state->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return state->done; });
    return state->done ? state->name : std::string();
}

}  // namespace vox
