// The volume part of the member list's pop-up: how loud the chosen partner is played (a slider
// from 0 to 200 %) and ミュート. The main window puts it into the pop-up, fills it with the
// partner's values before the pop-up opens and applies what the user changes.
#pragma once

#include <QWidget>

#include "settings/Settings.h"

class QCheckBox;
class QLabel;
class QSlider;

namespace vox {

class TMemberVolume : public QWidget {
    Q_OBJECT

  public:
    explicit TMemberVolume(QWidget* parent = nullptr);

    // Shows Volume without telling anyone.
    void SetVolume(const TPartnerVolume& Volume);
    TPartnerVolume Volume() const;

    QSlider* Slider() const { return FSlider; }
    QCheckBox* Mute() const { return FMute; }

  signals:
    // The user moved the slider or switched ミュート.
    void Changed();

  private:
    void ShowValue();

    QSlider* FSlider = nullptr;
    QLabel* FValue = nullptr;
    QCheckBox* FMute = nullptr;
    bool FLoading = false;
};

}  // namespace vox
