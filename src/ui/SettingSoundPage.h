// The settings dialog's "音声" page: the microphone and the speaker (the system's default or a
// device the system lists), the volume of everything played, and a microphone test that shows
// the live level and sends nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "session/Session.h"
#include "ui/SettingPage.h"

class QComboBox;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;

namespace vox {

// How often the device lists are looked at again while the page is on screen (the system does
// not always say when a device comes or goes).
inline constexpr int kDeviceListPollMs = 1000;
// How long one of those looks may hold up the window: a sound thread busy for longer (a device
// that is slow to open, say) leaves the lists as they are until the next look.
inline constexpr std::uint32_t kDeviceListWaitMs = 100;

class TSettingSoundPage : public TSettingPage {
    Q_OBJECT

  public:
    static inline const QString kTitle = QStringLiteral("音声");
    // Shown after a chosen device that the system no longer lists.
    static inline const QString kMissingSuffix = QStringLiteral("（見つかりません）");

    TSettingSoundPage(const TSettings& live, TSession& session);
    // Ends a microphone test still running.
    ~TSettingSoundPage() override;
    TSettingSoundPage(const TSettingSoundPage&) = delete;
    TSettingSoundPage& operator=(const TSettingSoundPage&) = delete;
    TSettingSoundPage(TSettingSoundPage&&) = delete;
    TSettingSoundPage& operator=(TSettingSoundPage&&) = delete;

    QString Title() const override { return kTitle; }
    bool Changed(const TSettings& live) const override;
    // Writes the choice and uses it from the next talk and the next burst of playback on.
    void Apply(TSettings& live, const std::string& iniFileName) override;

    TSoundSettings Values() const;
    // How often the lists are refreshed while the page is shown (tests make it shorter).
    void SetDevicePollMs(int ms);

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    // Fills the list with the system's default, the devices listed now and, when the device of
    // id (described as description, UTF-8) is not among them, that one marked as missing; id
    // is selected. Does nothing when the list already shows exactly that.
    void FillDevices(QComboBox* box, const std::vector<TAudioDeviceInfo>& devices,
                     const QString& id, const QString& description);
    // Both lists again, each keeping its current choice.
    void RefreshDevices();
    void ToggleMicTest();

    TSession& FSession;
    TSoundSettings FLoaded;
    QComboBox* FMicrophone = nullptr;
    QComboBox* FSpeaker = nullptr;
    QSlider* FVolume = nullptr;
    QPushButton* FMicTest = nullptr;
    QProgressBar* FLevel = nullptr;
    QTimer* FLevelTimer = nullptr;
    QTimer* FDeviceTimer = nullptr;
};

}  // namespace vox
