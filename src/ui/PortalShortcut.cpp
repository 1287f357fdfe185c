#include "ui/PortalShortcut.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <utility>

namespace vox {

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kShortcutId = QStringLiteral("push-to-talk");

// One shortcut as the portal takes it: (id, {description, preferred_trigger}).
struct TShortcut {
    QString Id;
    QVariantMap Properties;
};

}  // namespace

}  // namespace vox

Q_DECLARE_METATYPE(vox::TShortcut)

namespace vox {

namespace {

QDBusArgument& operator<<(QDBusArgument& argument, const TShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.Id << shortcut.Properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.Id >> shortcut.Properties;
    argument.endStructure();
    return argument;
}

}  // namespace

TPortalShortcut::TPortalShortcut(QObject* parent, const QDBusConnection& bus)
    : QObject(parent), FBus(bus) {
    qDBusRegisterMetaType<TShortcut>();
    qDBusRegisterMetaType<QList<TShortcut>>();
}

void TPortalShortcut::Watch(const QString& keyName) {
    FKey = keyName;
    if (!FBus.isConnected()) {
        emit Failed(QStringLiteral("セッションバスがありません。"));
        return;
    }
    if (!FSession.isEmpty()) {
        Bind();  // a new suggestion for the same session
        return;
    }
    // Taken as whole messages: the arguments are read from them.
    FBus.connect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Activated"), this,
                 SLOT(OnActivated(QDBusMessage)));
    FBus.connect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Deactivated"), this,
                 SLOT(OnDeactivated(QDBusMessage)));
    QVariantMap options{{QStringLiteral("session_handle_token"), QStringLiteral("voxilen")}};
    Request(QStringLiteral("CreateSession"), {options}, QStringLiteral("handle_token"),
            [this](const QVariantMap& results) {
                FSession = results.value(QStringLiteral("session_handle")).toString();
                if (FSession.isEmpty()) {
                    emit Failed(QStringLiteral("デスクトップがショートカットを受け付けません。"));
                    return;
                }
                Bind();
            });
}

void TPortalShortcut::Bind() {
    const QList<TShortcut> shortcuts{
        {kShortcutId,
         {{QStringLiteral("description"), QStringLiteral("ぼくしれん：押している間、声を送る")},
          {QStringLiteral("preferred_trigger"), FKey}}}};
    Request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(FSession)), QVariant::fromValue(shortcuts),
             QString(), QVariantMap()},
            QStringLiteral("handle_token"), [this](const QVariantMap&) { FBound = true; });
}

void TPortalShortcut::Request(const QString& method, const QVariantList& arguments,
                              const QString& tokenKey,
                              std::function<void(const QVariantMap&)> then) {
    // The request object's path is known from the token before the call returns: its
    // Response is listened for first, so that it cannot be missed.
    const QString token = QStringLiteral("voxilen%1").arg(++FToken);
    QString sender = FBus.baseService().mid(1);
    sender.replace(u'.', u'_');
    if (!FRequestPath.isEmpty()) {
        FBus.disconnect(kPortal, FRequestPath, kRequest, QStringLiteral("Response"), this,
                        SLOT(OnResponse(uint, QVariantMap)));
    }
    FRequestPath =
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    FThen = std::move(then);
    FBus.connect(kPortal, FRequestPath, kRequest, QStringLiteral("Response"), this,
                 SLOT(OnResponse(uint, QVariantMap)));
    QVariantList args = arguments;
    QVariantMap options = args.last().toMap();
    options.insert(tokenKey, token);
    args.last() = options;
    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kShortcuts, method);
    call.setArguments(args);
    auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method](QDBusPendingCallWatcher* pending) {
                pending->deleteLater();
                if (pending->isError()) {
                    FThen = nullptr;
                    emit Failed(
                        QStringLiteral(
                            "デスクトップのポータルが GlobalShortcuts に対応していません（%1）。")
                            .arg(pending->error().name()));
                }
            });
}

void TPortalShortcut::OnResponse(uint response, const QVariantMap& results) {
    auto then = std::exchange(FThen, nullptr);
    if (response != 0) {
        emit Failed(QStringLiteral("デスクトップがショートカットを断りました。"));
        return;
    }
    if (then) {
        then(results);
    }
}

bool TPortalShortcut::Ours(const QDBusMessage& message) const {
    const QVariantList arguments = message.arguments();
    return arguments.size() >= 2 &&
           qvariant_cast<QDBusObjectPath>(arguments.at(0)).path() == FSession &&
           arguments.at(1).toString() == kShortcutId;
}

void TPortalShortcut::OnActivated(const QDBusMessage& message) {
    if (Ours(message)) {
        emit Pressed();
    }
}

void TPortalShortcut::OnDeactivated(const QDBusMessage& message) {
    if (Ours(message)) {
        emit Released();
    }
}

}  // namespace vox
