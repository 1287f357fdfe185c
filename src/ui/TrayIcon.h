// The program's icon in the desktop's tray, where there is one: its menu shows or hides the
// window, switches listening, ends every connection and quits; the icon tells when a call
// waits and when chat lines are unread.
#pragma once

#include <QIcon>
#include <QObject>
#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace vox {

// What the tray's menu does, and what it shows.
struct TTrayHooks {
    std::function<bool()> WindowShown;
    std::function<void()> ToggleWindow;
    std::function<bool()> Listening;
    std::function<void()> ToggleListening;
    std::function<void()> DisconnectAll;
    std::function<void()> Quit;
};

class TTrayIcon : public QObject {
    Q_OBJECT

  public:
    enum class TState { Idle, Unread, CallWaiting };

    TTrayIcon(QObject* parent, const QIcon& icon, TTrayHooks hooks);
    ~TTrayIcon() override;

    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;

    // A waiting call shows over unread lines.
    void SetState(TState state);
    TState State() const { return FState; }
    QMenu* Menu() const { return FMenu; }

  private:
    void UpdateMenu();

    TTrayHooks FHooks;
    QIcon FIdle;
    QIcon FUnread;
    QIcon FCallWaiting;
    TState FState = TState::Idle;
    QSystemTrayIcon* FTray = nullptr;
    QMenu* FMenu = nullptr;
    QAction* FShowHide = nullptr;
    QAction* FListen = nullptr;
};

}  // namespace vox
