#include "ui/TalkControl.h"

#include <QTimer>
#include <utility>

namespace vox {

TTalkControl::TTalkControl(QObject* parent, std::function<bool()> start, std::function<void()> stop,
                           std::function<void(const QString&)> log)
    : QObject(parent), FStart(std::move(start)), FStop(std::move(stop)), FLog(std::move(log)) {
    auto limit = [this](TTalkSource source, const QString& what) {
        auto* timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, source, what] {
            if (!Holds(source)) {
                return;
            }
            FLog(QStringLiteral(
                     "%1の音声送信が %2 秒続いたので終了しました（離す操作が届きませんでした）。")
                     .arg(what)
                     .arg(FLimitMs / 1000.0));
            Release(source);
        });
        return timer;
    };
    FKeyTimer = limit(TTalkSource::GlobalKey, QStringLiteral("プッシュトゥトークキー"));
    FOutsideTimer = limit(TTalkSource::Outside, QStringLiteral("外部からの要求"));
}

QTimer* TTalkControl::TimerOf(TTalkSource source) {
    switch (source) {
        case TTalkSource::GlobalKey:
            return FKeyTimer;
        case TTalkSource::Outside:
            return FOutsideTimer;
        case TTalkSource::Window:
            break;
    }
    return nullptr;  // the window's button ends with the focus or the mouse
}

void TTalkControl::Press(TTalkSource source) {
    if (Holds(source)) {
        return;
    }
    if (FHeld == 0 && !FStart()) {
        return;
    }
    FHeld |= Bit(source);
    if (QTimer* timer = TimerOf(source)) {
        timer->start(FLimitMs);
    }
}

void TTalkControl::Release(TTalkSource source) {
    if (QTimer* timer = TimerOf(source)) {
        timer->stop();
    }
    if (!Holds(source)) {
        return;
    }
    FHeld &= ~Bit(source);
    if (FHeld == 0) {
        FStop();
    }
}

void TTalkControl::ReleaseAll() {
    for (TTalkSource source : {TTalkSource::Window, TTalkSource::GlobalKey, TTalkSource::Outside}) {
        Release(source);
    }
}

bool TTalkControl::Holds(TTalkSource source) const {
    return (FHeld & Bit(source)) != 0;
}

}  // namespace vox
