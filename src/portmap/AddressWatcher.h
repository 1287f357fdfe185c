// Tells when this machine's IPv4 addresses change (an address added or removed on an interface,
// as when the network is switched or the router hands out a new lease): the kernel's routing
// socket (netlink) read on a thread of its own. Changes that come in a burst are told once,
// after the addresses have been quiet for a while, and only when the set of IPv4 addresses then
// differs from the one told before: the router maps ports to an IPv4 address, while IPv6
// addresses come and go on their own (temporary addresses, lifetimes renewed by every router
// advertisement), which must not make the mappings anew each time.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <thread>

namespace vox {

class TAddressWatcher {
  public:
    // changed: called on the watcher's thread once the addresses have been quiet for quietMs
    // after a change. Addresses of host or link scope (loopback, IPv6 link-local) are not
    // counted. Without a routing socket (it cannot be opened) nothing is ever told.
    TAddressWatcher(std::function<void()> changed, std::uint32_t quietMs);
    // Stops the thread and joins it (a call under way ends first).
    ~TAddressWatcher();
    TAddressWatcher(const TAddressWatcher&) = delete;
    TAddressWatcher& operator=(const TAddressWatcher&) = delete;

    // False when the routing socket could not be opened.
    bool Watching() const { return netlink_ >= 0; }

    // This machine's IPv4 addresses other than loopback, on interfaces that are up.
    static std::set<std::string> Ipv4Addresses();

  private:
    void Run();

    const std::function<void()> changed_;
    const std::uint32_t quietMs_;
    int netlink_ = -1;
    int wake_ = -1;                // an eventfd that ends the thread
    std::set<std::string> known_;  // the addresses as last told (or at the start)
    std::thread thread_;
};

}  // namespace vox
