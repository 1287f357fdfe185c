// The push-to-talk key through the desktop portal's GlobalShortcuts interface (Wayland
// desktops that offer it, KDE Plasma for one): the program asks for one shortcut, suggests
// the chosen key, and the desktop reports it pressed (Activated) and released (Deactivated).
// The desktop may let the user bind another key in its own dialog.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>

namespace vox {

class TPortalShortcut : public QObject {
    Q_OBJECT

  public:
    TPortalShortcut(QObject* parent, const QDBusConnection& bus);

    // Asks the portal for the shortcut, suggesting this X key name. Nothing happens when
    // the bus has no portal with GlobalShortcuts; Problem() then says so once the portal
    // has answered.
    void Watch(const QString& keyName);
    bool Bound() const { return FBound; }

  signals:
    void Pressed();
    void Released();
    // The portal is missing or refused: the reason, for the log.
    void Failed(const QString& why);

  private slots:
    void OnResponse(uint response, const QVariantMap& results);
    void OnActivated(const QDBusMessage& message);
    void OnDeactivated(const QDBusMessage& message);

  private:
    // Calls a portal method whose answer comes as a Response signal on a request object.
    void Request(const QString& method, const QVariantList& arguments, const QString& tokenKey,
                 std::function<void(const QVariantMap&)> then);
    void Bind();
    // Whether a signal is about this program's session and shortcut.
    bool Ours(const QDBusMessage& message) const;

    QDBusConnection FBus;
    QString FKey;
    QString FSession;
    bool FBound = false;
    int FToken = 0;
    QString FRequestPath;
    std::function<void(const QVariantMap&)> FThen;
};

}  // namespace vox
