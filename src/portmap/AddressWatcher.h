// Tells when this machine's addresses change (an address added or removed on any interface,
// as when the network is switched or the router hands out a new lease): the kernel's routing
// socket (netlink) read on a thread of its own. Changes that come in a burst are told once,
// after the addresses have been quiet for a while.
#pragma once

#include <cstdint>
#include <functional>
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

  private:
    void Run();

    const std::function<void()> changed_;
    const std::uint32_t quietMs_;
    int netlink_ = -1;
    int wake_ = -1;  // an eventfd that ends the thread
    std::thread thread_;
};

}  // namespace vox
