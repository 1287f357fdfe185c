// Notices on the desktop (org.freedesktop.Notifications on the session bus) for what happens
// while the main window is out of sight: a call waiting for an answer, chat lines, file offers.
// Every call to the notification server is made without waiting for it: a server that hangs
// never holds up the window.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>

class QDBusPendingCallWatcher;

namespace vox {

// The program's desktop entry (voxilen.desktop), named in every notice.
inline constexpr const char* kDesktopEntry = "voxilen";

class TDesktopNotices : public QObject {
    Q_OBJECT

  public:
    // bus: where the notification server is looked for; a bus that is not connected makes
    // every notice a no-op.
    TDesktopNotices(QObject* parent, const QDBusConnection& bus);

    // A call waits: with 接続 and 拒否 when the server offers actions, critical urgency, kept
    // until CallAnswered.
    void IncomingCall(const QString& who, const QString& address, const QString& comment);
    // The call was answered (in the window, by an action, or it timed out): its notice goes.
    void CallAnswered();
    // A chat line: the lines unread so far share one notice, the newest line in it.
    void ChatLine(const QString& who, const QString& text);
    // The user has seen the window: the chat notice goes and the count starts again.
    void ChatRead();
    void FileOffer(const QString& who, const QString& fileName, quint64 size);

    bool ServerOffersActions() const { return FActions; }

  signals:
    void AcceptCall();
    void RefuseCall();

  private slots:
    void OnActionInvoked(uint id, const QString& key);
    void OnClosed(uint id, uint reason);

  private:
    // Sends a notice replacing `replaces` (0: a new one); `done` gets the server's id.
    void Notify(uint replaces, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints,
                const std::function<void(uint)>& done);
    void Close(uint id);
    QString Body(const QString& text) const;

    QDBusConnection FBus;
    bool FActions = true;  // until the server says otherwise
    bool FMarkup = false;
    uint FCallId = 0;
    bool FCallWaiting = false;
    uint FChatId = 0;
    int FUnread = 0;
};

}  // namespace vox
