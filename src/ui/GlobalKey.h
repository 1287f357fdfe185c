// The push-to-talk key held anywhere on the desktop, whichever window has the keyboard focus.
//
// On X11 it reads the keyboard's raw key events (XInput2) on a display connection of its own:
// it only listens, so the key still reaches the focused window and no other program loses it.
// Elsewhere (Wayland) it asks the desktop portal's GlobalShortcuts interface on the session bus,
// where the desktop offers it; where not, the desktop's own shortcut settings can call the
// program's session-bus methods instead.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <memory>

class QKeyEvent;
class QSocketNotifier;

namespace vox {

class TPortalShortcut;

class TGlobalKey : public QObject {
    Q_OBJECT

  public:
    // bus: where the desktop portal is asked when the display is not X11.
    TGlobalKey(QObject* parent, const QDBusConnection& bus);
    ~TGlobalKey() override;

    TGlobalKey(const TGlobalKey&) = delete;
    TGlobalKey& operator=(const TGlobalKey&) = delete;

    // Watches the key of this X key name ("F9", "Pause", "Control_R"); empty: none. False
    // (with the reason in Problem()) when the key cannot be watched here.
    bool Watch(const QString& keyName);
    const QString& Problem() const { return FProblem; }
    bool Watching() const { return FKeyCode != 0 || FPortal != nullptr; }

    // The X key name of a key pressed in a window of this program (the settings dialog's key
    // chooser); empty for a key that has none.
    static QString KeyName(const QKeyEvent& event);

  signals:
    void Pressed();
    void Released();
    // The desktop portal refused or is missing (it answers later than Watch returns).
    void Failed(const QString& why);

  private:
    void Stop();
    void ReadEvents();

    struct TDisplay;
    std::unique_ptr<TDisplay> FDisplay;
    QDBusConnection FBus;
    TPortalShortcut* FPortal = nullptr;
    QSocketNotifier* FNotifier = nullptr;
    unsigned FKeyCode = 0;
    bool FDown = false;
    QString FProblem;
};

}  // namespace vox
