// Talking from outside the window: the methods StartTalking and StopTalking on the session
// bus under the program's well-known name, which the desktop's own shortcut settings (or any
// script) can call; and the client side of them, which `Voxilen --ptt-press` and
// `Voxilen --ptt-release` use to hand the request to the running copy.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace vox {

class TTalkControl;

inline constexpr const char* kBusName = "org.voxilen.Voxilen";
inline constexpr const char* kBusObjectPath = "/org/voxilen/Voxilen";
inline constexpr const char* kBusInterface = "org.voxilen.Voxilen";

// The program's only command-line options.
inline constexpr const char* kPttPressOption = "--ptt-press";
inline constexpr const char* kPttReleaseOption = "--ptt-release";

class TTalkService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.voxilen.Voxilen")

  public:
    TTalkService(QObject* parent, TTalkControl& talk);
    ~TTalkService() override;

    TTalkService(const TTalkService&) = delete;
    TTalkService& operator=(const TTalkService&) = delete;

    // Takes the well-known name and offers the methods on bus. False (with the bus's reason
    // in *why) when the bus is missing or the name is taken.
    bool Register(const QDBusConnection& bus, QString* why = nullptr);

  public slots:
    // A press and a release from outside the window; the talk behaves as while 音声送信 is
    // held.
    Q_SCRIPTABLE void StartTalking();
    Q_SCRIPTABLE void StopTalking();

  private:
    TTalkControl& FTalk;
    QDBusConnection FBus;
    bool FRegistered = false;
};

// The command line's request: calls StartTalking (press) or StopTalking on the running copy
// through bus. False with a message for the user in *why when no copy answered.
bool SendTalkRequest(const QDBusConnection& bus, bool press, QString* why);

}  // namespace vox
