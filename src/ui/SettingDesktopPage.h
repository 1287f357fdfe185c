// The settings dialog's page for the desktop around the program: the push-to-talk key held
// anywhere, notices while the window is out of sight, and closing into the tray.
#pragma once

#include <QPushButton>

#include "ui/SettingPage.h"

class QCheckBox;
class QLabel;

namespace vox {

// A button that, once pressed, takes the next key pressed as its key (Escape gives up).
class TKeyChooser : public QPushButton {
    Q_OBJECT

  public:
    explicit TKeyChooser(QWidget* parent);
    // The X key name ("F9"); empty: none.
    const QString& Key() const { return FKey; }
    void SetKey(const QString& key);
    bool Recording() const { return FRecording; }

  signals:
    void KeyChanged();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    void ShowKey();
    QString FKey;
    bool FRecording = false;
};

class TSettingDesktopPage : public TSettingPage {
  public:
    // trayAvailable: whether the desktop has a tray to close the window into.
    TSettingDesktopPage(const TSettings& live, bool trayAvailable);

    QString Title() const override { return QStringLiteral("デスクトップ"); }
    bool Changed(const TSettings& live) const override;
    void Apply(TSettings& live, const std::string& iniFileName) override;

  private:
    TSettings Values() const;

    TKeyChooser* KeyChooser = nullptr;
    QPushButton* ClearKeyBtn = nullptr;
    QCheckBox* NoticesCheckBox = nullptr;
    QCheckBox* TrayCheckBox = nullptr;
};

}  // namespace vox
