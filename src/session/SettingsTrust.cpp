#include "session/SettingsTrust.h"

#include <ctime>

#include "settings/Settings.h"

namespace vox {

TSettingsTrustStore::TSettingsTrustStore(std::string path, TClock now)
    : FPath(std::move(path)), FNow(std::move(now)) {
    if (!FNow) {
        FNow = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
    }
}

std::string TSettingsTrustStore::PinnedKey(const std::string& partner) {
    return ReadPeerFingerprint(FPath, partner);
}

void TSettingsTrustStore::PinKey(const std::string& partner, const std::string& fingerprint) {
    WritePeerFingerprint(FPath, partner, fingerprint);
}

bool TSettingsTrustStore::KnownPlain(const std::string& partner) {
    const std::int64_t since = ReadPeerPlainSince(FPath, partner);
    const std::int64_t now = FNow();
    // A time in the future (a clock set back) counts as long ago: the partner is probed.
    return since > 0 && since <= now && now - since < kPlainPartnerRecheckSeconds;
}

void TSettingsTrustStore::MarkPlain(const std::string& partner, bool plain) {
    if (plain) {
        WritePeerPlainSince(FPath, partner, FNow());
    } else if (ReadPeerPlainSince(FPath, partner) != 0) {
        WritePeerPlainSince(FPath, partner, 0);
    }
}

bool TSettingsTrustStore::RefuseUnencrypted() {
    return ReadRefuseUnencrypted(FPath);
}

}  // namespace vox
