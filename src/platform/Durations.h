// Every duration the program knows, in one place. Objects take the ones they use through
// their constructors (with these as defaults), so tests can shorten them.
#pragma once

#include <cstdint>

namespace vox {

// Network waits, reads and writes on every connection.
inline constexpr std::uint32_t kSocketTimeoutMs = 5000;
// A handshake, the incoming-call decision and an idle file transfer give up after this.
inline constexpr std::uint32_t kHandshakeLimitMs = 180000;
inline constexpr std::uint32_t kCallDecisionLimitMs = 180000;
inline constexpr std::uint32_t kTransferIdleLimitMs = 180000;
// A finished transfer window closes itself after this.
inline constexpr std::uint32_t kTransferCloseMs = 15000;
// How often the user-interface thread, while it waits for a worker (a thread ending, say),
// looks whether the worker is done when nothing wakes it sooner.
inline constexpr std::uint32_t kIdlePollMs = 10;
// A call to a host with several addresses tries the next one this long after the one before
// when that has not connected yet (RFC 8305's connection attempt delay).
inline constexpr std::uint32_t kConnectAttemptDelayMs = 250;
// At the program's end the home router is given this long to forget the program's ports; a
// router that answers slower keeps them until their lease runs out.
inline constexpr std::uint32_t kPortMapExitWaitMs = 3000;
// The reverse look-up of a caller's host name waits at most this long.
inline constexpr std::uint32_t kReverseLookupMs = 5000;

}  // namespace vox
