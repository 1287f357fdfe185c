// What the conversation connections remember of their partners' keys (trust on first use):
// the fingerprint pinned for each partner, the partners that answered in the clear only, and
// whether unencrypted partners are refused. The settings keep them; tests keep them in memory.
//
// A partner is known by a text of its own: the one called by the host (or address) and port
// dialled ("call <host> <port>"), the one who called by the name it announced
// ("caller <name>").
#pragma once

#include <cstdint>
#include <string>

namespace vox {

// How long a partner that answered in the clear only is called in the clear without trying
// TLS first: a week.
inline constexpr std::int64_t kPlainPartnerRecheckSeconds = 7LL * 24 * 60 * 60;

// How a partner's connection is protected.
enum class TPartnerSecurity {
    Plain,      // no TLS: an older copy of the program
    Encrypted,  // TLS, with a key met for the first time (now pinned)
    Verified,   // TLS, with the key pinned at an earlier call
};

// Called on the user-interface thread only.
class ITrustStore {
  public:
    virtual ~ITrustStore() = default;

    // The fingerprint pinned for the partner; empty when none.
    virtual std::string PinnedKey(const std::string& partner) = 0;
    virtual void PinKey(const std::string& partner, const std::string& fingerprint) = 0;
    // Whether the partner answered in the clear only within kPlainPartnerRecheckSeconds.
    virtual bool KnownPlain(const std::string& partner) = 0;
    // Remembers (now) or forgets that the partner answered in the clear only.
    virtual void MarkPlain(const std::string& partner, bool plain) = 0;
    // The setting that refuses partners without encryption.
    virtual bool RefuseUnencrypted() = 0;
};

// The partner texts of the two sides.
std::string CalledPartnerKey(const std::string& hostOrAddress, int port);
std::string CallerPartnerKey(const std::string& announcedName);

}  // namespace vox
