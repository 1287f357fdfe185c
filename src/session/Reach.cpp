#include "session/Reach.h"

#include "net/Address.h"

namespace vox {

std::vector<TReachAddress> ReachAddresses(const TMappingState& mapping,
                                          const std::vector<std::string>& globalIpv6,
                                          int conversationPort) {
    std::vector<TReachAddress> addresses;
    if (mapping.Mapped && ClassifyExternalAddress(mapping.ExternalAddress).empty()) {
        for (const TMappedPort& port : mapping.Ports) {
            if (port.Internal == conversationPort) {
                // NAT-PMP may have granted another external port: that one is dialled.
                addresses.push_back({"IPv4", JoinHostPort(mapping.ExternalAddress, port.External)});
            }
        }
    }
    for (const std::string& address : globalIpv6) {
        addresses.push_back({"IPv6", JoinHostPort(address, conversationPort)});
    }
    return addresses;
}

std::string AddressForPartners(const TMappingState& mapping,
                               const std::vector<std::string>& globalIpv6, int conversationPort) {
    const auto addresses = ReachAddresses(mapping, globalIpv6, conversationPort);
    return addresses.empty() ? std::string() : addresses.front().Dial;
}

}  // namespace vox
