// The settings dialog's "音声" page: the microphone and the speaker (the system's default or a
// device the system lists), the volume of everything played, and a microphone test that shows
// the live level and sends nothing.
#pragma once

#include "session/Session.h"
#include "ui/SettingPage.h"

class QComboBox;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;

namespace vox {

class TSettingSoundPage : public TSettingPage {
    Q_OBJECT

  public:
    static inline const QString kTitle = QStringLiteral("音声");

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

  private:
    void FillDevices(QComboBox* box, TAudioDirection direction, const std::string& id);
    void ToggleMicTest();

    TSession& FSession;
    TSoundSettings FLoaded;
    QComboBox* FMicrophone = nullptr;
    QComboBox* FSpeaker = nullptr;
    QSlider* FVolume = nullptr;
    QPushButton* FMicTest = nullptr;
    QProgressBar* FLevel = nullptr;
    QTimer* FLevelTimer = nullptr;
};

}  // namespace vox
