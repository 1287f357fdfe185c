#include "portmap/AddressWatcher.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vox {

namespace {

using TSteady = std::chrono::steady_clock;

// True when the messages in buffer tell of an address of global (or site) scope added or
// removed.
bool TellsOfChange(const char* buffer, std::size_t length) {
    for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer);
         NLMSG_OK(header, static_cast<unsigned>(length)); header = NLMSG_NEXT(header, length)) {
        if ((header->nlmsg_type == RTM_NEWADDR || header->nlmsg_type == RTM_DELADDR) &&
            header->nlmsg_len >= NLMSG_LENGTH(sizeof(ifaddrmsg))) {
            const auto* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
            if (address->ifa_scope < RT_SCOPE_LINK) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::set<std::string> TAddressWatcher::Ipv4Addresses() {
    std::set<std::string> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return found;
    }
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET ||
            (it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        sockaddr_in v4{};
        std::memcpy(&v4, it->ifa_addr, sizeof v4);
        if (::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) != nullptr) {
            found.insert(text);
        }
    }
    ::freeifaddrs(list);
    return found;
}

TAddressWatcher::TAddressWatcher(std::function<void()> changed, std::uint32_t quietMs)
    : changed_(std::move(changed)), quietMs_(quietMs), known_(Ipv4Addresses()) {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    netlink_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (netlink_ >= 0 && ::bind(netlink_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(netlink_);
        netlink_ = -1;
    }
    if (netlink_ >= 0 && wake_ >= 0) {
        thread_ = std::thread([this] { Run(); });
    }
}

TAddressWatcher::~TAddressWatcher() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (netlink_ >= 0) {
        ::close(netlink_);
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
}

void TAddressWatcher::Run() {
    bool pending = false;
    TSteady::time_point due{};
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        int wait = -1;
        if (pending) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(due - TSteady::now()).count();
            wait = static_cast<int>(left > 0 ? left : 0);
        }
        pollfd fds[2] = {{netlink_, POLLIN, 0}, {wake_, POLLIN, 0}};
        const int rc = ::poll(fds, 2, wait);
        if (rc < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (rc == 0 && pending) {
            pending = false;
            std::set<std::string> now = Ipv4Addresses();
            if (now != known_) {
                known_ = std::move(now);
                changed_();
            }
            continue;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        for (;;) {
            const ssize_t n = ::recv(netlink_, buffer, sizeof buffer, 0);
            // A full socket buffer lost messages: something changed all the same.
            const bool lost = n < 0 && errno == ENOBUFS;
            if (lost || (n > 0 && TellsOfChange(buffer, static_cast<std::size_t>(n)))) {
                pending = true;
                due = TSteady::now() + std::chrono::milliseconds(quietMs_);
            }
            if (n <= 0 && !lost) {
                break;
            }
        }
    }
}

}  // namespace vox
