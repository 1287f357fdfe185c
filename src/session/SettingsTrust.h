// The partners' keys as the settings file keeps them, for the connection core.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/Trust.h"

namespace vox {

class TSettingsTrustStore : public ITrustStore {
  public:
    using TClock = std::function<std::int64_t()>;  // seconds since 1970
    // Reads and writes the settings file at path (UI thread).
    explicit TSettingsTrustStore(std::string path, TClock now = {});

    std::string PinnedKey(const std::string& partner) override;
    void PinKey(const std::string& partner, const std::string& fingerprint) override;
    bool KnownPlain(const std::string& partner) override;
    void MarkPlain(const std::string& partner, bool plain) override;
    bool RefuseUnencrypted() override;

  private:
    std::string FPath;
    TClock FNow;
};

}  // namespace vox
