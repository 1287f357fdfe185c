// The addresses partners elsewhere should dial to reach this program: the home router's
// external IPv4 address with the port it forwards, and this machine's global IPv6 addresses
// with the conversation port.
#pragma once

#include <string>
#include <vector>

#include "portmap/PortMapper.h"

namespace vox {

struct TReachAddress {
    std::string Kind;  // "IPv4" (through the router) or "IPv6"
    std::string Dial;  // what to dial: "203.0.113.5:9911", "[2001:db8::5]:9911"
};

// In the order partners should try them: the router's mapping first (when every port is
// mapped and its external address is public), then each global IPv6 address.
std::vector<TReachAddress> ReachAddresses(const TMappingState& mapping,
                                          const std::vector<std::string>& globalIpv6,
                                          int conversationPort);

// The one address partners should dial ("" when there is none): the first of ReachAddresses.
// For the main window's status line.
std::string AddressForPartners(const TMappingState& mapping,
                               const std::vector<std::string>& globalIpv6, int conversationPort);

}  // namespace vox
