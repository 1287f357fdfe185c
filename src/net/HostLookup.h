// Host-name and address look-ups (IPv4).
#pragma once

#include <cstdint>
#include <string>

#include "platform/Durations.h"

namespace vox {

// The first IPv4 address of a host name (or of a dotted address), in dotted form. A name the
// resolver does not know raises ESocketError with the resolver's text and API 'getaddrinfo'.
std::string LookupHostAddress(const std::string& host);

// The name found by a reverse look-up of a dotted IPv4 address; empty when none is found, when
// the address is not a dotted IPv4 address, or when the resolver does not answer within
// timeoutMs (it then goes on in the background and its answer is dropped).
std::string ReverseLookup(const std::string& address, std::uint32_t timeoutMs = kReverseLookupMs);

// True for a dotted IPv4 address such as "127.0.0.1".
bool IsDottedAddress(const std::string& address);

}  // namespace vox
