// Who holds the talk: the window's own button (mouse or space bar), the push-to-talk key held
// anywhere on the desktop, and requests from outside the window (the D-Bus methods and the
// command line that calls them). Each source presses and releases on its own; the talk runs
// while at least one source holds it. A second press from the same source changes nothing, so
// one release from it is enough; presses from two sources need a release from each.
//
// A source outside the window may lose its release (a program that died, a key release the
// desktop never delivered): its press ends by itself after a limit, with a log line.
#pragma once

#include <QObject>
#include <functional>

class QTimer;

namespace vox {

enum class TTalkSource {
    Window,     // 音声送信 held with the mouse or the space bar
    GlobalKey,  // the push-to-talk key, wherever the keyboard focus is
    Outside,    // the D-Bus methods StartTalking / StopTalking (and --ptt-press / --ptt-release)
};

// How long a press from outside the window may last without its release.
inline constexpr int kTalkLimitMs = 60000;

class TTalkControl : public QObject {
    Q_OBJECT

  public:
    // start: begins the talk; false when it could not (nobody to talk to, no microphone).
    // stop: ends it. log: a line for the window's log.
    TTalkControl(QObject* parent, std::function<bool()> start, std::function<void()> stop,
                 std::function<void(const QString&)> log);

    // A press from a source: the talk starts when no source held it. A press that could not
    // start the talk is not remembered.
    void Press(TTalkSource source);
    // A release: the talk ends when no other source holds it.
    void Release(TTalkSource source);
    // Every source lets go (the window closes down).
    void ReleaseAll();
    bool Holds(TTalkSource source) const;
    bool Held() const { return FHeld != 0; }

    // For tests: the limit of a press from outside the window.
    void SetLimitMs(int ms) { FLimitMs = ms; }
    int LimitMs() const { return FLimitMs; }

  private:
    static unsigned Bit(TTalkSource source) { return 1U << static_cast<unsigned>(source); }
    QTimer* TimerOf(TTalkSource source);

    std::function<bool()> FStart;
    std::function<void()> FStop;
    std::function<void(const QString&)> FLog;
    unsigned FHeld = 0;
    int FLimitMs = kTalkLimitMs;
    QTimer* FKeyTimer = nullptr;
    QTimer* FOutsideTimer = nullptr;
};

}  // namespace vox
