#include "ui/TalkService.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "ui/TalkControl.h"

namespace vox {

namespace {

// How long the command line waits for the running copy to take its request.
constexpr int kRequestTimeoutMs = 5000;

}  // namespace

TTalkService::TTalkService(QObject* parent, TTalkControl& talk)
    : QObject(parent), FTalk(talk), FBus(QString()) {}

TTalkService::~TTalkService() {
    if (FRegistered) {
        FBus.unregisterObject(QString::fromLatin1(kBusObjectPath));
        FBus.unregisterService(QString::fromLatin1(kBusName));
    }
}

bool TTalkService::Register(const QDBusConnection& bus, QString* why) {
    FBus = bus;
    if (!FBus.isConnected()) {
        if (why != nullptr) {
            *why = FBus.lastError().message();
        }
        return false;
    }
    if (!FBus.registerObject(QString::fromLatin1(kBusObjectPath), this,
                             QDBusConnection::ExportScriptableSlots)) {
        if (why != nullptr) {
            *why = FBus.lastError().message();
        }
        return false;
    }
    if (!FBus.registerService(QString::fromLatin1(kBusName))) {
        if (why != nullptr) {
            *why = FBus.lastError().message();
        }
        FBus.unregisterObject(QString::fromLatin1(kBusObjectPath));
        return false;
    }
    FRegistered = true;
    return true;
}

void TTalkService::StartTalking() {
    FTalk.Press(TTalkSource::Outside);
}

void TTalkService::StopTalking() {
    FTalk.Release(TTalkSource::Outside);
}

bool SendTalkRequest(const QDBusConnection& bus, bool press, QString* why) {
    if (!bus.isConnected()) {
        *why = QStringLiteral("セッションバスに接続できません：%1").arg(bus.lastError().message());
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kBusName), QString::fromLatin1(kBusObjectPath),
        QString::fromLatin1(kBusInterface),
        press ? QStringLiteral("StartTalking") : QStringLiteral("StopTalking"));
    // No copy running: fail at once instead of asking the bus to start one.
    call.setAutoStartService(false);
    const QDBusMessage answer = bus.call(call, QDBus::Block, kRequestTimeoutMs);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        const QString name = answer.errorName();
        *why = name == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") ||
                       name == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner")
                   ? QStringLiteral("ぼくしれんは起動していません。")
                   : answer.errorMessage();
        return false;
    }
    return true;
}

}  // namespace vox
