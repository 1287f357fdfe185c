#include "ui/CursorBlink.h"

#include <QApplication>
#include <QEvent>

namespace vox {

TCursorBlinkLimit::TCursorBlinkLimit(QObject* parent, int timeoutMs)
    : QObject(parent), FFlashTime(QApplication::cursorFlashTime()) {
    FRest.setSingleShot(true);
    FRest.setInterval(timeoutMs);
    connect(&FRest, &QTimer::timeout, this, [this] { Rest(); });
    QApplication::instance()->installEventFilter(this);
    FRest.start();
}

TCursorBlinkLimit::~TCursorBlinkLimit() {
    QApplication::instance()->removeEventFilter(this);
    Resume();
}

bool TCursorBlinkLimit::Blinking() const {
    return QApplication::cursorFlashTime() > 0;
}

bool TCursorBlinkLimit::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::InputMethod:
        case QEvent::WindowActivate:
            Resume();
            FRest.start();
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

void TCursorBlinkLimit::Resume() {
    if (QApplication::cursorFlashTime() != FFlashTime) {
        QApplication::setCursorFlashTime(FFlashTime);
    }
}

void TCursorBlinkLimit::Rest() {
    if (FFlashTime > 0) {
        QApplication::setCursorFlashTime(0);
    }
}

}  // namespace vox
