// The sound card of a machine that has none: every call fails with asBadDeviceId, so the
// recorder says there is no microphone and the playback thread logs once that it cannot play.
#pragma once

#include "voice/AudioDevice.h"

namespace vox {

class TNoAudioInput : public TAudioInput {
  public:
    TAudioStatus Open(const TWaveFormat&, std::int32_t, TDataHandler) override {
        return asBadDeviceId;
    }
    TAudioStatus Start() override { return asInvalidHandle; }
    TAudioStatus Stop() override { return asInvalidHandle; }
    TAudioStatus Close() override { return asOk; }
};

class TNoAudioOutput : public TAudioOutput {
  public:
    TAudioStatus Open(const TWaveFormat&) override { return asBadDeviceId; }
    TAudioStatus Write(const void*, std::int32_t) override { return asInvalidHandle; }
    bool WaitDone(std::uint32_t) override { return true; }
    THeardWait WaitHeard(std::uint32_t) override { return THeardWait::Heard; }
    void WakeWaitHeard() override {}
    TAudioStatus Close() override { return asOk; }
};

}  // namespace vox
