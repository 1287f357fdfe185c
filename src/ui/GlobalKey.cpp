#include "ui/GlobalKey.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QSocketNotifier>

#include "ui/PortalShortcut.h"

// After the toolkit's headers: X's macros (KeyPress, None, Bool) would clash with its names.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace vox {

struct TGlobalKey::TDisplay {
    Display* Dpy = nullptr;
    int Opcode = 0;
    TDisplay() = default;
    TDisplay(const TDisplay&) = delete;
    TDisplay& operator=(const TDisplay&) = delete;
    ~TDisplay() {
        if (Dpy != nullptr) {
            XCloseDisplay(Dpy);
        }
    }
};

TGlobalKey::TGlobalKey(QObject* parent, const QDBusConnection& bus) : QObject(parent), FBus(bus) {}

TGlobalKey::~TGlobalKey() {
    Stop();
}

void TGlobalKey::Stop() {
    if (FDown) {
        FDown = false;
        emit Released();
    }
    delete FNotifier;
    FNotifier = nullptr;
    delete FPortal;  // its session ends with the program's connection to the bus
    FPortal = nullptr;
    FDisplay.reset();
    FKeyCode = 0;
}

bool TGlobalKey::Watch(const QString& keyName) {
    Stop();
    FProblem.clear();
    if (keyName.isEmpty()) {
        return true;
    }
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
        if (FPortal == nullptr) {
            FPortal = new TPortalShortcut(this, FBus);
            connect(FPortal, &TPortalShortcut::Pressed, this, [this] {
                if (!FDown) {
                    FDown = true;
                    emit Pressed();
                }
            });
            connect(FPortal, &TPortalShortcut::Released, this, [this] {
                if (FDown) {
                    FDown = false;
                    emit Released();
                }
            });
            connect(FPortal, &TPortalShortcut::Failed, this, [this](const QString& why) {
                FProblem = why + QStringLiteral(
                                     "デスクトップのショートカット設定で Voxilen --ptt-press / "
                                     "--ptt-release を割り当ててください。");
                emit Failed(FProblem);
            });
        }
        FPortal->Watch(keyName);
        return true;
    }
    auto display = std::make_unique<TDisplay>();
    display->Dpy = XOpenDisplay(nullptr);
    if (display->Dpy == nullptr) {
        FProblem = QStringLiteral("X ディスプレイに接続できません。");
        return false;
    }
    int event = 0;
    int error = 0;
    int major = 2;
    int minor = 2;
    if (!XQueryExtension(display->Dpy, "XInputExtension", &display->Opcode, &event, &error) ||
        XIQueryVersion(display->Dpy, &major, &minor) != Success) {
        FProblem = QStringLiteral("X サーバーが XInput2 に対応していません。");
        return false;
    }
    const KeySym sym = XStringToKeysym(keyName.toLatin1().constData());
    const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(display->Dpy, sym);
    if (code == 0) {
        FProblem = QStringLiteral("キー %1 はこのキーボードにありません。").arg(keyName);
        return false;
    }
    unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(mask, XI_RawKeyPress);
    XISetMask(mask, XI_RawKeyRelease);
    XIEventMask events{};
    events.deviceid = XIAllMasterDevices;
    events.mask_len = sizeof mask;
    events.mask = mask;
    XISelectEvents(display->Dpy, DefaultRootWindow(display->Dpy), &events, 1);
    XFlush(display->Dpy);
    FDisplay = std::move(display);
    FKeyCode = code;
    FNotifier = new QSocketNotifier(ConnectionNumber(FDisplay->Dpy), QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { ReadEvents(); });
    return true;
}

void TGlobalKey::ReadEvents() {
    if (!FDisplay) {
        return;
    }
    Display* dpy = FDisplay->Dpy;
    while (XPending(dpy) > 0) {
        XEvent event;
        XNextEvent(dpy, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != FDisplay->Opcode ||
            !XGetEventData(dpy, cookie)) {
            continue;
        }
        const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
        const bool ours = static_cast<unsigned>(raw->detail) == FKeyCode;
        const int type = cookie->evtype;
        XFreeEventData(dpy, cookie);
        if (!ours) {
            continue;
        }
        // A key held down repeats its press: only the first counts.
        if (type == XI_RawKeyPress && !FDown) {
            FDown = true;
            emit Pressed();
        } else if (type == XI_RawKeyRelease && FDown) {
            FDown = false;
            emit Released();
        }
    }
}

QString TGlobalKey::KeyName(const QKeyEvent& event) {
    // On X11 the toolkit hands over the key's own symbol.
    if (const quint32 sym = event.nativeVirtualKey(); sym != 0) {
        if (const char* name = XKeysymToString(sym); name != nullptr) {
            return QString::fromLatin1(name);
        }
    }
    // Elsewhere: the toolkit's name, which X knows for the keys that make sense here (F1-F35).
    const QString name = QKeySequence(event.key()).toString(QKeySequence::PortableText);
    return XStringToKeysym(name.toLatin1().constData()) != NoSymbol ? name : QString();
}

}  // namespace vox
