#include "ui/DesktopNotices.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLocale>
#include <utility>

namespace vox {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAccept = QStringLiteral("accept");
const QString kRefuse = QStringLiteral("refuse");

// The urgency hint's values.
constexpr uchar kUrgencyNormal = 1;
constexpr uchar kUrgencyCritical = 2;

QVariantMap Hints(uchar urgency, const QString& category) {
    return {{QStringLiteral("urgency"), QVariant::fromValue(urgency)},
            {QStringLiteral("category"), category},
            {QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry)}};
}

}  // namespace

TDesktopNotices::TDesktopNotices(QObject* parent, const QDBusConnection& bus)
    : QObject(parent), FBus(bus) {
    if (!FBus.isConnected()) {
        return;
    }
    FBus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(OnActionInvoked(uint, QString)));
    FBus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(OnClosed(uint, uint)));
    auto* watcher = new QDBusPendingCallWatcher(
        FBus.asyncCall(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                      QStringLiteral("GetCapabilities"))),
        this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<QStringList> reply = *call;
                if (reply.isValid()) {
                    FActions = reply.value().contains(QStringLiteral("actions"));
                    FMarkup = reply.value().contains(QStringLiteral("body-markup"));
                }
            });
}

QString TDesktopNotices::Body(const QString& text) const {
    return FMarkup ? text.toHtmlEscaped() : text;
}

void TDesktopNotices::Notify(uint replaces, const QString& summary, const QString& body,
                             const QStringList& actions, const QVariantMap& hints,
                             const std::function<void(uint)>& done) {
    if (!FBus.isConnected()) {
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // Never expires by itself: a call is withdrawn when answered, chat lines when read.
    call << QString::fromUtf8("ぼくしれん") << replaces << QString::fromLatin1(kDesktopEntry)
         << summary << Body(body) << actions << hints << 0;
    auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done](QDBusPendingCallWatcher* pending) {
                pending->deleteLater();
                const QDBusPendingReply<uint> reply = *pending;
                if (reply.isValid() && done) {
                    done(reply.value());
                }
            });
}

void TDesktopNotices::Close(uint id) {
    if (id == 0 || !FBus.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("CloseNotification"));
    call << id;
    FBus.asyncCall(call);
}

void TDesktopNotices::IncomingCall(const QString& who, const QString& address,
                                   const QString& comment) {
    QString body = QStringLiteral("%1（%2）から接続要求が来ています。").arg(who, address);
    if (!comment.isEmpty()) {
        body += u'\n' + comment;
    }
    const QStringList actions =
        FActions ? QStringList{kAccept, QStringLiteral("接続"), kRefuse, QStringLiteral("拒否")}
                 : QStringList{};
    FCallWaiting = true;
    Notify(FCallId, QStringLiteral("接続要求"), body, actions,
           Hints(kUrgencyCritical, QStringLiteral("im")), [this](uint id) {
               if (FCallWaiting) {
                   FCallId = id;
               } else {
                   Close(id);  // answered before the server gave its number
               }
           });
}

void TDesktopNotices::CallAnswered() {
    FCallWaiting = false;
    Close(std::exchange(FCallId, 0));
}

void TDesktopNotices::ChatLine(const QString& who, const QString& text) {
    ++FUnread;
    const QString summary = FUnread == 1 ? QStringLiteral("%1 さんからのメッセージ").arg(who)
                                         : QStringLiteral("新しいメッセージ %1 件").arg(FUnread);
    Notify(FChatId, summary, QStringLiteral("(%1) %2").arg(who, text), {},
           Hints(kUrgencyNormal, QStringLiteral("im.received")), [this](uint id) {
               if (FUnread > 0) {
                   FChatId = id;
               } else {
                   Close(id);
               }
           });
}

void TDesktopNotices::ChatRead() {
    FUnread = 0;
    Close(std::exchange(FChatId, 0));
}

void TDesktopNotices::FileOffer(const QString& who, const QString& fileName, quint64 size) {
    Notify(0, QStringLiteral("ファイル受信依頼"),
           QStringLiteral("%1 さんがファイル「%2」（%3 バイト）を送ろうとしています。")
               .arg(who, fileName, QLocale(QLocale::Japanese).toString(size)),
           {}, Hints(kUrgencyNormal, QStringLiteral("transfer")), {});
}

void TDesktopNotices::OnActionInvoked(uint id, const QString& key) {
    if (id == 0 || id != FCallId) {
        return;
    }
    if (key == kAccept) {
        emit AcceptCall();
    } else if (key == kRefuse) {
        emit RefuseCall();
    }
}

void TDesktopNotices::OnClosed(uint id, uint /*reason*/) {
    if (id != 0 && id == FChatId) {
        FChatId = 0;  // the user dismissed it: the next line starts a new one
    } else if (id != 0 && id == FCallId) {
        FCallId = 0;
    }
}

}  // namespace vox
